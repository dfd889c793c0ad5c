// Test-side helpers for driving WorkbookServer from another process, as Tessarel does: its
// automation object through late-bound IDispatch calls, and its DDE service through bare DDE
// messages from a window of our own.
#pragma once
#include <windows.h>
#include <dde.h>

#include <common/Kit.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>
#include <deque>
#include <optional>
#include <string>

namespace wbs_test {

using common::ComPtr;
using common::Variant;

inline bool OnWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

inline common::WString W(const std::string& s) { return common::Utf8ToWide(s); }
inline const OLECHAR* O(const common::WString& s) { return common::Ole(s); }

// A property or method result through IDispatch; throws on failure with the server's text.
inline Variant Get(IDispatch* d, const char* name, std::initializer_list<Variant> args = {}) {
  Variant r;
  common::ExcepInfo ex;
  common::WString n = W(name);
  HRESULT hr = common::GetProperty(d, O(n), &r, args, &ex);
  if (FAILED(hr))
    throw common::ComError(hr == DISP_E_EXCEPTION ? ex.Code() : hr,
                           std::string(name) + ": " + common::WideToUtf8(ex.Description()));
  return r;
}
inline Variant Call(IDispatch* d, const char* name, std::initializer_list<Variant> args = {}) {
  Variant r;
  common::ExcepInfo ex;
  common::WString n = W(name);
  HRESULT hr = common::CallMethod(d, O(n), args, &r, &ex);
  if (FAILED(hr))
    throw common::ComError(hr == DISP_E_EXCEPTION ? ex.Code() : hr,
                           std::string(name) + ": " + common::WideToUtf8(ex.Description()));
  return r;
}
inline void Put(IDispatch* d, const char* name, const Variant& v) {
  common::ExcepInfo ex;
  common::WString n = W(name);
  HRESULT hr = common::PutProperty(d, O(n), v, {}, &ex);
  if (FAILED(hr))
    throw common::ComError(hr == DISP_E_EXCEPTION ? ex.Code() : hr,
                           std::string(name) + ": " + common::WideToUtf8(ex.Description()));
}
// The HRESULT a call fails with (S_OK when it does not fail).
template <class F>
HRESULT FailureOf(F&& f) {
  try {
    f();
    return S_OK;
  } catch (const common::ComError& e) {
    return e.hr();
  }
}
inline ComPtr<IDispatch> Obj(const Variant& v) {
  if (V_VT(&v) != VT_DISPATCH || !V_DISPATCH(&v)) throw std::runtime_error("not an object");
  return ComPtr<IDispatch>(V_DISPATCH(&v));
}
inline std::string Str(const Variant& v) {
  Variant s;
  if (FAILED(VariantChangeType(&s, const_cast<Variant*>(&v), 0, VT_BSTR))) return "<" + std::to_string(V_VT(&v)) + ">";
  return common::OleToUtf8(V_BSTR(&s));
}
inline long Long(const Variant& v) {
  Variant s;
  if (FAILED(VariantChangeType(&s, const_cast<Variant*>(&v), 0, VT_I4))) throw std::runtime_error("not a number");
  return V_I4(&s);
}

inline double Dbl(const Variant& v) {
  Variant s;
  if (FAILED(VariantChangeType(&s, const_cast<Variant*>(&v), 0, VT_R8))) throw std::runtime_error("not a number");
  return V_R8(&s);
}

// A new "Excel.Application" (a process of its own).
inline ComPtr<IDispatch> NewExcel() {
  CLSID clsid;
  common::ThrowIfFailed(CLSIDFromProgID(L"Excel.Application", &clsid), "Excel.Application is not registered");
  ComPtr<IDispatch> app;
  common::ThrowIfFailed(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, app.PutVoid()),
                        "CoCreateInstance(Excel.Application)");
  return app;
}

// A folder of our own for files both processes reach (the prefix's temp folder).
inline std::string ScratchFolder(const std::string& name) {
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  std::string dir = std::string(tmp) + name + "-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir + "\\";
}

inline bool WaitProcessGone(DWORD pid, DWORD ms) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return true;
  DWORD r = WaitForSingleObject(h, ms);
  CloseHandle(h);
  return r == WAIT_OBJECT_0;
}

