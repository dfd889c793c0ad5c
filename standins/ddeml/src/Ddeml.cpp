// Our DDEML: the client side of the Windows DDE Management Library over the DDE message
// protocol (WM_DDE_INITIATE ... WM_DDE_TERMINATE, global atoms, PackDDElParam).
//
// Rules kept throughout:
// - Every entry point and window procedure catches everything; a failure becomes a DMLERR code.
// - Objects live in shared_ptrs and every callback is followed by a fresh look-up, because the
//   application may disconnect, free or uninitialize from inside any callback.
// - Replies are matched to the oldest outstanding transaction they can answer (a server answers
//   in order); timed-out and abandoned transactions stay queued to swallow their late replies.
#include "ddeml_ours/DdemlApi.h"
#include "ddeml_ours/ServiceAnnounce.h"

#include <dde.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "DdeBlocks.h"
#include "DdemlCore.h"

namespace ourddeml {
namespace {

using namespace detail;

constexpr const char* kInstanceClass = "TessarelDdemlInstance";
constexpr const char* kClientClass = "TessarelDdemlClient";
constexpr UINT_PTR kLivenessTimer = 1;
constexpr UINT kLivenessMs = 250;
constexpr DWORD kTerminateWaitMs = 1000;

struct Registry {
  std::mutex lock;
  std::map<DWORD, std::shared_ptr<Instance>> instances;
  std::unordered_map<ULONG_PTR, std::shared_ptr<Conversation>> convs;
  std::unordered_map<ULONG_PTR, std::shared_ptr<DataObject>> data;
  std::unordered_map<ULONG_PTR, std::shared_ptr<ConvList>> lists;
  DWORD nextInst = 0;
  ULONG_PTR nextHandle = 0x10000;
  int classUsers = 0;
  UINT announceMsg = 0;
};

Registry& Reg() {
  static Registry* r = new Registry;  // never destroyed: windows may outlive static teardown
  return *r;
}

// Handles are small numbers, not pointers: hosts print them as signed 32-bit decimals.
ULONG_PTR NewHandleLocked() {
  Registry& r = Reg();
  for (;;) {
    r.nextHandle += 4;
    if (r.nextHandle > 0x7FFFFFF0) r.nextHandle = 0x10000;
    ULONG_PTR h = r.nextHandle;
    if (!r.convs.count(h) && !r.data.count(h) && !r.lists.count(h)) return h;
  }
}

std::shared_ptr<Instance> FindInstance(DWORD id) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.instances.find(id);
  if (it == r.instances.end() || it->second->dead) return nullptr;
  return it->second;
}

std::shared_ptr<Conversation> FindConv(HCONV h) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.convs.find((ULONG_PTR)h);
  return it == r.convs.end() ? nullptr : it->second;
}

std::shared_ptr<DataObject> FindData(HDDEDATA h) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.data.find((ULONG_PTR)h);
  return it == r.data.end() ? nullptr : it->second;
}

void SetError(DWORD idInst, UINT err) {
  if (auto inst = FindInstance(idInst)) inst->lastError = err;
}

HMODULE ThisModule() {
  HMODULE m = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &m);
  return m;
}

// ---- string handles ------------------------------------------------------------------------

ATOM AtomOf(HSZ hsz) {
  ULONG_PTR v = (ULONG_PTR)hsz;
  return (v >= 0xC000 && v <= 0xFFFF) ? (ATOM)v : 0;
}

std::string AtomName(ATOM a) {
  char buf[256];
  UINT n = a ? GlobalGetAtomNameA(a, buf, sizeof buf) : 0;
  return std::string(buf, n);
}

std::string UpperKey(std::string s) {
  if (!s.empty()) CharUpperBuffA(s.data(), (DWORD)s.size());
  return s;
}

constexpr long kMaxSpares = 8;
// Names kept after their last handle was freed (see Instance::cachedAtoms).
constexpr std::size_t kMaxCachedAtoms = 256;

Instance::AtomEntry* Entry(Instance& inst, ATOM a) {
  auto it = inst.atoms.find(a);
  return it == inst.atoms.end() || it->second.refs <= 0 ? nullptr : &it->second;
}

std::string NameOf(Instance& inst, ATOM a) {
  if (auto* e = Entry(inst, a)) return e->name;
  return AtomName(a);
}

// A cached name's entry (its last handle freed), or null.
Instance::AtomEntry* CachedEntry(Instance& inst, ATOM a) {
  auto it = inst.atoms.find(a);
  return it == inst.atoms.end() || it->second.refs != 0 ? nullptr : &it->second;
}

// A cached name held again by one handle, without an atom call.
HSZ Revive(Instance& inst, ATOM a, Instance::AtomEntry& e) {
  inst.cachedAtoms.erase(e.cached);
  e.refs = 1;
  return (HSZ)(ULONG_PTR)a;
}

// Gives back the global references of an entry and forgets it.
void DropEntry(Instance& inst, ATOM a, const Instance::AtomEntry& e) {
  for (long i = 0; i <= e.spares; i++) GlobalDeleteAtom(a);
  inst.atomsByName.erase(UpperKey(e.name));
  inst.atoms.erase(a);
}

// The instance now holds `a` with one global reference that is already taken.
void NewEntry(Instance& inst, ATOM a, const std::string& name) {
  auto& e = inst.atoms[a];
  e.name = name;
  e.refs = 1;
  e.spares = 0;
  inst.atomsByName[UpperKey(name)] = a;
}

HSZ AddHsz(Instance& inst, const std::string& name) {
  if (name.empty() || name.size() > 255) return nullptr;
  auto it = inst.atomsByName.find(UpperKey(name));
  if (it != inst.atomsByName.end()) {
    if (auto* e = Entry(inst, it->second)) {
      e->refs++;
      return (HSZ)(ULONG_PTR)it->second;
    }
    if (auto* e = CachedEntry(inst, it->second)) return Revive(inst, it->second, *e);
  }
  ATOM a = GlobalAddAtomA(name.c_str());
  if (!a) return nullptr;
  if (auto* e = Entry(inst, a)) {  // held under another spelling's key
    GlobalDeleteAtom(a);
    e->refs++;
    return (HSZ)(ULONG_PTR)a;
  }
  NewEntry(inst, a, AtomName(a));
  return (HSZ)(ULONG_PTR)a;
}

// One more reference to an atom the instance (or a message) already holds.
bool KeepHsz(Instance& inst, HSZ hsz) {
  ATOM a = AtomOf(hsz);
  if (auto* e = Entry(inst, a)) {
    e->refs++;
    return true;
  }
  if (auto* e = CachedEntry(inst, a)) return Revive(inst, a, *e) != nullptr;
  std::string name = AtomName(a);
  if (name.empty()) return false;
  ATOM b = GlobalAddAtomA(name.c_str());
  if (b != a) {
    if (b) GlobalDeleteAtom(b);
    return false;
  }
  NewEntry(inst, a, name);
  return true;
}

bool FreeHsz(Instance& inst, HSZ hsz) {
  ATOM a = AtomOf(hsz);
  auto* e = Entry(inst, a);
  if (!e) return false;
  if (--e->refs == 0) {
    e->cached = inst.cachedAtoms.insert(inst.cachedAtoms.end(), a);
    if (inst.cachedAtoms.size() > kMaxCachedAtoms) {
      ATOM oldest = inst.cachedAtoms.front();
      inst.cachedAtoms.pop_front();
      DropEntry(inst, oldest, inst.atoms[oldest]);
    }
  }
  return true;
}

// A received atom reference we do not need: kept as a spare while the instance holds the name.
void DropAtom(Instance& inst, ATOM a) {
  if (!a) return;
  auto* e = Entry(inst, a);
  if (e && e->spares < kMaxSpares) e->spares++;
  else GlobalDeleteAtom(a);
}

// A received atom whose reference now belongs to the instance as a string handle.
HSZ AdoptAtom(Instance& inst, ATOM a) {
  if (!a) return nullptr;
  if (auto* e = Entry(inst, a)) {
    e->refs++;
    DropAtom(inst, a);  // one global reference per held name is enough; keep it as a spare
    return (HSZ)(ULONG_PTR)a;
  }
  if (auto* e = CachedEntry(inst, a)) {
    HSZ h = Revive(inst, a, *e);
    DropAtom(inst, a);
    return h;
  }
  NewEntry(inst, a, AtomName(a));
  return (HSZ)(ULONG_PTR)a;
}

