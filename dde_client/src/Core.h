// The object model of the Corvex control and its DDEML module (modDDEMLInterface).
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <string>
#include <utility>
#include <unordered_map>
#include <vector>

#include "Corvane.h"
#include "Names.h"
#include "common/Kit.h"
#include "ddeml_ours/DdemlApi.h"

namespace corvane {

using common::ComPtr;
using std::wstring;

// ---- errors the host sees (the run-time errors of an automation collection) --------------
constexpr HRESULT kErrInvalidArgument = static_cast<HRESULT>(0x800A0005);  // bad index
constexpr HRESULT kErrOverflow = static_cast<HRESULT>(0x800A0006);
constexpr HRESULT kErrSubscript = static_cast<HRESULT>(0x800A0009);
constexpr HRESULT kErrDuplicateKey = static_cast<HRESULT>(0x800A01C9);
constexpr HRESULT kErrObjectRequired = static_cast<HRESULT>(0x800A01A8);  // 424

HRESULT Fail(HRESULT hr, REFIID iid, const wchar_t* text);

// ---- small conversions -----------------------------------------------------------------
inline LONG H32(const void* h) { return static_cast<LONG>(reinterpret_cast<intptr_t>(h)); }
template <class H>
inline H FromH32(LONG v) {
  return reinterpret_cast<H>(static_cast<intptr_t>(v));
}
wstring Widen(const std::string& ascii);
std::string Ansi(const wstring& s);
wstring FromAnsi(const char* p, size_t n);
inline std::string HexH(const void* h) { return Hex(H32(h)); }
BSTR Bstr(const wstring& s);
BSTR Bstr(const std::string& ascii);
wstring FromBstr(BSTR b);
DATE Now();
inline VARIANT_BOOL VB(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

// ---- the DDEML seam --------------------------------------------------------------------
// Our DDEML under Wine, the platform's on Windows; CORVANE_DDEML=ours|platform (environment)
// or HKCU\Software\Corvane\Ddeml (REG_SZ) chooses explicitly.
const DdemlApi& Ddeml();
void SetDdeml(const DdemlApi* api);  // tests: a fake; nullptr goes back to the normal choice

// ---- keyed, ordered collections ---------------------------------------------------------
// Keys compare without regard to case; positions are 1-based and follow insertion order.
template <class T>
class Keyed {
 public:
  size_t Count() const { return items_.size(); }
  T* At(size_t zeroBased) const { return items_[zeroBased].second.Get(); }
  const wstring& KeyAt(size_t zeroBased) const { return items_[zeroBased].first; }
  // By key through a hash index: a DDE advise looks its loop up among thousands, many times
  // a second.
  T* Find(const wstring& key) const {
    auto it = index_.find(Fold(key));
    return it != index_.end() && Same(it->second.first, key) ? it->second.second : nullptr;
  }
  bool Add(const wstring& key, T* item) {
    if (Find(key)) return false;
    items_.emplace_back(key, ComPtr<T>(item));
    index_[Fold(key)] = {key, item};
    return true;
  }
  bool Remove(const wstring& key) {
    for (auto it = items_.begin(); it != items_.end(); ++it)
      if (Same(it->first, key)) {
        ComPtr<T> keep = std::move(it->second);  // released after the erase
        index_.erase(Fold(it->first));
        items_.erase(it);
        return true;
      }
    return false;
  }
  void RemoveAt(size_t zeroBased) {
    ComPtr<T> keep = std::move(items_[zeroBased].second);
    index_.erase(Fold(items_[zeroBased].first));
    items_.erase(items_.begin() + static_cast<ptrdiff_t>(zeroBased));
  }
  void Clear() {
    auto gone = std::move(items_);
    items_.clear();
    index_.clear();
  }
  // Index as the host gives it: a key string or a 1-based position. Returns the item's
  // 0-based position, or -1 when there is none.
  ptrdiff_t Locate(const VARIANT& index) const {
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&index)))) return -1;
    ptrdiff_t found = -1;
    if (V_VT(&v) == VT_BSTR) {
      wstring key = FromBstr(V_BSTR(&v));
      for (size_t i = 0; i < items_.size(); ++i)
        if (Same(items_[i].first, key)) {
          found = static_cast<ptrdiff_t>(i);
          break;
        }
    } else if (SUCCEEDED(VariantChangeType(&v, &v, 0, VT_I4))) {
      LONG pos = V_I4(&v);
      if (pos >= 1 && static_cast<size_t>(pos) <= items_.size()) found = pos - 1;
    }
    VariantClear(&v);
    return found;
  }
  T* Lookup(const VARIANT& index) const {
    ptrdiff_t i = Locate(index);
    return i < 0 ? nullptr : At(static_cast<size_t>(i));
  }
  std::vector<ComPtr<T>> Snapshot() const {
    std::vector<ComPtr<T>> out;
    for (auto& e : items_) out.push_back(e.second);
    return out;
  }

 private:
  static bool Same(const wstring& a, const wstring& b) {
    return a.size() == b.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                          b.c_str(), static_cast<int>(b.size())) == CSTR_EQUAL;
  }
  // The index's key: upper case in the invariant locale (Same still decides equality).
  static wstring Fold(const wstring& key) {
    wstring out(key);
    if (!out.empty())
      LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.c_str(), static_cast<int>(key.size()),
                   out.data(), static_cast<int>(out.size()));
    return out;
  }
  std::vector<std::pair<wstring, ComPtr<T>>> items_;
  std::unordered_map<wstring, std::pair<wstring, T*>> index_;  // folded key -> key, item
};

