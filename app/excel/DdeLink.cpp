#include "DdeLink.h"

#include <cmath>
#include <type_traits>

namespace {
constexpr const char* kCalcTag = "Excel.CalculationMode";
constexpr short kGood = 192, kBad = 0;

std::optional<long> AsWholeNumber(const TagValue& v) {
  return std::visit(
      [](const auto& x) -> std::optional<long> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t>) {
          return static_cast<long>(x);
        } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
          double r = std::nearbyint(static_cast<double>(x));
          if (r != static_cast<double>(x) || std::fabs(r) > 2147483647.0) return std::nullopt;
          return static_cast<long>(r);
        } else {
          return std::nullopt;
        }
      },
      v);
}
}  // namespace

DdeLink::DdeLink(ServerTagDatabase& db, IDdeConversationPort& dde, IServedTagUpdatePort& tags,
                 DdeLinkContext context)
    : db_(db), dde_(dde), tags_(tags), ctx_(std::move(context)) {}

void DdeLink::CreateAdviseQueue(long size) {
  queue_ = std::make_unique<CommsBuffer>();
  if (size > 0) queue_->SetBufferSize(size);
}

void DdeLink::CreateCellFormatter() { formatter_ = std::make_unique<CellFormatter>(); }

void DdeLink::ConnectToDdeServer(const std::string& service, const std::string& topic) {
  std::string key = dde_.Connect(service, topic);
  std::shared_ptr<cSheet> sheet = db_.gSheets.Find(topic);
  if (key != kFailed && sheet) {
    sheet->Unpack();
    for (long i = 0; i < sheet->NumTags(); ++i)
      InitialRequest(key, sheet->OpcTag(i), sheet->ItemName(i));
    for (long i = 0; i < sheet->NumTags(); ++i)
      StartHotLink(key, topic, sheet->OpcTag(i), sheet->ItemName(i));
    ctx_.log("ConnectToDdeServer: OK for " + service + "," + topic);
  } else {
    ctx_.log("ConnectToDdeServer: Failed for " + service + "," + topic);
  }
  ctx_.startTimer(AppTimer::OpcUpdate);
}

void DdeLink::InitialRequest(const std::string& convKey, const std::string& tagName,
                             const std::string& cell) {
  if (convKey.empty()) return;
  std::shared_ptr<OpcIndex> tag = db_.gTagsByName.Find(tagName);
  if (!tag) return;
  tag->ConvKey = convKey;
  ctx_.log("DDE Request: " + convKey + ", " + cell + " (" + tagName + ")");
  RequestOutcome r = dde_.Request(convKey, cell, kTimeoutMs, kFormatText);
  if (r.failed) {
    ctx_.log("DDE Request Error: " + convKey + ", " + tagName + ", " + r.error);
  } else if (!r.hasData) {
    tags_.UpdateValue(tagName, std::nullopt, kBad);
    ctx_.log("DDE Request Error: " + convKey + ", " + tagName + " - No Data Returned");
  } else if (tag->IsServerTag()) {
    UpdateServerTag(*tag, tagName, r.data);
  } else if (ctx_.writeClientTag) {
    // A write cell sends what it holds when its conversation opens.
    ctx_.writeClientTag(*tag, tagName, r.data);
  }
}

void DdeLink::StartHotLink(const std::string& convKey, const std::string& sheet,
                           const std::string& tagName, const std::string& cell) {
  if (convKey.empty()) return;
  if (!db_.gTagsByName.Find(tagName)) return;
  const bool ack = ctx_.ackHotLinks && ctx_.ackHotLinks();
  std::string adviseKey = dde_.StartAdviseLoop(convKey, cell, kTimeoutMs, kFormatText, ack);
  if (adviseKey == kFailed) return;
  if (auto rec = db_.gTagsByCell.Find(sheet + "+" + cell))
    db_.gTagsByAdvise.Add(convKey + "+" + adviseKey, rec);  // a duplicate is ignored
}

void DdeLink::OnDDEAdvise(const std::string& convKey, const std::string& itemKey,
                          const std::string& data) {
  if (!queue_) CreateAdviseQueue(0);
  queue_->Queue(convKey, itemKey, data);
}

void DdeLink::OnDDEDisconnect(const std::string&) {
  if (ctx_.clientsConnected()) ctx_.requestClientShutdown("Excel is being shut down");
}

