// The Corvex DDE client control, created in process through COM and called through its type
// library by member names; its DDEAdvise and DDEDisconnect events are passed on.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <functional>
#include <string>

#include "AppPorts.h"
#include "DdeLink.h"
#include "common/ComPtr.h"

class CorvexControl : public IDdeControlPort, public IDdeConversationPort {
 public:
  struct Events {
    std::function<void(const std::string& convKey, const std::string& itemKey,
                       const std::string& data)>
        advise;
    std::function<void(const std::string& convKey)> disconnect;
  };

  CorvexControl() = default;
  ~CorvexControl() override;
  // Creates the control; false when Corvane.ocx is not registered or fails to start.
  bool Create();
  bool Created() const { return ctl_ != nullptr; }
  void SetEvents(Events e) { events_ = std::move(e); }

  // IDdeControlPort
  void SetFailedReturnString(const std::string& text) override;
  bool Initialise() override;
  void Uninitialise() override;

  // IDdeConversationPort
  std::string Connect(const std::string& service, const std::string& topic) override;
  RequestOutcome Request(const std::string& convKey, const std::string& item, long timeoutMs,
                         int format) override;
  std::string StartAdviseLoop(const std::string& convKey, const std::string& item,
                              long timeoutMs, int format, bool ackRequests) override;
  bool PokeString(const std::string& convKey, const std::string& item, const std::string& text,
                  long timeoutMs) override;

  // The control's description of its conversations, loops and transactions, and their count.
  DdeStatus Status();

 private:
  common::ComPtr<IDispatch> Conversation(const std::string& convKey);

  common::ComPtr<IDispatch> ctl_;
  common::ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  std::string failed_ = DdeLink::kFailed;
  Events events_;
};
