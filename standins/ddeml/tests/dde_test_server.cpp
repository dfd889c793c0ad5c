// DdeTestServer: a DDE server speaking the bare DDE message protocol, for testing DDE clients.
//
//   DdeTestServer.exe SERVICE TOPIC[,TOPIC...] [LIFETIME_SECONDS]
//
// Sets the event "DdeTestServerReady.SERVICE" once it answers WM_DDE_INITIATE, announces the
// service (ServiceAnnounce.h) and withdraws it on a clean exit.
//
// Items (names compare without regard to case; values are kept per topic):
//   any item         request gives its value (CF_TEXT "" when never poked), poke stores it
//   RO...            pokes are refused (negative ACK)
//   NOSUCH...        requests are refused (negative ACK)
//   BUSY             requests answered with a busy ACK
//   SILENT           requests never answered
//   SLOW             requests answered 300 ms late
//   STATS            "convs=N links=N blocks=N" (blocks: data blocks still awaiting an ACK)
//   NOADVISE         advise refused
//   TICK...          advise loops get a new counter value ("1", "2", ...) continuously: with
//                    the ACK flag after each ACK, otherwise on every message and timer tick
//   other items      advise loops get the value whenever it is poked
// Executes: "[terminate]" ends this conversation from the server side, "[terminateall]" all of
// them, "[die]" ends the process at once without TERMINATE, "[quit]" terminates all and exits,
// "[garbage]" follows its ACK with messages nobody asked for (an ACK for item STRAY, a data
// answer for item UNASKED, advise data for item NOLINK, which has no advise loop),
// "[fail]" is refused, anything else is acknowledged and stored as item LASTEXEC.
#include <windows.h>
#include <dde.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ddeml_ours/DdemlApi.h"
#include "ddeml_ours/ServiceAnnounce.h"

namespace {

struct Value {
  UINT fmt = CF_TEXT;
  std::vector<BYTE> bytes{0};
};

struct Link {
  std::string item;
  UINT fmt;
  bool defer;
  bool ackReq;
  bool pending = false;
  HGLOBAL pendingMem = nullptr;
  long counter = 0;
};

struct Conv {
  HWND window;
  HWND client;
  std::string topic;
  bool terminating = false;
  std::vector<Link> links;
};

std::string gService;
std::vector<std::string> gTopics;
HWND gMain;
std::map<HWND, Conv> gConvs;
std::map<std::string, std::map<std::string, Value>> gValues;  // topic -> item -> value
long gBlocks = 0;   // our blocks the client has not yet taken over
bool gQuitting = false;
UINT_PTR kSlowTimer = 7;
std::vector<std::pair<HWND, ATOM>> gSlow;
constexpr UINT WM_PUMP = WM_APP + 1;
bool gPumpQueued = false;

std::string Upper(std::string s) {
  for (auto& c : s) c = (char)std::toupper((unsigned char)c);
  return s;
}
std::string AtomText(ATOM a) {
  char b[256];
  UINT n = a ? GlobalGetAtomNameA(a, b, sizeof b) : 0;
  return std::string(b, n);
}
bool Starts(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

bool CrossProcess(HWND w) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  return pid != GetCurrentProcessId();
}
// Posted data arrives as a copy under Wine: both our sent blocks and the copies we receive are
// ours to free.
bool Copies(HWND partner) { return ourddeml::PostedDdeDataIsCopied() && CrossProcess(partner); }

void PostAck(Conv& c, WORD status, UINT_PTR hi) {
  LPARAM lp = PackDDElParam(WM_DDE_ACK, status, hi);
  if (!PostMessageA(c.client, WM_DDE_ACK, (WPARAM)c.window, lp)) {
    FreeDDElParam(WM_DDE_ACK, lp);
    if (hi <= 0xFFFF && hi) GlobalDeleteAtom((ATOM)hi);
  }
}

HGLOBAL MakeData(const Value& v, bool response, bool ackReq) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, FIELD_OFFSET(DDEDATA, Value) + v.bytes.size());
  if (!h) return nullptr;
  auto* d = (DDEDATA*)GlobalLock(h);
  std::memset(d, 0, FIELD_OFFSET(DDEDATA, Value));
  d->fResponse = response;
  d->fRelease = 1;
  d->fAckReq = ackReq;
  d->cfFormat = (short)v.fmt;
  if (!v.bytes.empty()) std::memcpy(d->Value, v.bytes.data(), v.bytes.size());
  GlobalUnlock(h);
  gBlocks++;
  return h;
}

Value Text(const std::string& s) {
  Value v;
  v.bytes.assign(s.begin(), s.end());
  v.bytes.push_back(0);
  return v;
}

