// ShutdownSink: what the OPCServer object advises on the outside server's IOPCShutdown
// connection point. Its IUnknown is its IOPCShutdown. It refers back to the server object
// without a reference (the server object owns the sink; the outside server holds another
// reference for as long as it is advised), so the server object detaches it before it
// unadvises and forgets it before it goes away: a request that arrives after that is ignored.
#pragma once

#include "OpcCommon.h"
#include "common/Kit.h"

namespace veltrane {

class ServerObject;

class ShutdownSink final : public common::ComObject<ShutdownSink, IOPCShutdown> {
 public:
  explicit ShutdownSink(ServerObject* owner) noexcept : owner_(owner) {}

  void Attach() noexcept { attached_ = true; }
  void Detach() noexcept { attached_ = false; }
  bool Attached() const noexcept { return attached_; }
  // The owner is going away: nothing reaches it any more.
  void ForgetOwner() noexcept {
    attached_ = false;
    owner_ = nullptr;
  }

  // Passes the reason on while attached; S_OK in every case (the outside server has nothing
  // to do with our answer).
  STDMETHODIMP ShutdownRequest(LPCWSTR reason) override;

 private:
  ServerObject* owner_;
  bool attached_ = false;
};

}  // namespace veltrane