HRESULT MakeEnum(const std::vector<IDispatch*>& items, IUnknown** out);

template <class I, class T>
HRESULT LookupOut(const Keyed<T>& coll, const VARIANT& index, REFIID iid, I** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  T* item = coll.Lookup(index);
  if (!item) return Fail(kErrInvalidArgument, iid, L"Invalid procedure call or argument");
  item->AddRef();
  *out = item;
  return S_OK;
}

// ---- data objects --------------------------------------------------------------------------
#define CORVANE_DISPATCH(I) common::DispatchImpl<I, &LIBID_CorvaneLib>

class QualityOfServiceObj final
    : public common::ComObject<QualityOfServiceObj, CORVANE_DISPATCH(IQualityOfService)> {
 public:
  SHORT impersonationLevel = 0, contextTrackingMode = 0;
  LONG effectiveOnly = 0;
  STDMETHODIMP get_ImpersonationLevel(SHORT* v) override;
  STDMETHODIMP put_ImpersonationLevel(SHORT v) override;
  STDMETHODIMP get_ContextTrackingMode(SHORT* v) override;
  STDMETHODIMP put_ContextTrackingMode(SHORT v) override;
  STDMETHODIMP get_EffectiveOnly(LONG* v) override;
  STDMETHODIMP put_EffectiveOnly(LONG v) override;
};

class ConvContextObj final : public common::ComObject<ConvContextObj, CORVANE_DISPATCH(IConvContext)> {
 public:
  ConvContextObj();
  LONG flags = 0, countryId = 0, codePage = 0, langId = 0, security = 0;
  ComPtr<IQualityOfService> qos;
  // The 36-byte record DdeConnect takes.
  CONVCONTEXT Record() const;
  STDMETHODIMP get_Flags(LONG* v) override;
  STDMETHODIMP put_Flags(LONG v) override;
  STDMETHODIMP get_CountryID(LONG* v) override;
  STDMETHODIMP put_CountryID(LONG v) override;
  STDMETHODIMP get_CodePage(LONG* v) override;
  STDMETHODIMP put_CodePage(LONG v) override;
  STDMETHODIMP get_LangID(LONG* v) override;
  STDMETHODIMP put_LangID(LONG v) override;
  STDMETHODIMP get_Security(LONG* v) override;
  STDMETHODIMP put_Security(LONG v) override;
  STDMETHODIMP get_qos(IQualityOfService** v) override;
  STDMETHODIMP putref_qos(IQualityOfService* v) override;
};