void DdeLink::OnUpdateTick() {
  if (!queue_) return;
  std::string conv, item, data;
  while (queue_->DeQueue(conv, item, data)) {
    std::shared_ptr<OpcIndex> tag = db_.gTagsByAdvise.Find(conv + "+" + item);
    // An advise nobody asked for ends this tick; what follows waits for the next one.
    if (!tag) return;
    if (tag->TagName.empty()) continue;
    if (tag->IsServerTag())
      UpdateServerTag(*tag, tag->TagName, data);
    else if (ctx_.writeClientTag)
      ctx_.writeClientTag(*tag, tag->TagName, data);
  }
}

void DdeLink::UpdateServerTag(const OpcIndex& tag, const std::string& tagName,
                              const std::string& text) {
  std::optional<TagValue> v;
  try {
    v = ConvertCellText(tag.DataType, text, ctx_.trueText(), ctx_.falseText(), ctx_.locale);
  } catch (...) {
    v.reset();
  }
  tags_.UpdateValue(tagName, v, v ? kGood : kBad);
}

bool DdeLink::PokeCell(const std::string& convKey, const std::string& cell,
                       const std::string& text) {
  try {
    return dde_.PokeString(convKey, cell, text, kTimeoutMs);
  } catch (...) {
    return false;
  }
}

void DdeLink::OnReEnableTick() {
  // A busy spreadsheet refuses: the timer keeps trying until calculation is automatic again.
  if (ctx_.setCalculation(-4105)) ctx_.stopTimer(AppTimer::ReEnableExcelAutoMode);
}

void DdeLink::RefreshCalculationModeTag() {
  long value = ServerTagDatabase::CalculationModeValue(ctx_.getCalculation());
  tags_.UpdateValue(kCalcTag, TagValue(static_cast<int32_t>(value)), kGood);
}

bool DdeLink::WriteCalculationMode(const TagValue& value) {
  bool ok = false;
  if (ctx_.autoCalcHoldMs() == 0) {
    std::optional<long> mode = AsWholeNumber(value);
    // A client may write the mode as text: numeric text is its number.
    if (const std::string* text = std::get_if<std::string>(&value); !mode && text && ctx_.locale.toDouble)
      if (std::optional<double> d = ctx_.locale.toDouble(*text)) mode = AsWholeNumber(TagValue(*d));
    static const long constants[] = {-4135, 2, -4105};  // manual, semiautomatic, automatic
    if (mode && *mode >= 0 && *mode <= 2) ok = ctx_.setCalculation(constants[*mode]);
    RefreshCalculationModeTag();
  }
  return ok;
}

long DdeLink::WriteItems(const std::vector<std::string>& names,
                         const std::vector<TagValue>& values, std::vector<long>& errors) {
  const long hold = ctx_.autoCalcHoldMs();
  if (hold == 0) {
    ctx_.stopTimer(AppTimer::ReEnableExcelAutoMode);
  } else {
    ctx_.setCalculation(-4135);
    ctx_.startTimer(AppTimer::ReEnableExcelAutoMode);  // a new write restarts the hold
  }
  const std::size_t n = std::min(names.size(), values.size());
  errors.assign(names.size(), kEFail);
  std::size_t ok = 0;
  for (std::size_t i = 0; i < n; ++i) {
    try {
      if (names[i] == kCalcTag) {
        if (WriteCalculationMode(values[i])) {
          errors[i] = 0;
          ++ok;
        }
        continue;
      }
      std::shared_ptr<OpcIndex> tag = db_.gTagsByName.Find(names[i]);
      if (ctx_.localUpdateOnWrite()) tags_.UpdateValue(names[i], values[i], kGood);
      if (!tag || tag->ConvKey.empty()) continue;  // no conversation serves its sheet
      std::string text;
      if (const bool* b = std::get_if<bool>(&values[i]))
        text = *b ? ctx_.trueText() : ctx_.falseText();
      else
        text = ctx_.locale.toText(values[i]);
      if (PokeCell(tag->ConvKey, tag->Item, text)) {
        errors[i] = 0;
        ++ok;
      }
    } catch (...) {
      // This item keeps its failure; the next one is still written.
    }
  }
  if (names.empty() || ok == 0) return kEFail;
  return ok == names.size() ? 0 : 1;
}