// An atom reference to hand over in a message (ownership passes with the message).
ATOM AtomForMessage(Instance& inst, HSZ hsz) {
  ATOM a = AtomOf(hsz);
  if (auto* e = Entry(inst, a)) {
    if (e->spares > 0) {
      e->spares--;
      return a;
    }
    return GlobalAddAtomA(e->name.c_str());
  }
  std::string name = AtomName(a);
  return name.empty() ? 0 : GlobalAddAtomA(name.c_str());
}

void ReleaseAllAtoms(Instance& inst) {
  for (auto& [a, e] : inst.atoms)
    if (e.refs >= 0)  // held or cached
      for (long i = 0; i <= e.spares; i++) GlobalDeleteAtom(a);
  inst.atoms.clear();
  inst.atomsByName.clear();
  inst.cachedAtoms.clear();
}

// ---- platform ------------------------------------------------------------------------------

bool CopiesPostedData() {
  static const bool wine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

bool CrossProcess(HWND other) {
  DWORD pid = 0;
  GetWindowThreadProcessId(other, &pid);
  return pid != GetCurrentProcessId();
}

// Posted data reaches the partner as a copy: the sender frees its own block after the post.
bool SenderFreesAfterPost(HWND partner) { return CopiesPostedData() && CrossProcess(partner); }

HGLOBAL AllocBlock(Instance& inst, SIZE_T size) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE | GMEM_ZEROINIT, size ? size : 1);
  if (h) inst.globalBlocks++;
  return h;
}

void FreeBlock(Instance& inst, HGLOBAL& h) {
  if (!h) return;
  GlobalFree(h);
  inst.globalBlocks--;
  h = nullptr;
}

// The receiver took over the block.
void HandOverBlock(Instance& inst, HGLOBAL& h) {
  if (!h) return;
  inst.globalBlocks--;
  h = nullptr;
}

// ---- data objects --------------------------------------------------------------------------

HDDEDATA NewData(DWORD idInst, UINT fmt, HSZ item, std::vector<BYTE> bytes, bool appOwned) {
  auto d = std::make_shared<DataObject>();
  d->idInst = idInst;
  d->fmt = fmt;
  d->hszItem = item;
  d->bytes = std::move(bytes);
  d->appOwned = appOwned;
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  ULONG_PTR h = NewHandleLocked();
  r.data[h] = std::move(d);
  return (HDDEDATA)h;
}

void DropData(HDDEDATA h) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  r.data.erase((ULONG_PTR)h);
}

// ---- windows -------------------------------------------------------------------------------

LRESULT CALLBACK InstanceWndProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ClientWndProc(HWND, UINT, WPARAM, LPARAM);

bool EnsureClasses() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.classUsers++ > 0) return true;
  if (!r.announceMsg) r.announceMsg = RegisterWindowMessageA(kServiceAnnounceMessage);
  WNDCLASSA wc{};
  wc.hInstance = ThisModule();
  wc.lpfnWndProc = InstanceWndProc;
  wc.lpszClassName = kInstanceClass;
  bool ok = RegisterClassA(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  wc.lpfnWndProc = ClientWndProc;
  wc.lpszClassName = kClientClass;
  ok = ok && (RegisterClassA(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS);
  if (!ok) r.classUsers--;
  return ok;
}

void ReleaseClasses() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  if (--r.classUsers == 0) {
    UnregisterClassA(kInstanceClass, ThisModule());
    UnregisterClassA(kClientClass, ThisModule());
  }
}

HWND NewClientWindow(Instance& inst) {
  HWND w = CreateWindowExA(0, kClientClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           ThisModule(), nullptr);
  if (w) {
    SetWindowLongPtrA(w, GWLP_USERDATA, (LONG_PTR)inst.id);
    inst.clientWindows[w] = 0;
  }
  return w;
}

void UseClientWindow(Instance& inst, HWND w) { inst.clientWindows[w]++; }

void UnuseClientWindow(Instance& inst, HWND w) {
  auto it = inst.clientWindows.find(w);
  if (it == inst.clientWindows.end()) return;
  if (--it->second <= 0) {
    inst.clientWindows.erase(it);
    DestroyWindow(w);
  }
}

// ---- callbacks -----------------------------------------------------------------------------

HDDEDATA CallApp(const std::shared_ptr<Instance>& inst, UINT type, UINT fmt, HCONV hConv, HSZ hsz1,
                 HSZ hsz2, HDDEDATA hData, ULONG_PTR d1, ULONG_PTR d2) {
  if (!inst || inst->dead || !inst->callback) return nullptr;
  std::shared_ptr<Instance> keep = inst;
  return inst->callback(type, fmt, hConv, hsz1, hsz2, hData, d1, d2);
}

// ---- conversations -------------------------------------------------------------------------

std::shared_ptr<Conversation> AddConversation(Instance& inst, HWND client, const InitiateAnswer& a,
                                              HSZ serviceReq, PCONVCONTEXT cc) {
  auto c = std::make_shared<Conversation>();
  c->idInst = inst.id;
  c->client = client;
  c->server = a.server;
  c->copies = SenderFreesAfterPost(a.server);
  c->hszSvcPartner = AdoptAtom(inst, a.app);
  c->hszTopic = AdoptAtom(inst, a.topic);
  if (serviceReq && KeepHsz(inst, serviceReq)) c->hszServiceReq = serviceReq;
  if (cc) std::memcpy(&c->context, cc, std::min<size_t>(sizeof c->context, cc->cb ? cc->cb : sizeof c->context));
  c->context.cb = sizeof c->context;
  {
    Registry& r = Reg();
    std::lock_guard<std::mutex> g(r.lock);
    ULONG_PTR h = NewHandleLocked();
    c->handle = (HCONV)h;
    r.convs[h] = c;
  }
  UseClientWindow(inst, client);
  inst.convs.push_back(c);
  return c;
}

void ReleaseTransaction(Instance& inst, Transaction& t) {
  if (t.hszItem) FreeHsz(inst, t.hszItem), t.hszItem = nullptr;
  FreeBlock(inst, t.hMem);
}

// Forgets a conversation entirely: its window use, its string references, its queue.
void ReleaseConversation(Instance& inst, const std::shared_ptr<Conversation>& c) {
  for (auto& t : c->pending) {
    ReleaseTransaction(inst, *t);
    if (!t->done) {
      t->done = true;
      t->error = DMLERR_NO_CONV_ESTABLISHED;
    }
  }
  c->pending.clear();
  for (auto& l : c->links) FreeHsz(inst, l.hszItem);
  c->links.clear();
  for (HSZ* h : {&c->hszServiceReq, &c->hszSvcPartner, &c->hszTopic})
    if (*h) FreeHsz(inst, *h), *h = nullptr;
  if (c->client) UnuseClientWindow(inst, c->client), c->client = nullptr;
  if (c->state != ConvState::Terminated) c->state = ConvState::Terminated;
  inst.convs.erase(std::remove(inst.convs.begin(), inst.convs.end(), c), inst.convs.end());
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  r.convs.erase((ULONG_PTR)c->handle);
  if (c->list) {
    auto it = r.lists.find((ULONG_PTR)c->list);
    if (it != r.lists.end()) {
      auto& v = it->second->convs;
      v.erase(std::remove(v.begin(), v.end(), c->handle), v.end());
    }
  }
}

void Complete(const std::shared_ptr<Instance>& inst, const std::shared_ptr<Conversation>& c,
              const std::shared_ptr<Transaction>& t, bool ok, WORD status, UINT error);

