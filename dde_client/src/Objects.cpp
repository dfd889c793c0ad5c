// The objects the control hands out: data, transactions, loops, contexts, collections, the log.
#include <cmath>
#include <cstring>
#include <limits>

#include "Core.h"
#include "DataBytes.h"

namespace corvane {

// ---- helpers ---------------------------------------------------------------------------------
HRESULT Fail(HRESULT hr, REFIID iid, const wchar_t* text) {
  return common::ReportError(hr, iid, L"Corvane", text);
}
wstring Widen(const std::string& ascii) { return wstring(ascii.begin(), ascii.end()); }
std::string Ansi(const wstring& s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}
wstring FromAnsi(const char* p, size_t n) {
  if (!p || n == 0) return {};
  int w = MultiByteToWideChar(CP_ACP, 0, p, static_cast<int>(n), nullptr, 0);
  wstring out(static_cast<size_t>(w > 0 ? w : 0), L'\0');
  if (w > 0) MultiByteToWideChar(CP_ACP, 0, p, static_cast<int>(n), out.data(), w);
  return out;
}
BSTR Bstr(const wstring& s) {
  BSTR b = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  if (!b) throw std::bad_alloc();
  return b;
}
BSTR Bstr(const std::string& ascii) { return Bstr(Widen(ascii)); }
wstring FromBstr(BSTR b) { return b ? wstring(b, SysStringLen(b)) : wstring(); }
DATE Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  t.wMilliseconds = 0;
  DATE d = 0;
  SystemTimeToVariantTime(&t, &d);
  return d;
}
HRESULT MakeEnum(const std::vector<IDispatch*>& items, IUnknown** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<common::Variant> v;
    for (auto* d : items) v.emplace_back(d);
    ComPtr<IEnumVARIANT> e;
    HRESULT hr = common::MakeEnumVariant(std::move(v), e.GetAddressOf());
    if (FAILED(hr)) return hr;
    *out = e.Detach();
    return S_OK;
  });
}

#define GETTER(Cls, Name, Type, expr) \
  STDMETHODIMP Cls::get_##Name(Type* v) { \
    if (!v) return E_POINTER;             \
    *v = (expr);                          \
    return S_OK;                          \
  }
#define SETTER(Cls, Name, Type, field) \
  STDMETHODIMP Cls::put_##Name(Type v) { \
    field = v;                           \
    return S_OK;                         \
  }
#define BSTR_GETTER(Cls, Name, expr)           \
  STDMETHODIMP Cls::get_##Name(BSTR* v) {      \
    if (!v) return E_POINTER;                  \
    *v = nullptr;                              \
    return common::GuardHResult([&] { *v = Bstr(expr); }); \
  }

// ---- QualityOfService / ConvContext ----------------------------------------------------------
GETTER(QualityOfServiceObj, ImpersonationLevel, SHORT, impersonationLevel)
SETTER(QualityOfServiceObj, ImpersonationLevel, SHORT, impersonationLevel)
GETTER(QualityOfServiceObj, ContextTrackingMode, SHORT, contextTrackingMode)
SETTER(QualityOfServiceObj, ContextTrackingMode, SHORT, contextTrackingMode)
GETTER(QualityOfServiceObj, EffectiveOnly, LONG, effectiveOnly)
SETTER(QualityOfServiceObj, EffectiveOnly, LONG, effectiveOnly)

ConvContextObj::ConvContextObj() { qos = common::Make<QualityOfServiceObj>(); }
GETTER(ConvContextObj, Flags, LONG, flags)
SETTER(ConvContextObj, Flags, LONG, flags)
GETTER(ConvContextObj, CountryID, LONG, countryId)
SETTER(ConvContextObj, CountryID, LONG, countryId)
GETTER(ConvContextObj, CodePage, LONG, codePage)
SETTER(ConvContextObj, CodePage, LONG, codePage)
GETTER(ConvContextObj, LangID, LONG, langId)
SETTER(ConvContextObj, LangID, LONG, langId)
GETTER(ConvContextObj, Security, LONG, security)
SETTER(ConvContextObj, Security, LONG, security)
STDMETHODIMP ConvContextObj::get_qos(IQualityOfService** v) {
  if (!v) return E_POINTER;
  *v = qos.Get();
  if (*v) (*v)->AddRef();
  return S_OK;
}
STDMETHODIMP ConvContextObj::putref_qos(IQualityOfService* v) {
  qos = ComPtr<IQualityOfService>(v);
  return S_OK;
}

