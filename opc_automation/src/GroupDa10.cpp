// The group's DA 1.0 data path: IOPCAsyncIO and the IDataObject advises with the OPC stream
// formats. Not built yet: subscriptions and the asynchronous calls of a DA 1.0 group answer
// E_NOTIMPL (synchronous I/O and the state members work on both paths).
#include "GroupObject.h"

namespace veltrane {

HRESULT GroupObject::Subscribe10() noexcept { return E_NOTIMPL; }
HRESULT GroupObject::Unsubscribe10() noexcept {
  subscribed_ = false;
  return S_OK;
}
HRESULT GroupObject::AsyncRead10(std::vector<OPCHANDLE>&, SAFEARRAY**, LONG, LONG*) { return E_NOTIMPL; }
HRESULT GroupObject::AsyncWrite10(std::vector<OPCHANDLE>&, std::vector<common::Variant>&, SAFEARRAY**,
                                  LONG, LONG*) {
  return E_NOTIMPL;
}
HRESULT GroupObject::AsyncRefresh10(SHORT, LONG, LONG*) noexcept { return E_NOTIMPL; }
HRESULT GroupObject::AsyncCancel10(LONG) noexcept { return E_NOTIMPL; }

}  // namespace veltrane