class DDEDataObj final : public common::ComObject<DDEDataObj, CORVANE_DISPATCH(IDDEData),
                                                  common::SupportErrorInfo<&IID_IDDEData>> {
 public:
  // Filled from a DDEML data handle; the handle is not freed here.
  static ComPtr<DDEDataObj> FromHandle(HDDEDATA h, UINT format);
  std::vector<BYTE> bytes;
  LONG format = 0;
  STDMETHODIMP CopyByAddress(LONGLONG pdata, LONG count, LONG* copied) override;
  STDMETHODIMP CopyByteArray(SAFEARRAY** data, LONG* copied) override;
  STDMETHODIMP CopyIntegerArray(SAFEARRAY** data, LONG* copied) override;
  STDMETHODIMP CopyLongArray(SAFEARRAY** data, LONG* copied) override;
  STDMETHODIMP get_Format(LONG* v) override;
  STDMETHODIMP get_Size(LONG* v) override;
  STDMETHODIMP get_DataString(BSTR* v) override;
  STDMETHODIMP get_DataArray(LONG index, BYTE* v) override;

 private:
  HRESULT CopyElements(SAFEARRAY** data, VARTYPE vt, LONG width, LONG* copied);
};

class TransactionObj final : public common::ComObject<TransactionObj, CORVANE_DISPATCH(ITransaction)> {
 public:
  LONG handle = 0;
  DATE created = 0;
  LONG transType = 0;
  bool completed = false;
  wstring item;
  HSZ hszItem = nullptr;
  STDMETHODIMP get_Handle(LONG* v) override;
  STDMETHODIMP get_Created(DATE* v) override;
  STDMETHODIMP get_TransType(TransactionsEnum* v) override;
  STDMETHODIMP get_Completed(VARIANT_BOOL* v) override;
};

class AdviseLoopObj final : public common::ComObject<AdviseLoopObj, CORVANE_DISPATCH(IAdviseLoop)> {
 public:
  LONG format = 0;
  bool closed = false;
  DATE created = 0, lastUpdate = 0;
  HCONV hConv = nullptr;
  HSZ hszItem = nullptr;
  wstring item;
  ComPtr<DDEDataObj> data;
  STDMETHODIMP get_Format(LONG* v) override;
  STDMETHODIMP get_Closed(VARIANT_BOOL* v) override;
  STDMETHODIMP get_Created(DATE* v) override;
  STDMETHODIMP get_LastUpdate(DATE* v) override;
  STDMETHODIMP get_hConv(LONG* v) override;
  STDMETHODIMP get_hszItem(LONG* v) override;
  STDMETHODIMP get_Item(BSTR* v) override;
  STDMETHODIMP get_DDEData(IDDEData** v) override;
};

class RequestLoopObj final : public common::ComObject<RequestLoopObj, CORVANE_DISPATCH(IRequestLoop)> {
 public:
  LONG format = 0;
  bool closed = false;
  DATE created = 0, lastNotify = 0;
  HCONV hConv = nullptr;
  HSZ hszItem = nullptr;
  wstring item;
  STDMETHODIMP get_Format(LONG* v) override;
  STDMETHODIMP get_Closed(VARIANT_BOOL* v) override;
  STDMETHODIMP get_Created(DATE* v) override;
  STDMETHODIMP get_hszItem(LONG* v) override;
  STDMETHODIMP get_LastNotify(DATE* v) override;
  STDMETHODIMP get_Item(BSTR* v) override;
  STDMETHODIMP get_hConv(LONG* v) override;
};

