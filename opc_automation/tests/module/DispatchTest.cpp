// IDispatch of the library's dual interfaces (veltrane::Dispatch), in this process: names found
// exactly and in other spellings, parameter names, unknown names; Invoke through the vtable with
// the argument error named; each interface with its own type information; and the registered
// type library as the only source, its loading error returned while it is not registered.
#include <gtest/gtest.h>

#include "Dispatch.h"
#include "ModuleTestSupport.h"
#include "ServerObject.h"

#include <vector>

using namespace veltrane_test;

namespace {

// A dual object of the library's kind, recording what reaches its vtable.
class Enhancement final
    : public common::ComObject<Enhancement, veltrane::Dispatch<IKestrovEnhancement>> {
 public:
  STDMETHODIMP ConnectViaCLSID(BSTR clsid, VARIANT node) override {
    ++calls;
    clsid_ = clsid ? std::wstring(clsid, SysStringLen(clsid)) : std::wstring();
    nodeType = V_VT(&node);
    return S_OK;
  }
  int calls = 0;
  std::wstring clsid_;
  VARTYPE nodeType = VT_EMPTY;
};

// What the registered type library itself answers (dispatch side; it ignores case).
std::vector<DISPID> Reference(REFIID iid, std::vector<const wchar_t*> names, HRESULT* result) {
  std::vector<DISPID> ids(names.size(), 12345);
  common::ComPtr<ITypeLib> lib;
  common::ComPtr<ITypeInfo> info;
  *result = LoadRegTypeLib(LIBID_OPCAutomation, 1, 0, 0x409, lib.GetAddressOf());
  if (SUCCEEDED(*result)) *result = lib->GetTypeInfoOfGuid(iid, info.GetAddressOf());
  if (SUCCEEDED(*result))
    *result = info->GetIDsOfNames(const_cast<LPOLESTR*>(names.data()),
                                  static_cast<UINT>(names.size()), ids.data());
  return ids;
}

struct Lookup {
  HRESULT result;
  std::vector<DISPID> ids;
};
Lookup Names(IDispatch* d, std::vector<const wchar_t*> names) {
  Lookup l{E_FAIL, std::vector<DISPID>(names.size(), 12345)};
  l.result = d->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names.data()),
                              static_cast<UINT>(names.size()), 0x409, l.ids.data());
  return l;
}

class Dispatch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RestoreRegistration(); }
};

