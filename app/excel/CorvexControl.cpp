#include "CorvexControl.h"

#include "common/ComObject.h"
#include "common/Dispatch.h"
#include "common/Strings.h"
#include "common/Variant.h"

using common::ComPtr;
using common::Variant;

namespace {

// The control's class and its event interface, from its type library.
const CLSID kClsidCorvex = {0x060A26E6, 0x75AB, 0x4B55, {0xA6, 0x6B, 0xE2, 0x73, 0xAA, 0xD0, 0x56, 0x9B}};
const IID kIidCorvexEvents = {0x97EBF697, 0x60C1, 0x451C, {0x83, 0xD2, 0x30, 0x95, 0x86, 0xEF, 0x9A, 0x17}};
constexpr DISPID kDispDDEAdvise = 1, kDispDDEDisconnect = 3;

std::string Text(const VARIANT* v) {
  if (!v) return std::string();
  BSTR b = nullptr;
  if (V_VT(v) == VT_BSTR)
    b = V_BSTR(v);
  else if (V_VT(v) == (VT_BSTR | VT_BYREF) && V_BSTRREF(v))
    b = *V_BSTRREF(v);
  else if (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v))
    return Text(V_VARIANTREF(v));
  return b ? common::WideToAnsi(common::FromOle(b)) : std::string();
}

IDispatch* DispatchOf(const VARIANT* v) {
  if (!v) return nullptr;
  if (V_VT(v) == VT_DISPATCH) return V_DISPATCH(v);
  if (V_VT(v) == (VT_DISPATCH | VT_BYREF) && V_DISPATCHREF(v)) return *V_DISPATCHREF(v);
  return nullptr;
}

std::string DataString(IDispatch* data) {
  if (!data) return std::string();
  Variant s;
  if (FAILED(common::GetProperty(data, L"DataString", s.Ptr())) || V_VT(s.Ptr()) != VT_BSTR)
    return std::string();
  return common::WideToAnsi(common::FromOle(V_BSTR(s.Ptr())));
}

Variant Str(const std::string& s) { return Variant(common::AnsiToWide(s)); }
Variant Long(long v) { return Variant(static_cast<int>(v)); }

}  // namespace

CorvexControl::~CorvexControl() {
  if (point_ && cookie_) point_->Unadvise(cookie_);
}

bool CorvexControl::Create() {
  if (FAILED(CoCreateInstance(kClsidCorvex, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(ctl_.ReleaseAndGetAddressOf()))) ||
      !ctl_)
    return false;
  ComPtr<IConnectionPointContainer> cpc;
  if (SUCCEEDED(ctl_->QueryInterface(IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(cpc.ReleaseAndGetAddressOf()))) &&
      cpc && SUCCEEDED(cpc->FindConnectionPoint(kIidCorvexEvents, point_.ReleaseAndGetAddressOf()))) {
    auto sink = common::Make<common::DispatchSink>(
        kIidCorvexEvents,
        [this](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) -> HRESULT {
          if (id == kDispDDEAdvise && args.size() >= 5 && events_.advise)
            events_.advise(Text(args[0]), Text(args[2]), DataString(DispatchOf(args[4])));
          else if (id == kDispDDEDisconnect && args.size() >= 1 && events_.disconnect)
            events_.disconnect(Text(args[0]));
          return S_OK;  // the other events are received and need nothing
        });
    if (FAILED(point_->Advise(sink.Get(), &cookie_))) cookie_ = 0;
  }
  return true;
}

void CorvexControl::SetFailedReturnString(const std::string& text) {
  failed_ = text;
  if (ctl_) common::PutProperty(ctl_.Get(), L"FailedReturnString", Str(text));
}

bool CorvexControl::Initialise() {
  if (!ctl_) return false;
  Variant ok;
  return SUCCEEDED(common::CallMethod(ctl_.Get(), L"Initialise", {}, ok.Ptr())) &&
         V_VT(ok.Ptr()) == VT_BOOL && V_BOOL(ok.Ptr()) != VARIANT_FALSE;
}