// Runs the message loop for up to `ms` (COM and DDE both arrive as messages).
inline void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(end - now) <= 0) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
  }
}

// A DDE client conversation spoken in bare messages. All data it receives it frees as the
// receiver; all data it posts it frees when refused, and right after posting under Wine (which
// copies posted data and never frees the sender's handle).
class DdeClient {
 public:
  struct Msg {
    UINT msg;
    HWND from;
    LPARAM lp;
  };

  DdeClient() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "WbsTestDdeClient";
    RegisterClassA(&wc);
    hwnd_ = CreateWindowExA(0, "WbsTestDdeClient", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~DdeClient() {
    if (server_ && !terminated_) Terminate();
    Drain();
    DestroyWindow(hwnd_);
  }
  DdeClient(const DdeClient&) = delete;
  DdeClient& operator=(const DdeClient&) = delete;

  HWND Server() const { return server_; }
  bool Terminated() const { return terminated_; }

  bool Connect(const std::string& app, const std::string& topic) {
    ATOM a = app.empty() ? 0 : GlobalAddAtomA(app.c_str());
    ATOM t = topic.empty() ? 0 : GlobalAddAtomA(topic.c_str());
    initiating_ = true;
    acks_.clear();
    DWORD_PTR ignored;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(hwnd_), MAKELPARAM(a, t),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    initiating_ = false;
    if (a) GlobalDeleteAtom(a);
    if (t) GlobalDeleteAtom(t);
    // Keep the first answer; every other server conversation is ended at once.
    for (size_t i = 0; i < acks_.size(); ++i) {
      if (i == 0) {
        server_ = acks_[i];
      } else {
        PostMessageA(acks_[i], WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(hwnd_), 0);
      }
    }
    extraAnswers_ = acks_.size() > 0 ? acks_.size() - 1 : 0;
    return server_ != nullptr;
  }
  size_t ExtraAnswers() const { return extraAnswers_; }
  const std::vector<std::string>& AnsweredTopics() const { return topics_; }

  std::optional<std::string> Request(const std::string& item, UINT cf = CF_TEXT) {
    ATOM a = GlobalAddAtomA(item.c_str());
    if (!Post(WM_DDE_REQUEST, PackDDElParam(WM_DDE_REQUEST, cf, a))) return std::nullopt;
    auto m = WaitFor([&](const Msg& x) { return (x.msg == WM_DDE_DATA && IsResponse(x)) || x.msg == WM_DDE_ACK; });
    if (!m) return std::nullopt;
    if (m->msg == WM_DDE_ACK) {
      ReadAck(*m);  // refused
      return std::nullopt;
    }
    return TakeData(*m, nullptr);
  }

  bool Poke(const std::string& item, const std::string& text, UINT cf = CF_TEXT) {
    const SIZE_T size = offsetof(DDEPOKE, Value) + text.size() + 1;
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, size);
    auto* p = static_cast<DDEPOKE*>(GlobalLock(h));
    std::memset(p, 0, offsetof(DDEPOKE, Value));
    p->fRelease = 1;
    p->cfFormat = static_cast<short>(cf);
    std::memcpy(p->Value, text.c_str(), text.size() + 1);
    GlobalUnlock(h);
    ATOM a = GlobalAddAtomA(item.c_str());
    if (!Post(WM_DDE_POKE, PackDDElParam(WM_DDE_POKE, reinterpret_cast<UINT_PTR>(h), a), h)) return false;
    auto m = WaitFor([](const Msg& x) { return x.msg == WM_DDE_ACK; });
    if (!m) return false;
    const bool ok = ReadAck(*m);
    if (!ok && !OnWine()) GlobalFree(h);  // refused: the sender frees
    return ok;
  }

