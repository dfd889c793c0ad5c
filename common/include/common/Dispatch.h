// IDispatch for dual interfaces from the type library, and late-bound calls for clients.
//
// Server side:
//   class Widget final
//       : public common::ComObject<Widget, common::DispatchImpl<IWidget, &LIBID_WidgetLib>> {
//     // IWidget's own methods only; GetIDsOfNames/Invoke go through ITypeInfo.
//   };
// The type library is loaded once per module: from the registry by LIBID and version, or else
// from this module's own TYPELIB resource (windres: `1 TYPELIB "Widget.tlb"`).
//
// Client side (arguments in natural order, first argument first):
//   common::Variant r;
//   hr = common::CallMethod(disp, L"Add", {common::Variant(2), common::Variant(3)}, &r);
//   hr = common::PutProperty(disp, L"Name", common::Variant(L"x"));
#pragma once

#include "common/ComObject.h"
#include "common/ComPtr.h"
#include "common/Errors.h"
#include "common/Variant.h"

#include <functional>
#include <initializer_list>
#include <mutex>
#include <span>
#include <vector>

namespace common {

// EXCEPINFO that frees its strings.
class ExcepInfo : public EXCEPINFO {
 public:
  ExcepInfo() noexcept { ZeroMemory(static_cast<EXCEPINFO*>(this), sizeof(EXCEPINFO)); }
  ExcepInfo(const ExcepInfo&) = delete;
  ExcepInfo& operator=(const ExcepInfo&) = delete;
  ~ExcepInfo() { Clear(); }
  void Clear() noexcept {
    SysFreeString(bstrSource);
    SysFreeString(bstrDescription);
    SysFreeString(bstrHelpFile);
    ZeroMemory(static_cast<EXCEPINFO*>(this), sizeof(EXCEPINFO));
  }
  // The error the server meant: scode, else the HRESULT form of wCode.
  HRESULT Code() const noexcept {
    if (scode) return scode;
    return wCode ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200 + wCode) : E_FAIL;
  }
  WString Description() const { return FromOle(bstrDescription, SysStringLen(bstrDescription)); }
  WString Source() const { return FromOle(bstrSource, SysStringLen(bstrSource)); }
};

// Type libraries and type infos, loaded once per module and kept for the life of the process
// (never released at exit: oleaut32 may already be gone by then).
class TypeLibCache {
 public:
  // The library libid major.minor: registered first (LoadRegTypeLib), else this module's
  // TYPELIB resource when its LIBID is libid. TYPE_E_LIBNOTREGISTERED when neither has it.
  static HRESULT GetLibrary(REFGUID libid, WORD major, WORD minor, ITypeLib** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    Cache& c = Instance();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto& e : c.libs) {
      if (IsEqualGUID(e.libid, libid) && e.major == major && e.minor == minor) {
        *out = e.lib;
        e.lib->AddRef();
        return S_OK;
      }
    }
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadRegTypeLib(libid, major, minor, LOCALE_NEUTRAL, &lib);
    if (FAILED(hr) || !lib) {
      lib = nullptr;
      hr = LoadOwn(libid, &lib);
      if (FAILED(hr)) return hr;
    }
    hr = GuardHResult([&] { c.libs.push_back({libid, major, minor, lib}); });
    if (FAILED(hr)) {
      lib->Release();
      return hr;
    }
    lib->AddRef();
    *out = lib;
    return S_OK;
  }
  // The type info of `guid` (an interface, dispinterface or coclass) in that library.
  static HRESULT GetTypeInfo(REFGUID libid, WORD major, WORD minor, REFGUID guid,
                             ITypeInfo** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<ITypeLib> lib;
    HRESULT hr = GetLibrary(libid, major, minor, lib.GetAddressOf());
    if (FAILED(hr)) return hr;
    return lib->GetTypeInfoOfGuid(guid, out);
  }
  // This module's embedded type library (TYPELIB resource 1), whatever its LIBID.
  static HRESULT LoadFromModule(ITypeLib** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    WString path;
    HRESULT hr = GuardHResult([&] { path = Module::FileName(); });
    if (FAILED(hr)) return hr;
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(Ole(path), REGKIND_NONE, out);
  }

 private:
  struct Entry {
    GUID libid;
    WORD major, minor;
    ITypeLib* lib;  // owned by the cache for the life of the process
  };
  struct Cache {
    std::mutex mutex;
    std::vector<Entry> libs;
  };
  static Cache& Instance() noexcept {
    static Cache* c = new Cache;  // deliberately never destroyed, see above
    return *c;
  }
  static HRESULT LoadOwn(REFGUID libid, ITypeLib** out) noexcept {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadFromModule(lib.GetAddressOf());
    if (FAILED(hr)) return TYPE_E_LIBNOTREGISTERED;
    TLIBATTR* attr = nullptr;
    if (FAILED(lib->GetLibAttr(&attr)) || !attr) return TYPE_E_LIBNOTREGISTERED;
    bool match = IsEqualGUID(attr->guid, libid);
    lib->ReleaseTLibAttr(attr);
    if (!match) return TYPE_E_LIBNOTREGISTERED;
    *out = lib.Detach();
    return S_OK;
  }
};

