#include "FakeDdeml.h"

#include <cstring>

namespace fake {

namespace {

struct Data {
  std::vector<BYTE> bytes;
};

template <class H>
H Handle(int v) {
  return reinterpret_cast<H>(static_cast<intptr_t>(v));
}
int Id(const void* h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }

void Record(Call c) { S().calls.push_back(std::move(c)); }
void Failed() { S().lastError = S().script.errorAfterFailure; }

UINT WINAPI Initialize(LPDWORD id, PFNCALLBACK cb, DWORD, DWORD) {
  Record({"DdeInitializeA"});
  if (S().script.initializeFails) {
    *id = 0;
    return DMLERR_SYS_ERROR;
  }
  S().callback = cb;
  S().idInst = 0x7A5;
  *id = S().idInst;
  return DMLERR_NO_ERROR;
}
WINBOOL WINAPI Uninitialize(DWORD) {
  Record({"DdeUninitialize"});
  if (S().script.uninitializeFails) return FALSE;
  S().callback = nullptr;
  return TRUE;
}
UINT WINAPI GetLastErrorFake(DWORD) {
  UINT e = S().lastError;
  S().lastError = 0;  // reading clears it, as DDEML's does
  return e;
}
HSZ WINAPI CreateString(DWORD, LPCSTR psz, int) {
  Call c{"DdeCreateStringHandleA"};
  c.item = psz ? psz : "";
  Record(c);
  return AddString(c.item);
}
WINBOOL WINAPI FreeString(DWORD, HSZ h) {
  Call c{"DdeFreeStringHandle"};
  c.item = NameOf(h);
  Record(c);
  auto it = S().strings.find(Id(h));
  if (it == S().strings.end()) return FALSE;
  if (--it->second.second == 0) S().strings.erase(it);
  return TRUE;
}
WINBOOL WINAPI KeepString(DWORD, HSZ h) {
  Call c{"DdeKeepStringHandle"};
  c.item = NameOf(h);
  Record(c);
  auto it = S().strings.find(Id(h));
  if (it == S().strings.end()) return FALSE;
  ++it->second.second;
  return TRUE;
}
DWORD WINAPI QueryString(DWORD, HSZ h, LPSTR buf, DWORD max, int) {
  auto it = S().strings.find(Id(h));
  if (it == S().strings.end()) return 0;
  const std::string& s = it->second.first;
  if (!buf) return static_cast<DWORD>(s.size());
  DWORD n = static_cast<DWORD>(s.size()) < max - 1 ? static_cast<DWORD>(s.size()) : max - 1;
  std::memcpy(buf, s.data(), n);
  buf[n] = 0;
  return n;
}
int WINAPI CmpStrings(HSZ a, HSZ b) { return Id(a) == Id(b) ? 0 : (Id(a) < Id(b) ? -1 : 1); }
HDDEDATA WINAPI CreateData(DWORD, LPBYTE p, DWORD cb, DWORD off, HSZ, UINT, UINT) {
  std::vector<BYTE> b;
  if (p) b.assign(p + off, p + off + cb);
  return MakeData(b);
}
LPBYTE WINAPI Access(HDDEDATA h, LPDWORD size) {
  auto* d = reinterpret_cast<Data*>(h);
  if (size) *size = static_cast<DWORD>(d->bytes.size());
  return d->bytes.empty() ? reinterpret_cast<LPBYTE>(d) : d->bytes.data();
}
WINBOOL WINAPI Unaccess(HDDEDATA) { return TRUE; }
DWORD WINAPI GetData(HDDEDATA h, LPBYTE dst, DWORD max, DWORD off) {
  auto* d = reinterpret_cast<Data*>(h);
  if (off >= d->bytes.size()) return 0;
  DWORD n = static_cast<DWORD>(d->bytes.size()) - off;
  if (!dst) return n;
  if (n > max) n = max;
  std::memcpy(dst, d->bytes.data() + off, n);
  return n;
}
WINBOOL WINAPI FreeDataFake(HDDEDATA h) {
  Record({"DdeFreeDataHandle"});
  FreeData(h);
  return TRUE;
}
HCONV WINAPI Connect(DWORD, HSZ service, HSZ topic, PCONVCONTEXT cc) {
  Call c{"DdeConnect"};
  c.item = NameOf(service);
  c.topic = NameOf(topic);
  if (cc) {
    c.withContext = true;
    c.context = *cc;
  }
  Record(c);
  if (S().script.connectFails) {
    Failed();
    return nullptr;
  }
  return Handle<HCONV>(S().nextConv++);
}
HCONVLIST WINAPI ConnectList(DWORD, HSZ service, HSZ topic, HCONVLIST, PCONVCONTEXT) {
  Call c{"DdeConnectList"};
  c.item = NameOf(service);
  c.topic = NameOf(topic);
  Record(c);
  S().listConvs.clear();
  if (S().script.servers.empty()) return nullptr;
  for (size_t i = 0; i < S().script.servers.size(); ++i) S().listConvs.push_back(Handle<HCONV>(S().nextListConv++));
  return Handle<HCONVLIST>(0x77);
}
HCONV WINAPI NextServer(HCONVLIST, HCONV prev) {
  auto& l = S().listConvs;
  if (!prev) return l.empty() ? nullptr : l[0];
  for (size_t i = 0; i + 1 < l.size(); ++i)
    if (l[i] == prev) return l[i + 1];
  return nullptr;
}
WINBOOL WINAPI DisconnectList(HCONVLIST) {
  Record({"DdeDisconnectList"});
  // The list's own references to the partners' names go with it.
  for (size_t i = 0; i < S().listConvs.size(); ++i) {
    auto& [svc, top] = S().script.servers[i];
    for (const std::string* n : {&svc, &top}) {
      auto it = S().strings.find(Id(StringOf(*n)));
      if (it != S().strings.end() && --it->second.second == 0) S().strings.erase(it);
    }
  }
  S().listConvs.clear();
  return TRUE;
}
UINT WINAPI QueryConvInfo(HCONV conv, DWORD, PCONVINFO ci) {
  auto& l = S().listConvs;
  for (size_t i = 0; i < l.size(); ++i)
    if (l[i] == conv) {
      if (ci->cb != sizeof(CONVINFO)) return 0;
      ci->hszSvcPartner = AddString(S().script.servers[i].first);
      ci->hszTopic = AddString(S().script.servers[i].second);
      return sizeof(CONVINFO);
    }
  return 0;
}
WINBOOL WINAPI Disconnect(HCONV conv) {
  Call c{"DdeDisconnect"};
  c.conv = conv;
  Record(c);
  if (S().script.disconnectFails) {
    Failed();
    return FALSE;
  }
  return TRUE;
}
HCONV WINAPI Reconnect(HCONV conv) {
  Call c{"DdeReconnect"};
  c.conv = conv;
  Record(c);
  if (!S().script.reconnectResult) Failed();
  return S().script.reconnectResult;
}
WINBOOL WINAPI SetUser(HCONV, DWORD, DWORD_PTR) { return TRUE; }
HDDEDATA WINAPI Transaction(LPBYTE p, DWORD cb, HCONV conv, HSZ item, UINT fmt, UINT type,
                            DWORD timeout, LPDWORD result) {
  Call c{"DdeClientTransaction"};
  c.type = type;
  c.fmt = fmt;
  c.item = NameOf(item);
  if (p && cb) c.data.assign(p, p + cb);
  c.timeout = timeout;
  c.conv = conv;
  Record(c);
  const Script& sc = S().script;
  UINT base = type & ~(XTYPF_NODATA | XTYPF_ACKREQ);
  if (sc.transactionFails || (sc.failingType && sc.failingType == base)) {
    Failed();
    if (result) *result = 0;
    return nullptr;
  }
  if (timeout == TIMEOUT_ASYNC) {
    if (result) *result = S().nextTransaction++;
    return reinterpret_cast<HDDEDATA>(1);
  }
  if (S().syncDepth > 0) {  // inside another synchronous transaction's wait
    S().lastError = DMLERR_REENTRANCY;
    if (result) *result = 0;
    return nullptr;
  }
  ++S().syncDepth;
  if (sc.duringTransaction) sc.duringTransaction(c);
  --S().syncDepth;
  if (result) *result = DDE_FACK;
  if (base == XTYP_REQUEST) return MakeData(sc.requestReply);
  return reinterpret_cast<HDDEDATA>(1);
}
WINBOOL WINAPI Abandon(DWORD, HCONV conv, DWORD id) {
  Call c{"DdeAbandonTransaction"};
  c.conv = conv;
  c.timeout = id;
  Record(c);
  if (S().script.abandonFails) {
    Failed();
    return FALSE;
  }
  return TRUE;
}
WINBOOL WINAPI Enable(DWORD, HCONV, UINT) { return TRUE; }

}  // namespace

State& S() {
  static State s;
  return s;
}

const DdemlApi& Api() {
  static const DdemlApi api = {"fake",        Initialize,    Uninitialize, GetLastErrorFake,
                               CreateString,  FreeString,    KeepString,   QueryString,
                               CmpStrings,    CreateData,    Access,       Unaccess,
                               GetData,       FreeDataFake,  Connect,      ConnectList,
                               NextServer,    DisconnectList, QueryConvInfo, Disconnect,
                               Reconnect,     SetUser,       Transaction,  Abandon,
                               Enable};
  return api;
}

void Reset() {
  for (auto& c : S().calls) (void)c;
  S() = State{};
}

HSZ StringOf(const std::string& name) {
  for (auto& [id, e] : S().strings)
    if (_stricmp(e.first.c_str(), name.c_str()) == 0) return Handle<HSZ>(id);
  return nullptr;
}
std::string NameOf(HSZ h) {
  auto it = S().strings.find(Id(h));
  return it == S().strings.end() ? std::string() : it->second.first;
}
int References(HSZ h) {
  auto it = S().strings.find(Id(h));
  return it == S().strings.end() ? 0 : it->second.second;
}
long LiveStrings() {
  long n = 0;
  for (auto& [id, e] : S().strings) n += e.second;
  return n;
}
HSZ AddString(const std::string& name) {
  if (name.empty()) return nullptr;
  if (HSZ h = StringOf(name)) {
    ++S().strings[Id(h)].second;
    return h;
  }
  int id = S().nextString++;
  S().strings[id] = {name, 1};
  return Handle<HSZ>(id);
}
HDDEDATA MakeData(const std::vector<BYTE>& bytes) {
  ++S().liveData;
  return reinterpret_cast<HDDEDATA>(new Data{bytes});
}
HDDEDATA MakeText(const std::string& text) {
  std::vector<BYTE> b(text.begin(), text.end());
  b.push_back(0);
  return MakeData(b);
}
void FreeData(HDDEDATA h) {
  if (reinterpret_cast<ULONG_PTR>(h) <= 1) return;
  --S().liveData;
  delete reinterpret_cast<Data*>(h);
}
HDDEDATA Deliver(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                 ULONG_PTR data1, ULONG_PTR data2) {
  if (!S().callback) return nullptr;
  return S().callback(type, fmt, conv, hsz1, hsz2, data, data1, data2);
}
std::vector<Call> CallsOf(const std::string& fn) {
  std::vector<Call> out;
  for (auto& c : S().calls)
    if (c.fn == fn) out.push_back(c);
  return out;
}
std::vector<Call> Transactions(UINT type) {
  std::vector<Call> out;
  for (auto& c : S().calls)
    if (c.fn == "DdeClientTransaction" && c.type == type) out.push_back(c);
  return out;
}

}  // namespace fake
