#include "DdeServer.h"

#include <dde.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "AnsiText.h"
#include "DdeRequests.h"

#if __has_include(<ddeml_ours/ServiceAnnounce.h>)
#include <ddeml_ours/ServiceAnnounce.h>
#define WBS_HAVE_ANNOUNCE 1
#endif

namespace wbs {

namespace {

const char kServiceName[] = "Excel";
const char kSystemTopic[] = "System";
const char kMainClass[] = "WorkbookServerDde";
const char kConvClass[] = "WorkbookServerDdeConv";

std::string AtomText(ATOM a) {
  char buf[256] = {0};
  if (a) GlobalGetAtomNameA(a, buf, sizeof buf);
  return buf;
}

bool RunningOnWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

DdeServer::DdeServer(WorkbookSet& books) : books_(books), freeAfterPost_(RunningOnWine()) {
  books_.AddObserver(this);
}

DdeServer::~DdeServer() {
  Stop();
  books_.RemoveObserver(this);
}

bool DdeServer::Start() {
  if (main_) return true;
  HINSTANCE inst = GetModuleHandleA(nullptr);
  WNDCLASSA wc = {};
  wc.hInstance = inst;
  wc.lpfnWndProc = MainProc;
  wc.lpszClassName = kMainClass;
  RegisterClassA(&wc);
  wc.lpfnWndProc = ConvProc;
  wc.lpszClassName = kConvClass;
  RegisterClassA(&wc);
  // A top-level window (not message-only): WM_DDE_INITIATE arrives as a broadcast.
  main_ = CreateWindowExA(0, kMainClass, "WorkbookServer DDE", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                          inst, nullptr);
  if (!main_) return false;
  SetWindowLongPtrA(main_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  Announce(true);
  return true;
}

void DdeServer::Stop() {
  if (!main_) return;
  Announce(false);
  for (Conv* c : std::vector<Conv*>(convs_)) {
    if (!c->terminating) {
      PostMessageA(c->client, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(c->hwnd), 0);
      ++stats_.terminates;
    }
    DestroyConv(c);
  }
  DestroyWindow(main_);
  main_ = nullptr;
}

void DdeServer::Announce(bool registering) {
#ifdef WBS_HAVE_ANNOUNCE
  UINT msg = RegisterWindowMessageA(kServiceAnnounceMessage);
  if (!msg) return;
  ATOM a = GlobalAddAtomA(kServiceName);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(HWND_BROADCAST, msg, reinterpret_cast<WPARAM>(main_),
                      MAKELPARAM(a, registering ? kServiceRegister : kServiceUnregister),
                      SMTO_ABORTIFHUNG | SMTO_NORMAL, 2000, &ignored);
  GlobalDeleteAtom(a);
#else
  (void)registering;
#endif
}

LRESULT CALLBACK DdeServer::MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<DdeServer*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (msg == WM_DDE_INITIATE && self) {
    try {
      return self->OnInitiate(reinterpret_cast<HWND>(wp), LOWORD(lp), HIWORD(lp));
    } catch (...) {
      return 0;
    }
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

LRESULT CALLBACK DdeServer::ConvProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<DdeServer*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (msg < WM_DDE_FIRST || msg > WM_DDE_LAST || !self) return DefWindowProcA(hwnd, msg, wp, lp);
  Conv* c = self->FindConv(hwnd);
  if (!c) return 0;
  try {
    if (reinterpret_cast<HWND>(wp) != c->client) {
      // Not our partner: free what it sent so that nothing leaks, and do not answer.
      if (msg != WM_DDE_TERMINATE && msg != WM_DDE_EXECUTE) FreeDDElParam(msg, lp);
      return 0;
    }
    self->OnConvMessage(*c, msg, lp);
  } catch (...) {
  }
  return 0;
}

LRESULT DdeServer::OnInitiate(HWND client, ATOM appAtom, ATOM topicAtom) {
  if (!client || !IsWindow(client)) return 0;
  const std::string app = AtomText(appAtom);
  if (appAtom) {
    char instanceName[64];
    std::snprintf(instanceName, sizeof instanceName, "%s(0x%08lX)", kServiceName,
                  static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(main_) & 0xFFFFFFFFu));
    if (!SameName(app, kServiceName) && !SameName(app, instanceName)) return 0;
  }
  const std::string topic = AnsiToUtf8(AtomText(topicAtom));
  auto answer = [&](Workbook* wb, int sheet, const std::string& name) {
    Conv* c = NewConv(client, wb, sheet, name);
    if (!c) return;
    ++stats_.initiates;
    // The reply's atoms are new ones; the client deletes them.
    SendMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(c->hwnd),
                 MAKELPARAM(GlobalAddAtomA(kServiceName), GlobalAddAtomA(Utf8ToAnsi(name).c_str())));
  };
  if (!topicAtom) {
    // Every topic we have, as a spreadsheet answers a wildcard initiate.
    for (int b = 0; b < books_.Count(); ++b) {
      Workbook* wb = books_.At(b);
      for (int s = 0; s < wb->SheetCount(); ++s) answer(wb, s, wb->SheetName(s));
    }
    answer(nullptr, -1, kSystemTopic);
    return 0;
  }
  if (SameName(topic, kSystemTopic)) {
    answer(nullptr, -1, kSystemTopic);
    return 0;
  }
  Workbook* wb = nullptr;
  int sheet = -1;
  if (books_.FindTopic(topic, wb, sheet)) answer(wb, sheet, topic);
  return 0;
}

DdeServer::Conv* DdeServer::NewConv(HWND client, Workbook* wb, int sheet, const std::string&) {
  HWND h = CreateWindowExA(0, kConvClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
  if (!h) return nullptr;
  SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  auto* c = new Conv;
  c->hwnd = h;
  c->client = client;
  c->wb = wb;
  c->sheet = sheet;
  convs_.push_back(c);
  return c;
}

DdeServer::Conv* DdeServer::FindConv(HWND h) {
  for (Conv* c : convs_)
    if (c->hwnd == h) return c;
  return nullptr;
}

void DdeServer::OnConvMessage(Conv& c, UINT msg, LPARAM lp) {
  if (msg == WM_DDE_TERMINATE) {
    OnTerminate(c);
    return;
  }
  if (c.terminating) {
    // After our TERMINATE nothing is answered; what arrives is freed here so it does not leak.
    if (msg == WM_DDE_POKE || msg == WM_DDE_ADVISE || msg == WM_DDE_DATA) {
      UINT_PTR h = 0, a = 0;
      UnpackDDElParam(msg, lp, &h, &a);
      FreeDDElParam(msg, lp);
      if (h) GlobalFree(reinterpret_cast<HGLOBAL>(h));
      if (a) GlobalDeleteAtom(static_cast<ATOM>(a));
    } else if (msg == WM_DDE_REQUEST || msg == WM_DDE_UNADVISE) {
      UINT_PTR cf = 0, a = 0;
      UnpackDDElParam(msg, lp, &cf, &a);
      FreeDDElParam(msg, lp);
      if (a) GlobalDeleteAtom(static_cast<ATOM>(a));
    } else if (msg == WM_DDE_ACK) {
      UINT_PTR st = 0, a = 0;
      UnpackDDElParam(msg, lp, &st, &a);
      FreeDDElParam(msg, lp);
      if (a) GlobalDeleteAtom(static_cast<ATOM>(a));
    }
    return;
  }
  switch (msg) {
    case WM_DDE_REQUEST: OnRequest(c, lp); break;
    case WM_DDE_POKE: OnPoke(c, lp); break;
    case WM_DDE_ADVISE: OnAdvise(c, lp); break;
    case WM_DDE_UNADVISE: OnUnadvise(c, lp); break;
    case WM_DDE_EXECUTE: OnExecute(c, lp); break;
    case WM_DDE_ACK: OnDataAck(c, lp); break;
    default: FreeDDElParam(msg, lp); break;
  }
}

void DdeServer::Ack(Conv& c, bool positive, UINT_PTR hi, UINT origin) {
  if (!positive) ++stats_.negativeAcks;
  LPARAM lp = PackDDElParam(WM_DDE_ACK, positive ? 0x8000 : 0, hi);
  if (!PostMessageA(c.client, WM_DDE_ACK, reinterpret_cast<WPARAM>(c.hwnd), lp)) {
    ++stats_.postFailures;
    FreeDDElParam(WM_DDE_ACK, lp);
    if (origin != WM_DDE_EXECUTE && hi) GlobalDeleteAtom(static_cast<ATOM>(hi));
  }
}

HGLOBAL DdeServer::MakeData(const std::string& utf8, bool response, bool ackReq) {
  const std::vector<uint8_t> block = dde::TextDataBlock(Utf8ToAnsi(utf8), response, ackReq);
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, block.size());
  if (!h) {
    ++stats_.allocFailures;
    return nullptr;
  }
  std::memcpy(GlobalLock(h), block.data(), block.size());
  GlobalUnlock(h);
  return h;
}

void DdeServer::ReleasePosted(HGLOBAL h) {
  if (h && freeAfterPost_) GlobalFree(h);
}

bool DdeServer::PostData(Conv& c, HGLOBAL data, const std::string& item, bool keepForAck, HGLOBAL* kept,
                         ATOM* posted, ATOM reference) {
  // The message carries one reference to the item's atom: a reference this program already
  // holds, or a new one.
  ATOM a = reference ? reference : GlobalAddAtomA(Utf8ToAnsi(item).c_str());
  LPARAM lp = PackDDElParam(WM_DDE_DATA, reinterpret_cast<UINT_PTR>(data), a);
  if (!PostMessageA(c.client, WM_DDE_DATA, reinterpret_cast<WPARAM>(c.hwnd), lp)) {
    ++stats_.postFailures;
    FreeDDElParam(WM_DDE_DATA, lp);
    if (data) GlobalFree(data);
    GlobalDeleteAtom(a);
    return false;
  }
  ++stats_.dataPosted;
  if (posted) *posted = a;
  if (keepForAck && !freeAfterPost_) {
    *kept = data;  // freed by us should the client refuse it
  } else {
    ReleasePosted(data);
  }
  return true;
}

void DdeServer::OnRequest(Conv& c, LPARAM lp) {
  UINT_PTR cf = 0, aItem = 0;
  UnpackDDElParam(WM_DDE_REQUEST, lp, &cf, &aItem);
  FreeDDElParam(WM_DDE_REQUEST, lp);
  ++stats_.requests;
  const std::string item = AnsiToUtf8(AtomText(static_cast<ATOM>(aItem)));
  bool ok = false;
  std::string text;
  if (cf == CF_TEXT) {
    if (!c.wb) {
      text = SystemItem(item, ok);
    } else if (auto p = ParseR1C1(item)) {
      text = c.wb->Text(c.sheet, *p);
      ok = true;
    }
  }
  if (!ok) {
    Ack(c, false, aItem, WM_DDE_REQUEST);
    return;
  }
  HGLOBAL h = MakeData(text, true, false);
  if (!h) {
    Ack(c, false, aItem, WM_DDE_REQUEST);
    return;
  }
  // The reply carries the client's own item atom back.
  LPARAM out = PackDDElParam(WM_DDE_DATA, reinterpret_cast<UINT_PTR>(h), aItem);
  if (!PostMessageA(c.client, WM_DDE_DATA, reinterpret_cast<WPARAM>(c.hwnd), out)) {
    ++stats_.postFailures;
    FreeDDElParam(WM_DDE_DATA, out);
    GlobalFree(h);
    GlobalDeleteAtom(static_cast<ATOM>(aItem));
    return;
  }
  ++stats_.dataPosted;
  ReleasePosted(h);
}

void DdeServer::OnPoke(Conv& c, LPARAM lp) {
  UINT_PTR hData = 0, aItem = 0;
  UnpackDDElParam(WM_DDE_POKE, lp, &hData, &aItem);
  FreeDDElParam(WM_DDE_POKE, lp);
  ++stats_.pokes;
  const std::string item = AnsiToUtf8(AtomText(static_cast<ATOM>(aItem)));
  auto h = reinterpret_cast<HGLOBAL>(hData);
  bool ok = false, release = false;
  std::string text;
  auto pos = ParseR1C1(item);
  if (h && c.wb && pos) {
    const SIZE_T total = GlobalSize(h);
    if (auto* p = static_cast<const uint8_t*>(GlobalLock(h))) {
      if (auto poke = dde::ReadPokeBlock(p, total)) {
        release = poke->release;
        if (poke->isText) {
          text = AnsiToUtf8(poke->text);
          ok = true;
        }
      }
      GlobalUnlock(h);
    }
  }
  if (ok) {
    std::string error;
    // Hot links of cells the poke changes follow the acknowledgement, not precede it.
    holding_ = true;
    ok = c.wb->SetEntry(c.sheet, *pos, text, error);
    holding_ = false;
  }
  Ack(c, ok, aItem, WM_DDE_POKE);
  if (ok && release) GlobalFree(h);  // positive ACK: the receiver frees fRelease data
  FlushHeld();
}

void DdeServer::OnAdvise(Conv& c, LPARAM lp) {
  UINT_PTR hOptions = 0, aItem = 0;
  UnpackDDElParam(WM_DDE_ADVISE, lp, &hOptions, &aItem);
  FreeDDElParam(WM_DDE_ADVISE, lp);
  ++stats_.advises;
  const std::string item = AnsiToUtf8(AtomText(static_cast<ATOM>(aItem)));
  auto h = reinterpret_cast<HGLOBAL>(hOptions);
  bool ok = false, defer = false, ackReq = false;
  auto pos = ParseR1C1(item);
  if (h && c.wb && pos) {
    const SIZE_T total = GlobalSize(h);
    if (auto* p = static_cast<const uint8_t*>(GlobalLock(h))) {
      auto a = dde::ReadAdviseBlock(p, total);
      if (a && a->format == dde::kCfText) {
        ok = true;
        defer = a->deferUpd;
        ackReq = a->ackReq;
      }
      GlobalUnlock(h);
    }
  }
  if (ok) {
    RemoveLinks(c, &item);
    Link l{&c, *pos, item, defer, ackReq};
    l.lastText = c.wb->Text(c.sheet, *pos);
    links_.push_back(std::move(l));
    auto it = std::prev(links_.end());
    byCell_.emplace(LinkKey{c.wb, c.sheet, pos->row, pos->col}, it);
  }
  Ack(c, ok, aItem, WM_DDE_ADVISE);
  if (ok) GlobalFree(h);  // positive ACK: the receiver frees hOptions
}

void DdeServer::OnUnadvise(Conv& c, LPARAM lp) {
  UINT_PTR cf = 0, aItem = 0;
  UnpackDDElParam(WM_DDE_UNADVISE, lp, &cf, &aItem);
  FreeDDElParam(WM_DDE_UNADVISE, lp);
  ++stats_.unadvises;
  bool ok = true;
  if (cf != 0 && cf != CF_TEXT) ok = false;
  if (ok) {
    const size_t before = links_.size();
    if (aItem) {
      const std::string item = AnsiToUtf8(AtomText(static_cast<ATOM>(aItem)));
      RemoveLinks(c, &item);
    } else {
      RemoveLinks(c, nullptr);
    }
    // Unadvising a link that does not exist is refused, as DDEML servers do.
    if (aItem && links_.size() == before) ok = false;
  }
  Ack(c, ok, aItem, WM_DDE_UNADVISE);
}

void DdeServer::OnExecute(Conv& c, LPARAM lp) {
  auto h = reinterpret_cast<HGLOBAL>(lp);
  ++stats_.executes;
  std::string cmd;
  if (h) {
    const SIZE_T n = GlobalSize(h);
    if (auto* p = static_cast<const uint8_t*>(GlobalLock(h))) {
      // A Unicode client's command (IsWindowUnicode partner) comes as UTF-16.
      const dde::CommandText text = dde::ReadExecuteBlock(p, n);
      cmd = text.wide ? WideToUtf8Text(text.utf16) : AnsiToUtf8(text.ansi);
      GlobalUnlock(h);
    }
  }
  std::string error;
  holding_ = true;
  bool ok = Execute(cmd, error);
  holding_ = false;
  // The client frees its command memory when the acknowledgement comes back.
  Ack(c, ok, reinterpret_cast<UINT_PTR>(h), WM_DDE_EXECUTE);
  FlushHeld();
}

bool DdeServer::Execute(const std::string& commands, std::string& error) {
  std::string s = Trim(commands);
  if (s.empty()) {
    error = "empty command";
    return false;
  }
  // Each command runs as soon as it is read: a fault in a later one leaves the earlier done.
  size_t i = 0;
  dde::Command one;
  for (;;) {
    const dde::Step step = dde::NextCommand(s, i, one, error);
    if (step == dde::Step::Done) return true;
    if (step == dde::Step::Error) return false;
    const std::string& name = one.name;
    if (SameName(name, "CALCULATE") || SameName(name, "CALCULATE.NOW") || SameName(name, "CALCULATE.DOCUMENT")) {
      books_.Calculate();
    } else if (SameName(name, "RUN")) {
      if (!books_.RunMacro(dde::MacroName(one.args), error)) return false;
    } else {
      error = "unknown command " + name;
      return false;
    }
  }
}

void DdeServer::OnDataAck(Conv& c, LPARAM lp) {
  UINT_PTR status = 0, aItem = 0;
  UnpackDDElParam(WM_DDE_ACK, lp, &status, &aItem);
  FreeDDElParam(WM_DDE_ACK, lp);
  const ATOM atom = static_cast<ATOM>(aItem);
  const bool positive = (status & 0x8000) != 0;
  // One acknowledgement comes per update, thousands a second: the link is found by the atom it
  // was sent with (the client sends it back), without asking the atom table for the name.
  Link* link = nullptr;
  if (auto found = awaiting_.find({&c, atom}); found != awaiting_.end()) {
    link = found->second;
  } else {
    const std::string item = AnsiToUtf8(AtomText(atom));
    auto [first, last] = LinksOf(c, item);
    for (auto it = first; it != last && !link; ++it)
      if (it->second->conv == &c && it->second->awaitingAck && SameName(it->second->item, item))
        link = &*it->second;
  }
  if (!link) {
    if (atom) GlobalDeleteAtom(atom);
    return;
  }
  Link& l = *link;
  // The reference the acknowledgement brought back is kept for the link's next update, which
  // then needs no new one: two calls into Wine's atom table fewer per update.
  if (atom && atom == l.postedAtom && !l.spareAtom) {
    l.spareAtom = atom;
  } else if (atom) {
    GlobalDeleteAtom(atom);
  }
  awaiting_.erase({&c, l.postedAtom});
  if (!positive && l.unacked) GlobalFree(l.unacked);  // refused: the sender frees
  l.unacked = nullptr;
  l.awaitingAck = false;
  if (l.resend) {
    l.resend = false;
    SendAdvise(l);
  }
}

void DdeServer::OnTerminate(Conv& c) {
  // The conversation's links, and the atom references and data they hold, are given back before
  // the reply: a client that has the reply finds nothing of the conversation left here.
  RemoveLinks(c, nullptr);
  if (!c.terminating) {
    PostMessageA(c.client, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(c.hwnd), 0);
    ++stats_.terminates;
  }
  DestroyConv(&c);
}

void DdeServer::Terminate(Conv& c) {
  if (c.terminating) return;
  c.terminating = true;
  RemoveLinks(c, nullptr);
  ++stats_.terminates;
  if (!PostMessageA(c.client, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(c.hwnd), 0)) {
    ++stats_.postFailures;
    DestroyConv(&c);  // the client is gone: no reply will come
  }
}

void DdeServer::DestroyConv(Conv* c) {
  RemoveLinks(*c, nullptr);
  convs_.erase(std::remove(convs_.begin(), convs_.end(), c), convs_.end());
  HWND h = c->hwnd;
  delete c;
  if (h) DestroyWindow(h);
}

DdeServer::LinkRange DdeServer::LinksOf(const Conv& c, const std::string& item) {
  // A link's item always names a cell of its conversation's sheet (advises of other items are
  // refused), so only the links of that cell can carry this name.
  auto pos = ParseR1C1(item);
  if (!pos || !c.wb) return {byCell_.end(), byCell_.end()};
  return byCell_.equal_range(LinkKey{c.wb, c.sheet, pos->row, pos->col});
}

void DdeServer::RemoveLinks(Conv& c, const std::string* item) {
  auto [it, last] = item ? LinksOf(c, *item) : LinkRange{byCell_.begin(), byCell_.end()};
  while (it != last) {
    Link& l = *it->second;
    if (l.conv == &c && (!item || SameName(l.item, *item))) {
      if (l.unacked) GlobalFree(l.unacked);
      if (l.spareAtom) GlobalDeleteAtom(l.spareAtom);
      if (l.awaitingAck) awaiting_.erase({l.conv, l.postedAtom});
      held_.erase(std::remove(held_.begin(), held_.end(), &l), held_.end());
      links_.erase(it->second);
      it = byCell_.erase(it);
    } else {
      ++it;
    }
  }
}

void DdeServer::SendAdvise(Link& l) {
  Conv& c = *l.conv;
  if (c.terminating || !c.wb) return;
  if (l.awaitingAck) {
    l.resend = true;  // the latest text goes out when the client has acknowledged the last
    return;
  }
  HGLOBAL h = nullptr;
  if (!l.defer) {
    h = MakeData(l.lastText, false, l.ackReq);
    if (!h) return;
  }
  HGLOBAL kept = nullptr;
  const ATOM reference = l.spareAtom;
  l.spareAtom = 0;  // the message owns it now (and frees it should the post fail)
  if (PostData(c, h, l.item, l.ackReq, &kept, &l.postedAtom, reference) && l.ackReq) {
    l.awaitingAck = true;
    l.unacked = kept;
    awaiting_[{&c, l.postedAtom}] = &l;
  }
}

void DdeServer::CellsChanged(Workbook& wb, const std::vector<CellChange>& cells) {
  if (byCell_.empty()) return;
  for (const auto& ch : cells) {
    auto range = byCell_.equal_range(LinkKey{&wb, ch.sheet, ch.pos.row, ch.pos.col});
    if (range.first == range.second) continue;
    const std::string text = wb.Text(ch.sheet, ch.pos);
    for (auto it = range.first; it != range.second; ++it) {
      Link& l = *it->second;
      if (l.lastText == text) continue;
      l.lastText = text;
      if (holding_) {
        if (std::find(held_.begin(), held_.end(), &l) == held_.end()) held_.push_back(&l);
      } else {
        SendAdvise(l);
      }
    }
  }
}

void DdeServer::FlushHeld() {
  std::vector<Link*> now;
  now.swap(held_);
  for (Link* l : now) SendAdvise(*l);
}

void DdeServer::WorkbookClosing(Workbook& wb) {
  for (Conv* c : std::vector<Conv*>(convs_))
    if (c->wb == &wb) {
      Terminate(*c);
      if (std::find(convs_.begin(), convs_.end(), c) != convs_.end()) c->wb = nullptr;
    }
}

std::string DdeServer::TopicList() const {
  std::string out;
  std::vector<std::string> seen;
  for (int b = 0; b < books_.Count(); ++b) {
    Workbook* wb = books_.At(b);
    for (int s = 0; s < wb->SheetCount(); ++s) {
      std::string name = wb->SheetName(s);
      bool dup = false;
      for (auto& n : seen) dup = dup || SameName(n, name);
      if (dup) name = "[" + wb->Name() + "]" + name;
      seen.push_back(wb->SheetName(s));
      out += name + "\t";
    }
  }
  return out + kSystemTopic;
}

std::string DdeServer::SystemItem(const std::string& item, bool& ok) const {
  ok = true;
  if (SameName(item, "Topics")) return TopicList();
  if (SameName(item, "SysItems")) return "SysItems\tTopics\tStatus\tFormats";
  if (SameName(item, "Formats")) return "TEXT";
  if (SameName(item, "Status")) return "Ready";
  ok = false;
  return "";
}

}  // namespace wbs