namespace detail {

// The rgvarg index of the first argument that does not convert to its parameter's type, or
// UINT(-1) when none can be found (VARIANT, by-reference and user-defined parameters are not
// judged).
inline UINT FindMismatchedArgument(ITypeInfo* ti, DISPID id, WORD flags,
                                   const DISPPARAMS& params) noexcept {
  const UINT none = static_cast<UINT>(-1);
  TYPEATTR* attr = nullptr;
  if (FAILED(ti->GetTypeAttr(&attr)) || !attr) return none;
  UINT funcs = attr->cFuncs;
  ti->ReleaseTypeAttr(attr);
  for (UINT f = 0; f < funcs; ++f) {
    FUNCDESC* fd = nullptr;
    if (FAILED(ti->GetFuncDesc(f, &fd)) || !fd) continue;
    UINT found = none;
    bool match = fd->memid == id && (fd->invkind & flags) != 0;
    if (match && params.rgvarg) {
      auto judge = [&](UINT rgIndex, UINT param) {
        if (found != none || param >= static_cast<UINT>(fd->cParams)) return;
        VARTYPE vt = fd->lprgelemdescParam[param].tdesc.vt;
        if (vt == VT_VARIANT || vt == VT_PTR || vt == VT_USERDEFINED || vt == VT_SAFEARRAY) return;
        VARIANT tmp;
        VariantInit(&tmp);
        if (FAILED(VariantChangeType(&tmp, &params.rgvarg[rgIndex], 0, vt))) found = rgIndex;
        VariantClear(&tmp);
      };
      UINT positional = params.cArgs - params.cNamedArgs;
      for (UINT k = 0; k < positional; ++k) judge(params.cArgs - 1 - k, k);
      for (UINT n = 0; n < params.cNamedArgs && params.rgdispidNamedArgs; ++n) {
        DISPID p = params.rgdispidNamedArgs[n];
        judge(n, p == DISPID_PROPERTYPUT ? static_cast<UINT>(fd->cParams - 1) : static_cast<UINT>(p));
      }
    }
    ti->ReleaseFuncDesc(fd);
    if (match) return found;
  }
  return none;
}

}  // namespace detail

