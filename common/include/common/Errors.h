// Errors: C++ exceptions inside, HRESULTs at every COM boundary and window procedure.
//
//   STDMETHODIMP Thing::Do(BSTR name) {
//     COM_TRY
//       Work(name);            // may throw
//       return S_OK;
//     COM_CATCH
//   }
// or: return GuardHResult([&] { Work(name); });   // void -> S_OK, HRESULT passed on
#pragma once

#include "common/ComPtr.h"
#include "common/Strings.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>

namespace common {

// An HRESULT carried as an exception; the boundary hands `hr` back to the caller.
class ComError : public std::runtime_error {
 public:
  explicit ComError(HRESULT hr, const std::string& what = std::string())
      : std::runtime_error(what.empty() ? HResultToString(hr) : what + ": " + HResultToString(hr)),
        hr_(hr) {}
  HRESULT hr() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

// Throws ComError for a failed HRESULT; returns the (success) code otherwise.
inline HRESULT ThrowIfFailed(HRESULT hr, const char* what = nullptr) {
  if (FAILED(hr)) throw ComError(hr, what ? what : "");
  return hr;
}

// Call only inside a catch block: the HRESULT for the exception being handled.
//   ComError -> its hr; std::bad_alloc -> E_OUTOFMEMORY; std::invalid_argument -> E_INVALIDARG;
//   std::out_of_range -> DISP_E_BADINDEX; std::system_error -> HRESULT_FROM_WIN32 of its code
//   when it is a system category error; any other exception -> E_FAIL.
inline HRESULT HResultFromException() noexcept {
  try {
    throw;
  } catch (const ComError& e) {
    return FAILED(e.hr()) ? e.hr() : E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::invalid_argument&) {
    return E_INVALIDARG;
  } catch (const std::out_of_range&) {
    return DISP_E_BADINDEX;
  } catch (const std::system_error& e) {
    if (e.code().category() == std::system_category() && e.code().value() != 0)
      return HRESULT_FROM_WIN32(static_cast<DWORD>(e.code().value()));
    return E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

// Runs f() and turns any exception into an HRESULT. f may return HRESULT or void (-> S_OK).
template <class F>
HRESULT GuardHResult(F&& f) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      f();
      return S_OK;
    } else {
      return static_cast<HRESULT>(f());
    }
  } catch (...) {
    return HResultFromException();
  }
}

// Runs f() where no error can be reported at all (destructors, window procedures' helpers):
// swallows every exception and says whether f completed.
template <class F>
bool GuardNoThrow(F&& f) noexcept {
  try {
    f();
    return true;
  } catch (...) {
    return false;
  }
}

// Publishes rich error text for the calling thread (IErrorInfo), so automation clients see a
// description in EXCEPINFO. Returns `hr` so it reads:  return ReportError(E_INVALIDARG, ...).
inline HRESULT ReportError(HRESULT hr, REFIID iid, const OLECHAR* source,
                           const OLECHAR* description) noexcept {
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.GetAddressOf())) && create) {
    create->SetGUID(iid);
    if (source) create->SetSource(const_cast<LPOLESTR>(source));
    if (description) create->SetDescription(const_cast<LPOLESTR>(description));
    if (auto info = create.Query<IErrorInfo>()) SetErrorInfo(0, info.Get());
  }
  return hr;
}

// ISupportErrorInfo for a ComObject entry list: S_OK for the interfaces given, so clients (and
// the marshaller) know to look for the IErrorInfo of ReportError after a failure.
//   common::ComObject<Widget, ..., common::SupportErrorInfo<&IID_IWidget>>
template <const IID*... Iids>
class SupportErrorInfo : public ISupportErrorInfo {
 public:
  using KitInterface = ISupportErrorInfo;
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return ((IsEqualIID(riid, *Iids)) || ...) ? S_OK : S_FALSE;
  }
};

}  // namespace common

#define COM_TRY try {
#define COM_CATCH                                \
  }                                              \
  catch (...) {                                  \
    return ::common::HResultFromException();     \
  }
