#include "CorvexControl.h"

#include "common/Bstr.h"
#include "common/ComObject.h"
#include "common/Dispatch.h"
#include "common/Strings.h"
#include "common/Variant.h"

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

// The control's class and its event interface, from its type library.
const CLSID kClsidCorvex = {0x060A26E6, 0x75AB, 0x4B55, {0xA6, 0x6B, 0xE2, 0x73, 0xAA, 0xD0, 0x56, 0x9B}};
const IID kIidCorvexEvents = {0x97EBF697, 0x60C1, 0x451C, {0x83, 0xD2, 0x30, 0x95, 0x86, 0xEF, 0x9A, 0x17}};
constexpr DISPID kDispDDEAdvise = 1, kDispDDEDisconnect = 3;

std::string Ansi(BSTR b) { return b ? common::WideToAnsi(common::FromOle(b)) : std::string(); }

std::string Text(const VARIANT* v) {
  if (!v) return std::string();
  BSTR b = nullptr;
  if (V_VT(v) == VT_BSTR)
    b = V_BSTR(v);
  else if (V_VT(v) == (VT_BSTR | VT_BYREF) && V_BSTRREF(v))
    b = *V_BSTRREF(v);
  else if (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v))
    return Text(V_VARIANTREF(v));
  return Ansi(b);
}

IDispatch* DispatchOf(const VARIANT* v) {
  if (!v) return nullptr;
  if (V_VT(v) == VT_DISPATCH) return V_DISPATCH(v);
  if (V_VT(v) == (VT_DISPATCH | VT_BYREF) && V_DISPATCHREF(v)) return *V_DISPATCHREF(v);
  return nullptr;
}

std::string DataString(IDDEData* data) {
  Bstr s;
  if (!data || FAILED(data->get_DataString(s.ReleaseAndGetAddressOf())) || !s.Get())
    return std::string();
  return Ansi(s.Get());
}

// The data object an event carries, through its own interface.
std::string DataString(IDispatch* data) {
  if (!data) return std::string();
  ComPtr<IDDEData> d;
  if (FAILED(data->QueryInterface(__uuidof(IDDEData), d.PutVoid()))) return std::string();
  return DataString(d.Get());
}

Bstr Str(const std::string& s) { return Bstr(common::AnsiToWide(s)); }

// An optional argument left out, as a caller by name leaves it.
Variant Missing() {
  Variant v;
  V_VT(v.Ptr()) = VT_ERROR;
  V_ERROR(v.Ptr()) = DISP_E_PARAMNOTFOUND;
  return v;
}

// What went wrong in a call that failed: the control's own description when it left one.
std::string FailureText(HRESULT hr) {
  ComPtr<IErrorInfo> info;
  Bstr text;
  if (GetErrorInfo(0, info.GetAddressOf()) == S_OK && info &&
      SUCCEEDED(info->GetDescription(text.ReleaseAndGetAddressOf())) && text.Get() &&
      SysStringLen(text.Get()) > 0)
    return Ansi(text.Get());
  return common::HResultToString(hr);
}

}  // namespace

CorvexControl::~CorvexControl() {
  if (point_ && cookie_) point_->Unadvise(cookie_);
}

bool CorvexControl::Create() {
  ComPtr<IUnknown> obj;
  if (FAILED(CoCreateInstance(kClsidCorvex, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                              obj.PutVoid())) ||
      !obj || FAILED(obj->QueryInterface(__uuidof(ICorvex), ctl_.PutVoid())) || !ctl_) {
    ctl_.Reset();
    return false;
  }
  ComPtr<IConnectionPointContainer> cpc;
  if (SUCCEEDED(ctl_->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid())) && cpc &&
      SUCCEEDED(cpc->FindConnectionPoint(kIidCorvexEvents, point_.ReleaseAndGetAddressOf()))) {
    auto sink = common::Make<common::DispatchSink>(
        kIidCorvexEvents,
        [this](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) -> HRESULT {
          if (id == kDispDDEAdvise && args.size() >= 5 && events_.advise) {
            events_.advise(Text(args[0]), Text(args[2]), DataString(DispatchOf(args[4])));
          } else if (id == kDispDDEDisconnect && args.size() >= 1) {
            const std::string key = Text(args[0]);
            byKey_.erase(key);  // the control takes the conversation out of its collection
            if (events_.disconnect) events_.disconnect(key);
          }
          return S_OK;  // the other events are received and need nothing
        });
    if (FAILED(point_->Advise(sink.Get(), &cookie_))) cookie_ = 0;
  }
  return true;
}