// Posts WM_DDE_DATA; returns the block still ours to watch (ACK requested, not copied) or null.
bool PostData(Conv& c, const Value& v, const std::string& item, bool response, bool ackReq, bool defer,
              ATOM reuse, HGLOBAL* watch) {
  HGLOBAL h = defer ? nullptr : MakeData(v, response, ackReq);
  if (!defer && !h) return false;
  ATOM a = reuse ? reuse : GlobalAddAtomA(item.c_str());
  LPARAM lp = PackDDElParam(WM_DDE_DATA, (UINT_PTR)h, a);
  if (!PostMessageA(c.client, WM_DDE_DATA, (WPARAM)c.window, lp)) {
    FreeDDElParam(WM_DDE_DATA, lp);
    if (h) GlobalFree(h), gBlocks--;
    GlobalDeleteAtom(a);
    return false;
  }
  if (h && Copies(c.client)) {
    GlobalFree(h);
    gBlocks--;
    h = nullptr;
  } else if (h && !ackReq) {
    gBlocks--;  // fRelease without ACK: the client frees it
    h = nullptr;
  }
  if (watch) *watch = h;
  else if (h) gBlocks--;
  return true;
}

void SendAdvise(Conv& c, Link& l, const Value& v) {
  if (c.terminating || (l.ackReq && l.pending)) return;
  HGLOBAL watch = nullptr;
  if (PostData(c, v, l.item, false, l.ackReq, l.defer, 0, &watch) && l.ackReq) {
    l.pending = true;
    l.pendingMem = watch;
  }
}

void TickLinks() {
  for (auto& [w, c] : gConvs)
    for (auto& l : c.links)
      if (Starts(l.item, "TICK") && !(l.ackReq && l.pending)) {
        l.counter++;
        SendAdvise(c, l, Text(std::to_string(l.counter)));
      }
}

void QueuePump() {
  if (!gPumpQueued) gPumpQueued = PostMessageA(gMain, WM_PUMP, 0, 0);
}

void Terminate(Conv& c) {
  if (c.terminating) return;
  c.terminating = true;
  for (auto& l : c.links)
    if (l.pendingMem) GlobalFree(l.pendingMem), gBlocks--;
  c.links.clear();
  PostMessageA(c.client, WM_DDE_TERMINATE, (WPARAM)c.window, 0);
}

void Announce(bool reg) {
  UINT msg = RegisterWindowMessageA(kServiceAnnounceMessage);
  ATOM a = GlobalAddAtomA(gService.c_str());
  DWORD_PTR r = 0;
  SendMessageTimeoutA(HWND_BROADCAST, msg, (WPARAM)gMain, MAKELPARAM(a, reg ? kServiceRegister : kServiceUnregister),
                      SMTO_ABORTIFHUNG | SMTO_NORMAL, 2000, &r);
  GlobalDeleteAtom(a);
}

void Quit() {
  gQuitting = true;
  for (auto& [w, c] : gConvs) Terminate(c);
  SetTimer(gMain, 2, 300, nullptr);  // give the clients a moment to answer
}

