// Corvex: the control's dispatch surface, its OLE control interfaces and its state dump.
#include <cstdio>

#include "Core.h"
#include "resource.h"

namespace corvane {

namespace {
HRESULT Text(BSTR* v, const wchar_t* s) {
  if (!v) return E_POINTER;
  *v = SysAllocString(s);
  return *v ? S_OK : E_OUTOFMEMORY;
}
HRESULT KeyOut(BSTR* v, const std::string& s) {
  if (!v) return E_POINTER;
  *v = nullptr;
  return common::GuardHResult([&] { *v = Bstr(s); });
}
template <class Impl, class I>
HRESULT PutOurs(I* v, ComPtr<Impl>& field) {
  if (!v) {
    field.Reset();
    return S_OK;
  }
  auto* ours = dynamic_cast<Impl*>(v);
  if (!ours) return Fail(E_INVALIDARG, IID_ICorvex, L"Only objects of this library can be assigned");
  field = ComPtr<Impl>(ours);
  return S_OK;
}
template <class Impl, class I>
HRESULT GetOut(const ComPtr<Impl>& field, I** v) {
  if (!v) return E_POINTER;
  *v = field.Get();
  if (*v) (*v)->AddRef();
  return S_OK;
}
wstring DateText(DATE d) {
  BSTR b = nullptr;
  if (FAILED(VarBstrFromDate(d, LOCALE_USER_DEFAULT, 0, &b))) return L"";
  wstring s = FromBstr(b);
  SysFreeString(b);
  return s;
}
ConvContextObj* ContextOf(const VARIANT& v, HRESULT* hr);
}  // namespace

ConvContextObj* ConvContextFromVariant(const VARIANT& v, HRESULT* hr);  // Objects.cpp
namespace {
ConvContextObj* ContextOf(const VARIANT& v, HRESULT* hr) { return ConvContextFromVariant(v, hr); }
}

CorvexControl::CorvexControl() {
  events_ = &AddConnectionPoint(DIID_DCorvexEvents);
  ModuleState& m = State();
  m.owner = this;  // the last-created control owns the callback
  m.idInst = 0;
}

CorvexControl::~CorvexControl() {
  ModuleState& m = State();
  if (m.owner == this) m.owner = nullptr;
}

void CorvexControl::Fire(DISPID id, std::initializer_list<common::Variant> args) {
  ComPtr<CorvexControl> self(this);
  events_->FireDispatch(id, std::span<const VARIANT>(static_cast<const VARIANT*>(args.begin()), args.size()));
}

wstring CorvexControl::AddConversation(HCONV h, HSZ hszService, const wstring& service, HSZ hszTopic,
                                       const wstring& topic, ConvContextObj* context) {
  auto c = common::Make<ConversationObj>();
  c->created = Now();
  c->hConv = h;
  c->hszService = hszService;
  c->service = service;
  c->hszTopic = hszTopic;
  c->topic = topic;
  c->convContext = ComPtr<ConvContextObj>(context);
  wstring key = Widen(corvane::ConvKey(H32(h)));
  if (!conversations || !conversations->items.Add(key, c.Get())) {
    // Not kept, so not left open: the conversation and its handles are given back first.
    Ddeml().DdeDisconnect(h);
    if (hszService) FreeHsz(hszService);
    if (hszTopic) FreeHsz(hszTopic);
    WriteLogW(L"AddConversation: Conversation &H" + Widen(HexH(h)) + L" with " + service + L"|" + topic +
                  L" not kept: key " + key + L" is in use", LOG_ERR);
    throw common::ComError(Fail(kErrDuplicateKey, IID_ICorvex,
                                L"This key is already associated with an element of this collection"));
  }
  return key;
}

ConversationObj* CorvexControl::FindConversation(HCONV h) {
  if (!conversations) return nullptr;
  return conversations->items.Find(Widen(corvane::ConvKey(H32(h))));
}

wstring CorvexControl::AddRegisteredService(HSZ base, HSZ instance) {
  wstring result = State().failedReturnString;
  common::GuardNoThrow([&] {
    if (!channels) return;
    auto ch = common::Make<ChannelObj>();
    ch->key = Widen(corvane::ServiceKey(H32(instance)));
    ch->instanceService = QueryHsz(instance);
    ch->service = QueryHsz(base);
    ch->hszService = instance;
    if (channels->items.Find(ch->key)) return;
    KeepHsz(instance);
    channels->items.Add(ch->key, ch.Get());
    result = ch->key;
  });
  return result;
}

// ---- ICorvex ---------------------------------------------------------------------------------
STDMETHODIMP CorvexControl::get_Conversations(IConversations** v) { return GetOut(conversations, v); }
STDMETHODIMP CorvexControl::putref_Conversations(IConversations* v) { return PutOurs(v, conversations); }
STDMETHODIMP CorvexControl::get_Channels(IChannels** v) { return GetOut(channels, v); }
STDMETHODIMP CorvexControl::putref_Channels(IChannels* v) { return PutOurs(v, channels); }
STDMETHODIMP CorvexControl::get_LogFile(ILogFile** v) {
  if (!v) return E_POINTER;
  *v = nullptr;
  return common::GuardHResult([&] {
    if (!logFile) logFile = common::Make<LogFileObj>();
    *v = logFile.Get();
    (*v)->AddRef();
  });
}
STDMETHODIMP CorvexControl::putref_LogFile(ILogFile* v) { return PutOurs(v, logFile); }
STDMETHODIMP CorvexControl::get_SZDDE_ITEM_ITEMLIST(BSTR* v) { return Text(v, L"TopicItemList"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_ITEM_FORMATS(BSTR* v) { return Text(v, L"Formats"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_ITEM_HELP(BSTR* v) { return Text(v, L"Help"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_ITEM_RTNMSG(BSTR* v) { return Text(v, L"ReturnMessage"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_ITEM_STATUS(BSTR* v) { return Text(v, L"Status"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_ITEM_SYSITEMS(BSTR* v) { return Text(v, L"SysItems"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_ITEM_TOPICS(BSTR* v) { return Text(v, L"Topics"); }
STDMETHODIMP CorvexControl::get_SZDDESYS_TOPIC(BSTR* v) { return Text(v, L"System"); }

STDMETHODIMP CorvexControl::CreateConvContext(LONG flags, LONG country, LONG codePage, LONG langId,
                                              LONG security, VARIANT qosArg, IConvContext** v) {
  if (!v) return E_POINTER;
  *v = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    ComPtr<IQualityOfService> given;
    const VARIANT* p = &qosArg;
    if (V_VT(p) == (VT_BYREF | VT_VARIANT)) p = V_VARIANTREF(p);
    if ((V_VT(p) == VT_DISPATCH || V_VT(p) == VT_UNKNOWN) && V_UNKNOWN(p)) {
      if (FAILED(V_UNKNOWN(p)->QueryInterface(IID_IQualityOfService, given.PutVoid())))
        return Fail(DISP_E_TYPEMISMATCH, IID_ICorvex, L"QualityOfService must be a QualityOfService object");
    } else if (V_VT(p) != VT_EMPTY && V_VT(p) != VT_ERROR && V_VT(p) != VT_NULL &&
               V_VT(p) != VT_DISPATCH && V_VT(p) != VT_UNKNOWN) {
      return Fail(DISP_E_TYPEMISMATCH, IID_ICorvex, L"QualityOfService must be a QualityOfService object");
    }
    auto cc = common::Make<ConvContextObj>();
    cc->flags = flags;
    cc->countryId = country;
    cc->codePage = codePage;
    cc->langId = langId;
    cc->security = security;
    if (given) {
      cc->qos = given;
    } else {
      cc->qos->put_ContextTrackingMode(0);
      cc->qos->put_EffectiveOnly(256);
      cc->qos->put_ImpersonationLevel(2);
    }
    *v = cc.Detach();
    return S_OK;
  });
}
STDMETHODIMP CorvexControl::CreateQualityOfService(SHORT level, SHORT tracking, LONG effective,
                                                   IQualityOfService** v) {
  if (!v) return E_POINTER;
  *v = nullptr;
  return common::GuardHResult([&] {
    auto q = common::Make<QualityOfServiceObj>();
    q->impersonationLevel = level;
    q->contextTrackingMode = tracking;
    q->effectiveOnly = effective;
    *v = q.Detach();
  });
}
STDMETHODIMP CorvexControl::get_FailedReturnString(BSTR* v) {
  if (!v) return E_POINTER;
  *v = nullptr;
  return common::GuardHResult([&] { *v = Bstr(State().failedReturnString); });
}
STDMETHODIMP CorvexControl::put_FailedReturnString(BSTR v) {
  return common::GuardHResult([&] { State().failedReturnString = FromBstr(v); });
}
STDMETHODIMP CorvexControl::get_HandleEarlyAdvises(VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  *v = VB(State().handleEarlyAdvises);
  return S_OK;
}
STDMETHODIMP CorvexControl::put_HandleEarlyAdvises(VARIANT_BOOL v) {
  State().handleEarlyAdvises = v != VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP CorvexControl::Initialise(VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  return common::GuardHResult([&] {
    ModuleState& m = State();
    if (m.idInst) return;
    if (DDE_Initialise(APPCMD_CLIENTONLY) != DMLERR_NO_ERROR || !m.idInst) return;
    conversations = common::Make<ConversationsObj>();
    channels = common::Make<ChannelsObj>();
    m.early.Clear();
    m.haveEarly = true;
    *ok = VARIANT_TRUE;
  });
}

STDMETHODIMP CorvexControl::ProcessEarlyAdvises() {
  ComPtr<CorvexControl> self(this);
  return common::GuardHResult([&] {
    ModuleState& m = State();
    if (!m.haveEarly) return;
    for (auto& entry : m.early.Snapshot()) {
      std::string itemKey = corvane::ItemKey(H32(entry->hszItem));
      std::string convKey = corvane::ConvKey(H32(entry->hConv));
      ComPtr<ConversationObj> conv(FindConversation(entry->hConv));
      ComPtr<AdviseLoopObj> loop(conv ? conv->adviseLoops.Find(Widen(itemKey)) : nullptr);
      if (!loop) break;  // the rest waits no longer: the collection is emptied below
      loop->data = entry->data;
      Fire(1, {common::Variant(Widen(convKey).c_str()), common::Variant(static_cast<IDispatch*>(conv.Get())),
               common::Variant(Widen(itemKey).c_str()), common::Variant(static_cast<IDispatch*>(loop.Get())),
               common::Variant(static_cast<IDispatch*>(entry->data.Get()))});
      WriteLog("Event: DDEAdvise(" + convKey + ", " + itemKey + ")", LOG_EV);
    }
    while (m.early.Count() > 0) m.early.RemoveAt(0);
  });
}

STDMETHODIMP CorvexControl::Reconnect(VARIANT index, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<CorvexControl> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    if (!conversations) return Fail(kErrObjectRequired, IID_ICorvex, L"Not initialised");
    ComPtr<ConversationObj> conv(conversations->items.Lookup(index));
    if (!conv) return Fail(kErrInvalidArgument, IID_ICorvex, L"Invalid procedure call or argument");
    wstring r = State().failedReturnString;
    if (conv->disconnected) {
      HCONV h = DDE_Reconnect(conv->hConv);
      if (h) {
        wstring newKey = Widen(corvane::ConvKey(H32(h)));
        ConversationObj* holder = conversations->items.Find(newKey);
        if (holder && holder != conv.Get()) {
          // The new handle's key is taken: the new conversation cannot be kept, so it is given
          // back; this one stays as it was (DDEML has retired its old handle).
          Ddeml().DdeDisconnect(h);
          conv->released = true;
          WriteLogW(L"Reconnect: Conversation &H" + Widen(HexH(h)) + L" not kept: key " + newKey +
                        L" is in use", LOG_ERR);
          return Fail(kErrDuplicateKey, IID_ICorvex,
                      L"This key is already associated with an element of this collection");
        }
        conversations->items.Remove(Widen(corvane::ConvKey(H32(conv->hConv))));
        conv->hConv = h;
        conv->disconnected = false;
        for (size_t i = 0; i < conv->adviseLoops.Count(); ++i) conv->adviseLoops.At(i)->hConv = h;
        for (size_t i = 0; i < conv->requestLoops.Count(); ++i) conv->requestLoops.At(i)->hConv = h;
        r = Widen(corvane::ConvKey(H32(h)));
        conversations->items.Add(r, conv.Get());
      }
    }
    *key = Bstr(r);
    return S_OK;
  });
}

STDMETHODIMP CorvexControl::TransTypeName(LONG type, BSTR* name) { return KeyOut(name, corvane::TransTypeName(type)); }

STDMETHODIMP CorvexControl::Uninitialise(VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  ComPtr<CorvexControl> self(this);
  return common::GuardHResult([&] {
    ModuleState& m = State();
    if (!m.idInst) {
      WriteLog("Uninitialise: Not initialised", LOG_ERR, true);
      return;
    }
    m.logOptions = LOG_ALLLEVELS;
    WriteLog("Uninitialise: Performing clean-up...", LOG_ALLLEVELS);
    size_t i = 1;
    while (conversations && conversations->items.Count() >= i) {
      common::Variant idx(static_cast<int>(i));
      VARIANT_BOOL done = VARIANT_FALSE;
      if (FAILED(Disconnect(idx, &done)) || done == VARIANT_FALSE) ++i;
    }
    if (m.logActive) LogDeactivate();
    if (DDE_Uninitialise()) {
      conversations.Reset();
      m.early.Clear();
      m.haveEarly = false;
      channels.Reset();
      *ok = VARIANT_TRUE;
    }
  });
}

STDMETHODIMP CorvexControl::ConvKey(LONG h, BSTR* key) { return KeyOut(key, corvane::ConvKey(h)); }
STDMETHODIMP CorvexControl::ServiceKey(LONG h, BSTR* key) { return KeyOut(key, corvane::ServiceKey(h)); }
STDMETHODIMP CorvexControl::ItemKey(LONG h, BSTR* key) { return KeyOut(key, corvane::ItemKey(h)); }
STDMETHODIMP CorvexControl::TransKey(LONG h, BSTR* key) { return KeyOut(key, corvane::TransKey(h)); }

STDMETHODIMP CorvexControl::StateDescription(BSTR* text) {
  if (!text) return E_POINTER;
  *text = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    if (!conversations || !channels)
      return Fail(kErrObjectRequired, IID_ICorvex, L"Object variable not set (not initialised)");
    const wstring nl = L"\r\n";
    auto hex = [](const void* h) { return Widen(HexH(h)); };
    wstring s = L"Enumeration of Corvane.Conversations at " + DateText(Now()) + nl;
    s += wstring(40, L'=') + nl;
    auto& convs = conversations->items;
    if (convs.Count() == 0) s += L"There are no conversations" + nl;
    for (size_t i = 0; i < convs.Count(); ++i) {
      ConversationObj* c = convs.At(i);
      wstring hc = hex(c->hConv);
      s += nl + L"Conversation &H" + hc + L" ConvKey= " + Widen(corvane::ConvKey(H32(c->hConv))) + nl;
      s += wstring(30 + hc.size(), L'-') + nl;
      s += L"Service/Topic = " + c->service + L"|" + c->topic + L" hszService/hszTopic = &H" +
           hex(c->hszService) + L"/&H" + hex(c->hszTopic) + nl;
      if (c->adviseLoops.Count() == 0) {
        s += L"There are no Advise Loops" + nl;
      } else {
        s += std::to_wstring(c->adviseLoops.Count()) + L" Advise Loop(s)" + nl;
        for (size_t k = 0; k < c->adviseLoops.Count(); ++k) {
          AdviseLoopObj* l = c->adviseLoops.At(k);
          s += L"\tItem = " + l->item + L" hszItem=&H" + hex(l->hszItem) + L" ItemKey = " +
               Widen(corvane::ItemKey(H32(l->hszItem))) + L" Created = " + DateText(l->created) +
               L" LastUpdate = " + DateText(l->lastUpdate) + nl;
        }
      }
      if (c->requestLoops.Count() == 0) {
        s += L"There are no Request Loops" + nl;
      } else {
        s += std::to_wstring(c->requestLoops.Count()) + L" Request Loop(s)" + nl;
        for (size_t k = 0; k < c->requestLoops.Count(); ++k) {
          RequestLoopObj* l = c->requestLoops.At(k);
          s += L"\tItem = " + l->item + L" hszItem=&H" + hex(l->hszItem) + L" ItemKey = " +
               Widen(corvane::ItemKey(H32(l->hszItem))) + L" Created = " + DateText(l->created) +
               L" LastNotify= " + DateText(l->lastNotify) + nl;
        }
      }
      if (c->transactions.Count() == 0) {
        s += L"There are no outstanding transactions" + nl;
      } else {
        s += std::to_wstring(c->transactions.Count()) + L" Transaction(s)" + nl;
        for (size_t k = 0; k < c->transactions.Count(); ++k) {
          TransactionObj* t = c->transactions.At(k);
          s += L"\tItem = " + t->item + L" hszItem=&H" + hex(t->hszItem) + L" Type = " +
               Widen(corvane::TransTypeName(t->transType)) + L" TransKey = " +
               Widen(corvane::TransKey(t->handle)) + L" Created = " + DateText(t->created) + nl;
        }
      }
    }
    auto& chans = channels->items;
    if (chans.Count() == 0) {
      s += nl + L"There are no Channels" + nl;
    } else {
      s += nl + L"There are " + std::to_wstring(chans.Count()) + L" channels" + nl;
      for (size_t i = 0; i < chans.Count(); ++i) {
        ChannelObj* ch = chans.At(i);
        if (ch->topic.empty()) s += L"\tRegistered Service = " + ch->instanceService + nl;
        else s += L"\tService/Topic= " + ch->service + L"/ " + ch->topic + nl;
      }
    }
    *text = Bstr(s);
    return S_OK;
  });
}

STDMETHODIMP CorvexControl::Enumerate(VARIANT* file) {
  common::GuardNoThrow([&] {
    VARIANT* target = file;
    if (target && V_VT(target) == (VT_BYREF | VT_VARIANT)) target = V_VARIANTREF(target);
    wstring path;
    if (target && V_VT(target) == VT_BSTR) path = FromBstr(V_BSTR(target));
    else if (target && V_VT(target) == (VT_BYREF | VT_BSTR)) path = FromBstr(*V_BSTRREF(target));
    if (path.empty()) {
      path = LibraryFolder() + L"\\Enumerate.txt";
      if (target && V_VT(target) == (VT_BYREF | VT_BSTR)) {
        SysFreeString(*V_BSTRREF(target));
        *V_BSTRREF(target) = Bstr(path);
      } else if (target) {
        VariantClear(target);
        V_VT(target) = VT_BSTR;
        V_BSTR(target) = Bstr(path);
      }
    }
    BSTR text = nullptr;
    if (FAILED(StateDescription(&text))) return;  // errors are swallowed
    std::string bytes = Ansi(FromBstr(text)) + "\r\n";
    SysFreeString(text);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD w = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &w, nullptr);
    CloseHandle(f);
  });
  SetErrorInfo(0, nullptr);
  return S_OK;
}

STDMETHODIMP CorvexControl::Disconnect(VARIANT index, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  ComPtr<CorvexControl> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    if (!conversations) return Fail(kErrObjectRequired, IID_ICorvex, L"Not initialised");
    ComPtr<ConversationObj> conv(conversations->items.Lookup(index));
    if (!conv) return Fail(kErrInvalidArgument, IID_ICorvex, L"Invalid procedure call or argument");
    for (size_t i = 0; i < conv->adviseLoops.Count();)
      if (!conv->StopAdvise(i, 1000)) ++i;
    for (size_t i = 0; i < conv->requestLoops.Count();)
      if (!conv->StopRequest(i, 1000)) ++i;
    for (size_t i = 0; i < conv->transactions.Count();)
      if (!conv->Abandon(i)) ++i;
    HCONV h = conv->hConv;
    if (!DDE_Disconnect(h)) return S_OK;
    if (conversations) conversations->items.Remove(Widen(corvane::ConvKey(H32(h))));
    *ok = VARIANT_TRUE;
    return S_OK;
  });
}

STDMETHODIMP CorvexControl::GetLastError(DMLERREnum* code) {
  if (!code) return E_POINTER;
  *code = MapLastError(State().lastError);
  return S_OK;
}
STDMETHODIMP CorvexControl::get_idInst(LONG* v) {
  if (!v) return E_POINTER;
  *v = static_cast<LONG>(State().idInst);
  return S_OK;
}
STDMETHODIMP CorvexControl::QueryString(LONG hsz, BSTR* text) {
  if (!text) return E_POINTER;
  *text = nullptr;
  return common::GuardHResult([&] { *text = Bstr(QueryHsz(FromH32<HSZ>(hsz))); });
}

STDMETHODIMP CorvexControl::FindChannels(BSTR serviceArg, BSTR topicArg, BSTR* found) {
  if (!found) return E_POINTER;
  *found = nullptr;
  ComPtr<CorvexControl> self(this);
  return common::GuardHResult([&] {
    ModuleState& m = State();
    const DdemlApi& dde = Ddeml();
    HSZ hs = CreateHsz(FromBstr(serviceArg)), ht = CreateHsz(FromBstr(topicArg));
    wstring result;
    HCONVLIST list = dde.DdeConnectList(m.idInst, hs, ht, nullptr, nullptr);
    if (list) {
      for (HCONV c = dde.DdeQueryNextServer(list, nullptr); c; c = dde.DdeQueryNextServer(list, c)) {
        CONVINFO ci = {};
        ci.cb = sizeof ci;  // the platform's size for this build (the partner fields are by name)
        if (!dde.DdeQueryConvInfo(c, QID_SYNC, &ci)) continue;
        wstring svc = QueryHsz(ci.hszSvcPartner), top = QueryHsz(ci.hszTopic);
        if (channels) {
          bool exists = false;
          for (size_t i = 0; i < channels->items.Count(); ++i) {
            ChannelObj* ch = channels->items.At(i);
            if (ch->service == svc && ch->topic == top) exists = true;
          }
          if (!exists) {
            auto ch = common::Make<ChannelObj>();
            ch->hszService = ci.hszSvcPartner;
            ch->instanceService = ch->service = svc;
            ch->hszTopic = ci.hszTopic;
            ch->topic = top;
            ch->key = Widen(corvane::ConvKey(H32(c)));
            if (channels->items.Add(ch->key, ch.Get())) KeepHsz(ch->hszService);
          }
        }
        if (!result.empty()) result += L"\r\n";
        result += svc + L"|" + top;
      }
      dde.DdeDisconnectList(list);
    }
    if (hs) FreeHsz(hs);
    if (ht) FreeHsz(ht);
    *found = Bstr(result);
  });
}

STDMETHODIMP CorvexControl::ClearChannels(LONG* removed) {
  if (!removed) return E_POINTER;
  *removed = 0;
  if (!channels) return S_OK;
  auto& items = channels->items;
  for (size_t i = 0; i < items.Count();) {
    ChannelObj* ch = items.At(i);
    if (ch->topic.empty()) {
      ++i;
      continue;
    }
    if (ch->hszService) FreeHsz(ch->hszService);
    items.RemoveAt(i);
    ++*removed;
  }
  return S_OK;
}

STDMETHODIMP CorvexControl::Connect(BSTR service, BSTR topic, VARIANT context, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<CorvexControl> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    HRESULT hr;
    ConvContextObj* cc = ContextOf(context, &hr);
    if (FAILED(hr)) return Fail(hr, IID_ICorvex, L"ConvContext must be a ConvContext object");
    wstring s = FromBstr(service), t = FromBstr(topic), r = State().failedReturnString;
    // Not initialised: there is no collection to keep a conversation in.
    if (!s.empty() && !t.empty() && conversations && State().idInst) {
      HSZ hs = nullptr, ht = nullptr;
      HCONV h = DDE_Connect(s, t, &hs, &ht, cc);
      if (h) r = AddConversation(h, hs, s, ht, t, cc);
    }
    *key = Bstr(r);
    return S_OK;
  });
}

STDMETHODIMP CorvexControl::get_Version(BSTR* v) {
  if (!v) return E_POINTER;
  *v = nullptr;
  return common::GuardHResult([&] {
    wchar_t path[MAX_PATH * 2];
    GetModuleFileNameW(common::Module::Handle(), path, MAX_PATH * 2);
    DWORD dummy = 0, size = GetFileVersionInfoSizeW(path, &dummy);
    wstring text = L"0.0.0";
    if (size) {
      std::vector<BYTE> buf(size);
      VS_FIXEDFILEINFO* fi = nullptr;
      UINT len = 0;
      if (GetFileVersionInfoW(path, 0, size, buf.data()) &&
          VerQueryValueW(buf.data(), L"\\", reinterpret_cast<void**>(&fi), &len) && fi)
        text = std::to_wstring(HIWORD(fi->dwFileVersionMS)) + L"." +
               std::to_wstring(LOWORD(fi->dwFileVersionMS)) + L"." +
               std::to_wstring(LOWORD(fi->dwFileVersionLS));
    }
    *v = Bstr(text);
  });
}

namespace {
INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      auto* texts = reinterpret_cast<std::pair<wstring, wstring>*>(lp);
      SetDlgItemTextW(dlg, IDC_ABOUT_TITLE, texts->first.c_str());
      SetDlgItemTextW(dlg, IDC_ABOUT_VERSION, texts->second.c_str());
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) EndDialog(dlg, IDOK);
      return TRUE;
  }
  return FALSE;
}
}  // namespace

