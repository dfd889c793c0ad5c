// The DDE link to Excel: one conversation per worksheet, each tag's cell read once and then
// kept current by a hot link through the advise queue; OPC client writes poked into cells, with
// Excel's automatic calculation optionally held off around them; the calculation-mode tag.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppPorts.h"
#include "CellFormatter.h"
#include "CellText.h"
#include "CommsBuffer.h"
#include "ServerTagDatabase.h"

// The DDE client control as the link uses it (conversation keys and item keys are texts;
// a failed call returns the control's FailedReturnString).
struct RequestOutcome {
  bool failed = false;   // the call itself failed (error holds its description)
  std::string error;
  bool hasData = false;  // false: no data returned
  std::string data;      // the DDEData's DataString
};

class IDdeConversationPort {
 public:
  virtual ~IDdeConversationPort() = default;
  virtual std::string Connect(const std::string& service, const std::string& topic) = 0;
  virtual RequestOutcome Request(const std::string& convKey, const std::string& item,
                                 long timeoutMs, int format) = 0;
  virtual std::string StartAdviseLoop(const std::string& convKey, const std::string& item,
                                      long timeoutMs, int format, bool ackRequests) = 0;
  virtual bool PokeString(const std::string& convKey, const std::string& item,
                          const std::string& text, long timeoutMs) = 0;
};

// A served tag's new value (none: no value) and quality.
class IServedTagUpdatePort {
 public:
  virtual ~IServedTagUpdatePort() = default;
  virtual void UpdateValue(const std::string& tag, const std::optional<TagValue>& value,
                           short quality) = 0;
};

struct DdeLinkContext {
  std::function<void(const std::string&)> log;
  std::function<std::string()> trueText, falseText;
  std::function<bool()> localUpdateOnWrite;
  std::function<long()> autoCalcHoldMs;
  std::function<void(AppTimer)> startTimer, stopTimer;
  std::function<std::optional<long>()> getCalculation;
  std::function<bool(long)> setCalculation;
  std::function<bool()> clientsConnected;
  std::function<void(const std::string&)> requestClientShutdown;
  std::function<DdeStatus()> ddeStatus;
  std::function<bool()> ackHotLinks;  // hot links started with acknowledgement requests  // the DDE control's own account of its state
  // A write cell of the OPC client bridge: its text goes to the other server.
  std::function<void(const OpcIndex&, const std::string& tag, const std::string& text)>
      writeClientTag;
  LocaleConversions locale = NeutralConversions();
};

class DdeLink : public IDdeLinkPort {
 public:
  static constexpr const char* kFailed = "<Test failed return string>";
  static constexpr long kTimeoutMs = 1000;
  static constexpr int kFormatText = 1;
  static constexpr long kEFail = static_cast<long>(0x80004005L);

  DdeLink(ServerTagDatabase& db, IDdeConversationPort& dde, IServedTagUpdatePort& tags,
          DdeLinkContext context);

  // IDdeLinkPort
  void CreateAdviseQueue(long size) override;
  void CreateCellFormatter() override;
  void ConnectToDdeServer(const std::string& service, const std::string& topic) override;

  // The control's events.
  void OnDDEAdvise(const std::string& convKey, const std::string& itemKey,
                   const std::string& data);
  void OnDDEDisconnect(const std::string& convKey);
  // tmrOpcUpdate: drains the advise queue into the tags.
  void OnUpdateTick() override;
  // tmrReEnableExcelAutoMode: automatic calculation again.
  void OnReEnableTick() override;
  DdeStatus QueryDdeStatus() override {
    return ctx_.ddeStatus ? ctx_.ddeStatus() : DdeStatus{kFailed};
  }

  void UpdateServerTag(const OpcIndex& tag, const std::string& tagName, const std::string& text);
  bool PokeCell(const std::string& convKey, const std::string& cell, const std::string& text);
  // A client write: per-item errors (0 or E_FAIL) and the overall result (0, 1 or E_FAIL).
  long WriteItems(const std::vector<std::string>& names, const std::vector<TagValue>& values,
                  std::vector<long>& errors);

  CommsBuffer* Queue() { return queue_.get(); }
  CellFormatter* Formatter() { return formatter_.get(); }

 private:
  void InitialRequest(const std::string& convKey, const std::string& tagName,
                      const std::string& cell);
  void StartHotLink(const std::string& convKey, const std::string& sheet,
                    const std::string& tagName, const std::string& cell);
  bool WriteCalculationMode(const TagValue& value);
  void RefreshCalculationModeTag();

  ServerTagDatabase& db_;
  IDdeConversationPort& dde_;
  IServedTagUpdatePort& tags_;
  DdeLinkContext ctx_;
  std::unique_ptr<CommsBuffer> queue_;
  std::unique_ptr<CellFormatter> formatter_;
};