// IDispatch of a dual interface Itf through its type library. Derived classes implement only
// Itf's own methods. Behaviour as automation clients expect:
//   GetTypeInfoCount -> 1; GetTypeInfo(other than 0) -> DISP_E_BADINDEX;
//   GetIDsOfNames/Invoke with riid other than IID_NULL -> DISP_E_UNKNOWNINTERFACE;
//   unknown names -> DISP_E_UNKNOWNNAME (known ones still filled in); everything else
//   (DISP_E_MEMBERNOTFOUND, DISP_E_TYPEMISMATCH with puArgErr, DISP_E_BADPARAMCOUNT,
//   DISP_E_PARAMNOTOPTIONAL, DISP_E_EXCEPTION with EXCEPINFO from IErrorInfo) from ITypeInfo::Invoke.
template <class Itf, const GUID* LibId, WORD Major = 1, WORD Minor = 0>
class DispatchImpl : public Itf {
 public:
  using KitInterface = Itf;

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* ti = nullptr;
    HRESULT hr = Infos(&ti, nullptr);
    if (FAILED(hr)) return hr;
    ti->AddRef();
    *out = ti;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                             DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids) return E_POINTER;
    ITypeInfo* ti = nullptr;
    HRESULT hr = Infos(nullptr, &ti);
    if (FAILED(hr)) return hr;
    return ti->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* ti = nullptr;
    HRESULT hr = Infos(nullptr, &ti);
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    // ITypeInfo::Invoke calls through the vtable of Itf on this object. Wine's leaves puArgErr
    // unwritten on DISP_E_TYPEMISMATCH; clients (script engines) use it to name the argument,
    // so it is worked out here when the platform did not.
    const UINT unset = static_cast<UINT>(-1);
    UINT local = unset;
    UINT* err = argErr ? argErr : &local;
    const UINT original = *err;
    *err = unset;
    hr = ti->Invoke(static_cast<Itf*>(this), id, flags, params, result, excep, err);
    if (*err == unset) {
      *err = original;
      if (hr == DISP_E_TYPEMISMATCH) {
        UINT bad = detail::FindMismatchedArgument(ti, id, flags, *params);
        if (bad != unset) *err = bad;
      }
    }
    return hr;
  }

 protected:
  // The dispatch type info (for GetTypeInfo) and the vtable interface's (for Invoke and names).
  static HRESULT Infos(ITypeInfo** dispatch, ITypeInfo** vtable) noexcept {
    // Loaded on first use; a failure (library not registered yet) is tried again next time.
    static std::mutex mutex;
    static ITypeInfo* disp = nullptr;  // kept for the life of the process (see TypeLibCache)
    static ITypeInfo* vt = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (!disp) {
      HRESULT hr = Load(&disp, &vt);
      if (FAILED(hr)) return hr;
    }
    if (dispatch) *dispatch = disp;
    if (vtable) *vtable = vt;
    return S_OK;
  }

 private:
  static HRESULT Load(ITypeInfo** disp, ITypeInfo** vt) noexcept {
    ComPtr<ITypeInfo> info;
    HRESULT hr = TypeLibCache::GetTypeInfo(*LibId, Major, Minor, __uuidof(Itf), info.GetAddressOf());
    if (FAILED(hr)) return hr;
    // A dual interface comes back as its dispinterface; Invoke wants the vtable side (href -1).
    ComPtr<ITypeInfo> vtable = info;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
      bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
      info->ReleaseTypeAttr(attr);
      if (dual) {
        HREFTYPE href = 0;
        ComPtr<ITypeInfo> ref;
        if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)) &&
            SUCCEEDED(info->GetRefTypeInfo(href, ref.GetAddressOf())))
          vtable = ref;
      }
    }
    *disp = info.Detach();
    *vt = vtable.Detach();
    return S_OK;
  }
};

// ---- late-bound calls --------------------------------------------------------------------

// DISPID of a member name (DISP_E_UNKNOWNNAME when the object has none).
inline HRESULT GetDispId(IDispatch* d, const OLECHAR* name, DISPID* id) noexcept {
  if (!d || !name || !id) return E_POINTER;
  LPOLESTR n = const_cast<LPOLESTR>(name);
  return d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, id);
}

