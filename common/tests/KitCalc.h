// The test coclass, shared by the in-process and the local server.
#pragma once

#include "KitTest.h"
#include "common/Kit.h"

#include <stdexcept>

namespace kittest {

class KitCalc final
    : public common::ComObject<KitCalc, common::DispatchImpl<IKitCalc, &LIBID_KitTestLib>,
                               common::ConnectionPointContainer,
                               common::SupportErrorInfo<&IID_IKitCalc>> {
 public:
  KitCalc() {
    events_ = &AddConnectionPoint(DIID__IKitCalcEvents);
    notify_ = &AddConnectionPoint(IID_IKitNotify);
  }

  STDMETHODIMP Add(LONG a, LONG b, LONG* sum) override {
    if (!sum) return E_POINTER;
    *sum = a + b;
    return S_OK;
  }
  STDMETHODIMP get_Name(BSTR* name) override { return name_.CopyTo(name); }
  STDMETHODIMP put_Name(BSTR name) override {
    COM_TRY
      name_ = common::Bstr::Copy(name);
      return S_OK;
    COM_CATCH
  }
  STDMETHODIMP Concat(BSTR first, VARIANT second, BSTR* joined) override {
    if (!joined) return E_POINTER;
    *joined = nullptr;
    COM_TRY
      common::WString out = common::Bstr::Copy(first).ToWide();
      common::Variant v(second);
      if (!v.IsMissing()) {
        common::WString tail;
        HRESULT hr = v.ToString(&tail);
        if (FAILED(hr)) return hr;
        out += tail;
      }
      return common::Bstr(out).CopyTo(joined);
    COM_CATCH
  }
  STDMETHODIMP Fire(LONG value, LONG* delivered) override {
    COM_TRY
      size_t n = events_->FireDispatch(1, {common::Variant(value), common::Variant(name_)});
      n += notify_->Fire<IKitNotify>([&](IKitNotify* s) { return s->Notify(value); });
      if (delivered) *delivered = static_cast<LONG>(n);
      return S_OK;
    COM_CATCH
  }
  STDMETHODIMP Fail(LONG code) override {
    return common::ReportError(static_cast<HRESULT>(code), IID_IKitCalc, L"KitCalc",
                               L"Fail was asked to fail");
  }
  STDMETHODIMP Throw(LONG kind) override {
    COM_TRY
      switch (kind) {
        case 0: throw std::bad_alloc();
        case 1: throw std::runtime_error("something broke");
        case 2: throw common::ComError(E_ACCESSDENIED);
        case 3: throw std::out_of_range("index");
      }
      return S_OK;
    COM_CATCH
  }
  STDMETHODIMP get_ProcessId(LONG* pid) override {
    if (!pid) return E_POINTER;
    *pid = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
  }
  STDMETHODIMP get__NewEnum(IUnknown** items) override {
    if (!items) return E_POINTER;
    *items = nullptr;
    COM_TRY
      std::vector<common::Variant> v;
      v.emplace_back(1);
      v.emplace_back(L"two");
      v.emplace_back(3.5);
      IEnumVARIANT* e = nullptr;
      HRESULT hr = common::MakeEnumVariant(std::move(v), &e);
      *items = e;
      return hr;
    COM_CATCH
  }
  STDMETHODIMP Squares(LONG count, SAFEARRAY** values) override {
    if (!values) return E_POINTER;
    *values = nullptr;
    if (count < 0) return E_INVALIDARG;
    COM_TRY
      common::SafeArray a;
      common::ThrowIfFailed(a.Create(VT_I4, static_cast<ULONG>(count), 1));
      {
        common::SafeArrayAccess<LONG> d(a);
        for (LONG i = 1; i <= count; ++i) d.at(i) = i * i;
      }
      *values = a.Detach();
      return S_OK;
    COM_CATCH
  }
  STDMETHODIMP get_ModuleCount(LONG* count) override {
    if (!count) return E_POINTER;
    *count = common::Module::Count();
    return S_OK;
  }

 private:
  common::Bstr name_{common::Utf8ToWide("calc")};
  common::ConnectionPoint* events_;
  common::ConnectionPoint* notify_;
};

}  // namespace kittest