// The partner ended the conversation (TERMINATE received, or its window is gone).
void PartnerGone(const std::shared_ptr<Instance>& inst, const std::shared_ptr<Conversation>& c,
                 bool answerTerminate) {
  if (c->state != ConvState::Connected) return;
  if (answerTerminate && IsWindow(c->server))
    PostMessageA(c->server, WM_DDE_TERMINATE, (WPARAM)c->client, 0);
  c->state = ConvState::Terminated;
  // Every asynchronous transaction still outstanding gets its one completion, as a failure,
  // before the application hears of the disconnect.
  std::deque<std::shared_ptr<Transaction>> pending;
  pending.swap(c->pending);
  for (auto& t : pending) {
    if (t->done) continue;
    if (t->async && !t->abandoned && !t->internal) {
      Complete(inst, c, t, false, 0, DMLERR_SERVER_DIED);
    } else {
      t->done = true;
      t->error = DMLERR_SERVER_DIED;
      if (t->async || t->abandoned) ReleaseTransaction(*inst, *t);
    }
  }
  if (inst->dead) return;
  if (c->client) UnuseClientWindow(*inst, c->client), c->client = nullptr;
  if (!(inst->afCmd & CBF_SKIP_DISCONNECTS))
    CallApp(inst, XTYP_DISCONNECT, 0, c->handle, nullptr, nullptr, nullptr, 0, 0);
}

void CheckPartners(const std::shared_ptr<Instance>& inst) {
  std::vector<std::shared_ptr<Conversation>> convs = inst->convs;
  for (auto& c : convs)
    if (c->state == ConvState::Connected && !IsWindow(c->server)) PartnerGone(inst, c, false);
}

// Sends WM_DDE_TERMINATE and waits a moment for the partner's answer, dispatching only the
// messages of the conversation's own window.
void TerminateAndWait(Instance& inst, const std::vector<std::shared_ptr<Conversation>>& convs) {
  std::vector<std::shared_ptr<Conversation>> waiting;
  for (auto& c : convs) {
    if (c->state != ConvState::Connected) continue;
    for (auto& t : c->pending) t->abandoned = true;
    if (IsWindow(c->server) && PostMessageA(c->server, WM_DDE_TERMINATE, (WPARAM)c->client, 0)) {
      c->state = ConvState::Terminating;
      waiting.push_back(c);
    } else {
      c->state = ConvState::Terminated;
    }
  }
  DWORD start = GetTickCount();
  for (;;) {
    bool any = false;
    for (auto& c : waiting) {
      if (c->state != ConvState::Terminating) continue;
      if (!IsWindow(c->server)) {
        c->state = ConvState::Terminated;
        continue;
      }
      any = true;
      MSG m;
      while (c->client && c->state == ConvState::Terminating &&
             PeekMessageA(&m, c->client, 0, 0, PM_REMOVE))
        DispatchMessageA(&m);
    }
    if (!any) break;
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kTerminateWaitMs) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(kTerminateWaitMs - elapsed, 20),
                                QS_POSTMESSAGE | QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
  }
  (void)inst;
}

// ---- transactions --------------------------------------------------------------------------

UINT TimeoutError(UINT baseType) {
  switch (baseType) {
    case XTYP_REQUEST: return DMLERR_DATAACKTIMEOUT;
    case XTYP_POKE: return DMLERR_POKEACKTIMEOUT;
    case XTYP_EXECUTE: return DMLERR_EXECACKTIMEOUT;
    case XTYP_ADVSTART: return DMLERR_ADVACKTIMEOUT;
    case XTYP_ADVSTOP: return DMLERR_UNADVACKTIMEOUT;
  }
  return DMLERR_INVALIDPARAMETER;
}

void RecordLink(Instance& inst, Conversation& c, const Transaction& t) {
  for (auto& l : c.links)
    if (l.hszItem == t.hszItem && l.fmt == t.fmt) {
      l.type = t.type;
      return;
    }
  if (KeepHsz(inst, t.hszItem)) c.links.push_back({t.hszItem, t.fmt, t.type});
}

void DropLinks(Instance& inst, Conversation& c, const Transaction& t) {
  for (auto it = c.links.begin(); it != c.links.end();) {
    if ((!t.hszItem || it->hszItem == t.hszItem) && (!t.fmt || it->fmt == t.fmt)) {
      FreeHsz(inst, it->hszItem);
      it = c.links.erase(it);
    } else {
      ++it;
    }
  }
}

// A transaction got its answer (or was given up): record the outcome and, for an asynchronous
// one, deliver XTYP_XACT_COMPLETE.
void Complete(const std::shared_ptr<Instance>& inst, const std::shared_ptr<Conversation>& c,
              const std::shared_ptr<Transaction>& t, bool ok, WORD status, UINT error) {
  t->done = true;
  t->ok = ok;
  t->status = status;
  t->error = ok ? DMLERR_NO_ERROR : error;
  if (ok && t->BaseType() == XTYP_ADVSTART) RecordLink(*inst, *c, *t);
  if (ok && t->BaseType() == XTYP_ADVSTOP) DropLinks(*inst, *c, *t);
  if (!ok) c->lastError = t->error;
  if (t->async && !t->abandoned && !t->internal) {
    HDDEDATA h = nullptr;
    if (ok && t->BaseType() == XTYP_REQUEST)
      h = NewData(inst->id, t->dataFmt, t->hszItem, std::move(t->data), false);
    else if (ok)
      h = (HDDEDATA)TRUE;
    CallApp(inst, XTYP_XACT_COMPLETE, t->BaseType() == XTYP_REQUEST ? t->dataFmt : t->fmt, c->handle,
            c->hszTopic, t->hszItem, h, t->id, status);
    if (h && h != (HDDEDATA)TRUE) DropData(h);
  }
  if (!t->async && !t->abandoned) return;  // the waiting caller releases a synchronous one
  if (auto live = FindInstance(inst->id)) ReleaseTransaction(*live, *t);
}

// Takes the pending transaction at index i off the queue; older ones the server skipped fail.
std::shared_ptr<Transaction> TakeAnswered(const std::shared_ptr<Instance>& inst,
                                          const std::shared_ptr<Conversation>& c, size_t i) {
  std::vector<std::shared_ptr<Transaction>> skipped(c->pending.begin(), c->pending.begin() + i);
  auto t = c->pending[i];
  c->pending.erase(c->pending.begin(), c->pending.begin() + i + 1);
  for (auto& s : skipped) Complete(inst, c, s, false, 0, DMLERR_NOTPROCESSED);
  return t;
}

int FindAckMatch(const Conversation& c, UINT_PTR hi) {
  for (size_t i = 0; i < c.pending.size(); i++) {
    const Transaction& t = *c.pending[i];
    if (t.BaseType() == XTYP_EXECUTE) {
      if (t.hMem && hi == (UINT_PTR)t.hMem) return (int)i;
    } else if (hi <= 0xFFFF && t.atom == (ATOM)hi && (hi || t.BaseType() == XTYP_ADVSTOP)) {
      return (int)i;
    }
  }
  // The answer to an execute names the command block; accept the oldest execute when the
  // platform handed back a different handle value for it.
  if (!c.pending.empty() && c.pending.front()->BaseType() == XTYP_EXECUTE) return 0;
  return -1;
}

int FindRequestMatch(const Conversation& c, ATOM item) {
  for (size_t i = 0; i < c.pending.size(); i++) {
    const Transaction& t = *c.pending[i];
    if (t.BaseType() == XTYP_REQUEST && t.atom == item) return (int)i;
  }
  return -1;
}

// ---- incoming messages on a client window ---------------------------------------------------

void OnAck(const std::shared_ptr<Instance>& inst, const std::shared_ptr<Conversation>& c, LPARAM lp) {
  UINT_PTR lo = 0, hi = 0;
  UnpackDDElParam(WM_DDE_ACK, lp, &lo, &hi);
  FreeDDElParam(WM_DDE_ACK, lp);
  const blocks::AckStatus ack = blocks::ReadAckStatus(lo);
  WORD status = ack.status;
  int i = FindAckMatch(*c, hi);
  if (i < 0) {  // an acknowledgement nobody waits for
    if (blocks::IsAtomValue(hi)) DropAtom(*inst, (ATOM)hi);
    return;
  }
  auto t = TakeAnswered(inst, c, (size_t)i);
  bool positive = ack.positive;
  UINT base = t->BaseType();
  if (base == XTYP_EXECUTE) {
    FreeBlock(*inst, t->hMem);  // the sender of an execute frees its commands on the ACK
  } else {
    DropAtom(*inst, (ATOM)hi);
    if (t->hMem) {
      if (positive) HandOverBlock(*inst, t->hMem);  // the server keeps poke data / options
      else FreeBlock(*inst, t->hMem);
    }
  }
  UINT err = ack.busy ? DMLERR_BUSY : DMLERR_NOTPROCESSED;
  // A positive ACK answers a request only by mistake: report it as not processed.
  bool ok = positive && base != XTYP_REQUEST;
  Complete(inst, c, t, ok, status, err);
}