CONVCONTEXT ConvContextObj::Record() const {
  // Offsets 0..35 as DdeConnect reads them; the quality-of-service part is copied byte for
  // byte (2-byte level, 2-byte tracking mode, 4-byte effective-only).
  static_assert(sizeof(CONVCONTEXT) == 36, "CONVCONTEXT is 36 bytes");
  BYTE raw[36] = {};
  auto put32 = [&](size_t off, LONG v) { std::memcpy(raw + off, &v, 4); };
  auto put16 = [&](size_t off, SHORT v) { std::memcpy(raw + off, &v, 2); };
  put32(0, 36);
  put32(4, flags);
  put32(8, countryId);
  put32(12, codePage);
  put32(16, langId);
  put32(20, security);
  put32(24, 12);
  SHORT level = 0, tracking = 0;
  LONG effective = 0;
  if (qos) {
    qos->get_ImpersonationLevel(&level);
    qos->get_ContextTrackingMode(&tracking);
    qos->get_EffectiveOnly(&effective);
  }
  put16(28, level);
  put16(30, tracking);
  put32(32, effective);
  CONVCONTEXT cc;
  std::memcpy(&cc, raw, sizeof cc);
  return cc;
}

// ---- DDEData ---------------------------------------------------------------------------------
ComPtr<DDEDataObj> DDEDataObj::FromHandle(HDDEDATA h, UINT format) {
  auto d = common::Make<DDEDataObj>();
  DWORD size = 0;
  LPBYTE p = h ? Ddeml().DdeAccessData(h, &size) : nullptr;
  d->bytes = KeptBytes(p, size);
  if (h) Ddeml().DdeUnaccessData(h);
  d->format = static_cast<LONG>(format);
  return d;
}

STDMETHODIMP DDEDataObj::CopyByAddress(LONGLONG pdata, LONG count, LONG* copied) {
  if (!copied) return E_POINTER;
  LONG n = CopyCount(bytes, count);
  if (n > 0) {
    if (!pdata) return Fail(E_POINTER, IID_IDDEData, L"CopyByAddress: no destination address");
    std::memcpy(reinterpret_cast<void*>(static_cast<intptr_t>(pdata)), bytes.data(),
                static_cast<size_t>(n));
  }
  *copied = n;
  return S_OK;
}