STDMETHODIMP CorvexControl::ShowAboutBox() {
  return common::GuardHResult([&] {
    BSTR ver = nullptr;
    get_Version(&ver);
    wchar_t path[MAX_PATH * 2];
    GetModuleFileNameW(common::Module::Handle(), path, MAX_PATH * 2);
    wstring file = path;
    size_t slash = file.find_last_of(L"\\/");
    if (slash != wstring::npos) file = file.substr(slash + 1);
    size_t dot = file.find_last_of(L'.');
    if (dot != wstring::npos) file = file.substr(0, dot);
    std::pair<wstring, wstring> texts{L"Corvane", L"File: " + file + L".ocx -- Version: " + FromBstr(ver)};
    SysFreeString(ver);
    HWND owner = nullptr;
    if (site_) {
      ComPtr<IOleWindow> w;
      if (SUCCEEDED(site_->QueryInterface(IID_IOleWindow, w.PutVoid())) && w) w->GetWindow(&owner);
    }
    DialogBoxParamW(common::Module::Handle(), MAKEINTRESOURCEW(IDD_ABOUT), owner, AboutProc,
                    reinterpret_cast<LPARAM>(&texts));
  });
}

// ---- IOleObject ------------------------------------------------------------------------------
STDMETHODIMP CorvexControl::SetClientSite(IOleClientSite* site) {
  site_ = ComPtr<IOleClientSite>(site);
  return S_OK;
}
STDMETHODIMP CorvexControl::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = site_.Get();
  if (*site) (*site)->AddRef();
  return S_OK;
}
STDMETHODIMP CorvexControl::GetMoniker(DWORD, DWORD, IMoniker** m) {
  if (m) *m = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CorvexControl::GetClipboardData(DWORD, IDataObject** d) {
  if (d) *d = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CorvexControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) {
  // Invisible at run time: activation needs no window of ours (DDEML keeps its own).
  if (site && !site_) site_ = ComPtr<IOleClientSite>(site);
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
    case OLEIVERB_HIDE:
    case OLEIVERB_OPEN:
      return S_OK;
    default:
      return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
  }
}
STDMETHODIMP CorvexControl::EnumVerbs(IEnumOLEVERB** e) {
  if (!e) return E_POINTER;
  return OleRegEnumVerbs(CLSID_Corvex, e);
}
STDMETHODIMP CorvexControl::GetUserClassID(CLSID* id) {
  if (!id) return E_POINTER;
  *id = CLSID_Corvex;
  return S_OK;
}
STDMETHODIMP CorvexControl::GetUserType(DWORD form, LPOLESTR* type) {
  return OleRegGetUserType(CLSID_Corvex, form, type);
}
STDMETHODIMP CorvexControl::SetExtent(DWORD aspect, SIZEL*) {
  // Whatever size the host asks for, the control stays 520 by 520 twips.
  return aspect == DVASPECT_CONTENT ? S_OK : E_FAIL;
}
STDMETHODIMP CorvexControl::GetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  size->cx = size->cy = kExtentHimetric;
  return S_OK;
}
STDMETHODIMP CorvexControl::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (!adviseHolder_) {
    HRESULT hr = CreateOleAdviseHolder(adviseHolder_.GetAddressOf());
    if (FAILED(hr)) return hr;
  }
  return adviseHolder_->Advise(sink, cookie);
}
STDMETHODIMP CorvexControl::Unadvise(DWORD cookie) {
  return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}
