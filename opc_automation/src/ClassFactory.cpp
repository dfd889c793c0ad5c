#include "ClassFactory.h"

#include "Module.h"

namespace veltrane {

ULONG ClassFactory::AddRef() {
  ULONG n = Base::AddRef();
  if (n == 2) Module::Lock();
  return n;
}

ULONG ClassFactory::Release() {
  ULONG n = Base::Release();  // destroys the factory at 0
  if (n == 1) Module::Unlock();
  return n;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  // A C caller can hand over a null IID reference.
  const IID* volatile iid = &riid;
  if (!iid) return E_INVALIDARG;
  if (!create_) return E_UNEXPECTED;
  HRESULT hr = common::GuardHResult([&] { return create_(riid, ppv); });
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  if (lock) Module::Lock();
  else Module::Unlock();
  return S_OK;
}

}  // namespace veltrane