HRESULT DDEDataObj::CopyElements(SAFEARRAY** data, VARTYPE vt, LONG width, LONG* copied) {
  if (!data || !copied) return E_POINTER;
  *copied = 0;
  LONG count = ElementCount(bytes, width);
  if (count == 0) return S_OK;
  if (*data) {
    VARTYPE have = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(*data, &have)) || have != vt)
      return Fail(DISP_E_TYPEMISMATCH, IID_IDDEData, L"Type mismatch");
    if (((*data)->fFeatures & (FADF_FIXEDSIZE | FADF_STATIC | FADF_EMBEDDED)) || (*data)->cLocks)
      return Fail(static_cast<HRESULT>(0x800A000A), IID_IDDEData,
                  L"This array is fixed or temporarily locked");
  }
  SAFEARRAYBOUND b = {static_cast<ULONG>(count), 0};
  SAFEARRAY* fresh = SafeArrayCreate(vt, 1, &b);
  if (!fresh) return E_OUTOFMEMORY;
  void* p = nullptr;
  if (FAILED(SafeArrayAccessData(fresh, &p))) {
    SafeArrayDestroy(fresh);
    return E_FAIL;
  }
  FillElements(bytes, count, width, p);
  SafeArrayUnaccessData(fresh);
  if (*data) SafeArrayDestroy(*data);
  *data = fresh;
  *copied = count;
  return S_OK;
}
STDMETHODIMP DDEDataObj::CopyByteArray(SAFEARRAY** d, LONG* c) { return CopyElements(d, VT_UI1, 1, c); }
STDMETHODIMP DDEDataObj::CopyIntegerArray(SAFEARRAY** d, LONG* c) { return CopyElements(d, VT_I2, 2, c); }
STDMETHODIMP DDEDataObj::CopyLongArray(SAFEARRAY** d, LONG* c) { return CopyElements(d, VT_I4, 4, c); }
GETTER(DDEDataObj, Format, LONG, format)
GETTER(DDEDataObj, Size, LONG, HeldSize(bytes))
BSTR_GETTER(DDEDataObj, DataString,
            FromAnsi(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
STDMETHODIMP DDEDataObj::get_DataArray(LONG index, BYTE* v) {
  if (!v) return E_POINTER;
  std::optional<uint8_t> b = ByteAt(bytes, index);
  if (!b) return Fail(kErrSubscript, IID_IDDEData, L"Subscript out of range");
  *v = *b;
  return S_OK;
}

// ---- Transaction / loops ---------------------------------------------------------------------
GETTER(TransactionObj, Handle, LONG, handle)
GETTER(TransactionObj, Created, DATE, created)
GETTER(TransactionObj, TransType, TransactionsEnum, static_cast<TransactionsEnum>(transType))
GETTER(TransactionObj, Completed, VARIANT_BOOL, VB(completed))

GETTER(AdviseLoopObj, Format, LONG, format)
GETTER(AdviseLoopObj, Closed, VARIANT_BOOL, VB(closed))
GETTER(AdviseLoopObj, Created, DATE, created)
GETTER(AdviseLoopObj, LastUpdate, DATE, lastUpdate)
GETTER(AdviseLoopObj, hConv, LONG, H32(hConv))
GETTER(AdviseLoopObj, hszItem, LONG, H32(hszItem))
BSTR_GETTER(AdviseLoopObj, Item, item)
STDMETHODIMP AdviseLoopObj::get_DDEData(IDDEData** v) {
  if (!v) return E_POINTER;
  *v = data.Get();
  if (*v) (*v)->AddRef();
  return S_OK;
}

GETTER(RequestLoopObj, Format, LONG, format)
GETTER(RequestLoopObj, Closed, VARIANT_BOOL, VB(closed))
GETTER(RequestLoopObj, Created, DATE, created)
GETTER(RequestLoopObj, hszItem, LONG, H32(hszItem))
GETTER(RequestLoopObj, LastNotify, DATE, lastNotify)
BSTR_GETTER(RequestLoopObj, Item, item)
GETTER(RequestLoopObj, hConv, LONG, H32(hConv))

// ---- collections -----------------------------------------------------------------------------
STDMETHODIMP ConversationsObj::get_NewEnum(IUnknown** e) {
  std::vector<IDispatch*> all;
  for (size_t i = 0; i < items.Count(); ++i) all.push_back(items.At(i));
  return MakeEnum(all, e);
}
STDMETHODIMP ConversationsObj::get_Conversation(VARIANT index, IConversation** v) {
  return LookupOut(items, index, IID_IConversations, v);
}
GETTER(ConversationsObj, Count, LONG, static_cast<LONG>(items.Count()))

STDMETHODIMP ChannelsObj::get_Channel(VARIANT index, IChannel** v) {
  return LookupOut(items, index, IID_IChannels, v);
}
GETTER(ChannelsObj, Count, LONG, static_cast<LONG>(items.Count()))
STDMETHODIMP ChannelsObj::get_NewEnum(IUnknown** e) {
  std::vector<IDispatch*> all;
  for (size_t i = 0; i < items.Count(); ++i) all.push_back(items.At(i));
  return MakeEnum(all, e);
}

// ---- Channel ---------------------------------------------------------------------------------
namespace {
ConvContextObj* ContextArg(const VARIANT& v, HRESULT* hr) {
  *hr = S_OK;
  const VARIANT* p = &v;
  if (V_VT(p) == (VT_BYREF | VT_VARIANT)) p = V_VARIANTREF(p);
  if (V_VT(p) == VT_EMPTY || V_VT(p) == VT_ERROR || V_VT(p) == VT_NULL) return nullptr;
  IUnknown* u = nullptr;
  if (V_VT(p) == VT_DISPATCH) u = V_DISPATCH(p);
  else if (V_VT(p) == VT_UNKNOWN) u = V_UNKNOWN(p);
  else if (V_VT(p) == (VT_BYREF | VT_DISPATCH)) u = *V_DISPATCHREF(p);
  else {
    *hr = DISP_E_TYPEMISMATCH;
    return nullptr;
  }
  if (!u) return nullptr;
  ComPtr<IConvContext> cc;
  if (FAILED(u->QueryInterface(IID_IConvContext, cc.PutVoid())) || !cc) {
    *hr = DISP_E_TYPEMISMATCH;
    return nullptr;
  }
  auto* ours = dynamic_cast<ConvContextObj*>(cc.Get());
  if (!ours) *hr = DISP_E_TYPEMISMATCH;
  return ours;
}
}  // namespace
ConvContextObj* ConvContextFromVariant(const VARIANT& v, HRESULT* hr) { return ContextArg(v, hr); }

STDMETHODIMP ChannelObj::Connect(BSTR topicArg, VARIANT context, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    ModuleState& m = State();
    HRESULT hr;
    ConvContextObj* cc = ContextArg(context, &hr);
    if (FAILED(hr)) return Fail(hr, IID_IChannel, L"ConvContext must be a ConvContext object");
    wstring t = FromBstr(topicArg);
    if (t.empty()) t = topic;
    wstring result = m.failedReturnString;
    if (!t.empty() && m.owner && m.owner->conversations) {
      HSZ hszT = nullptr;
      HCONV h = DDE_ConnectInstance(hszService, t, &hszT, cc);
      if (h) result = m.owner->AddConversation(h, hszService, instanceService, hszT, t, cc);
    }
    *out = Bstr(result);
    return S_OK;
  });
}
STDMETHODIMP ChannelObj::ConnectBase(BSTR topicArg, VARIANT context, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    ModuleState& m = State();
    HRESULT hr;
    ConvContextObj* cc = ContextArg(context, &hr);
    if (FAILED(hr)) return Fail(hr, IID_IChannel, L"ConvContext must be a ConvContext object");
    wstring t = FromBstr(topicArg);
    if (t.empty()) t = topic;
    wstring result = m.failedReturnString;
    if (!t.empty() && !service.empty() && m.owner && m.owner->conversations) {
      HSZ hs = nullptr, ht = nullptr;
      HCONV h = DDE_Connect(service, t, &hs, &ht, cc);
      if (h) result = m.owner->AddConversation(h, hs, service, ht, t, cc);
    }
    *out = Bstr(result);
    return S_OK;
  });
}
GETTER(ChannelObj, hszService, LONG, H32(hszService))
GETTER(ChannelObj, hszTopic, LONG, H32(hszTopic))
BSTR_GETTER(ChannelObj, Service, service)
BSTR_GETTER(ChannelObj, InstanceService, instanceService)
BSTR_GETTER(ChannelObj, Topic, topic)
BSTR_GETTER(ChannelObj, Key, key)

