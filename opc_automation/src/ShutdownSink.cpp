#include "ShutdownSink.h"

#include "ServerObject.h"

namespace veltrane {

STDMETHODIMP ShutdownSink::ShutdownRequest(LPCWSTR reason) {
  // A client's event handler may release the server object, and with it our owner's
  // reference on us, while the event is under way.
  common::ComPtr<ShutdownSink> self(this);
  if (attached_ && owner_) owner_->OnShutdownRequest(reason);
  return S_OK;
}

}  // namespace veltrane