void OnData(const std::shared_ptr<Instance>& inst, const std::shared_ptr<Conversation>& c, LPARAM lp) {
  UINT_PTR lo = 0, hi = 0;
  UnpackDDElParam(WM_DDE_DATA, lp, &lo, &hi);
  FreeDDElParam(WM_DDE_DATA, lp);
  HGLOBAL hData = (HGLOBAL)lo;
  ATOM item = (ATOM)hi;
  bool response = false, release = false, ackReq = false;
  UINT fmt = 0;
  std::vector<BYTE> bytes;
  if (hData) {
    if (auto* d = (const BYTE*)GlobalLock(hData)) {
      blocks::DataMessage m = blocks::ReadDataBlock(d, GlobalSize(hData));
      response = m.response;
      release = m.release;
      ackReq = m.ackReq;
      fmt = m.format;
      bytes = std::move(m.value);
      GlobalUnlock(hData);
    } else {
      hData = nullptr;  // not a block we can read: treat as a notification
    }
  }
  bool copied = c->copies;
  WORD ackStatus = 0;
  bool handled = false;
  if (c->state != ConvState::Connected) {
    handled = true;  // terminating: drop everything but TERMINATE
  } else if (response) {
    int i = FindRequestMatch(*c, item);
    if (i >= 0) {
      auto t = TakeAnswered(inst, c, (size_t)i);
      t->data = std::move(bytes);
      t->dataFmt = fmt;
      ackStatus = DDE_FACK;
      handled = true;
      // Complete may call back into the application; everything below uses locals only.
      Complete(inst, c, t, true, DDE_FACK, DMLERR_NO_ERROR);
    }
  } else {
    UINT linkFmt = fmt;
    if (!hData)
      for (auto& l : c->links)
        if (AtomOf(l.hszItem) == item) linkFmt = l.fmt;
    HDDEDATA h = hData ? NewData(inst->id, fmt, (HSZ)(ULONG_PTR)item, std::move(bytes), false) : nullptr;
    HDDEDATA r = CallApp(inst, XTYP_ADVDATA, linkFmt, c->handle, c->hszTopic, (HSZ)(ULONG_PTR)item, h,
                         0, 0);
    if (h) DropData(h);
    // Holding back a conversation (CBR_BLOCK) is not offered: the server hears "busy".
    ackStatus = r == CBR_BLOCK ? (WORD)DDE_FBUSY : (WORD)((ULONG_PTR)r & (DDE_FACK | DDE_FBUSY));
    handled = true;
  }
  (void)handled;
  bool positive = (ackStatus & DDE_FACK) != 0;
  bool atomPassed = false;
  if (ackReq && c->state == ConvState::Connected) {
    LPARAM out = PackDDElParam(WM_DDE_ACK, ackStatus, item);
    if (PostMessageA(c->server, WM_DDE_ACK, (WPARAM)c->client, out)) atomPassed = true;
    else FreeDDElParam(WM_DDE_ACK, out);
  }
  if (!atomPassed && item) {
    if (auto live = FindInstance(c->idInst)) DropAtom(*live, item);
    else GlobalDeleteAtom(item);
  }
  // The receiver frees fRelease data unless it refused it; a copy made for us is ours anyway.
  if (hData && (copied || (release && (!ackReq || positive)))) GlobalFree(hData);
}

LRESULT ClientMessage(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD id = (DWORD)GetWindowLongPtrA(w, GWLP_USERDATA);
  auto inst = FindInstance(id);
  if (!inst) {
    // Nobody left to own the message: release what it carries.
    if (msg == WM_DDE_DATA || msg == WM_DDE_ACK) {
      UINT_PTR lo = 0, hi = 0;
      UnpackDDElParam(msg, lp, &lo, &hi);
      FreeDDElParam(msg, lp);
      if (blocks::IsAtomValue(hi)) GlobalDeleteAtom((ATOM)hi);
    }
    return 0;
  }
  HWND server = (HWND)wp;
  if (msg == WM_DDE_ACK && inst->initiatingWindow == w) {
    // An answer to our WM_DDE_INITIATE (sent, with the two atoms unpacked).
    inst->answers.push_back({server, LOWORD(lp), HIWORD(lp)});
    return 0;
  }
  std::shared_ptr<Conversation> c;
  for (auto& x : inst->convs)
    if (x->client == w && x->server == server && x->state != ConvState::Terminated) c = x;
  if (!c) {
    if (msg == WM_DDE_DATA || msg == WM_DDE_ACK) {
      UINT_PTR lo = 0, hi = 0;
      UnpackDDElParam(msg, lp, &lo, &hi);
      FreeDDElParam(msg, lp);
      if (blocks::IsAtomValue(hi)) GlobalDeleteAtom((ATOM)hi);
      if (msg == WM_DDE_DATA && lo && CopiesPostedData() && CrossProcess(server)) GlobalFree((HGLOBAL)lo);
    }
    return 0;
  }
  switch (msg) {
    case WM_DDE_ACK: OnAck(inst, c, lp); break;
    case WM_DDE_DATA: OnData(inst, c, lp); break;
    case WM_DDE_TERMINATE:
      if (c->state == ConvState::Terminating) {
        c->state = ConvState::Terminated;  // our TERMINATE answered
      } else {
        PartnerGone(inst, c, true);
      }
      break;
    default: break;
  }
  return 0;
}

LRESULT CALLBACK ClientWndProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg < WM_DDE_FIRST || msg > WM_DDE_LAST || msg == WM_DDE_INITIATE) return DefWindowProcA(w, msg, wp, lp);
  try {
    return ClientMessage(w, msg, wp, lp);
  } catch (...) {
    return 0;
  }
}

void OnAnnounce(const std::shared_ptr<Instance>& inst, WPARAM wp, LPARAM lp) {
  bool reg = HIWORD(lp) == kServiceRegister;
  if (inst->afCmd & (reg ? CBF_SKIP_REGISTRATIONS : CBF_SKIP_UNREGISTRATIONS)) return;
  std::string base = AtomName(LOWORD(lp));
  if (base.empty()) return;
  HSZ h1 = AddHsz(*inst, base);
  HSZ h2 = AddHsz(*inst, blocks::InstanceName(base, (uint32_t)(ULONG_PTR)wp));
  if (h1 && h2)
    CallApp(inst, reg ? XTYP_REGISTER : XTYP_UNREGISTER, 0, nullptr, h1, h2, nullptr, 0, 0);
  if (auto live = FindInstance(inst->id)) {
    if (h1) FreeHsz(*live, h1);
    if (h2) FreeHsz(*live, h2);
  }
}