void CorvexControl::Uninitialise() {
  if (!ctl_) return;
  Variant ok;
  common::CallMethod(ctl_.Get(), L"Uninitialise", {}, ok.Ptr());
  Variant log;
  if (SUCCEEDED(common::GetProperty(ctl_.Get(), L"LogFile", log.Ptr())) && DispatchOf(log.Ptr()))
    common::CallMethod(DispatchOf(log.Ptr()), L"Deactivate");
}

std::string CorvexControl::Connect(const std::string& service, const std::string& topic) {
  if (!ctl_) return failed_;
  Variant key;
  if (FAILED(common::CallMethod(ctl_.Get(), L"Connect", {Str(service), Str(topic)}, key.Ptr())))
    return failed_;
  return Text(key.Ptr());
}

ComPtr<IDispatch> CorvexControl::Conversation(const std::string& convKey) {
  if (!ctl_) return nullptr;
  Variant convs;
  if (FAILED(common::GetProperty(ctl_.Get(), L"Conversations", convs.Ptr()))) return nullptr;
  IDispatch* c = DispatchOf(convs.Ptr());
  if (!c) return nullptr;
  Variant conv;
  if (FAILED(common::GetProperty(c, L"Conversation", conv.Ptr(), {Str(convKey)}))) return nullptr;
  return ComPtr<IDispatch>(DispatchOf(conv.Ptr()));
}

RequestOutcome CorvexControl::Request(const std::string& convKey, const std::string& item,
                                      long timeoutMs, int format) {
  RequestOutcome r;
  ComPtr<IDispatch> conv = Conversation(convKey);
  if (!conv) {
    r.failed = true;
    r.error = "no conversation " + convKey;
    return r;
  }
  Variant data;
  HRESULT hr = common::CallMethod(conv.Get(), L"Request",
                                  {Str(item), Long(timeoutMs), Long(format)}, data.Ptr());
  if (FAILED(hr)) {
    r.failed = true;
    r.error = common::HResultToString(hr);
    return r;
  }
  IDispatch* d = DispatchOf(data.Ptr());
  r.hasData = d != nullptr;
  if (d) r.data = DataString(d);
  return r;
}

std::string CorvexControl::StartAdviseLoop(const std::string& convKey, const std::string& item,
                                           long timeoutMs, int format, bool ackRequests) {
  ComPtr<IDispatch> conv = Conversation(convKey);
  if (!conv) return failed_;
  Variant key;
  if (FAILED(common::CallMethod(conv.Get(), L"StartAdviseLoop",
                                {Str(item), Long(timeoutMs), Long(format), Variant(ackRequests)},
                                key.Ptr())))
    return failed_;
  return Text(key.Ptr());
}

bool CorvexControl::PokeString(const std::string& convKey, const std::string& item,
                               const std::string& text, long timeoutMs) {
  ComPtr<IDispatch> conv = Conversation(convKey);
  if (!conv) return false;
  Variant ok;
  return SUCCEEDED(common::CallMethod(conv.Get(), L"PokeString",
                                      {Str(item), Str(text), Long(timeoutMs)}, ok.Ptr())) &&
         V_VT(ok.Ptr()) == VT_BOOL && V_BOOL(ok.Ptr()) != VARIANT_FALSE;
}

DdeStatus CorvexControl::Status() {
  DdeStatus st{failed_};
  if (!ctl_) return st;
  Variant s;
  if (SUCCEEDED(common::CallMethod(ctl_.Get(), L"StateDescription", {}, s.Ptr())))
    st.description = Text(s.Ptr());
  Variant convs, count;
  if (SUCCEEDED(common::GetProperty(ctl_.Get(), L"Conversations", convs.Ptr())) &&
      DispatchOf(convs.Ptr()) &&
      SUCCEEDED(common::GetProperty(DispatchOf(convs.Ptr()), L"Count", count.Ptr())) &&
      SUCCEEDED(VariantChangeType(count.Ptr(), count.Ptr(), 0, VT_I4))) {
    st.countKnown = true;
    st.conversations = V_I4(count.Ptr());
  }
  return st;
}
