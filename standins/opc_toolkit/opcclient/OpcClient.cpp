// opcclient: a small command-line OPC DA client over the custom interfaces.
//   opcclient list
//   opcclient PROGID browse
//   opcclient PROGID read ITEM...
//   opcclient PROGID write ITEM VALUE
//   opcclient PROGID watch ITEM... [--seconds N] [--rate MS] [--stay-until EVENT]
//   opcclient PROGID connect [--seconds N]
// connect holds the server object for its time (10 s unless told) with no group and no
// callback, as a client between connecting and subscribing; it prints "connected" first.
// A watch ends at the end of its time or when the server asks its clients to disconnect; with
// --stay-until it stays connected after that request until the named event EVENT is set (or its
// time is up), as a client that takes its time to leave.
// Prints one line per result; exits 0 on success, 1 when an item or the server failed, 2 on a
// usage error.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>
#include <comcat.h>

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void Out(const std::wstring& s, FILE* f = stdout) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string u(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), u.data(), n, nullptr,
                      nullptr);
  u += '\n';
  fputs(u.c_str(), f);
  fflush(f);
}

void Err(const std::wstring& s) { Out(L"opcclient: " + s, stderr); }

std::wstring Hex(HRESULT hr) {
  wchar_t b[16];
  swprintf(b, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return b;
}

std::wstring ErrorText(IOPCServer* s, HRESULT hr) {
  std::wstring text = Hex(hr);
  LPWSTR msg = nullptr;
  if (s && SUCCEEDED(s->GetErrorString(hr, 0x409, &msg)) && msg) {
    text += L" (" + std::wstring(msg) + L")";
    CoTaskMemFree(msg);
  }
  return text;
}

std::wstring TypeName(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: return L"EMPTY";
    case VT_I1: return L"I1";
    case VT_UI1: return L"UI1";
    case VT_I2: return L"I2";
    case VT_UI2: return L"UI2";
    case VT_I4: return L"I4";
    case VT_UI4: return L"UI4";
    case VT_R4: return L"R4";
    case VT_R8: return L"R8";
    case VT_CY: return L"CY";
    case VT_DATE: return L"DATE";
    case VT_BSTR: return L"BSTR";
    case VT_BOOL: return L"BOOL";
    default: return L"VT" + std::to_wstring(vt);
  }
}

std::wstring ValueText(const VARIANT& v) {
  if (V_VT(&v) == VT_EMPTY) return L"(no value)";
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(&v), 0x409, VARIANT_ALPHABOOL,
                                 VT_BSTR)))
    return L"(" + TypeName(V_VT(&v)) + L" value)";
  std::wstring r = V_BSTR(&s) ? V_BSTR(&s) : L"";
  VariantClear(&s);
  return r;
}

std::wstring QualityText(WORD q) {
  const wchar_t* main = (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD        ? L"Good"
                        : (q & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN ? L"Uncertain"
                                                                          : L"Bad";
  wchar_t b[32];
  swprintf(b, 32, L"%ls 0x%02X", main, q);
  return b;
}

std::wstring TimeText(const FILETIME& ft) {
  FILETIME local;
  SYSTEMTIME st;
  if (!FileTimeToLocalFileTime(&ft, &local) || !FileTimeToSystemTime(&local, &st)) return L"?";
  wchar_t b[40];
  swprintf(b, 40, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
           st.wMinute, st.wSecond, st.wMilliseconds);
  return b;
}

int List() {
  ICatInformation* ci = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatInformation, reinterpret_cast<void**>(&ci));
  if (FAILED(hr)) {
    Err(L"cannot read the component categories: " + Hex(hr));
    return 1;
  }
  struct Cat {
    CATID id;
    const wchar_t* name;
  } cats[] = {{CATID_OPCDAServer20, L"DA 2.0"}, {CATID_OPCDAServer10, L"DA 1.0"}};
  std::vector<std::pair<CLSID, std::wstring>> found;
  for (auto& c : cats) {
    IEnumCLSID* e = nullptr;
    if (FAILED(ci->EnumClassesOfCategories(1, &c.id, static_cast<ULONG>(-1), nullptr, &e)) || !e)
      continue;
    CLSID clsid;
    ULONG n = 0;
    while (e->Next(1, &clsid, &n) == S_OK && n == 1) {
      bool seen = false;
      for (auto& f : found)
        if (f.first == clsid) {
          f.second += L", " + std::wstring(c.name);
          seen = true;
        }
      if (!seen) found.push_back({clsid, c.name});
    }
    e->Release();
  }
  ci->Release();
  for (auto& [clsid, kinds] : found) {
    LPOLESTR prog = nullptr;
    std::wstring progId = SUCCEEDED(ProgIDFromCLSID(clsid, &prog)) && prog ? prog : L"?";
    CoTaskMemFree(prog);
    wchar_t g[40];
    StringFromGUID2(clsid, g, 40);
    Out(progId + L"  " + g + L"  [" + kinds + L"]");
  }
  if (found.empty()) Out(L"(no OPC DA servers registered)");
  return 0;
}

IOPCServer* Connect(const wchar_t* progId) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr) && progId[0] == L'{') hr = CLSIDFromString(progId, &clsid);
  if (FAILED(hr)) {
    Err(L"no server is registered as '" + std::wstring(progId) + L"'");
    return nullptr;
  }
  IOPCServer* s = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IOPCServer,
                        reinterpret_cast<void**>(&s));
  if (FAILED(hr)) {
    Err(L"cannot connect to '" + std::wstring(progId) + L"': " + Hex(hr));
    return nullptr;
  }
  return s;
}