LRESULT CALLBACK InstanceWndProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    UINT announce = Reg().announceMsg;
    if ((announce && msg == announce) || (msg == WM_TIMER && wp == kLivenessTimer)) {
      auto inst = FindInstance((DWORD)GetWindowLongPtrA(w, GWLP_USERDATA));
      if (!inst) return 0;
      if (msg == WM_TIMER) CheckPartners(inst);
      else OnAnnounce(inst, wp, lp);
      return 0;
    }
  } catch (...) {
    return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

// ---- initiate ------------------------------------------------------------------------------

// "Base(0x0001002A)" names one server window.
bool SplitInstanceName(const std::string& name, std::string* base, HWND* window) {
  uint64_t w = 0;
  if (!blocks::SplitInstanceName(name, base, &w)) return false;
  *window = (HWND)(ULONG_PTR)w;
  return true;
}

// Broadcasts (or sends to one window) WM_DDE_INITIATE from `client`; returns the answers.
std::vector<InitiateAnswer> Initiate(Instance& inst, HWND client, HSZ hszService, HSZ hszTopic) {
  std::string service = NameOf(inst, AtomOf(hszService));
  HWND target = HWND_BROADCAST;
  std::string base;
  HWND one = nullptr;
  if (SplitInstanceName(service, &base, &one)) {
    service = base;
    target = one;
  }
  std::vector<InitiateAnswer> answers;
  if (target != HWND_BROADCAST && !IsWindow(target)) return answers;
  ATOM aApp = service.empty() ? 0 : GlobalAddAtomA(service.c_str());
  ATOM aTopic = AtomForMessage(inst, hszTopic);
  // A callback run while the broadcast is out may connect too: keep the outer initiate's state.
  HWND outerWindow = inst.initiatingWindow;
  std::vector<InitiateAnswer> outerAnswers;
  outerAnswers.swap(inst.answers);
  inst.initiatingWindow = client;
  DWORD_PTR res = 0;
  SendMessageTimeoutA(target, WM_DDE_INITIATE, (WPARAM)client, MAKELPARAM(aApp, aTopic),
                      SMTO_ABORTIFHUNG | SMTO_NORMAL, 2000, &res);
  answers.swap(inst.answers);
  inst.answers.swap(outerAnswers);
  inst.initiatingWindow = outerWindow;
  if (aApp) GlobalDeleteAtom(aApp);
  DropAtom(inst, aTopic);
  return answers;
}

// An answering server we do not keep: end its conversation and drop its atoms.
void Decline(HWND client, const InitiateAnswer& a) {
  if (a.app) GlobalDeleteAtom(a.app);
  if (a.topic) GlobalDeleteAtom(a.topic);
  PostMessageA(a.server, WM_DDE_TERMINATE, (WPARAM)client, 0);
}

std::shared_ptr<Conversation> ConnectOne(Instance& inst, HSZ hszService, HSZ hszTopic, PCONVCONTEXT cc) {
  HWND client = NewClientWindow(inst);
  if (!client) return nullptr;
  auto answers = Initiate(inst, client, hszService, hszTopic);
  std::shared_ptr<Conversation> c;
  for (auto& a : answers) {
    if (!c && IsWindow(a.server)) c = AddConversation(inst, client, a, hszService, cc);
    else Decline(client, a);
  }
  if (!c) UnuseClientWindow(inst, client);
  return c;
}

// ---- the synchronous wait ------------------------------------------------------------------

// Keeps the thread's messages flowing (callbacks included) until `t` is answered, the partner
// goes away or the time is up.
void WaitFor(const std::shared_ptr<Instance>& inst, const std::shared_ptr<Conversation>& c,
             const std::shared_ptr<Transaction>& t, DWORD timeout) {
  DWORD start = GetTickCount();
  DWORD lastCheck = start;
  bool quit = false;
  WPARAM quitCode = 0;
  while (!t->done && !inst->dead && c->state == ConvState::Connected) {
    MSG m;
    while (!t->done && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        quit = true;
        quitCode = m.wParam;
        continue;
      }
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    if (t->done) break;
    DWORD now = GetTickCount();
    if (now - lastCheck >= 100) {
      lastCheck = now;
      if (!IsWindow(c->server)) PartnerGone(inst, c, false);
    }
    DWORD elapsed = now - start;
    if (elapsed >= timeout) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(timeout - elapsed, 100), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  if (quit) PostQuitMessage((int)quitCode);
}

// ---- building and posting a transaction ----------------------------------------------------

struct Outgoing {
  UINT msg = 0;
  LPARAM lp = 0;
};

// Builds the message for `t`; the item atom and memory are recorded in `t`.
bool BuildMessage(Instance& inst, Transaction& t, const BYTE* bytes, DWORD size, Outgoing* out) {
  UINT base = t.BaseType();
  if (base != XTYP_EXECUTE) {
    t.atom = AtomForMessage(inst, t.hszItem);
    if (!t.atom && base != XTYP_ADVSTOP) return false;
  }
  switch (base) {
    case XTYP_REQUEST:
      out->msg = WM_DDE_REQUEST;
      out->lp = PackDDElParam(WM_DDE_REQUEST, t.fmt, t.atom);
      return true;
    case XTYP_ADVSTOP:
      out->msg = WM_DDE_UNADVISE;
      out->lp = PackDDElParam(WM_DDE_UNADVISE, t.fmt, t.atom);
      return true;
    case XTYP_POKE: {
      std::vector<BYTE> block = blocks::PokeBlock((uint16_t)t.fmt, bytes, size);
      t.hMem = AllocBlock(inst, block.size());
      if (!t.hMem) return false;
      std::memcpy(GlobalLock(t.hMem), block.data(), block.size());
      GlobalUnlock(t.hMem);
      out->msg = WM_DDE_POKE;
      out->lp = PackDDElParam(WM_DDE_POKE, (UINT_PTR)t.hMem, t.atom);
      return true;
    }
    case XTYP_ADVSTART: {
      std::vector<BYTE> block = blocks::AdviseBlock((uint16_t)t.fmt, (t.type & XTYPF_NODATA) != 0,
                                                    (t.type & XTYPF_ACKREQ) != 0);
      t.hMem = AllocBlock(inst, block.size());
      if (!t.hMem) return false;
      std::memcpy(GlobalLock(t.hMem), block.data(), block.size());
      GlobalUnlock(t.hMem);
      out->msg = WM_DDE_ADVISE;
      out->lp = PackDDElParam(WM_DDE_ADVISE, (UINT_PTR)t.hMem, t.atom);
      return true;
    }
    case XTYP_EXECUTE: {
      t.hMem = AllocBlock(inst, size);
      if (!t.hMem) return false;
      auto* p = (BYTE*)GlobalLock(t.hMem);
      if (size) std::memcpy(p, bytes, size);
      GlobalUnlock(t.hMem);
      out->msg = WM_DDE_EXECUTE;
      out->lp = (LPARAM)t.hMem;
      return true;
    }
  }
  return false;
}

UINT Send(Instance& inst, Conversation& c, const std::shared_ptr<Transaction>& t, const BYTE* bytes,
          DWORD size) {
  Outgoing out;
  if (!BuildMessage(inst, *t, bytes, size, &out)) {
    DropAtom(inst, t->atom), t->atom = 0;
    FreeBlock(inst, t->hMem);
    return DMLERR_MEMORY_ERROR;
  }
  if (!PostMessageA(c.server, out.msg, (WPARAM)c.client, out.lp)) {
    if (out.msg != WM_DDE_EXECUTE) FreeDDElParam(out.msg, out.lp);
    DropAtom(inst, t->atom), t->atom = 0;
    FreeBlock(inst, t->hMem);
    return DMLERR_POSTMSG_FAILED;
  }
  // Poke data and advise options went over as a copy: ours to free now (never on the ACK).
  if (out.msg != WM_DDE_EXECUTE && t->hMem && c.copies) FreeBlock(inst, t->hMem);
  c.pending.push_back(t);
  return DMLERR_NO_ERROR;
}

HDDEDATA Transact(LPBYTE pData, DWORD cbData, HCONV hConv, HSZ hszItem, UINT wFmt, UINT wType,
                  DWORD dwTimeout, LPDWORD pdwResult) {
  auto c = FindConv(hConv);
  if (!c) return nullptr;
  auto inst = FindInstance(c->idInst);
  if (!inst) return nullptr;
  auto fail = [&](UINT err) -> HDDEDATA {
    inst->lastError = err;
    c->lastError = err;
    return nullptr;
  };
  // A data handle given instead of bytes: the transaction takes it over unless app-owned.
  std::shared_ptr<DataObject> given;
  if (cbData == (DWORD)-1) {
    given = FindData((HDDEDATA)pData);
    if (!given) return fail(DMLERR_INVALIDPARAMETER);
  }
  auto releaseGiven = [&] {
    if (given && !given->appOwned) DropData((HDDEDATA)pData);
  };
  UINT base = wType & ~(XTYPF_NOBLOCK | XTYPF_NODATA | XTYPF_ACKREQ);
  bool flagsOk = base == XTYP_ADVSTART || (wType & (XTYPF_NODATA | XTYPF_ACKREQ)) == 0;
  bool needItem = base == XTYP_REQUEST || base == XTYP_POKE || base == XTYP_ADVSTART;
  if (!flagsOk || (base != XTYP_REQUEST && base != XTYP_POKE && base != XTYP_EXECUTE &&
                   base != XTYP_ADVSTART && base != XTYP_ADVSTOP) ||
      (needItem && !AtomOf(hszItem)) || (base == XTYP_EXECUTE && !pData && cbData)) {
    releaseGiven();
    return fail(DMLERR_INVALIDPARAMETER);
  }
  if (c->state != ConvState::Connected) {
    releaseGiven();
    return fail(DMLERR_NO_CONV_ESTABLISHED);
  }
  bool async = dwTimeout == TIMEOUT_ASYNC;
  if (!async && inst->syncDepth > 0) {
    releaseGiven();
    return fail(DMLERR_REENTRANCY);
  }
  const BYTE* bytes = pData;
  DWORD size = cbData;
  std::vector<BYTE> copy;
  if (given) {
    copy = given->bytes;
    if (base == XTYP_POKE && !wFmt) wFmt = given->fmt;
    bytes = copy.data();
    size = (DWORD)copy.size();
  }
  if (base == XTYP_REQUEST || base == XTYP_ADVSTART || base == XTYP_ADVSTOP) size = 0;
  auto t = std::make_shared<Transaction>();
  t->id = ++inst->nextXactId ? inst->nextXactId : ++inst->nextXactId;
  t->type = wType;
  t->fmt = wFmt;
  t->async = async;
  if (hszItem && AtomOf(hszItem) && KeepHsz(*inst, hszItem)) t->hszItem = hszItem;
  else if (needItem) {
    releaseGiven();
    return fail(DMLERR_INVALIDPARAMETER);
  }
  UINT err = Send(*inst, *c, t, bytes, size);
  releaseGiven();
  if (err) {
    ReleaseTransaction(*inst, *t);
    return fail(err);
  }
  if (async) {
    if (pdwResult) *pdwResult = t->id;
    return (HDDEDATA)TRUE;
  }
  inst->syncDepth++;
  c->syncXact = t;
  WaitFor(inst, c, t, dwTimeout);
  c->syncXact = nullptr;
  inst->syncDepth--;
  auto live = FindInstance(inst->id);
  if (!t->done) {
    // Timed out (or the instance went away): the queued transaction swallows the late answer.
    t->abandoned = true;
    if (live) {
      if (c->state == ConvState::Connected) return fail(TimeoutError(base));
      ReleaseTransaction(*live, *t);
      return fail(DMLERR_NO_CONV_ESTABLISHED);
    }
    return nullptr;
  }
  if (live) ReleaseTransaction(*live, *t);
  if (pdwResult) *pdwResult = t->status;
  if (!t->ok) return live ? fail(t->error) : nullptr;
  if (base == XTYP_REQUEST) return NewData(inst->id, t->dataFmt, hszItem, std::move(t->data), false);
  return (HDDEDATA)TRUE;
}

// Advise loops of a terminated conversation, asked for again on its successor.
void ReAdvise(Instance& inst, Conversation& from, Conversation& to) {
  for (auto& l : from.links) {
    auto t = std::make_shared<Transaction>();
    t->id = ++inst.nextXactId ? inst.nextXactId : ++inst.nextXactId;
    t->type = l.type;
    t->fmt = l.fmt;
    t->async = true;
    t->internal = true;
    if (!KeepHsz(inst, l.hszItem)) continue;
    t->hszItem = l.hszItem;
    if (Send(inst, to, t, nullptr, 0)) ReleaseTransaction(inst, *t);
  }
}

template <typename F>
auto Guard(F f, decltype(f()) failure, DWORD idInst = 0) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    if (idInst) SetError(idInst, DMLERR_MEMORY_ERROR);
  } catch (...) {
    if (idInst) SetError(idInst, DMLERR_SYS_ERROR);
  }
  return failure;
}

}  // namespace