TEST_F(Dispatch, NamesAsWrittenInOtherSpellingsAndWithTheirParameters) {
  common::ComPtr<IDispatch> server;
  ASSERT_EQ(veltrane::CreateServerObject(IID_IDispatch, server.PutVoid()), S_OK);
  HRESULT hr = E_FAIL;
  const std::vector<DISPID> connect = Reference(IID_IOPCAutoServer, {L"Connect", L"ProgID", L"Node"}, &hr);
  ASSERT_EQ(hr, S_OK);
  const DISPID clientName = Reference(IID_IOPCAutoServer, {L"ClientName"}, &hr)[0];
  ASSERT_EQ(hr, S_OK);

  // As the library writes them, and in any other case.
  for (const wchar_t* name : {L"Connect", L"connect", L"CONNECT", L"cOnNeCt"}) {
    Lookup l = Names(server.Get(), {name});
    EXPECT_EQ(l.result, S_OK) << Narrow(name);
    EXPECT_EQ(l.ids[0], connect[0]) << Narrow(name);
  }
  // A property: get and put share the name and the DISPID.
  for (const wchar_t* name : {L"ClientName", L"clientname"}) {
    Lookup l = Names(server.Get(), {name});
    EXPECT_EQ(l.result, S_OK);
    EXPECT_EQ(l.ids[0], clientName);
  }
  // Parameter names come with their member, in any spelling.
  for (auto names : {std::vector<const wchar_t*>{L"Connect", L"ProgID", L"Node"},
                     std::vector<const wchar_t*>{L"connect", L"progid", L"NODE"}}) {
    Lookup l = Names(server.Get(), names);
    EXPECT_EQ(l.result, S_OK);
    EXPECT_EQ(l.ids, connect);
  }
  // Same length, same characters: no prefixes, no longer names.
  for (const wchar_t* name : {L"Connec", L"ConnectX", L"Connect ", L"", L"Nonexistent"}) {
    Lookup l = Names(server.Get(), {name});
    EXPECT_EQ(l.result, DISP_E_UNKNOWNNAME) << Narrow(name);
    EXPECT_EQ(l.ids[0], DISPID_UNKNOWN) << Narrow(name);
  }
  // An unknown parameter: the member is still named.
  Lookup l = Names(server.Get(), {L"Connect", L"Nope"});
  EXPECT_EQ(l.result, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(l.ids[0], connect[0]);
  EXPECT_EQ(l.ids[1], DISPID_UNKNOWN);

  // Bad calls.
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"Connect");
  EXPECT_EQ(server->GetIDsOfNames(IID_IOPCAutoServer, &name, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(server->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_POINTER);
  EXPECT_EQ(server->GetIDsOfNames(IID_NULL, &name, 1, 0, nullptr), E_POINTER);
  EXPECT_EQ(server->GetIDsOfNames(IID_NULL, &name, 0, 0, &id), E_INVALIDARG);
  LPOLESTR withNull[2] = {name, nullptr};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(server->GetIDsOfNames(IID_NULL, withNull, 2, 0, ids), DISP_E_UNKNOWNNAME);
}

TEST_F(Dispatch, EachInterfaceAnswersWithItsOwnTypeInformation) {
  common::ComPtr<IOPCAutoServer> server;
  ASSERT_EQ(veltrane::CreateServerObject(IID_IOPCAutoServer, server.PutVoid()), S_OK);
  common::ComPtr<IKestrovEnhancement> enhancement;
  common::ComPtr<IOPCGroups> groups;
  ASSERT_EQ(server.As(&enhancement), S_OK);
  ASSERT_EQ(server.As(&groups), S_OK);

  struct Face {
    IDispatch* d;
    const IID* iid;
    const wchar_t* own;
    const wchar_t* foreign;
  };
  for (const Face& f : {Face{server.Get(), &IID_IOPCAutoServer, L"GetOPCServers", L"ConnectViaCLSID"},
                        Face{enhancement.Get(), &IID_IKestrovEnhancement, L"ConnectViaCLSID", L"Connect"},
                        Face{groups.Get(), &IID_IOPCGroups, L"RemoveAll", L"Connect"}}) {
    SCOPED_TRACE(Narrow(common::GuidToString(*f.iid)));
    UINT count = 0;
    EXPECT_EQ(f.d->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(f.d->GetTypeInfoCount(nullptr), E_POINTER);
    common::ComPtr<ITypeInfo> info;
    EXPECT_EQ(f.d->GetTypeInfo(1, 0, info.GetAddressOf()), DISP_E_BADINDEX);
    ASSERT_EQ(f.d->GetTypeInfo(0, 0, info.GetAddressOf()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, *f.iid));
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    info->ReleaseTypeAttr(attr);

    HRESULT hr = E_FAIL;
    const DISPID expected = Reference(*f.iid, {f.own}, &hr)[0];
    ASSERT_EQ(hr, S_OK);
    Lookup own = Names(f.d, {f.own});
    EXPECT_EQ(own.result, S_OK);
    EXPECT_EQ(own.ids[0], expected);
    EXPECT_EQ(Names(f.d, {f.foreign}).result, DISP_E_UNKNOWNNAME);
  }
}

TEST_F(Dispatch, InvokeReachesTheVtableAndNamesTheBadArgument) {
  common::ComPtr<Enhancement> object = common::Make<Enhancement>();
  IDispatch* d = object.Get();
  Lookup l = Names(d, {L"ConnectViaCLSID"});
  ASSERT_EQ(l.result, S_OK);
  const DISPID id = l.ids[0];

  // One argument: the optional Node arrives as "missing".
  common::Variant clsid(L"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  DISPPARAMS one = {&clsid, nullptr, 1, 0};
  EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(object->calls, 1);
  EXPECT_EQ(object->clsid_, L"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(object->nodeType, VT_ERROR);

  // An array where a string belongs: DISP_E_TYPEMISMATCH naming it (rgvarg index 1, as the
  // arguments are stored last first), also under Wine, whose Invoke leaves it unwritten.
  common::SafeArray array;
  ASSERT_EQ(array.Create(VT_I4, 2), S_OK);
  common::Variant args[2] = {common::Variant(L"node"), array.ToVariant()};
  DISPPARAMS two = {args, nullptr, 2, 0};
  UINT argErr = 99;
  EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);
  EXPECT_EQ(object->calls, 1);

  EXPECT_EQ(d->Invoke(id, IID_IKestrovEnhancement, 0, DISPATCH_METHOD, &one, nullptr, nullptr,
                      nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(d->Invoke(0x7777, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  // No DISPPARAMS at all is "no arguments".
  HRESULT none = d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr);
  EXPECT_TRUE(none == DISP_E_BADPARAMCOUNT || none == DISP_E_PARAMNOTOPTIONAL)
      << common::HResultToString(none);
  EXPECT_EQ(object->calls, 1);
}

// Only the registered library counts: with it unregistered (and the cache dropped, as an unload
// does), every call returns what loading it returns; registered again, the same objects work
// without another unload (a failed load is not kept).
TEST_F(Dispatch, WithoutTheRegisteredLibraryCallsReturnTheLoadingError) {
  // The 32-bit Veltrane's entry (win32, beside ours under the same shared TypeLib key) is taken
  // out too while the library is away: a 64-bit process loads the win32 file when win64 is
  // missing. It is written back afterwards.
  struct Reregister {
    const std::wstring win32Key = L"TypeLib\\" + common::GuidToString(LIBID_OPCAutomation) + L"\\1.0\\409\\win32";
    std::wstring win32Path;
    Reregister() {
      HKEY k;
      if (RegOpenKeyExW(HKEY_CLASSES_ROOT, win32Key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return;
      wchar_t buf[1024] = {};
      DWORD size = sizeof buf - sizeof(wchar_t);
      if (RegQueryValueExW(k, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS)
        win32Path = buf;
      RegCloseKey(k);
      RegDeleteKeyW(HKEY_CLASSES_ROOT, win32Key.c_str());
    }
    void Restore() {
      RestoreRegistration();
      if (win32Path.empty()) return;
      HKEY k;
      if (RegCreateKeyExW(HKEY_CLASSES_ROOT, win32Key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) ==
          ERROR_SUCCESS) {
        RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(win32Path.c_str()),
                       static_cast<DWORD>((win32Path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(k);
      }
      win32Path.clear();
    }
    ~Reregister() { Restore(); }
  } reregister;
  common::ComPtr<Enhancement> object = common::Make<Enhancement>();
  IDispatch* d = object.Get();
  ASSERT_EQ(Names(d, {L"ConnectViaCLSID"}).result, S_OK);

  ASSERT_EQ(UnRegisterTypeLib(LIBID_OPCAutomation, 1, 0, 0x409, SYS_WIN64), S_OK);
  veltrane::Module::Detach();
  ITypeLib* lib = nullptr;
  const HRESULT loading = LoadRegTypeLib(LIBID_OPCAutomation, 1, 0, 0x409, &lib);
  ASSERT_TRUE(FAILED(loading)) << "the library is still registered";
  RecordProperty("LoadingError", common::HResultToString(loading));

  EXPECT_EQ(Names(d, {L"ConnectViaCLSID"}).result, loading);
  common::ComPtr<ITypeInfo> info;
  EXPECT_EQ(d->GetTypeInfo(0, 0, info.GetAddressOf()), loading);
  EXPECT_FALSE(info);
  common::Variant clsid(L"x");
  DISPPARAMS one = {&clsid, nullptr, 1, 0};
  EXPECT_EQ(d->Invoke(0x60020000, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            loading);
  EXPECT_EQ(object->calls, 0);
  // A server made now answers the same.
  common::ComPtr<IDispatch> server;
  ASSERT_EQ(veltrane::CreateServerObject(IID_IDispatch, server.PutVoid()), S_OK);
  EXPECT_EQ(Names(server.Get(), {L"Connect"}).result, loading);

  reregister.Restore();
  Lookup l = Names(d, {L"ConnectViaCLSID"});
  EXPECT_EQ(l.result, S_OK);
  EXPECT_EQ(Names(server.Get(), {L"Connect"}).result, S_OK);
  one.rgvarg = &clsid;
  EXPECT_EQ(d->Invoke(l.ids[0], IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(object->calls, 1);
}

}  // namespace