void BrowseBranch(IOPCBrowseServerAddressSpace* b, int depth, int& count) {
  if (depth > 32) return;
  IEnumString* e = nullptr;
  if (b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e) >= 0 && e) {
    LPOLESTR s = nullptr;
    ULONG n = 0;
    while (e->Next(1, &s, &n) == S_OK && n == 1) {
      LPWSTR id = nullptr;
      if (SUCCEEDED(b->GetItemID(s, &id)) && id) {
        Out(id);
        ++count;
        CoTaskMemFree(id);
      }
      CoTaskMemFree(s);
    }
    e->Release();
  }
  e = nullptr;
  std::vector<std::wstring> branches;
  if (b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &e) >= 0 && e) {
    LPOLESTR s = nullptr;
    ULONG n = 0;
    while (e->Next(1, &s, &n) == S_OK && n == 1) {
      branches.push_back(s);
      CoTaskMemFree(s);
    }
    e->Release();
  }
  for (auto& br : branches) {
    if (FAILED(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, br.c_str()))) continue;
    BrowseBranch(b, depth + 1, count);
    b->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
  }
}

int Browse(IOPCServer* s) {
  IOPCBrowseServerAddressSpace* b = nullptr;
  HRESULT hr = s->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&b));
  if (FAILED(hr)) {
    Err(L"the server cannot be browsed: " + Hex(hr));
    return 1;
  }
  OPCNAMESPACETYPE ns = OPC_NS_FLAT;
  b->QueryOrganization(&ns);
  int count = 0;
  if (ns == OPC_NS_HIERARCHIAL) {
    b->ChangeBrowsePosition(OPC_BROWSE_TO, L"");
    BrowseBranch(b, 0, count);
  } else {
    IEnumString* e = nullptr;
    if (b->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &e) >= 0 && e) {
      LPOLESTR str = nullptr;
      ULONG n = 0;
      while (e->Next(1, &str, &n) == S_OK && n == 1) {
        Out(str);
        ++count;
        CoTaskMemFree(str);
      }
      e->Release();
    }
  }
  b->Release();
  Out(std::to_wstring(count) + L" item(s)");
  return 0;
}

// One group with the given items; failed items are reported and left out of `handles`.
struct Group {
  IOPCItemMgt* items = nullptr;
  OPCHANDLE hGroup = 0;
  std::vector<std::wstring> names;  // by client handle
  std::vector<OPCHANDLE> handles;   // server handles of the items that were added
  std::vector<VARTYPE> types;       // canonical types, same order as handles
  std::vector<DWORD> rights;
  bool allAdded = true;

  ~Group() {
    if (items) items->Release();
  }
  bool Create(IOPCServer* s, const std::vector<std::wstring>& ids, DWORD rate) {
    DWORD revised = 0;
    HRESULT hr = s->AddGroup(L"opcclient", TRUE, rate, 1, nullptr, nullptr, 0x409, &hGroup,
                             &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items));
    if (FAILED(hr)) {
      Err(L"cannot add a group: " + ErrorText(s, hr));
      return false;
    }
    names = ids;
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    hr = items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &res, &errs);
    if (FAILED(hr)) {
      Err(L"cannot add the items: " + ErrorText(s, hr));
      return false;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      if (FAILED(errs[i])) {
        Out(ids[i] + L": error " + ErrorText(s, errs[i]));
        allAdded = false;
      } else {
        handles.push_back(res[i].hServer);
        types.push_back(res[i].vtCanonicalDataType);
        rights.push_back(res[i].dwAccessRights);
      }
      CoTaskMemFree(res[i].pBlob);
    }
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    return true;
  }
};