// ---- the API ---------------------------------------------------------------------------------

UINT WINAPI DdeInitializeA(LPDWORD pidInst, PFNCALLBACK pfnCallback, DWORD afCmd, DWORD) {
  return Guard([&]() -> UINT {
    if (!pidInst) return DMLERR_INVALIDPARAMETER;
    if (*pidInst) {  // re-initialisation: new callback filter flags for a live instance
      auto inst = FindInstance(*pidInst);
      if (!inst || inst->thread != GetCurrentThreadId()) return DMLERR_INVALIDPARAMETER;
      inst->afCmd = (inst->afCmd & ~0x003FF000u) | (afCmd & 0x003FF000u);
      if (pfnCallback) inst->callback = pfnCallback;
      return DMLERR_NO_ERROR;
    }
    if (!pfnCallback || (afCmd & APPCLASS_MONITOR)) return DMLERR_INVALIDPARAMETER;
    if (!EnsureClasses()) return DMLERR_SYS_ERROR;
    auto inst = std::make_shared<Instance>();
    inst->thread = GetCurrentThreadId();
    inst->callback = pfnCallback;
    inst->afCmd = afCmd;
    {
      Registry& r = Reg();
      std::lock_guard<std::mutex> g(r.lock);
      do inst->id = ++r.nextInst; while (!inst->id || r.instances.count(inst->id));
      r.instances[inst->id] = inst;
    }
    inst->window = CreateWindowExA(WS_EX_TOOLWINDOW, kInstanceClass, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                                   nullptr, ThisModule(), nullptr);
    if (!inst->window) {
      Registry& r = Reg();
      {
        std::lock_guard<std::mutex> g(r.lock);
        r.instances.erase(inst->id);
      }
      ReleaseClasses();
      return DMLERR_SYS_ERROR;
    }
    SetWindowLongPtrA(inst->window, GWLP_USERDATA, (LONG_PTR)inst->id);
    SetTimer(inst->window, kLivenessTimer, kLivenessMs, nullptr);
    *pidInst = inst->id;
    return DMLERR_NO_ERROR;
  }, DMLERR_SYS_ERROR);
}

WINBOOL WINAPI DdeUninitialize(DWORD idInst) {
  return Guard([&]() -> WINBOOL {
    auto inst = FindInstance(idInst);
    if (!inst) return FALSE;
    std::vector<std::shared_ptr<Conversation>> convs = inst->convs;
    TerminateAndWait(*inst, convs);
    inst->dead = true;
    for (auto& c : convs) ReleaseConversation(*inst, c);
    Registry& r = Reg();
    std::vector<std::shared_ptr<DataObject>> dropped;
    {
      std::lock_guard<std::mutex> g(r.lock);
      for (auto it = r.data.begin(); it != r.data.end();) {
        if (it->second->idInst == idInst) dropped.push_back(it->second), it = r.data.erase(it);
        else ++it;
      }
      for (auto it = r.lists.begin(); it != r.lists.end();) {
        if (it->second->idInst == idInst) it = r.lists.erase(it);
        else ++it;
      }
      r.instances.erase(idInst);
    }
    ReleaseAllAtoms(*inst);
    for (auto& [w, n] : inst->clientWindows) DestroyWindow(w);
    inst->clientWindows.clear();
    KillTimer(inst->window, kLivenessTimer);
    DestroyWindow(inst->window);
    inst->window = nullptr;
    ReleaseClasses();
    return TRUE;
  }, FALSE, idInst);
}

UINT WINAPI DdeGetLastError(DWORD idInst) {
  auto inst = FindInstance(idInst);
  if (!inst) return DMLERR_DLL_NOT_INITIALIZED;
  UINT e = inst->lastError;
  inst->lastError = DMLERR_NO_ERROR;
  return e;
}

HSZ WINAPI DdeCreateStringHandleA(DWORD idInst, LPCSTR psz, int iCodePage) {
  return Guard([&]() -> HSZ {
    auto inst = FindInstance(idInst);
    if (!inst) return nullptr;
    if (!psz || (iCodePage != 0 && iCodePage != CP_WINANSI)) {
      inst->lastError = DMLERR_INVALIDPARAMETER;
      return nullptr;
    }
    std::string s(psz);
    HSZ h = AddHsz(*inst, s);
    if (!h) inst->lastError = s.empty() || s.size() > 255 ? DMLERR_INVALIDPARAMETER : DMLERR_SYS_ERROR;
    return h;
  }, nullptr, idInst);
}

WINBOOL WINAPI DdeFreeStringHandle(DWORD idInst, HSZ hsz) {
  return Guard([&]() -> WINBOOL {
    auto inst = FindInstance(idInst);
    if (!inst) return FALSE;
    if (FreeHsz(*inst, hsz)) return TRUE;
    inst->lastError = DMLERR_INVALIDPARAMETER;
    return FALSE;
  }, FALSE, idInst);
}