class ConversationObj final
    : public common::ComObject<ConversationObj, CORVANE_DISPATCH(IConversation),
                               common::SupportErrorInfo<&IID_IConversation>> {
 public:
  HCONV hConv = nullptr;
  HSZ hszService = nullptr, hszTopic = nullptr;
  wstring service, topic;
  ComPtr<ConvContextObj> convContext;
  DATE created = 0;
  bool disconnected = false;
  bool released = false;  // DDEML holds this hConv no longer (given back or retired)
  Keyed<AdviseLoopObj> adviseLoops;
  Keyed<RequestLoopObj> requestLoops;
  Keyed<TransactionObj> transactions;

  // Internal steps also used by the control and the callback.
  ComPtr<AdviseLoopObj> CreateAdviseLoop(HSZ hsz, const wstring& item, LONG format);
  ComPtr<RequestLoopObj> CreateRequestLoop(HSZ hsz, const wstring& item, LONG format);
  wstring CreateTransaction(LONG id, LONG type, const wstring& item, HSZ hsz);
  bool StopAdvise(size_t pos, LONG timeout);
  bool StopRequest(size_t pos, LONG timeout);
  bool Abandon(size_t pos);

  STDMETHODIMP get_AdviseLoop(VARIANT index, IAdviseLoop** v) override;
  STDMETHODIMP get_AdviseLoopCount(LONG* v) override;
  STDMETHODIMP get_RequestLoop(VARIANT index, IRequestLoop** v) override;
  STDMETHODIMP get_RequestLoopCount(LONG* v) override;
  STDMETHODIMP get_TransactionCount(LONG* v) override;
  STDMETHODIMP get_Transaction(VARIANT index, ITransaction** v) override;
  STDMETHODIMP AbandonTransaction(VARIANT index, VARIANT_BOOL* ok) override;
  STDMETHODIMP get_ConvContext(IConvContext** v) override;
  STDMETHODIMP get_Created(DATE* v) override;
  STDMETHODIMP get_Topic(BSTR* v) override;
  STDMETHODIMP get_Service(BSTR* v) override;
  STDMETHODIMP get_hszTopic(LONG* v) override;
  STDMETHODIMP get_hszService(LONG* v) override;
  STDMETHODIMP get_hConv(LONG* v) override;
  STDMETHODIMP get_Disconnected(VARIANT_BOOL* v) override;
  STDMETHODIMP Execute(BSTR command, LONG timeout, VARIANT_BOOL* ok) override;
  STDMETHODIMP ExecuteA(BSTR command, BSTR* key) override;
  STDMETHODIMP PokeString(BSTR item, BSTR data, LONG timeout, VARIANT_BOOL* ok) override;
  STDMETHODIMP PokeByAddress(BSTR item, LONGLONG pdata, LONG size, LONG fmt, LONG timeout,
                             VARIANT_BOOL* ok) override;
  STDMETHODIMP PokeByte(BSTR item, BYTE* data, LONG size, LONG fmt, LONG timeout,
                        VARIANT_BOOL* ok) override;
  STDMETHODIMP PokeInteger(BSTR item, SHORT* data, LONG count, LONG fmt, LONG timeout,
                           VARIANT_BOOL* ok) override;
  STDMETHODIMP PokeLong(BSTR item, LONG* data, LONG count, LONG fmt, LONG timeout,
                        VARIANT_BOOL* ok) override;
  STDMETHODIMP PokeStringA(BSTR item, BSTR data, BSTR* key) override;
  STDMETHODIMP PokeByAddressA(BSTR item, LONGLONG pdata, LONG size, LONG fmt, BSTR* key) override;
  STDMETHODIMP PokeByteA(BSTR item, BYTE* data, LONG size, LONG fmt, BSTR* key) override;
  STDMETHODIMP PokeIntegerA(BSTR item, SHORT* data, LONG count, LONG fmt, BSTR* key) override;
  STDMETHODIMP PokeLongA(BSTR item, LONG* data, LONG count, LONG fmt, BSTR* key) override;
  STDMETHODIMP StartAdviseLoop(BSTR item, LONG timeout, LONG format, VARIANT_BOOL fackReq,
                               BSTR* key) override;
  STDMETHODIMP StartAdviseLoopA(BSTR item, LONG format, VARIANT_BOOL fackReq, BSTR* key) override;
  STDMETHODIMP Request(BSTR item, LONG timeout, LONG format, IDDEData** data) override;
  STDMETHODIMP RequestA(BSTR item, LONG format, BSTR* key) override;
  STDMETHODIMP StartRequestLoop(BSTR item, LONG timeout, LONG format, VARIANT_BOOL fackReq,
                                BSTR* key) override;
  STDMETHODIMP StartRequestLoopA(BSTR item, LONG format, VARIANT_BOOL fackReq, BSTR* key) override;
  STDMETHODIMP StopRequestLoop(VARIANT index, LONG timeout, VARIANT_BOOL* ok) override;
  STDMETHODIMP StopAdviseLoop(VARIANT index, LONG timeout, VARIANT_BOOL* ok) override;
  STDMETHODIMP StopAdviseLoopA(VARIANT index, BSTR* key) override;
  STDMETHODIMP StopRequestLoopA(VARIANT index, BSTR* key) override;

 private:
  HRESULT PokeBinary(BSTR item, const void* p, LONG size, LONG fmt, LONG timeout, bool async,
                     VARIANT_BOOL* ok, BSTR* key);
  HRESULT StartLoop(BSTR item, LONG timeout, LONG format, VARIANT_BOOL fackReq, bool request,
                    bool async, BSTR* key);
  HRESULT StopLoopA(VARIANT index, bool request, BSTR* key);
};