int Read(IOPCServer* s, const std::vector<std::wstring>& ids) {
  Group g;
  if (!g.Create(s, ids, 1000)) return 1;
  int rc = g.allAdded ? 0 : 1;
  if (g.handles.empty()) return rc;
  IOPCSyncIO* io = nullptr;
  HRESULT hr = g.items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io));
  if (FAILED(hr)) {
    Err(L"the group has no IOPCSyncIO: " + Hex(hr));
    return 1;
  }
  OPCITEMSTATE* st = nullptr;
  HRESULT* errs = nullptr;
  hr = io->Read(OPC_DS_DEVICE, static_cast<DWORD>(g.handles.size()), g.handles.data(), &st, &errs);
  io->Release();
  if (FAILED(hr)) {
    Err(L"read failed: " + ErrorText(s, hr));
    return 1;
  }
  for (size_t i = 0; i < g.handles.size(); ++i) {
    const std::wstring& name = g.names[st[i].hClient < g.names.size() ? st[i].hClient : 0];
    if (FAILED(errs[i])) {
      Out(name + L": error " + ErrorText(s, errs[i]));
      rc = 1;
    } else {
      Out(name + L" = " + ValueText(st[i].vDataValue) + L"  [" + TypeName(V_VT(&st[i].vDataValue)) +
          L", " + QualityText(st[i].wQuality) + L", " + TimeText(st[i].ftTimeStamp) + L"]");
    }
    VariantClear(&st[i].vDataValue);
  }
  CoTaskMemFree(st);
  CoTaskMemFree(errs);
  return rc;
}

int Write(IOPCServer* s, const std::wstring& id, const std::wstring& text) {
  Group g;
  if (!g.Create(s, {id}, 1000)) return 1;
  if (g.handles.empty()) return 1;
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(text.c_str());
  if (g.types[0] != VT_EMPTY && g.types[0] != VT_BSTR) {
    HRESULT hr = VariantChangeTypeEx(&v, &v, 0x409, 0, g.types[0]);
    if (FAILED(hr)) {
      Out(id + L": '" + text + L"' is not a value of type " + TypeName(g.types[0]));
      VariantClear(&v);
      return 1;
    }
  }
  IOPCSyncIO* io = nullptr;
  HRESULT hr = g.items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io));
  if (FAILED(hr)) {
    VariantClear(&v);
    Err(L"the group has no IOPCSyncIO: " + Hex(hr));
    return 1;
  }
  HRESULT* errs = nullptr;
  hr = io->Write(1, g.handles.data(), &v, &errs);
  io->Release();
  VariantClear(&v);
  if (FAILED(hr)) {
    Err(L"write failed: " + ErrorText(s, hr));
    return 1;
  }
  HRESULT e = errs[0];
  CoTaskMemFree(errs);
  if (FAILED(e)) {
    Out(id + L": write failed: " + ErrorText(s, e));
    return 1;
  }
  Out(id + L" written");
  return 0;
}

class WatchSink : public IOPCDataCallback, public IOPCShutdown {
 public:
  const std::vector<std::wstring>* names = nullptr;
  bool shutdown = false;
  long changes = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
      *ppv = static_cast<IOPCDataCallback*>(this);
    else if (riid == IID_IOPCShutdown) *ppv = static_cast<IOPCShutdown*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n,
                                         OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t,
                                         HRESULT* e) override {
    for (DWORD i = 0; i < n; ++i) {
      const std::wstring& name = h[i] < names->size() ? (*names)[h[i]] : L"?";
      ++changes;
      if (FAILED(e[i]))
        Out(TimeText(t[i]) + L"  " + name + L": error " + Hex(e[i]));
      else
        Out(TimeText(t[i]) + L"  " + name + L" = " + ValueText(v[i]) + L"  [" +
            QualityText(q[i]) + L"]");
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD,
                                           OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                           HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                            HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
    Out(L"server asks to disconnect: " + std::wstring(reason ? reason : L""));
    shutdown = true;
    return S_OK;
  }
};

bool AdviseOn(IUnknown* obj, REFIID iid, IUnknown* sink, IConnectionPoint** cp, DWORD* cookie) {
  IConnectionPointContainer* cpc = nullptr;
  if (FAILED(obj->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc))))
    return false;
  HRESULT hr = cpc->FindConnectionPoint(iid, cp);
  cpc->Release();
  if (FAILED(hr)) return false;
  if (FAILED((*cp)->Advise(sink, cookie))) {
    (*cp)->Release();
    *cp = nullptr;
    return false;
  }
  return true;
}