// IDispatch::Invoke with `args` in natural order (first argument first): DISPPARAMS wants them
// last-first, which is done here. For DISPATCH_PROPERTYPUT(REF) the last argument is the value
// and is passed as the named argument DISPID_PROPERTYPUT. `result` may be null.
inline HRESULT DispatchInvoke(IDispatch* d, DISPID id, WORD flags, std::span<const VARIANT> args,
                              VARIANT* result = nullptr, EXCEPINFO* excep = nullptr,
                              UINT* argErr = nullptr) noexcept {
  if (!d) return E_POINTER;
  return GuardHResult([&]() -> HRESULT {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());  // shallow: the callee only reads
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                     static_cast<UINT>(reversed.size()), 0};
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && !reversed.empty()) {
      dp.rgdispidNamedArgs = &put;
      dp.cNamedArgs = 1;
    }
    if (result) VariantClear(result);
    UINT dummy = 0;
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, excep,
                     argErr ? argErr : &dummy);
  });
}
inline HRESULT DispatchInvoke(IDispatch* d, DISPID id, WORD flags,
                              std::initializer_list<Variant> args, VARIANT* result = nullptr,
                              EXCEPINFO* excep = nullptr, UINT* argErr = nullptr) noexcept {
  return DispatchInvoke(d, id, flags,
                        std::span<const VARIANT>(static_cast<const VARIANT*>(args.begin()), args.size()),
                        result, excep, argErr);
}

// By name: method call, property get (with optional index arguments), property put.
inline HRESULT CallMethod(IDispatch* d, const OLECHAR* name, std::initializer_list<Variant> args = {},
                          VARIANT* result = nullptr, EXCEPINFO* excep = nullptr) noexcept {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = GetDispId(d, name, &id);
  if (FAILED(hr)) return hr;
  return DispatchInvoke(d, id, DISPATCH_METHOD, args, result, excep);
}
inline HRESULT GetProperty(IDispatch* d, const OLECHAR* name, VARIANT* result,
                           std::initializer_list<Variant> index = {},
                           EXCEPINFO* excep = nullptr) noexcept {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = GetDispId(d, name, &id);
  if (FAILED(hr)) return hr;
  return DispatchInvoke(d, id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, index, result, excep);
}
inline HRESULT PutProperty(IDispatch* d, const OLECHAR* name, const VARIANT& value,
                           std::initializer_list<Variant> index = {},
                           EXCEPINFO* excep = nullptr) noexcept {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = GetDispId(d, name, &id);
  if (FAILED(hr)) return hr;
  return GuardHResult([&]() -> HRESULT {
    std::vector<VARIANT> all;
    for (const Variant& v : index) all.push_back(v);
    all.push_back(value);
    return DispatchInvoke(d, id, DISPATCH_PROPERTYPUT, std::span<const VARIANT>(all), nullptr, excep);
  });
}

// ---- event sinks -------------------------------------------------------------------------

// An IDispatch sink for an outgoing dispinterface `eventIid` (it answers QueryInterface for
// IDispatch and eventIid): each Invoke goes to the handler with the arguments in natural order
// (first argument first; VT_BYREF ones may be written through). Named arguments are refused
// (DISP_E_NONAMEDARGS), as events are fired positionally. Exceptions of the handler become
// HRESULTs.
class DispatchSink final : public ComObject<DispatchSink, IDispatch> {
 public:
  using Handler =
      std::function<HRESULT(DISPID id, WORD flags, std::span<VARIANT* const> args, VARIANT* result)>;

  DispatchSink(REFIID eventIid, Handler handler) : iid_(eventIid), handler_(std::move(handler)) {}

  HRESULT QueryInterfaceExtra(REFIID riid, void** p) noexcept {
    if (!IsEqualIID(riid, iid_)) return E_NOINTERFACE;
    *p = static_cast<IDispatch*>(this);
    return S_OK;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out) *out = nullptr;
    return DISP_E_BADINDEX;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO*, UINT*) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (params && params->cNamedArgs) return DISP_E_NONAMEDARGS;
    return GuardHResult([&]() -> HRESULT {
      std::vector<VARIANT*> args;
      if (params && params->cArgs) {
        if (!params->rgvarg) return E_INVALIDARG;
        for (UINT i = params->cArgs; i-- > 0;) args.push_back(&params->rgvarg[i]);
      }
      if (!handler_) return S_OK;
      return handler_(id, flags, std::span<VARIANT* const>(args), result);
    });
  }

 private:
  IID iid_;
  Handler handler_;
};

}  // namespace common
