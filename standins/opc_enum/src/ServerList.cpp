#include "ServerList.h"


namespace opc_enum {

namespace {

using OpcEnumGuid = common::Enumerator<IOPCEnumGUID, common::GuidCopyPolicy>;

bool BadList(ULONG count, const CATID* list) {
  return count != static_cast<ULONG>(-1) && count > 0 && !list;
}

// The default value of HKCR\key, or an error in the FACILITY_WIN32 form.
HRESULT ClassesDefault(const std::wstring& key, std::wstring& out) {
  HKEY k;
  LONG r = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k);
  if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
  wchar_t buf[1024];
  DWORD size = sizeof buf - sizeof(wchar_t), type = 0;
  r = RegQueryValueExW(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(k);
  if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  buf[size / sizeof(wchar_t)] = 0;
  out = buf;
  return S_OK;
}

LPOLESTR Dup(const std::wstring& s) {
  auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(OLECHAR)));
  if (p) memcpy(p, s.c_str(), (s.size() + 1) * sizeof(OLECHAR));
  return p;
}

HRESULT Details(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType, LPOLESTR* verInd) {
  if (!progId || !userType) return E_INVALIDARG;
  *progId = *userType = nullptr;
  if (verInd) *verInd = nullptr;
  wchar_t g[40];
  StringFromGUID2(clsid, g, 40);
  std::wstring key = std::wstring(L"CLSID\\") + g;
  std::wstring description, prog, independent;
  HRESULT hr = ClassesDefault(key, description);
  if (FAILED(hr)) return REGDB_E_CLASSNOTREG;
  hr = ClassesDefault(key + L"\\ProgID", prog);
  if (FAILED(hr)) return hr;
  // A class without one gives its ProgID: a client then always has a name to connect by.
  if (verInd && FAILED(ClassesDefault(key + L"\\VersionIndependentProgID", independent)))
    independent = prog;
  *progId = Dup(prog);
  *userType = Dup(description);
  if (verInd) *verInd = Dup(independent);
  if (!*progId || !*userType || (verInd && !*verInd)) {
    CoTaskMemFree(*progId);
    CoTaskMemFree(*userType);
    *progId = *userType = nullptr;
    if (verInd) {
      CoTaskMemFree(*verInd);
      *verInd = nullptr;
    }
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

namespace {

// The CATIDs named by the subkeys of HKCR\CLSID\{clsid}\<which>.
std::vector<CATID> CategoriesOf(HKEY clsidKey, const wchar_t* which) {
  std::vector<CATID> out;
  HKEY k;
  if (RegOpenKeyExW(clsidKey, which, 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
  wchar_t name[64];
  for (DWORD i = 0;; ++i) {
    DWORD len = 64;
    if (RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    CATID c;
    if (SUCCEEDED(CLSIDFromString(name, &c))) out.push_back(c);
  }
  RegCloseKey(k);
  return out;
}

bool In(const CATID& c, ULONG count, const CATID* list) {
  for (ULONG i = 0; i < count; ++i)
    if (IsEqualGUID(c, list[i])) return true;
  return false;
}

}  // namespace

HRESULT ClassesOfCategories(ULONG cImplemented, const CATID* implemented, ULONG cRequired,
                            const CATID* required, std::vector<CLSID>& out) {
  out.clear();
  if (BadList(cImplemented, implemented) || BadList(cRequired, required)) return E_INVALIDARG;
  const ULONG any = static_cast<ULONG>(-1);
  HKEY root;
  LONG r = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &root);
  if (r == ERROR_FILE_NOT_FOUND) return S_OK;  // no classes at all: an empty list
  if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
  // The component-category rules: a class qualifies when it implements one of the implemented
  // categories and every category it requires is among the required ones; a count of -1
  // leaves that test out.
  wchar_t name[64];
  for (DWORD i = 0;; ++i) {
    DWORD len = 64;
    r = RegEnumKeyExW(root, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_MORE_DATA) continue;  // not a class identifier
    if (r != ERROR_SUCCESS) break;
    CLSID clsid;
    if (name[0] != L'{' || FAILED(CLSIDFromString(name, &clsid))) continue;
    HKEY k;
    if (RegOpenKeyExW(root, name, 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
    bool ok = true;
    if (cImplemented != any) {
      ok = false;
      for (const CATID& c : CategoriesOf(k, L"Implemented Categories"))
        ok = ok || In(c, cImplemented, implemented);
    }
    if (ok && cRequired != any)
      for (const CATID& c : CategoriesOf(k, L"Required Categories"))
        ok = ok && In(c, cRequired, required);
    RegCloseKey(k);
    if (ok) out.push_back(clsid);
  }
  RegCloseKey(root);
  return S_OK;
}

STDMETHODIMP ServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[],
                                                 ULONG cRequired, CATID rgcatidReq[],
                                                 IEnumGUID** ppenumClsid) {
  if (!ppenumClsid) return E_INVALIDARG;
  *ppenumClsid = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<CLSID> list;
    HRESULT hr = ClassesOfCategories(cImplemented, rgcatidImpl, cRequired, rgcatidReq, list);
    if (FAILED(hr)) return hr;
    return common::MakeEnumGuid(std::move(list), ppenumClsid);
  });
}

STDMETHODIMP ServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[],
                                                 ULONG cRequired, CATID rgcatidReq[],
                                                 IOPCEnumGUID** ppenumClsid) {
  if (!ppenumClsid) return E_INVALIDARG;
  *ppenumClsid = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<CLSID> list;
    HRESULT hr = ClassesOfCategories(cImplemented, rgcatidImpl, cRequired, rgcatidReq, list);
    if (FAILED(hr)) return hr;
    return common::MakeEnumerator<IOPCEnumGUID, common::GuidCopyPolicy>(std::move(list),
                                                                       ppenumClsid);
  });
}

STDMETHODIMP ServerList::GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                         LPOLESTR* ppszUserType) {
  return common::GuardHResult([&] { return Details(clsid, ppszProgID, ppszUserType, nullptr); });
}

STDMETHODIMP ServerList::GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                         LPOLESTR* ppszUserType, LPOLESTR* ppszVerIndProgID) {
  if (!ppszVerIndProgID) return E_INVALIDARG;
  return common::GuardHResult(
      [&] { return Details(clsid, ppszProgID, ppszUserType, ppszVerIndProgID); });
}

STDMETHODIMP ServerList::CLSIDFromProgID(LPCOLESTR szProgId, LPCLSID clsid) {
  if (!szProgId || !clsid) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  return ::CLSIDFromProgID(szProgId, clsid);
}

}  // namespace opc_enum