void CorvexControl::ForgetConversations() {
  conversations_.Reset();
  byKey_.clear();
}

void CorvexControl::SetFailedReturnString(const std::string& text) {
  failed_ = text;
  if (ctl_) ctl_->put_FailedReturnString(Str(text).Get());
}

bool CorvexControl::Initialise() {
  if (!ctl_) return false;
  ForgetConversations();
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(ctl_->Initialise(&ok)) && ok != VARIANT_FALSE;
}

void CorvexControl::Uninitialise() {
  if (!ctl_) return;
  ForgetConversations();
  VARIANT_BOOL ok = VARIANT_FALSE;
  ctl_->Uninitialise(&ok);
  ComPtr<ILogFile> log;
  if (SUCCEEDED(ctl_->get_LogFile(log.GetAddressOf())) && log) log->Deactivate();
}

std::string CorvexControl::Connect(const std::string& service, const std::string& topic) {
  if (!ctl_) return failed_;
  // A conversation that ended unseen may have left its key to the new one.
  byKey_.clear();
  Bstr key;
  if (FAILED(ctl_->Connect(Str(service).Get(), Str(topic).Get(), Missing(),
                           key.ReleaseAndGetAddressOf())))
    return failed_;
  return Ansi(key.Get());
}

ComPtr<IConversations> CorvexControl::Conversations() {
  if (!ctl_) return nullptr;
  if (conversations_) return conversations_;
  ComPtr<IConversations> c;
  if (FAILED(ctl_->get_Conversations(c.GetAddressOf()))) return nullptr;
  conversations_ = c;
  return c;
}

ComPtr<IConversation> CorvexControl::Conversation(const std::string& convKey) {
  if (auto it = byKey_.find(convKey); it != byKey_.end()) return it->second;
  ComPtr<IConversations> all = Conversations();
  if (!all) return nullptr;
  ComPtr<IConversation> conv;
  Variant key(common::AnsiToWide(convKey));
  if (FAILED(all->get_Conversation(key, conv.GetAddressOf())) || !conv) return nullptr;
  if (cookie_) byKey_[convKey] = conv;
  return conv;
}

RequestOutcome CorvexControl::Request(const std::string& convKey, const std::string& item,
                                      long timeoutMs, int format) {
  RequestOutcome r;
  ComPtr<IConversation> conv = Conversation(convKey);
  if (!conv) {
    r.failed = true;
    r.error = "no conversation " + convKey;
    return r;
  }
  ComPtr<IDDEData> data;
  HRESULT hr = conv->Request(Str(item).Get(), timeoutMs, format, data.GetAddressOf());
  if (FAILED(hr)) {
    r.failed = true;
    r.error = FailureText(hr);
    return r;
  }
  r.hasData = data != nullptr;
  if (data) r.data = DataString(data.Get());
  return r;
}

std::string CorvexControl::StartAdviseLoop(const std::string& convKey, const std::string& item,
                                           long timeoutMs, int format, bool ackRequests) {
  ComPtr<IConversation> conv = Conversation(convKey);
  if (!conv) return failed_;
  Bstr key;
  if (FAILED(conv->StartAdviseLoop(Str(item).Get(), timeoutMs, format,
                                   ackRequests ? VARIANT_TRUE : VARIANT_FALSE,
                                   key.ReleaseAndGetAddressOf())))
    return failed_;
  return Ansi(key.Get());
}

bool CorvexControl::PokeString(const std::string& convKey, const std::string& item,
                               const std::string& text, long timeoutMs) {
  ComPtr<IConversation> conv = Conversation(convKey);
  if (!conv) return false;
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(conv->PokeString(Str(item).Get(), Str(text).Get(), timeoutMs, &ok)) &&
         ok != VARIANT_FALSE;
}

DdeStatus CorvexControl::Status() {
  DdeStatus st{failed_};
  if (!ctl_) return st;
  Bstr s;
  if (SUCCEEDED(ctl_->StateDescription(s.ReleaseAndGetAddressOf()))) st.description = Ansi(s.Get());
  LONG count = 0;
  ComPtr<IConversations> all = Conversations();
  if (all && SUCCEEDED(all->get_Count(&count))) {
    st.countKnown = true;
    st.conversations = count;
  }
  return st;
}