WINBOOL WINAPI DdeKeepStringHandle(DWORD idInst, HSZ hsz) {
  return Guard([&]() -> WINBOOL {
    auto inst = FindInstance(idInst);
    if (!inst) return FALSE;
    if (KeepHsz(*inst, hsz)) return TRUE;
    inst->lastError = DMLERR_INVALIDPARAMETER;
    return FALSE;
  }, FALSE, idInst);
}

DWORD WINAPI DdeQueryStringA(DWORD idInst, HSZ hsz, LPSTR psz, DWORD cchMax, int iCodePage) {
  return Guard([&]() -> DWORD {
    auto inst = FindInstance(idInst);
    if (!inst) return 0;
    if (iCodePage != 0 && iCodePage != CP_WINANSI) {
      inst->lastError = DMLERR_INVALIDPARAMETER;
      return 0;
    }
    std::string name = NameOf(*inst, AtomOf(hsz));
    if (name.empty()) {
      if (psz && cchMax) psz[0] = 0;
      return 0;
    }
    if (!psz) return (DWORD)name.size();
    if (!cchMax) return 0;
    DWORD n = std::min<DWORD>((DWORD)name.size(), cchMax - 1);
    std::memcpy(psz, name.data(), n);
    psz[n] = 0;
    return n;
  }, 0, idInst);
}

int WINAPI DdeCmpStringHandles(HSZ hsz1, HSZ hsz2) {
  if (hsz1 == hsz2) return 0;
  if (!hsz1) return -1;
  if (!hsz2) return 1;
  std::string a = AtomName(AtomOf(hsz1)), b = AtomName(AtomOf(hsz2));
  int r = lstrcmpiA(a.c_str(), b.c_str());
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

HDDEDATA WINAPI DdeCreateDataHandle(DWORD idInst, LPBYTE pSrc, DWORD cb, DWORD cbOff, HSZ hszItem,
                                    UINT wFmt, UINT afCmd) {
  return Guard([&]() -> HDDEDATA {
    auto inst = FindInstance(idInst);
    if (!inst) return nullptr;
    if (afCmd & ~HDATA_APPOWNED) {
      inst->lastError = DMLERR_INVALIDPARAMETER;
      return nullptr;
    }
    std::vector<BYTE> bytes(cb);
    if (pSrc && cb) std::memcpy(bytes.data(), pSrc + cbOff, cb);
    return NewData(idInst, wFmt, hszItem, std::move(bytes), (afCmd & HDATA_APPOWNED) != 0);
  }, nullptr, idInst);
}

LPBYTE WINAPI DdeAccessData(HDDEDATA hData, LPDWORD pcbDataSize) {
  auto d = FindData(hData);
  if (!d) return nullptr;
  if (pcbDataSize) *pcbDataSize = (DWORD)d->bytes.size();
  if (d->bytes.capacity() == 0) d->bytes.reserve(1);
  return d->bytes.data();
}

WINBOOL WINAPI DdeUnaccessData(HDDEDATA hData) { return FindData(hData) ? TRUE : FALSE; }

DWORD WINAPI DdeGetData(HDDEDATA hData, LPBYTE pDst, DWORD cbMax, DWORD cbOff) {
  auto d = FindData(hData);
  if (!d) return 0;
  DWORD size = (DWORD)d->bytes.size();
  if (!pDst) return size;
  if (cbOff > size) {
    SetError(d->idInst, DMLERR_INVALIDPARAMETER);
    return 0;
  }
  DWORD n = std::min(cbMax, size - cbOff);
  if (n) std::memcpy(pDst, d->bytes.data() + cbOff, n);
  return n;
}

WINBOOL WINAPI DdeFreeDataHandle(HDDEDATA hData) {
  auto d = FindData(hData);
  if (!d) return FALSE;
  DropData(hData);
  return TRUE;
}

HCONV WINAPI DdeConnect(DWORD idInst, HSZ hszService, HSZ hszTopic, PCONVCONTEXT pCC) {
  return Guard([&]() -> HCONV {
    auto inst = FindInstance(idInst);
    if (!inst) return nullptr;
    if (pCC && pCC->cb != sizeof(CONVCONTEXT)) {
      inst->lastError = DMLERR_INVALIDPARAMETER;
      return nullptr;
    }
    auto c = ConnectOne(*inst, hszService, hszTopic, pCC);
    if (!c) {
      inst->lastError = DMLERR_NO_CONV_ESTABLISHED;
      return nullptr;
    }
    return c->handle;
  }, nullptr, idInst);
}

HCONVLIST WINAPI DdeConnectList(DWORD idInst, HSZ hszService, HSZ hszTopic, HCONVLIST hConvList,
                                PCONVCONTEXT pCC) {
  return Guard([&]() -> HCONVLIST {
    auto inst = FindInstance(idInst);
    if (!inst) return nullptr;
    if (pCC && pCC->cb != sizeof(CONVCONTEXT)) {
      inst->lastError = DMLERR_INVALIDPARAMETER;
      return nullptr;
    }
    Registry& r = Reg();
    std::shared_ptr<ConvList> list;
    if (hConvList) {
      std::lock_guard<std::mutex> g(r.lock);
      auto it = r.lists.find((ULONG_PTR)hConvList);
      if (it == r.lists.end() || it->second->idInst != idInst) {
        inst->lastError = DMLERR_INVALIDPARAMETER;
        return nullptr;
      }
      list = it->second;
    }
    if (list) {  // conversations of the old list that have ended leave it
      std::vector<HCONV> old = list->convs;
      for (HCONV h : old) {
        auto c = FindConv(h);
        if (c && c->state != ConvState::Connected) ReleaseConversation(*inst, c);
      }
    } else {
      list = std::make_shared<ConvList>();
      list->idInst = idInst;
      std::lock_guard<std::mutex> g(r.lock);
      list->handle = (HCONVLIST)NewHandleLocked();
      r.lists[(ULONG_PTR)list->handle] = list;
    }
    HWND client = NewClientWindow(*inst);
    if (client) {
      bool used = false;
      auto answers = Initiate(*inst, client, hszService, hszTopic);
      for (auto& a : answers) {
        // The same server (its thread) with the same service and topic is already listed.
        bool duplicate = false;
        DWORD thread = GetWindowThreadProcessId(a.server, nullptr);
        for (HCONV h : list->convs)
          if (auto c = FindConv(h))
            duplicate = duplicate || (c->server == a.server ||
                                      (GetWindowThreadProcessId(c->server, nullptr) == thread &&
                                       AtomOf(c->hszSvcPartner) == a.app && AtomOf(c->hszTopic) == a.topic));
        if (duplicate || !IsWindow(a.server)) {
          Decline(client, a);
          continue;
        }
        auto c = AddConversation(*inst, client, a, hszService, pCC);
        c->list = list->handle;
        used = true;
        std::lock_guard<std::mutex> g(r.lock);
        list->convs.push_back(c->handle);
      }
      if (!used) UnuseClientWindow(*inst, client);  // else its conversations keep it
    }
    if (list->convs.empty()) {
      std::lock_guard<std::mutex> g(r.lock);
      r.lists.erase((ULONG_PTR)list->handle);
      inst->lastError = DMLERR_NO_CONV_ESTABLISHED;
      return nullptr;
    }
    return list->handle;
  }, nullptr, idInst);
}

HCONV WINAPI DdeQueryNextServer(HCONVLIST hConvList, HCONV hConvPrev) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.lists.find((ULONG_PTR)hConvList);
  if (it == r.lists.end()) return nullptr;
  auto& v = it->second->convs;
  if (!hConvPrev) return v.empty() ? nullptr : v.front();
  auto p = std::find(v.begin(), v.end(), hConvPrev);
  if (p == v.end() || ++p == v.end()) return nullptr;
  return *p;
}