LRESULT ConvMessage(Conv& c, UINT msg, WPARAM wp, LPARAM lp) {
  HWND w = c.window;
  if ((HWND)wp != c.client) return 0;
  if (msg == WM_DDE_TERMINATE) {
    if (!c.terminating) {
      c.terminating = true;
      PostMessageA(c.client, WM_DDE_TERMINATE, (WPARAM)w, 0);
    }
    for (auto& l : c.links)
      if (l.pendingMem) GlobalFree(l.pendingMem), gBlocks--;
    gConvs.erase(w);
    DestroyWindow(w);
    return 0;
  }
  UINT_PTR lo = 0, hi = 0;
  if (msg != WM_DDE_EXECUTE) {
    UnpackDDElParam(msg, lp, &lo, &hi);
    FreeDDElParam(msg, lp);
  } else {
    hi = (UINT_PTR)lp;
  }
  auto& values = gValues[c.topic];
  if (c.terminating) {  // after our TERMINATE: release and ignore
    if (msg == WM_DDE_POKE && lo && Copies(c.client)) GlobalFree((HGLOBAL)lo);
    if (msg != WM_DDE_EXECUTE && hi) GlobalDeleteAtom((ATOM)hi);
    return 0;
  }
  bool copied = Copies(c.client);
  switch (msg) {
    case WM_DDE_REQUEST: {
      std::string item = Upper(AtomText((ATOM)hi));
      UINT fmt = (UINT)lo;
      if (Starts(item, "NOSUCH")) return PostAck(c, 0, hi), 0;
      if (item == "BUSY") return PostAck(c, DDE_FBUSY, hi), 0;
      if (item == "SILENT") return GlobalDeleteAtom((ATOM)hi), 0;
      if (item == "SLOW") {
        gSlow.push_back({w, (ATOM)hi});
        SetTimer(gMain, kSlowTimer, 300, nullptr);
        return 0;
      }
      Value v;
      if (item == "STATS") {
        long links = 0;
        for (auto& [k, x] : gConvs) links += (long)x.links.size();
        v = Text("convs=" + std::to_string(gConvs.size()) + " links=" + std::to_string(links) +
                 " blocks=" + std::to_string(gBlocks));
      } else {
        auto it = values.find(item);
        if (it != values.end()) v = it->second;
      }
      if (v.fmt != fmt) return PostAck(c, 0, hi), 0;
      PostData(c, v, item, true, false, false, (ATOM)hi, nullptr);
      break;
    }
    case WM_DDE_POKE: {
      std::string item = Upper(AtomText((ATOM)hi));
      HGLOBAL h = (HGLOBAL)lo;
      bool ok = false, release = false;
      if (auto* p = h ? (DDEPOKE*)GlobalLock(h) : nullptr) {
        release = p->fRelease;
        SIZE_T total = GlobalSize(h), off = FIELD_OFFSET(DDEPOKE, Value);
        if (!Starts(item, "RO")) {
          Value v;
          v.fmt = (UINT)(USHORT)p->cfFormat;
          v.bytes.assign(p->Value, p->Value + (total > off ? total - off : 0));
          // A text value ends at its NUL; the block may be rounded up.
          if (v.fmt == CF_TEXT) {
            auto z = std::find(v.bytes.begin(), v.bytes.end(), 0);
            if (z != v.bytes.end()) v.bytes.erase(z + 1, v.bytes.end());
          }
          values[item] = v;
          ok = true;
        }
        GlobalUnlock(h);
      }
      PostAck(c, ok ? DDE_FACK : 0, hi);
      if (h && (copied || (ok && release))) GlobalFree(h);
      if (ok)
        for (auto& [cw, other] : gConvs)
          if (other.topic == c.topic)
            for (auto& l : other.links)
              if (l.item == item) SendAdvise(other, l, values[item]);
      break;
    }
    case WM_DDE_ADVISE: {
      std::string item = Upper(AtomText((ATOM)hi));
      HGLOBAL h = (HGLOBAL)lo;
      bool ok = false;
      if (auto* a = h ? (DDEADVISE*)GlobalLock(h) : nullptr) {
        if (item != "NOADVISE") {
          UINT fmt = (UINT)(USHORT)a->cfFormat;
          c.links.erase(std::remove_if(c.links.begin(), c.links.end(),
                                       [&](const Link& l) { return l.item == item && l.fmt == fmt && !l.pending; }),
                        c.links.end());
          c.links.push_back(Link{item, fmt, (bool)a->fDeferUpd, (bool)a->fAckReq});
          ok = true;
        }
        GlobalUnlock(h);
      }
      PostAck(c, ok ? DDE_FACK : 0, hi);
      if (h && (copied || ok)) GlobalFree(h);
      break;
    }
    case WM_DDE_UNADVISE: {
      std::string item = hi ? Upper(AtomText((ATOM)hi)) : std::string();
      UINT fmt = (UINT)lo;
      size_t before = c.links.size();
      c.links.erase(std::remove_if(c.links.begin(), c.links.end(),
                                   [&](Link& l) {
                                     bool match = (item.empty() || l.item == item) && (!fmt || l.fmt == fmt);
                                     if (match && l.pendingMem) GlobalFree(l.pendingMem), gBlocks--;
                                     return match;
                                   }),
                    c.links.end());
      PostAck(c, c.links.size() < before ? DDE_FACK : 0, hi);
      break;
    }
    case WM_DDE_EXECUTE: {
      HGLOBAL h = (HGLOBAL)hi;
      std::string cmd;
      if (const char* p = h ? (const char*)GlobalLock(h) : nullptr) {
        SIZE_T n = GlobalSize(h);
        for (SIZE_T i = 0; i < n && p[i]; i++) cmd += p[i];
        GlobalUnlock(h);
      }
      std::string u = Upper(cmd);
      if (u == "[DIE]") ExitProcess(3);
      bool ok = u != "[FAIL]";
      if (ok) values["LASTEXEC"] = Text(cmd);
      PostAck(c, ok ? DDE_FACK : 0, hi);
      // The client frees its commands on the ACK; a copy made for us is ours.
      if (copied && h) GlobalFree(h);
      if (u == "[GARBAGE]") {
        PostAck(c, DDE_FACK, GlobalAddAtomA("STRAY"));
        PostData(c, Text("unasked"), "UNASKED", true, false, false, 0, nullptr);
        PostData(c, Text("nolink"), "NOLINK", false, false, false, 0, nullptr);
      }
      if (u == "[TERMINATE]") Terminate(c);
      if (u == "[TERMINATEALL]")
        for (auto& [cw, other] : gConvs) Terminate(other);
      if (u == "[QUIT]") Quit();
      break;
    }
    case WM_DDE_ACK: {  // the client's answer to advise data sent with fAckReq
      std::string item = Upper(AtomText((ATOM)hi));
      bool positive = (lo & DDE_FACK) != 0;
      for (auto& l : c.links)
        if (l.item == item && l.pending) {
          if (l.pendingMem) {
            if (!positive) GlobalFree(l.pendingMem);  // refused: the sender frees
            gBlocks--;
          }
          l.pending = false;
          l.pendingMem = nullptr;
          break;
        }
      if (hi) GlobalDeleteAtom((ATOM)hi);
      QueuePump();
      break;
    }
    default: break;
  }
  return 0;
}

