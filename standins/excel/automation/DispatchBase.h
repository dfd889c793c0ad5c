// IDispatch of our dual interfaces through the type library, as common::DispatchImpl does, but
// with the type infos cached in plain statics: under Winelib std::call_once (which DispatchImpl
// uses) returns without running its function, so DispatchImpl there answers E_UNEXPECTED.
// All automation calls of this program run on its one apartment thread.
#pragma once
#include <common/Dispatch.h>

#include "WorkbookServer.h"

namespace wbs {

template <class Itf>
class WbDispatch : public Itf {
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
    HRESULT hr = Load();
    if (FAILED(hr)) return hr;
    Cache().disp->AddRef();
    *out = Cache().disp;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids) return E_POINTER;
    HRESULT hr = Load();
    if (FAILED(hr)) return hr;
    return Cache().vtable->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = Load();
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    hr = Cache().vtable->Invoke(static_cast<Itf*>(this), id, flags, params, result, excep, argErr);
    // `wb.Worksheets(1)`: arguments given to a property that takes none go to the default member
    // of the object it returns, as script clients expect of a spreadsheet.
    if (hr == DISP_E_BADPARAMCOUNT && params->cArgs > 0 && params->cNamedArgs == 0 && (flags & DISPATCH_PROPERTYGET)) {
      common::Variant inner;
      hr = Cache().vtable->Invoke(static_cast<Itf*>(this), id, DISPATCH_PROPERTYGET, &none, &inner, excep, argErr);
      if (FAILED(hr)) return hr;
      if (V_VT(&inner) != VT_DISPATCH || !V_DISPATCH(&inner)) return DISP_E_BADPARAMCOUNT;
      return V_DISPATCH(&inner)->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, excep,
                                        argErr);
    }
    return hr;
  }

 private:
  struct Infos {
    ITypeInfo* disp = nullptr;    // kept for the life of the process
    ITypeInfo* vtable = nullptr;
  };
  static Infos& Cache() {
    static Infos i;
    return i;
  }
  static HRESULT Load() noexcept {
    Infos& c = Cache();
    if (c.vtable) return S_OK;
    common::ComPtr<ITypeInfo> info;
    HRESULT hr = common::TypeLibCache::GetTypeInfo(LIBID_WorkbookServerLib, 1, 0, __uuidof(Itf), info.GetAddressOf());
    if (FAILED(hr)) return hr;
    // A dual interface comes back as its dispinterface; Invoke wants the vtable side.
    common::ComPtr<ITypeInfo> vtable = info;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
      const bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
      info->ReleaseTypeAttr(attr);
      HREFTYPE href = 0;
      common::ComPtr<ITypeInfo> ref;
      if (dual && SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)) &&
          SUCCEEDED(info->GetRefTypeInfo(href, ref.GetAddressOf())))
        vtable = ref;
    }
    c.disp = info.Detach();
    c.vtable = vtable.Detach();
    return S_OK;
  }
};

}  // namespace wbs
