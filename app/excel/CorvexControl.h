// The Corvex DDE client control, created in process through COM and called through the
// interfaces of its type library (the vtables, not IDispatch); its DDEAdvise and DDEDisconnect
// events arrive through its connection point and are passed on.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <Corvane.h>

#include <functional>
#include <map>
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
  common::ComPtr<IConversations> Conversations();
  common::ComPtr<IConversation> Conversation(const std::string& convKey);
  // Forgets the conversation objects looked up so far (all of them, or the one of a key).
  void ForgetConversations();

  common::ComPtr<ICorvex> ctl_;
  common::ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  std::string failed_ = DdeLink::kFailed;
  Events events_;
  // The control's collection and the conversations found in it by key. A key stands for the
  // same conversation only until that conversation ends: the entries go when the control
  // reports a disconnect, and all of them on Connect, Initialise and Uninitialise (a new
  // conversation may come back under a key an ended one had). Kept only while the events
  // arrive, since without them an ended conversation would go unnoticed.
  common::ComPtr<IConversations> conversations_;
  std::map<std::string, common::ComPtr<IConversation>> byKey_;
};