// ---- LogFile ---------------------------------------------------------------------------------
GETTER(LogFileObj, Active, VARIANT_BOOL, VB(State().logActive))
GETTER(LogFileObj, Options, LogFileOptionsEnum, static_cast<LogFileOptionsEnum>(State().logOptions))
STDMETHODIMP LogFileObj::put_Options(LogFileOptionsEnum v) {
  State().logOptions = static_cast<LONG>(v);
  return S_OK;
}
GETTER(LogFileObj, WriteDateStamp, VARIANT_BOOL, VB(State().logDateStamp))
STDMETHODIMP LogFileObj::put_WriteDateStamp(VARIANT_BOOL v) {
  State().logDateStamp = v != VARIANT_FALSE;
  return S_OK;
}
STDMETHODIMP LogFileObj::Activate(VARIANT* filename, VARIANT_BOOL writeDateStamp,
                                  LogFileOptionsEnum options, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  return common::GuardHResult([&]() -> HRESULT {
    // Filename is by reference: an empty (or missing) name comes back as the default path.
    VARIANT* target = filename;
    if (target && V_VT(target) == (VT_BYREF | VT_VARIANT)) target = V_VARIANTREF(target);
    wstring name;
    bool missing = !target || V_VT(target) == VT_ERROR || V_VT(target) == VT_EMPTY;
    if (!missing) {
      if (V_VT(target) == VT_BSTR) name = FromBstr(V_BSTR(target));
      else if (V_VT(target) == (VT_BYREF | VT_BSTR)) name = FromBstr(*V_BSTRREF(target));
      else {
        common::Variant s;
        if (FAILED(VariantChangeType(&s, target, 0, VT_BSTR)))
          return Fail(DISP_E_TYPEMISMATCH, IID_ILogFile, L"Filename must be a string");
        name = FromBstr(V_BSTR(&s));
      }
    }
    if (State().logActive) return S_OK;
    wstring before = name;
    bool r = LogActivate(name, writeDateStamp != VARIANT_FALSE, static_cast<LONG>(options));
    if (target && name != before) {
      if (V_VT(target) == (VT_BYREF | VT_BSTR)) {
        SysFreeString(*V_BSTRREF(target));
        *V_BSTRREF(target) = Bstr(name);
      } else {
        VariantClear(target);
        V_VT(target) = VT_BSTR;
        V_BSTR(target) = Bstr(name);
      }
    }
    *ok = VB(r);
    return S_OK;
  });
}
STDMETHODIMP LogFileObj::Deactivate() {
  common::GuardNoThrow([] { LogDeactivate(); });
  return S_OK;
}
BSTR_GETTER(LogFileObj, Filename, State().logFile)
STDMETHODIMP LogFileObj::WriteEntry(BSTR entry) {
  return common::GuardHResult([&]() -> HRESULT {
    ModuleState& m = State();
    // The mask is kept in a 16-bit variable across the write.
    if (m.logOptions > std::numeric_limits<SHORT>::max() ||
        m.logOptions < std::numeric_limits<SHORT>::min())
      return Fail(kErrOverflow, IID_ILogFile, L"Overflow");
    SHORT saved = static_cast<SHORT>(m.logOptions);
    m.logOptions = LOG_ALLLEVELS;
    WriteLogW(FromBstr(entry), LOG_ALLLEVELS);
    m.logOptions = saved;
    return S_OK;
  });
}

}  // namespace corvane
