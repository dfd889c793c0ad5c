// Checks shared by the in-process and the cross-process tests: the same behaviour is expected
// of the test coclass whether it lives in this process, in a DLL or in the local server.
#pragma once

#include "KitTest.h"
#include "common/Kit.h"

#include <functional>
#include <string>

namespace kittest {

// A custom-interface sink for IKitNotify.
class NotifySink final : public common::ComObject<NotifySink, IKitNotify> {
 public:
  explicit NotifySink(std::function<void(LONG)> f) : f_(std::move(f)) {}
  STDMETHODIMP Notify(LONG value) override {
    return common::GuardHResult([&] { f_(value); });
  }

 private:
  std::function<void(LONG)> f_;
};

// Late-bound calls on IKitCalc through IDispatch: positional and named arguments, coercion,
// wrong types, bad DISPIDs, property get/put, errors with EXCEPINFO, exceptions inside methods,
// _NewEnum and SAFEARRAY results.
void ExpectDispatchBehaviour(IDispatch* d);

// Connection points of a KitCalc: Advise/Unadvise errors, events through the dispinterface and
// the custom interface, EnumConnections, sinks unadvising during a fire.
void ExpectConnectionPointBehaviour(IUnknown* calc, bool sameProcess);

// Unix path from the build -> Windows path through drive Z:.
std::string BinPath(const char* file);

}  // namespace kittest