LRESULT CALLBACK ConvProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= WM_DDE_FIRST && msg <= WM_DDE_LAST && msg != WM_DDE_INITIATE) {
    auto it = gConvs.find(w);
    if (it == gConvs.end()) return 0;
    LRESULT r = ConvMessage(it->second, msg, wp, lp);
    if (!gQuitting) QueuePump();
    return r;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

LRESULT CALLBACK MainProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DDE_INITIATE: {
      HWND client = (HWND)wp;
      std::string app = AtomText(LOWORD(lp)), topic = AtomText(HIWORD(lp));
      if (gQuitting || (LOWORD(lp) && _stricmp(app.c_str(), gService.c_str()) != 0)) return 0;
      for (auto& t : gTopics) {
        if (HIWORD(lp) && _stricmp(topic.c_str(), t.c_str()) != 0) continue;
        HWND cw = CreateWindowA("DdeTestServerConv", "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
        if (!cw) continue;
        gConvs[cw] = Conv{cw, client, Upper(t)};
        SendMessageA(client, WM_DDE_ACK, (WPARAM)cw,
                     MAKELPARAM(GlobalAddAtomA(gService.c_str()), GlobalAddAtomA(t.c_str())));
      }
      return 0;
    }
    case WM_PUMP:
      gPumpQueued = false;
      TickLinks();
      return 0;
    case WM_TIMER:
      if (wp == 1) TickLinks();
      if (wp == 2) DestroyWindow(w);
      if (wp == 3) Quit();
      if (wp == kSlowTimer) {
        KillTimer(w, kSlowTimer);
        auto slow = gSlow;
        gSlow.clear();
        for (auto& [cw, atom] : slow) {
          auto it = gConvs.find(cw);
          if (it == gConvs.end() || it->second.terminating) {
            GlobalDeleteAtom(atom);
            continue;
          }
          PostData(it->second, Text("slow"), "SLOW", true, false, false, atom, nullptr);
        }
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: DdeTestServer SERVICE TOPIC[,TOPIC...] [LIFETIME_SECONDS]\n");
    return 2;
  }
  gService = argv[1];
  for (std::string t, all = argv[2]; !all.empty();) {
    size_t p = all.find(',');
    t = all.substr(0, p);
    if (!t.empty()) gTopics.push_back(t);
    all = p == std::string::npos ? "" : all.substr(p + 1);
  }
  int lifetime = argc > 3 ? std::atoi(argv[3]) : 300;
  WNDCLASSA wc{};
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpfnWndProc = MainProc;
  wc.lpszClassName = "DdeTestServerMain";
  RegisterClassA(&wc);
  wc.lpfnWndProc = ConvProc;
  wc.lpszClassName = "DdeTestServerConv";
  RegisterClassA(&wc);
  gMain = CreateWindowA("DdeTestServerMain", gService.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                        wc.hInstance, nullptr);
  if (!gMain) {
    std::fprintf(stderr, "DdeTestServer %s: no window (error %lu)\n", gService.c_str(), GetLastError());
    return 1;
  }
  SetTimer(gMain, 1, 10, nullptr);
  SetTimer(gMain, 3, lifetime * 1000u, nullptr);
  Announce(true);
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ("DdeTestServerReady." + gService).c_str());
  if (ready) SetEvent(ready);
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
  Announce(false);
  if (ready) CloseHandle(ready);
  return 0;
}