WINBOOL WINAPI DdeDisconnectList(HCONVLIST hConvList) {
  return Guard([&]() -> WINBOOL {
    std::shared_ptr<ConvList> list;
    {
      Registry& r = Reg();
      std::lock_guard<std::mutex> g(r.lock);
      auto it = r.lists.find((ULONG_PTR)hConvList);
      if (it == r.lists.end()) return FALSE;
      list = it->second;
      r.lists.erase(it);
    }
    auto inst = FindInstance(list->idInst);
    if (!inst) return FALSE;
    std::vector<std::shared_ptr<Conversation>> convs;
    for (HCONV h : list->convs)
      if (auto c = FindConv(h)) convs.push_back(c), c->list = nullptr;
    TerminateAndWait(*inst, convs);
    for (auto& c : convs) ReleaseConversation(*inst, c);
    return TRUE;
  }, FALSE);
}

UINT WINAPI DdeQueryConvInfo(HCONV hConv, DWORD idTransaction, PCONVINFO pConvInfo) {
  return Guard([&]() -> UINT {
    auto c = FindConv(hConv);
    if (!c || !pConvInfo) return 0;
    auto inst = FindInstance(c->idInst);
    if (!inst) return 0;
    CONVINFO ci{};
    ci.cb = sizeof ci;
    ci.hUser = c->hUser;
    ci.hszSvcPartner = c->hszSvcPartner;
    ci.hszServiceReq = c->hszServiceReq;
    ci.hszTopic = c->hszTopic;
    ci.hConvList = c->list;
    ci.ConvCtxt = c->context;
    ci.hwnd = c->client;
    ci.hwndPartner = c->server;
    ci.wLastError = c->lastError;
    ci.wStatus = ST_CLIENT | (c->state == ConvState::Connected ? ST_CONNECTED : ST_TERMINATED) |
                 (c->links.empty() ? 0 : ST_ADVISE) | (c->list ? ST_INLIST : 0);
    ci.wConvst = c->state == ConvState::Connected ? XST_CONNECTED : XST_NULL;
    std::shared_ptr<Transaction> t;
    if (idTransaction == QID_SYNC) {
      t = c->syncXact;
    } else {
      for (auto& x : c->pending)
        if (x->id == idTransaction && x->async && !x->abandoned) t = x;
      if (!t) {
        inst->lastError = DMLERR_UNFOUND_QUEUE_ID;
        return 0;
      }
    }
    if (t) {
      ci.hszItem = t->hszItem;
      ci.wFmt = t->fmt;
      ci.wType = t->type;
      ci.wConvst = XST_REQSENT;
      switch (t->BaseType()) {
        case XTYP_POKE: ci.wConvst = XST_POKESENT; break;
        case XTYP_EXECUTE: ci.wConvst = XST_EXECSENT; break;
        case XTYP_ADVSTART: ci.wConvst = XST_ADVSENT; break;
        case XTYP_ADVSTOP: ci.wConvst = XST_UNADVSENT; break;
      }
    }
    UINT n = std::min<UINT>(pConvInfo->cb ? pConvInfo->cb : sizeof ci, sizeof ci);
    std::memcpy(pConvInfo, &ci, n);
    pConvInfo->cb = n;
    return n;
  }, 0);
}

WINBOOL WINAPI DdeDisconnect(HCONV hConv) {
  return Guard([&]() -> WINBOOL {
    auto c = FindConv(hConv);
    if (!c) return FALSE;
    auto inst = FindInstance(c->idInst);
    if (!inst) return FALSE;
    TerminateAndWait(*inst, {c});
    if (auto live = FindInstance(c->idInst)) ReleaseConversation(*live, c);
    return TRUE;
  }, FALSE);
}

HCONV WINAPI DdeReconnect(HCONV hConv) {
  return Guard([&]() -> HCONV {
    auto old = FindConv(hConv);
    if (!old) return nullptr;
    auto inst = FindInstance(old->idInst);
    if (!inst) return nullptr;
    if (old->state == ConvState::Connected) {
      inst->lastError = DMLERR_INVALIDPARAMETER;  // nothing to re-establish
      return nullptr;
    }
    HSZ service = old->hszServiceReq ? old->hszServiceReq : old->hszSvcPartner;
    auto c = ConnectOne(*inst, service, old->hszTopic, &old->context);
    if (!c) {
      inst->lastError = DMLERR_NO_CONV_ESTABLISHED;
      return nullptr;
    }
    c->hUser = old->hUser;
    ReAdvise(*inst, *old, *c);
    // The successor carries on; the old handle is retired.
    ReleaseConversation(*inst, old);
    return c->handle;
  }, nullptr);
}

WINBOOL WINAPI DdeSetUserHandle(HCONV hConv, DWORD id, DWORD_PTR hUser) {
  auto c = FindConv(hConv);
  if (!c) return FALSE;
  if (id != QID_SYNC) {
    auto inst = FindInstance(c->idInst);
    if (inst) inst->lastError = DMLERR_UNFOUND_QUEUE_ID;
    return FALSE;
  }
  c->hUser = hUser;
  return TRUE;
}

HDDEDATA WINAPI DdeClientTransaction(LPBYTE pData, DWORD cbData, HCONV hConv, HSZ hszItem, UINT wFmt,
                                     UINT wType, DWORD dwTimeout, LPDWORD pdwResult) {
  DWORD idInst = 0;
  if (auto c = FindConv(hConv)) idInst = c->idInst;
  return Guard([&] { return Transact(pData, cbData, hConv, hszItem, wFmt, wType, dwTimeout, pdwResult); },
               (HDDEDATA) nullptr, idInst);
}

WINBOOL WINAPI DdeAbandonTransaction(DWORD idInst, HCONV hConv, DWORD idTransaction) {
  return Guard([&]() -> WINBOOL {
    auto inst = FindInstance(idInst);
    if (!inst) return FALSE;
    std::vector<std::shared_ptr<Conversation>> convs;
    if (hConv) {
      auto c = FindConv(hConv);
      if (!c || c->idInst != idInst) {
        inst->lastError = DMLERR_INVALIDPARAMETER;
        return FALSE;
      }
      convs.push_back(c);
    } else {
      convs = inst->convs;
    }
    bool found = false;
    for (auto& c : convs)
      for (auto& t : c->pending)
        if (t->async && !t->abandoned && !t->internal && (!idTransaction || t->id == idTransaction)) {
          t->abandoned = true;  // stays queued to swallow the server's answer
          found = true;
        }
    if (!found && idTransaction) {
      inst->lastError = DMLERR_UNFOUND_QUEUE_ID;
      return FALSE;
    }
    return TRUE;
  }, FALSE, idInst);
}

WINBOOL WINAPI DdeEnableCallback(DWORD idInst, HCONV hConv, UINT wCmd) {
  // Callbacks are delivered as the messages arrive and never held back, so nothing is ever
  // waiting; disabling is not offered and says so.
  auto inst = FindInstance(idInst);
  if (!inst) return FALSE;
  if (hConv && !FindConv(hConv)) {
    inst->lastError = DMLERR_INVALIDPARAMETER;
    return FALSE;
  }
  switch (wCmd) {
    case EC_ENABLEALL:
    case EC_ENABLEONE: return TRUE;
    case EC_QUERYWAITING: return FALSE;
    default: inst->lastError = DMLERR_INVALIDPARAMETER; return FALSE;
  }
}

bool FlushStringCache(DWORD idInst) {
  auto inst = FindInstance(idInst);
  if (!inst) return false;
  while (!inst->cachedAtoms.empty()) {
    ATOM a = inst->cachedAtoms.front();
    inst->cachedAtoms.pop_front();
    DropEntry(*inst, a, inst->atoms[a]);
  }
  return true;
}

bool QueryInstanceCounts(DWORD idInst, InstanceCounts* counts) {
  auto inst = FindInstance(idInst);
  if (!inst || !counts) return false;
  InstanceCounts n{};
  for (auto& [a, e] : inst->atoms) n.stringHandles += e.refs;
  n.cachedNames = static_cast<long>(inst->cachedAtoms.size());
  n.conversations = (long)inst->convs.size();
  n.windows = (long)inst->clientWindows.size() + (inst->window ? 1 : 0);
  for (auto& c : inst->convs) n.transactions += (long)c->pending.size();
  n.globalBlocks = inst->globalBlocks;
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  for (auto& [h, d] : r.data)
    if (d->idInst == idInst) n.dataHandles++;
  *counts = n;
  return true;
}

bool PostedDdeDataIsCopied() { return CopiesPostedData(); }

}  // namespace ourddeml
