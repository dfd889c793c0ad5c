// modDDEMLInterface: the one module that calls DDEML. It owns the process-wide instance, the
// log writer, the thin DDE_ wrappers and the DDE callback.
#include <cstring>

#include "Core.h"

namespace corvane {

// ---- seam ------------------------------------------------------------------------------------
namespace {
const DdemlApi* gOverride = nullptr;

bool RunningOnWine() {
  HMODULE nt = GetModuleHandleW(L"ntdll.dll");
  return nt && GetProcAddress(nt, "wine_get_version");
}

const DdemlApi& ChooseDdeml() {
  char buf[32] = {};
  DWORD n = GetEnvironmentVariableA("CORVANE_DDEML", buf, sizeof buf);
  std::string choice = (n > 0 && n < sizeof buf) ? std::string(buf, n) : std::string();
  if (choice.empty()) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane", 0, KEY_READ, &key) == ERROR_SUCCESS) {
      DWORD type = 0, size = sizeof buf - 1;
      if (RegQueryValueExA(key, "Ddeml", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
              ERROR_SUCCESS && type == REG_SZ)
        choice.assign(buf, strnlen(buf, size));
      RegCloseKey(key);
    }
  }
  if (_stricmp(choice.c_str(), "platform") == 0) return PlatformDdeml();
  if (_stricmp(choice.c_str(), "ours") == 0) return OurDdeml();
  // Wine's DDEML loses replies and never completes asynchronous transactions: ours there.
  return RunningOnWine() ? OurDdeml() : PlatformDdeml();
}
}  // namespace

const DdemlApi& Ddeml() {
  if (gOverride) return *gOverride;
  static const DdemlApi& chosen = ChooseDdeml();
  return chosen;
}
void SetDdeml(const DdemlApi* api) { gOverride = api; }

ModuleState& State() {
  static ModuleState* s = new ModuleState;  // lives for the process, like a module's globals
  return *s;
}