  bool Advise(const std::string& item, bool ackReq = false, bool defer = false, UINT cf = CF_TEXT) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof(DDEADVISE));
    auto* o = static_cast<DDEADVISE*>(GlobalLock(h));
    std::memset(o, 0, sizeof *o);
    o->fAckReq = ackReq;
    o->fDeferUpd = defer;
    o->cfFormat = static_cast<short>(cf);
    GlobalUnlock(h);
    ATOM a = GlobalAddAtomA(item.c_str());
    if (!Post(WM_DDE_ADVISE, PackDDElParam(WM_DDE_ADVISE, reinterpret_cast<UINT_PTR>(h), a), h)) return false;
    auto m = WaitFor([](const Msg& x) { return x.msg == WM_DDE_ACK; });
    if (!m) return false;
    const bool ok = ReadAck(*m);
    if (!ok && !OnWine()) GlobalFree(h);
    return ok;
  }

  bool Unadvise(const std::string& item) {
    ATOM a = item.empty() ? 0 : GlobalAddAtomA(item.c_str());
    if (!Post(WM_DDE_UNADVISE, PackDDElParam(WM_DDE_UNADVISE, CF_TEXT, a))) return false;
    auto m = WaitFor([](const Msg& x) { return x.msg == WM_DDE_ACK; });
    return m && ReadAck(*m);
  }

  bool Execute(const std::string& command) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, command.size() + 1);
    std::memcpy(GlobalLock(h), command.c_str(), command.size() + 1);
    GlobalUnlock(h);
    if (!PostMessageA(server_, WM_DDE_EXECUTE, reinterpret_cast<WPARAM>(hwnd_), reinterpret_cast<LPARAM>(h))) {
      GlobalFree(h);
      return false;
    }
    auto m = WaitFor([](const Msg& x) { return x.msg == WM_DDE_ACK; });
    if (!m) {
      GlobalFree(h);
      return false;
    }
    UINT_PTR status = 0, hi = 0;
    UnpackDDElParam(WM_DDE_ACK, m->lp, &status, &hi);
    FreeDDElParam(WM_DDE_ACK, m->lp);
    GlobalFree(h);  // the command memory is ours again once acknowledged
    return (status & 0x8000) != 0;
  }

  // The next hot-link data (item and text); nullopt when none comes within `ms`.
  std::optional<std::pair<std::string, std::string>> NextAdvise(DWORD ms = 5000) {
    auto m = WaitFor([](const Msg& x) { return x.msg == WM_DDE_DATA && !IsResponse(x); }, ms);
    if (!m) return std::nullopt;
    std::string item;
    std::string text = TakeData(*m, &item);
    return std::make_pair(item, text);
  }
  size_t PendingAdvises() {
    Pump(0);
    size_t n = 0;
    for (auto& m : inbox_) n += m.msg == WM_DDE_DATA;
    return n;
  }

  // Waits for the server's TERMINATE; answers it when the server began the ending.
  bool WaitTerminate(DWORD ms = 5000) {
    if (terminated_) return true;
    bool got = WaitFor([](const Msg& x) { return x.msg == WM_DDE_TERMINATE; }, ms).has_value();
    if (got && !ending_) PostMessageA(server_, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(hwnd_), 0);
    return got;
  }

  void Terminate() {
    if (!server_ || terminated_) return;
    ending_ = true;
    PostMessageA(server_, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(hwnd_), 0);
    WaitTerminate(3000);
    terminated_ = true;
  }

  std::optional<Msg> WaitFor(const std::function<bool(const Msg&)>& pred, DWORD ms = 5000) {
    const DWORD end = GetTickCount() + ms;
    for (;;) {
      for (auto it = inbox_.begin(); it != inbox_.end(); ++it)
        if (pred(*it)) {
          Msg m = *it;
          inbox_.erase(it);
          if (m.msg == WM_DDE_TERMINATE) terminated_ = true;
          return m;
        }
      const DWORD now = GetTickCount();
      if (static_cast<LONG>(end - now) <= 0) return std::nullopt;
      MSG w;
      if (PeekMessageA(&w, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&w);
        DispatchMessageA(&w);
      } else {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
      }
    }
  }

 private:
  static bool IsResponse(const Msg& x) {
    UINT_PTR h = 0, a = 0;
    UnpackDDElParam(WM_DDE_DATA, x.lp, &h, &a);
    if (!h) return false;
    auto* d = static_cast<DDEDATA*>(GlobalLock(reinterpret_cast<HGLOBAL>(h)));
    bool r = d && d->fResponse;
    GlobalUnlock(reinterpret_cast<HGLOBAL>(h));
    return r;
  }

  bool Post(UINT msg, LPARAM lp, HGLOBAL data = nullptr) {
    if (!PostMessageA(server_, msg, reinterpret_cast<WPARAM>(hwnd_), lp)) {
      UINT_PTR lo = 0, hi = 0;
      UnpackDDElParam(msg, lp, &lo, &hi);
      FreeDDElParam(msg, lp);
      if (hi) GlobalDeleteAtom(static_cast<ATOM>(hi));
      if (data) GlobalFree(data);
      return false;
    }
    if (data && OnWine()) GlobalFree(data);
    return true;
  }

  bool ReadAck(const Msg& m) {
    UINT_PTR status = 0, a = 0;
    UnpackDDElParam(WM_DDE_ACK, m.lp, &status, &a);
    FreeDDElParam(WM_DDE_ACK, m.lp);
    if (a) GlobalDeleteAtom(static_cast<ATOM>(a));
    return (status & 0x8000) != 0;
  }

  // The text of received data (CR LF and NUL removed); frees it as the receiver.
  std::string TakeData(const Msg& m, std::string* item) {
    UINT_PTR h = 0, a = 0;
    UnpackDDElParam(WM_DDE_DATA, m.lp, &h, &a);
    FreeDDElParam(WM_DDE_DATA, m.lp);
    char name[256] = {0};
    if (a) GlobalGetAtomNameA(static_cast<ATOM>(a), name, sizeof name);
    if (item) *item = name;
    std::string text;
    bool release = false, ackReq = false;
    if (h) {
      auto hg = reinterpret_cast<HGLOBAL>(h);
      const SIZE_T n = GlobalSize(hg);
      auto* d = static_cast<DDEDATA*>(GlobalLock(hg));
      release = d->fRelease;
      ackReq = d->fAckReq;
      SIZE_T len = 0;
      const SIZE_T cap = n > offsetof(DDEDATA, Value) ? n - offsetof(DDEDATA, Value) : 0;
      while (len < cap && d->Value[len]) ++len;
      text.assign(reinterpret_cast<const char*>(d->Value), len);
      lastRaw_ = text;
      GlobalUnlock(hg);
      if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
      if (ackReq) {
        PostMessageA(server_, WM_DDE_ACK, reinterpret_cast<WPARAM>(hwnd_), PackDDElParam(WM_DDE_ACK, 0x8000, a));
        a = 0;  // the atom goes back with the ACK
      }
      if (release) GlobalFree(hg);
    }
    if (a) GlobalDeleteAtom(static_cast<ATOM>(a));
    return text;
  }

 public:
  // The raw text of the last data received (with its CR LF), to check the wire format.
  std::string lastRaw_;

 private:
  void Drain() {
    Pump(50);
    for (auto& m : inbox_) {
      if (m.msg == WM_DDE_DATA) TakeData(m, nullptr);
      else if (m.msg == WM_DDE_ACK) ReadAck(m);
    }
    inbox_.clear();
  }

  static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<DdeClient*>(GetWindowLongPtrA(h, GWLP_USERDATA));
    if (!self || msg < WM_DDE_FIRST || msg > WM_DDE_LAST) return DefWindowProcA(h, msg, wp, lp);
    if (msg == WM_DDE_ACK && self->initiating_) {
      // Answer to our INITIATE (sent, not posted): the server window and two atoms we delete.
      char topic[256] = {0};
      GlobalGetAtomNameA(HIWORD(lp), topic, sizeof topic);
      self->topics_.push_back(topic);
      self->acks_.push_back(reinterpret_cast<HWND>(wp));
      GlobalDeleteAtom(LOWORD(lp));
      GlobalDeleteAtom(HIWORD(lp));
      return 0;
    }
    self->inbox_.push_back(Msg{msg, reinterpret_cast<HWND>(wp), lp});
    return 0;
  }

  HWND hwnd_ = nullptr;
  HWND server_ = nullptr;
  bool initiating_ = false;
  bool terminated_ = false;
  bool ending_ = false;
  size_t extraAnswers_ = 0;
  std::vector<HWND> acks_;
  std::vector<std::string> topics_;
  std::deque<Msg> inbox_;
};

}  // namespace wbs_test