STDMETHODIMP CorvexControl::EnumAdvise(IEnumSTATDATA** e) {
  if (!e) return E_POINTER;
  *e = nullptr;
  return adviseHolder_ ? adviseHolder_->EnumAdvise(e) : S_OK;
}
constexpr DWORD kMiscStatus = OLEMISC_INVISIBLEATRUNTIME | OLEMISC_SETCLIENTSITEFIRST |
                              OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
                              OLEMISC_RECOMPOSEONRESIZE;
STDMETHODIMP CorvexControl::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = kMiscStatus;
  return S_OK;
}
// ---- IOleControl -----------------------------------------------------------------------------
STDMETHODIMP CorvexControl::GetControlInfo(CONTROLINFO* ci) {
  if (!ci) return E_POINTER;
  ci->cb = sizeof *ci;
  ci->hAccel = nullptr;
  ci->cAccel = 0;
  ci->dwFlags = 0;
  return S_OK;
}
STDMETHODIMP CorvexControl::FreezeEvents(BOOL freeze) {
  // Events are never held back or dropped: DDE data would be lost.
  freeze_ += freeze ? 1 : -1;
  return S_OK;
}
// ---- persistence -----------------------------------------------------------------------------
STDMETHODIMP CorvexControl::GetClassID(CLSID* id) {
  if (!id) return E_POINTER;
  *id = CLSID_Corvex;
  return S_OK;
}
namespace {
constexpr DWORD kStreamMagic = 0x31585643;  // "CVX1"
}
STDMETHODIMP CorvexControl::Load(IStream* s) {
  if (!s) return E_POINTER;
  return common::GuardHResult([&]() -> HRESULT {
    DWORD head[2] = {};
    ULONG got = 0;
    wstring text;
    if (SUCCEEDED(s->Read(head, sizeof head, &got)) && got == sizeof head && head[0] == kStreamMagic) {
      if (head[1] > 0x100000) return E_FAIL;  // not a property block of ours
      text.resize(head[1]);
      ULONG want = head[1] * sizeof(wchar_t);
      if (want && (FAILED(s->Read(text.data(), want, &got)) || got != want)) return E_FAIL;
    }
    State().failedReturnString = text;  // a missing value gives ""
    return S_OK;
  });
}
STDMETHODIMP CorvexControl::Save(IStream* s, BOOL) {
  if (!s) return E_POINTER;
  return common::GuardHResult([&]() -> HRESULT {
    const wstring& text = State().failedReturnString;
    DWORD head[2] = {kStreamMagic, static_cast<DWORD>(text.size())};
    ULONG put = 0;
    HRESULT hr = s->Write(head, sizeof head, &put);
    if (FAILED(hr)) return hr;
    if (!text.empty()) hr = s->Write(text.data(), static_cast<ULONG>(text.size() * sizeof(wchar_t)), &put);
    return FAILED(hr) ? hr : S_OK;
  });
}
STDMETHODIMP CorvexControl::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  size->QuadPart = 8 + State().failedReturnString.size() * sizeof(wchar_t);
  return S_OK;
}
STDMETHODIMP CorvexControl::InitNew() {
  return common::GuardHResult([&] { State().failedReturnString.clear(); });
}
STDMETHODIMP CorvexControl::Load(IPropertyBag* bag, IErrorLog* log) {
  if (!bag) return E_POINTER;
  return common::GuardHResult([&] {
    // The type asked for, and no string yet: a bag that clears or fails leaves nothing to free.
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = nullptr;
    wstring text;
    if (SUCCEEDED(bag->Read(L"FailedReturnString", &v, log))) {
      if (V_VT(&v) != VT_BSTR) VariantChangeType(&v, &v, 0, VT_BSTR);
      if (V_VT(&v) == VT_BSTR) text = FromBstr(V_BSTR(&v));
    }
    VariantClear(&v);
    State().failedReturnString = text;
  });
}
STDMETHODIMP CorvexControl::Save(IPropertyBag* bag, BOOL, BOOL) {
  if (!bag) return E_POINTER;
  return common::GuardHResult([&]() -> HRESULT {
    common::Variant v(State().failedReturnString.c_str());
    return bag->Write(L"FailedReturnString", &v);
  });
}
// ---- IViewObject2 ----------------------------------------------------------------------------
STDMETHODIMP CorvexControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc,
                                 LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!hdc || !bounds) return E_INVALIDARG;
  RECT r = {bounds->left, bounds->top, bounds->right, bounds->bottom};
  FillRect(hdc, &r, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
  FrameRect(hdc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  SetBkMode(hdc, TRANSPARENT);
  DrawTextW(hdc, L"DDE", 3, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  return S_OK;
}
STDMETHODIMP CorvexControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** p) {
  if (p) *p = nullptr;
  return S_FALSE;
}
STDMETHODIMP CorvexControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  viewAspects_ = aspects;
  viewFlags_ = flags;
  viewSink_ = ComPtr<IAdviseSink>(sink);
  return S_OK;
}
STDMETHODIMP CorvexControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = viewAspects_;
  if (flags) *flags = viewFlags_;
  if (sink) {
    *sink = viewSink_.Get();
    if (*sink) (*sink)->AddRef();
  }
  return S_OK;
}
STDMETHODIMP CorvexControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}
// ---- IProvideClassInfo2 ----------------------------------------------------------------------
STDMETHODIMP CorvexControl::GetClassInfo(ITypeInfo** ti) {
  return common::TypeLibCache::GetTypeInfo(LIBID_CorvaneLib, 1, 0, CLSID_Corvex, ti);
}
STDMETHODIMP CorvexControl::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *guid = DIID_DCorvexEvents;
  return S_OK;
}

}  // namespace corvane