int Watch(IOPCServer* s, const std::vector<std::wstring>& ids, DWORD seconds, DWORD rate,
          const std::wstring& stayUntil) {
  Group g;
  if (!g.Create(s, ids, rate)) return 1;
  int rc = g.allAdded ? 0 : 1;
  if (g.handles.empty()) return 1;
  WatchSink sink;
  sink.names = &g.names;
  IConnectionPoint *dataCp = nullptr, *shutCp = nullptr;
  DWORD dataCookie = 0, shutCookie = 0;
  if (!AdviseOn(g.items, IID_IOPCDataCallback, static_cast<IOPCDataCallback*>(&sink), &dataCp,
                &dataCookie)) {
    Err(L"the server does not offer IOPCDataCallback on its groups");
    return 1;
  }
  AdviseOn(s, IID_IOPCShutdown, static_cast<IOPCShutdown*>(&sink), &shutCp, &shutCookie);
  HANDLE leave = nullptr;
  if (!stayUntil.empty()) {
    leave = CreateEventW(nullptr, TRUE, FALSE, stayUntil.c_str());  // or the existing one
    if (!leave) {
      Err(L"cannot open the event '" + stayUntil + L"': " + Hex(HRESULT_FROM_WIN32(GetLastError())));
      rc = 1;
    } else {
      Out(L"watching until " + stayUntil + L" is set");
    }
  }
  DWORD end = GetTickCount() + seconds * 1000;
  while ((leave || !sink.shutdown) && static_cast<LONG>(end - GetTickCount()) > 0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (leave && WaitForSingleObject(leave, 0) == WAIT_OBJECT_0) break;
    MsgWaitForMultipleObjects(leave ? 1 : 0, leave ? &leave : nullptr, FALSE, 20, QS_ALLINPUT);
  }
  if (leave) CloseHandle(leave);
  // A server that has gone (its process killed) fails these calls: said, and the exit code is 1.
  HRESULT hr = dataCp->Unadvise(dataCookie);
  dataCp->Release();
  if (shutCp) {
    HRESULT shutHr = shutCp->Unadvise(shutCookie);
    if (SUCCEEDED(hr)) hr = shutHr;
    shutCp->Release();
  }
  if (FAILED(hr)) {
    Err(L"unadvise failed: " + Hex(hr));
    rc = 1;
  }
  Out(std::to_wstring(sink.changes) + L" change(s)");
  return rc;
}

int Hold(DWORD seconds) {
  Out(L"connected");
  DWORD end = GetTickCount() + seconds * 1000;
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  return 0;
}

int Usage() {
  Out(L"usage: opcclient list\n"
      L"       opcclient PROGID browse\n"
      L"       opcclient PROGID read ITEM...\n"
      L"       opcclient PROGID write ITEM VALUE\n"
      L"       opcclient PROGID watch ITEM... [--seconds N] [--rate MS] [--stay-until EVENT]\n"
      L"       opcclient PROGID connect [--seconds N]",
      stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  if (FAILED(CoInitialize(nullptr))) {
    Err(L"COM is not available");
    return 1;
  }
  int rc = 0;
  if (_wcsicmp(argv[1], L"list") == 0) {
    rc = argc == 2 ? List() : Usage();
    CoUninitialize();
    return rc;
  }
  if (argc < 3) return Usage();
  std::wstring cmd = argv[2];
  std::vector<std::wstring> args;
  DWORD seconds = 10, rate = 1000;
  std::wstring stayUntil;
  for (int i = 3; i < argc; ++i) {
    std::wstring a = argv[i];
    if (cmd == L"watch" && a == L"--stay-until") {
      if (i + 1 >= argc || !*argv[i + 1]) return Usage();
      stayUntil = argv[++i];
    } else if ((cmd == L"watch" && a == L"--rate") ||
               ((cmd == L"watch" || cmd == L"connect") && a == L"--seconds")) {
      if (i + 1 >= argc) return Usage();
      long n = _wtol(argv[++i]);
      if (n <= 0) return Usage();
      (a == L"--seconds" ? seconds : rate) = static_cast<DWORD>(n);
    } else {
      args.push_back(a);
    }
  }
  bool ok = (cmd == L"browse" && args.empty()) || (cmd == L"read" && !args.empty()) ||
            (cmd == L"write" && args.size() == 2) || (cmd == L"watch" && !args.empty()) ||
            (cmd == L"connect" && args.empty());
  if (!ok) return Usage();
  IOPCServer* s = Connect(argv[1]);
  if (!s) {
    CoUninitialize();
    return 1;
  }
  if (cmd == L"browse") rc = Browse(s);
  else if (cmd == L"read") rc = Read(s, args);
  else if (cmd == L"write") rc = Write(s, args[0], args[1]);
  else if (cmd == L"connect") rc = Hold(seconds);
  else rc = Watch(s, args, seconds, rate, stayUntil);
  s->Release();
  CoUninitialize();
  return rc;
}