wstring LibraryFolder() {
  wchar_t buf[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(common::Module::Handle(), buf, MAX_PATH * 2);
  wstring path(buf, n);
  size_t slash = path.find_last_of(L"\\/");
  return slash == wstring::npos ? wstring(L".") : path.substr(0, slash);
}

// ---- log writer ------------------------------------------------------------------------------
namespace {

std::string StampNow() {
  SYSTEMTIME d, t;
  GetLocalTime(&d);  // the date and the time are two reads of the clock
  GetLocalTime(&t);
  return LogStamp(d.wYear, d.wMonth, d.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The run-time error a failed open reports through LogFileError.
std::pair<LONG, wstring> FileError(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND: return {53, L"File not found"};
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return {76, L"Path not found"};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return {75, L"Path/File access error"};
    case ERROR_DISK_FULL: return {61, L"Disk full"};
    default: return {75, L"Path/File access error"};
  }
}

bool WriteLine(HANDLE f, const std::string& line) {
  std::string bytes = line + "\r\n";
  DWORD written = 0;
  return WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// The entry as written: date stamp, captured error, error name.
std::string Compose(const std::string& text, LONG level, bool appendError) {
  ModuleState& m = State();
  std::string line = text;
  if (level == LOG_CMD) m.lastError = 0;
  if (level == LOG_ERR && appendError) {
    m.lastError = static_cast<LONG>(m.idInst ? Ddeml().DdeGetLastError(m.idInst) : 0);
    line += "; Error = " + ErrorName(m.lastError);
  }
  if (m.logDateStamp) line = StampNow() + "; " + line;
  return line;
}

HANDLE gHeld = INVALID_HANDLE_VALUE;  // the file activation holds open for its header

void Write(const std::string& text, LONG level, bool appendError, bool openClose) {
  ModuleState& m = State();
  if (!m.logActive || (m.logOptions & level) != level) return;
  std::string line = Compose(text, level, appendError);
  if (!openClose) {
    if (gHeld != INVALID_HANDLE_VALUE) WriteLine(gHeld, line);
    return;
  }
  HANDLE f = CreateFileW(m.logFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ++m.logFileNumber;
  if (f == INVALID_HANDLE_VALUE) {
    auto [number, description] = FileError(::GetLastError());
    if (m.owner) m.owner->Fire(14, {common::Variant(static_cast<LONG>(number)),
                                    common::Variant(description.c_str())});
    return;
  }
  WriteLine(f, line);
  CloseHandle(f);
}

}  // namespace

void WriteLog(const std::string& text, LONG level, bool appendError) {
  common::GuardNoThrow([&] { Write(text, level, appendError, true); });
}
void WriteLogW(const wstring& text, LONG level, bool appendError) {
  WriteLog(Ansi(text), level, appendError);
}

bool LogActivate(wstring& filename, bool dateStamp, LONG options) {
  ModuleState& m = State();
  if (m.logActive) return false;
  if (filename.empty()) filename = LibraryFolder() + L"\\Corvane.log";
  m.logFile = filename;
  HANDLE f = CreateFileW(filename.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  ++m.logFileNumber;
  gHeld = f;
  m.logActive = true;
  m.logOptions = LOG_ALLLEVELS;
  m.logDateStamp = true;
  common::GuardNoThrow([&] {
    Write("********** Corvane.OCX Log File **********", LOG_ALLLEVELS, false, false);
    m.logDateStamp = false;
    Write("", LOG_ALLLEVELS, false, false);
  });
  gHeld = INVALID_HANDLE_VALUE;
  CloseHandle(f);
  m.logDateStamp = dateStamp;
  m.logOptions = options;
  return true;
}

void LogDeactivate() {
  ModuleState& m = State();
  if (!m.logActive) return;
  m.logOptions = LOG_ALLLEVELS;
  m.logDateStamp = false;
  WriteLog("", LOG_ALLLEVELS);
  m.logDateStamp = true;
  WriteLog("************** End of Log File **************", LOG_ALLLEVELS);
  m.logActive = false;
}

// ---- instance and string handles -------------------------------------------------------------
UINT DDE_Initialise(DWORD afCmd) {
  ModuleState& m = State();
  if (m.idInst) return DMLERR_DLL_USAGE;
  DWORD id = 0;
  UINT r = Ddeml().DdeInitializeA(&id, reinterpret_cast<PFNCALLBACK>(&DdeCallback), afCmd, 0);
  m.idInst = id;
  if (m.idInst)
    WriteLog("DDE_Initialise: Initialised with DDEML; idInst = &H" + Hex(static_cast<LONG>(id)), LOG_CMD);
  else
    WriteLog("DDE_Initialise: Failed to initialise with DDEML", LOG_ERR, true);
  return r;
}

bool DDE_Uninitialise() {
  ModuleState& m = State();
  if (!m.idInst) return false;
  if (Ddeml().DdeUninitialize(m.idInst)) {
    m.idInst = 0;
    WriteLog("DDE_Uninitialise: Un-initialised with DDEML", LOG_CMD);
    return true;
  }
  WriteLog("DDE_Uninitialise: Failed to un-initialise with DDEML", LOG_ERR, true);
  return false;
}

HSZ CreateHsz(const wstring& text) {
  if (text.empty()) return nullptr;
  return Ddeml().DdeCreateStringHandleA(State().idInst, Ansi(text).c_str(), CP_WINANSI);
}
bool FreeHsz(HSZ h) { return Ddeml().DdeFreeStringHandle(State().idInst, h) != 0; }
bool KeepHsz(HSZ h) { return Ddeml().DdeKeepStringHandle(State().idInst, h) != 0; }
wstring QueryHsz(HSZ h) {
  char buf[500];
  DWORD n = Ddeml().DdeQueryStringA(State().idInst, h, buf, 500, CP_WINANSI);
  if (n == 0) return L"";
  if (n > 499) n = 499;
  return FromAnsi(buf, n);
}

// ---- conversations ---------------------------------------------------------------------------
HCONV DDE_Connect(const wstring& service, const wstring& topic, HSZ* hszService, HSZ* hszTopic,
                  ConvContextObj* context) {
  *hszService = CreateHsz(service);
  *hszTopic = CreateHsz(topic);
  CONVCONTEXT cc;
  if (context) cc = context->Record();
  HCONV h = Ddeml().DdeConnect(State().idInst, *hszService, *hszTopic, context ? &cc : nullptr);
  if (h) {
    WriteLogW(L"DDE_Connect: Started Conversation with " + service + L"|" + topic +
                  L"; hConv = &H" + Widen(HexH(h)), LOG_CMD);
    return h;
  }
  if (*hszService) FreeHsz(*hszService);
  if (*hszTopic) FreeHsz(*hszTopic);
  *hszService = *hszTopic = nullptr;
  WriteLogW(L"DDE_Connect: Failed to connect Conversation to " + service + L"|" + topic, LOG_ERR, true);
  return nullptr;
}

HCONV DDE_ConnectInstance(HSZ hszService, const wstring& topic, HSZ* hszTopic,
                          ConvContextObj* context) {
  KeepHsz(hszService);
  *hszTopic = CreateHsz(topic);
  wstring name = QueryHsz(hszService);
  CONVCONTEXT cc;
  if (context) cc = context->Record();
  HCONV h = Ddeml().DdeConnect(State().idInst, hszService, *hszTopic, context ? &cc : nullptr);
  if (h) {
    WriteLogW(L"DDE_ConnectInstance: Started Conversation with " + name + L"|" + topic +
                  L"; hConv = &H" + Widen(HexH(h)), LOG_CMD);
    return h;
  }
  FreeHsz(hszService);
  if (*hszTopic) FreeHsz(*hszTopic);
  *hszTopic = nullptr;
  WriteLogW(L"DDE_ConnectInstance: Failed to connect Conversation to " + name + L"|" + topic, LOG_ERR,
            true);
  return nullptr;
}

bool DDE_Disconnect(HCONV hConv) {
  ModuleState& m = State();
  ConversationObj* conv = m.owner ? m.owner->FindConversation(hConv) : nullptr;
  bool ok = (conv && conv->disconnected) ? true : Ddeml().DdeDisconnect(hConv) != 0;
  if (ok) {
    if (conv) {
      if (conv->hszService) FreeHsz(conv->hszService);
      if (conv->hszTopic) FreeHsz(conv->hszTopic);
      conv->hszService = conv->hszTopic = nullptr;
    }
    WriteLog("DDE_Disconnect: Disconnected Conversation &H" + HexH(hConv), LOG_CMD);
    return true;
  }
  WriteLog("DDE_Disconnect: Failed to disconnect Conversation to &H" + HexH(hConv), LOG_ERR, true);
  return false;
}

HCONV DDE_Reconnect(HCONV hConv) {
  HCONV h = Ddeml().DdeReconnect(hConv);
  if (h)
    WriteLog("DDE_Reconnect: Reconnected Conversation &H" + HexH(hConv) + " with NEW hConv = &H" +
                 HexH(h), LOG_CMD);
  else
    WriteLog("DDE_Reconnect: Failed to reconnect Conversation &H" + HexH(hConv), LOG_ERR, true);
  return h;
}

// ---- transactions ----------------------------------------------------------------------------
namespace {
DWORD Transact(const void* data, DWORD size, HCONV hConv, HSZ item, UINT fmt, UINT type,
               LONG timeout, bool async, HDDEDATA* result = nullptr) {
  DWORD id = 0;
  if (!async && static_cast<DWORD>(timeout) == TIMEOUT_ASYNC) {
    // -1 is DDEML's "asynchronous": passed on, the call would return at once and leave a
    // completion nobody waits for. Refused like any failed synchronous call.
    if (result) *result = nullptr;
    WriteLog("Transaction: Time-out -1 refused for a synchronous transaction in Conversation &H" +
                 HexH(hConv), LOG_ERR);
    return 0;
  }
  HDDEDATA r = Ddeml().DdeClientTransaction(static_cast<LPBYTE>(const_cast<void*>(data)), size,
                                            hConv, item, fmt, type,
                                            async ? TIMEOUT_ASYNC : static_cast<DWORD>(timeout), &id);
  if (result) *result = r;
  if (async) return r ? id : 0;
  return r ? 1 : 0;
}
std::string WithNul(const wstring& s) {
  std::string a = Ansi(s);
  a.push_back('\0');
  return a;
}
}  // namespace

bool DDE_AbandonTransaction(HCONV hConv, LONG id) {
  if (Ddeml().DdeAbandonTransaction(State().idInst, hConv, static_cast<DWORD>(id))) {
    WriteLog("DDE_AbandonTransaction: Abandoned Transaction &H" + Hex(id) + " in Conversation &H" +
                 HexH(hConv), LOG_CMD);
    return true;
  }
  WriteLog("DDE_AbandonTransaction: Failed to abandon Transaction &H" + Hex(id) +
               " in Conversation &H" + HexH(hConv), LOG_ERR, true);
  return false;
}

DWORD DDE_PokeStringData(HCONV hConv, const wstring& item, const wstring& data, LONG timeout,
                         bool async) {
  std::string bytes = WithNul(data);
  HSZ hsz = CreateHsz(item);
  DWORD r = Transact(bytes.data(), static_cast<DWORD>(bytes.size()), hConv, hsz, CF_TEXT, XTYP_POKE,
                     timeout, async);
  if (hsz) FreeHsz(hsz);
  std::string sent = Ansi(item) + "' = '" + bytes;  // the text as sent, its NUL included
  std::string conv = " in Conversation &H" + HexH(hConv);
  if (r)
    WriteLog(async ? "DDE_PokeStringData: Established Poke transaction &H" + Hex(static_cast<LONG>(r)) +
                         " for '" + sent + "'" + conv
                   : "DDE_PokeStringData: Poked data '" + sent + "'" + conv, LOG_CMD);
  else
    WriteLog(std::string("DDE_PokeStringData: Failed to ") +
                 (async ? "establish Poke transaction for" : "Poke data") + " '" + sent + "'" + conv,
             LOG_ERR, true);
  return r;
}

DWORD DDE_PokeBinaryData(HCONV hConv, const wstring& item, const void* p, LONG size, LONG fmt,
                         LONG timeout, bool async) {
  HSZ hsz = CreateHsz(item);
  DWORD r = Transact(p, static_cast<DWORD>(size), hConv, hsz, static_cast<UINT>(fmt), XTYP_POKE,
                     timeout, async);
  if (hsz) FreeHsz(hsz);
  std::string conv = " in Conversation &H" + HexH(hConv);
  if (r)
    WriteLog(async ? "DDE_PokeBinaryData: Established Poke transaction &H" +
                         Hex(static_cast<LONG>(r)) + conv
                   : "DDE_PokeBinaryData: Poked data" + conv, LOG_CMD);
  else
    WriteLog(std::string("DDE_PokeBinaryData: Failed to ") +
                 (async ? "establish Poke transaction for" : "Poke data") + " '" + Ansi(item) +
                 "' (Binary)" + conv, LOG_ERR, true);
  return r;
}

DWORD DDE_Execute(HCONV hConv, const wstring& command, LONG timeout, bool async) {
  std::string bytes = WithNul(command);
  DWORD r = Transact(bytes.data(), static_cast<DWORD>(bytes.size()), hConv, nullptr, 0,
                     XTYP_EXECUTE, timeout, async);
  std::string cmd = Ansi(command), conv = " in Conversation &H" + HexH(hConv);
  if (r)
    WriteLog(async ? "DDE_Execute: Established Execute transaction &H" + Hex(static_cast<LONG>(r)) +
                         " for command '" + cmd + "'" + conv
                   : "DDE_Execute: Executed command '" + cmd + "'" + conv, LOG_CMD);
  else
    WriteLog(std::string("DDE_Execute: Failed to ") +
                 (async ? "establish Execute transaction for" : "Execute") + " command '" + cmd +
                 "'" + conv, LOG_ERR, true);
  return r;
}

HDDEDATA DDE_RequestData(HCONV hConv, const wstring& item, HSZ* hszItem, LONG timeout, LONG format,
                         bool async, DWORD* id) {
  *hszItem = CreateHsz(item);
  HDDEDATA data = nullptr;
  DWORD r = Transact(nullptr, 0, hConv, *hszItem, static_cast<UINT>(format), XTYP_REQUEST, timeout,
                     async, &data);
  if (*hszItem) FreeHsz(*hszItem);
  if (id) *id = async ? r : 0;
  std::string it = Ansi(item), conv = " in Conversation &H" + HexH(hConv);
  if (r)
    WriteLog(async ? "DDE_RequestData: Established Request transaction &H" + Hex(static_cast<LONG>(r)) +
                         " for '" + it + "'" + conv
                   : "DDE_RequestData: Request for '" + it + "'" + conv + " successful", LOG_CMD);
  else
    WriteLog(std::string("DDE_RequestData: Failed to ") +
                 (async ? "establish Request data transaction for" : "Request data") + " '" + it +
                 "'" + conv, LOG_ERR, true);
  return async ? nullptr : data;
}

DWORD DDE_StartLoop(HCONV hConv, const wstring& item, HSZ* hszItem, LONG timeout, LONG format,
                    bool async, bool fackReq, bool request) {
  *hszItem = CreateHsz(item);
  UINT type = XTYP_ADVSTART | (request ? XTYPF_NODATA : 0) | (fackReq ? XTYPF_ACKREQ : 0);
  DWORD r = Transact(nullptr, 0, hConv, *hszItem, static_cast<UINT>(format), type, timeout, async);
  const char* fn = request ? "DDE_StartRequestLoop: " : "DDE_StartAdviseLoop: ";
  std::string on = " on item '" + Ansi(item) + "' in Conversation &H" + HexH(hConv);
  if (r) {
    if (async)
      WriteLog(fn + std::string("Established Start ") + (request ? "Request" : "Advise") +
                   " loop transaction &H" + Hex(static_cast<LONG>(r)) + on, LOG_CMD);
    else
      WriteLog(fn + std::string("Established ") + (request ? "Request" : "Advise") + " loop" + on,
               LOG_CMD);
  } else {
    if (*hszItem) FreeHsz(*hszItem);
    *hszItem = nullptr;
    WriteLog(fn + std::string("Failed to ") +
                 (async ? (request ? "establish Start Request Loop transaction"
                                   : "establish Start Advise Loop transaction")
                        : (request ? "Start Request Loop" : "start Advise Loop")) + on,
             LOG_ERR, true);
  }
  return r;
}

DWORD DDE_StopLoop(HCONV hConv, HSZ hszItem, LONG timeout, LONG format, bool async, bool request) {
  DWORD r = Transact(nullptr, 0, hConv, hszItem, static_cast<UINT>(format), XTYP_ADVSTOP, timeout,
                     async);
  const char* fn = request ? "DDE_StopRequestLoop: " : "DDE_StopAdviseLoop: ";
  std::string on = " on item &H" + HexH(hszItem) + " in Conversation &H" + HexH(hConv);
  if (r) {
    if (async)
      WriteLog(fn + std::string("Established Stop ") + (request ? "Request" : "Advise") +
                   " loop transaction &H" + Hex(static_cast<LONG>(r)) + on, LOG_CMD);
    else {
      WriteLog(fn + std::string(request ? "Stopped request loop" : "Stopped Advise loop") + on,
               LOG_CMD);
      FreeHsz(hszItem);
    }
  } else {
    WriteLog(fn + std::string("Failed to ") +
                 (async ? (request ? "establish Stop Request Loop transaction"
                                   : "establish Stop Advise Loop transaction")
                        : (request ? "stop Request Loop" : "stop Advise Loop")) + on,
             LOG_ERR, true);
  }
  return r;
}

}  // namespace corvane
