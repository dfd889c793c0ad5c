// What the control's tests share: a host that creates Corvex as an application would (through
// its interfaces), on the recording DDEML, and an event sink that records every event in order.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Core.h"
#include "FakeDdeml.h"

namespace testhost {

using common::Bstr;
using common::ComPtr;
using common::Variant;

struct Event {
  DISPID id;
  std::vector<std::wstring> args;        // strings and numbers as text, objects as "obj"/"null"
  std::vector<ComPtr<IDispatch>> objects;  // object arguments, kept
};

// Records events; `onEvent` may act inside the handler (as a host's handler would).
class Recorder {
 public:
  std::vector<Event> events;
  std::function<void(const Event&)> onEvent;

  ComPtr<IDispatch> MakeSink() {
    auto sink = common::Make<common::DispatchSink>(
        DIID_DCorvexEvents, [this](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) {
          Event e{id, {}, {}};
          for (VARIANT* v : args) {
            if (V_VT(v) == VT_BSTR) {
              e.args.emplace_back(V_BSTR(v), SysStringLen(V_BSTR(v)));
            } else if (V_VT(v) == VT_DISPATCH) {
              e.args.push_back(V_DISPATCH(v) ? L"obj" : L"null");
              e.objects.emplace_back(V_DISPATCH(v));
            } else {
              Variant s;
              VariantChangeType(&s, v, 0, VT_BSTR);
              e.args.emplace_back(V_VT(&s) == VT_BSTR ? V_BSTR(&s) : L"?");
            }
          }
          events.push_back(e);
          if (onEvent) onEvent(events.back());
          return S_OK;
        });
    ComPtr<IDispatch> d;
    sink->QueryInterface(IID_IDispatch, d.PutVoid());
    return d;
  }
  std::vector<DISPID> Ids() const {
    std::vector<DISPID> out;
    for (auto& e : events) out.push_back(e.id);
    return out;
  }
};

inline std::wstring S(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }

// A host form with one Corvex on it, sinking its events.
class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    corvane::SetDdeml(&fake::Api());
    auto obj = common::Make<corvane::CorvexControl>();
    ASSERT_EQ(S_OK, obj->QueryInterface(IID_ICorvex, ctl.PutVoid()));
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_DCorvexEvents, cp.GetAddressOf()));
    ASSERT_EQ(S_OK, cp->Advise(rec.MakeSink().Get(), &cookie));
    ctl->put_FailedReturnString(Bstr(L"<Test failed return string>").Get());
    ctl->put_HandleEarlyAdvises(VARIANT_FALSE);
  }
  void TearDown() override {
    ComPtr<ILogFile> log;
    ctl->get_LogFile(log.GetAddressOf());
    log->Deactivate();
    VARIANT_BOOL ok;
    ctl->Uninitialise(&ok);
    cp->Unadvise(cookie);
    corvane::SetDdeml(nullptr);
  }

  bool Init() {
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, ctl->Initialise(&ok));
    return ok == VARIANT_TRUE;
  }
  std::wstring Connect(const wchar_t* service, const wchar_t* topic) {
    common::Bstr key;
    EXPECT_EQ(S_OK, ctl->Connect(Bstr(service).Get(), Bstr(topic).Get(), Variant(), key.ReleaseAndGetAddressOf()));
    return key.ToWide();
  }
  ComPtr<IConversation> Conv(const std::wstring& key) {
    ComPtr<IConversations> all;
    ctl->get_Conversations(all.GetAddressOf());
    ComPtr<IConversation> c;
    if (all) all->get_Conversation(Variant(key.c_str()), c.GetAddressOf());
    return c;
  }
  LONG Count() {
    ComPtr<IConversations> all;
    ctl->get_Conversations(all.GetAddressOf());
    LONG n = -1;
    if (all) all->get_Count(&n);
    return n;
  }
  HCONV HConv(IConversation* c) {
    LONG h = 0;
    c->get_hConv(&h);
    return corvane::FromH32<HCONV>(h);
  }
  std::wstring Failed() const { return L"<Test failed return string>"; }
  // Activates the log into a fresh file; returns its path.
  std::wstring StartLog(LONG options, bool stamp = false) {
    ComPtr<ILogFile> log;
    ctl->get_LogFile(log.GetAddressOf());
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + L"corvane_test_" + std::to_wstring(GetCurrentProcessId()) +
                        L"_" + std::to_wstring(++logNumber) + L".log";
    Variant name(path.c_str());
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, log->Activate(&name, VB(stamp), static_cast<LogFileOptionsEnum>(options), &ok));
    EXPECT_EQ(VARIANT_TRUE, ok);
    return path;
  }
  static VARIANT_BOOL VB(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }
  static std::string ReadAll(const std::wstring& path) {
    std::ifstream f(path.c_str(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  ComPtr<ICorvex> ctl;
  ComPtr<IConnectionPoint> cp;
  DWORD cookie = 0;
  Recorder rec;
  int logNumber = 0;
};

}  // namespace testhost