class ConversationsObj final
    : public common::ComObject<ConversationsObj, CORVANE_DISPATCH(IConversations),
                               common::SupportErrorInfo<&IID_IConversations>> {
 public:
  Keyed<ConversationObj> items;
  STDMETHODIMP get_NewEnum(IUnknown** e) override;
  STDMETHODIMP get_Conversation(VARIANT index, IConversation** v) override;
  STDMETHODIMP get_Count(LONG* v) override;
};

class ChannelObj final : public common::ComObject<ChannelObj, CORVANE_DISPATCH(IChannel)> {
 public:
  HSZ hszService = nullptr, hszTopic = nullptr;
  wstring service, instanceService, topic, key;
  STDMETHODIMP Connect(BSTR topic, VARIANT context, BSTR* key) override;
  STDMETHODIMP ConnectBase(BSTR topic, VARIANT context, BSTR* key) override;
  STDMETHODIMP get_hszService(LONG* v) override;
  STDMETHODIMP get_hszTopic(LONG* v) override;
  STDMETHODIMP get_Service(BSTR* v) override;
  STDMETHODIMP get_InstanceService(BSTR* v) override;
  STDMETHODIMP get_Topic(BSTR* v) override;
  STDMETHODIMP get_Key(BSTR* v) override;
};

class ChannelsObj final : public common::ComObject<ChannelsObj, CORVANE_DISPATCH(IChannels),
                                                   common::SupportErrorInfo<&IID_IChannels>> {
 public:
  Keyed<ChannelObj> items;
  STDMETHODIMP get_Channel(VARIANT index, IChannel** v) override;
  STDMETHODIMP get_Count(LONG* v) override;
  STDMETHODIMP get_NewEnum(IUnknown** e) override;
};

class LogFileObj final : public common::ComObject<LogFileObj, CORVANE_DISPATCH(ILogFile),
                                                  common::SupportErrorInfo<&IID_ILogFile>> {
 public:
  STDMETHODIMP get_Active(VARIANT_BOOL* v) override;
  STDMETHODIMP get_Options(LogFileOptionsEnum* v) override;
  STDMETHODIMP put_Options(LogFileOptionsEnum v) override;
  STDMETHODIMP get_WriteDateStamp(VARIANT_BOOL* v) override;
  STDMETHODIMP put_WriteDateStamp(VARIANT_BOOL v) override;
  STDMETHODIMP Activate(VARIANT* filename, VARIANT_BOOL writeDateStamp, LogFileOptionsEnum options,
                        VARIANT_BOOL* ok) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP get_Filename(BSTR* v) override;
  STDMETHODIMP WriteEntry(BSTR entry) override;
};

class CorvexControl;

// ---- the module: instance, log, wrappers, callback -----------------------------------------
enum : LONG { LOG_CB = 1, LOG_EV = 2, LOG_CMD = 4, LOG_ERR = 8, LOG_ALLLEVELS = 15 };

