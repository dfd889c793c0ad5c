// IDispatch for Veltrane's dual interfaces. Every object of the library derives its automation
// interfaces through veltrane::Dispatch<Itf>:
//   class Foo final : public common::ComObject<Foo, veltrane::Dispatch<IOPCGroup>, ...>
// so that the type information (and the member-name cache) lives in one place.
//
// The type information comes from the registered OPCAutomation library only (LIBID, version
// 1.0), loaded on first use and kept until the library unloads; while it is not registered,
// GetTypeInfo, GetIDsOfNames and Invoke return the error of loading it (and try again on the
// next call). GetIDsOfNames first looks a member name up, exactly as written, among the
// interface's member names read once when its type information was loaded, and only then asks
// ITypeInfo::GetIDsOfNames (which ignores case, and which also resolves parameter names).
#pragma once

#include "OPCAutomation.h"
#include "common/Strings.h"

#include <atomic>
#include <vector>

#include "Module.h"

namespace veltrane {
namespace detail {

// The type information of one interface of the library, shared by every object that implements
// it. Thread-safe: loaded under the module's type-info lock, read without it afterwards.
class TypeInfoHolder {
 public:
  explicit TypeInfoHolder(const IID& iid) noexcept : iid_(iid) {}
  ~TypeInfoHolder();
  TypeInfoHolder(const TypeInfoHolder&) = delete;
  TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

  // The dispatch side of the interface (AddRef'ed).
  HRESULT GetTypeInfo(ITypeInfo** out) noexcept;
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept;
  // ITypeInfo::Invoke on `instance` (the interface's vtable pointer), with argErr worked out
  // where the platform leaves it unwritten (Wine, on DISP_E_TYPEMISMATCH).
  HRESULT Invoke(void* instance, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) noexcept;

  // The library itself (AddRef'ed), loaded from the registry once for the process.
  static HRESULT GetTypeLib(ITypeLib** out) noexcept;

 private:
  struct Name {
    common::WString text;
    DISPID id;
  };
  HRESULT Ensure() noexcept;
  HRESULT Load() noexcept;
  static void Clear(void* self) noexcept;

  const IID iid_;
  std::atomic<bool> ready_{false};
  ITypeInfo* dispatch_ = nullptr;  // what GetTypeInfo hands out
  ITypeInfo* vtable_ = nullptr;    // the dual interface's vtable side, for Invoke and names
  std::vector<Name> names_;
  CleanupNode cleanup_;
};

}  // namespace detail

// IDispatch of the dual interface Itf. GetTypeInfoCount gives 1; GetTypeInfo other than 0
// gives DISP_E_BADINDEX; GetIDsOfNames/Invoke with an riid other than IID_NULL give
// DISP_E_UNKNOWNINTERFACE; unknown names DISP_E_UNKNOWNNAME (the known ones still filled in).
template <class Itf>
class Dispatch : public Itf {
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
    return Holder().GetTypeInfo(out);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                             DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return Holder().GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return Holder().Invoke(static_cast<Itf*>(this), id, flags, params, result, excep, argErr);
  }

 private:
  static detail::TypeInfoHolder& Holder() noexcept {
    static detail::TypeInfoHolder holder(__uuidof(Itf));
    return holder;
  }
};

}  // namespace veltrane