struct ModuleState {
  CorvexControl* owner = nullptr;  // the last-created control (not a reference: it owns us)
  DWORD idInst = 0;
  wstring failedReturnString;
  bool handleEarlyAdvises = false;
  bool haveEarly = false;
  Keyed<AdviseLoopObj> early;
  LONG lastError = 0;
  // log
  bool logActive = false;
  wstring logFile;
  bool logDateStamp = false;
  LONG logOptions = 0;
  int logFileNumber = 0;
};
ModuleState& State();

// The library's folder (where Corvane.log and Enumerate.txt go by default).
wstring LibraryFolder();

void WriteLog(const std::string& text, LONG level, bool appendError = false);
void WriteLogW(const wstring& text, LONG level, bool appendError = false);
bool LogActivate(wstring& filename, bool dateStamp, LONG options);
void LogDeactivate();

UINT DDE_Initialise(DWORD afCmd);
bool DDE_Uninitialise();
HSZ CreateHsz(const wstring& text);
bool FreeHsz(HSZ h);
bool KeepHsz(HSZ h);
wstring QueryHsz(HSZ h);

HCONV DDE_Connect(const wstring& service, const wstring& topic, HSZ* hszService, HSZ* hszTopic,
                  ConvContextObj* context);
HCONV DDE_ConnectInstance(HSZ hszService, const wstring& topic, HSZ* hszTopic,
                          ConvContextObj* context);
bool DDE_Disconnect(HCONV hConv);
HCONV DDE_Reconnect(HCONV hConv);
bool DDE_AbandonTransaction(HCONV hConv, LONG id);
DWORD DDE_PokeStringData(HCONV hConv, const wstring& item, const wstring& data, LONG timeout, bool async);
DWORD DDE_PokeBinaryData(HCONV hConv, const wstring& item, const void* p, LONG size, LONG fmt,
                         LONG timeout, bool async);
DWORD DDE_Execute(HCONV hConv, const wstring& command, LONG timeout, bool async);
HDDEDATA DDE_RequestData(HCONV hConv, const wstring& item, HSZ* hszItem, LONG timeout, LONG format,
                         bool async, DWORD* id);
DWORD DDE_StartLoop(HCONV hConv, const wstring& item, HSZ* hszItem, LONG timeout, LONG format,
                    bool async, bool fackReq, bool request);
DWORD DDE_StopLoop(HCONV hConv, HSZ hszItem, LONG timeout, LONG format, bool async, bool request);

HDDEDATA CALLBACK DdeCallback(UINT uType, UINT uFmt, HCONV hConv, HSZ hsz1, HSZ hsz2,
                              HDDEDATA hData, ULONG_PTR dwData1, ULONG_PTR dwData2);

// ---- the control ---------------------------------------------------------------------------
class CorvexControl final
    : public common::ComObject<
          CorvexControl, CORVANE_DISPATCH(ICorvex), common::ConnectionPointContainer,
          IOleObject, IOleControl, IPersistStreamInit, IPersistPropertyBag, IViewObject2,
          IProvideClassInfo2, common::SupportErrorInfo<&IID_ICorvex>,
          common::Alias<IPersist, IPersistStreamInit>, common::Alias<IViewObject, IViewObject2>,
          common::Alias<IProvideClassInfo, IProvideClassInfo2>> {
 public:
  CorvexControl();
  ~CorvexControl() override;

  ComPtr<ConversationsObj> conversations;
  ComPtr<ChannelsObj> channels;
  ComPtr<LogFileObj> logFile;

  // Event raisers (DISPIDs 1..14 of DCorvexEvents).
  void Fire(DISPID id, std::initializer_list<common::Variant> args);
  wstring AddConversation(HCONV h, HSZ hszService, const wstring& service, HSZ hszTopic,
                          const wstring& topic, ConvContextObj* context);
  ConversationObj* FindConversation(HCONV h);
  wstring AddRegisteredService(HSZ base, HSZ instance);

  // ICorvex
  STDMETHODIMP get_Conversations(IConversations** v) override;
  STDMETHODIMP putref_Conversations(IConversations* v) override;
  STDMETHODIMP get_Channels(IChannels** v) override;
  STDMETHODIMP putref_Channels(IChannels* v) override;
  STDMETHODIMP get_LogFile(ILogFile** v) override;
  STDMETHODIMP putref_LogFile(ILogFile* v) override;
  STDMETHODIMP get_SZDDE_ITEM_ITEMLIST(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_ITEM_FORMATS(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_ITEM_HELP(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_ITEM_RTNMSG(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_ITEM_STATUS(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_ITEM_SYSITEMS(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_ITEM_TOPICS(BSTR* v) override;
  STDMETHODIMP get_SZDDESYS_TOPIC(BSTR* v) override;
  STDMETHODIMP CreateConvContext(LONG flags, LONG country, LONG codePage, LONG langId,
                                 LONG security, VARIANT qos, IConvContext** v) override;
  STDMETHODIMP CreateQualityOfService(SHORT level, SHORT tracking, LONG effective,
                                      IQualityOfService** v) override;
  STDMETHODIMP get_FailedReturnString(BSTR* v) override;
  STDMETHODIMP put_FailedReturnString(BSTR v) override;
  STDMETHODIMP get_HandleEarlyAdvises(VARIANT_BOOL* v) override;
  STDMETHODIMP put_HandleEarlyAdvises(VARIANT_BOOL v) override;
  STDMETHODIMP Initialise(VARIANT_BOOL* ok) override;
  STDMETHODIMP ProcessEarlyAdvises() override;
  STDMETHODIMP Reconnect(VARIANT index, BSTR* key) override;
  STDMETHODIMP TransTypeName(LONG type, BSTR* name) override;
  STDMETHODIMP Uninitialise(VARIANT_BOOL* ok) override;
  STDMETHODIMP ConvKey(LONG h, BSTR* key) override;
  STDMETHODIMP ServiceKey(LONG h, BSTR* key) override;
  STDMETHODIMP StateDescription(BSTR* text) override;
  STDMETHODIMP Enumerate(VARIANT* file) override;
  STDMETHODIMP ItemKey(LONG h, BSTR* key) override;
  STDMETHODIMP Disconnect(VARIANT index, VARIANT_BOOL* ok) override;
  STDMETHODIMP GetLastError(DMLERREnum* code) override;
  STDMETHODIMP get_idInst(LONG* v) override;
  STDMETHODIMP QueryString(LONG hsz, BSTR* text) override;
  STDMETHODIMP FindChannels(BSTR service, BSTR topic, BSTR* found) override;
  STDMETHODIMP ClearChannels(LONG* removed) override;
  STDMETHODIMP Connect(BSTR service, BSTR topic, VARIANT context, BSTR* key) override;
  STDMETHODIMP TransKey(LONG h, BSTR* key) override;
  STDMETHODIMP get_Version(BSTR* v) override;
  STDMETHODIMP ShowAboutBox() override;

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD) override { return S_OK; }
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** m) override;
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject** d) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** e) override;
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* id) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** e) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }
  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* ci) override;
  STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
  STDMETHODIMP FreezeEvents(BOOL freeze) override;
  // IPersistStreamInit / IPersistPropertyBag
  STDMETHODIMP GetClassID(CLSID* id) override;
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Load(IStream* s) override;
  STDMETHODIMP Save(IStream* s, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
  // IViewObject2
  STDMETHODIMP Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc, LPCRECTL bounds,
                    LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override;
  STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** p) override;
  STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Unfreeze(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override;
  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** ti) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

  // The control's fixed size: 520 by 520 twips in HIMETRIC.
  static constexpr LONG kExtentHimetric = 917;

 private:
  common::ConnectionPoint* events_ = nullptr;
  ComPtr<IOleClientSite> site_;
  ComPtr<IOleAdviseHolder> adviseHolder_;
  ComPtr<IAdviseSink> viewSink_;
  DWORD viewAspects_ = 0, viewFlags_ = 0;
  LONG freeze_ = 0;
};

}  // namespace corvane
