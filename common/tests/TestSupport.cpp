#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

using namespace common;

namespace kittest {
namespace {

// Every test thread is an STA, as the deliverables' UI threads are.
class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }
};
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);

WString Text(const VARIANT& v) {
  return V_VT(&v) == VT_BSTR ? FromOle(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : WString();
}

}  // namespace

std::string BinPath(const char* file) {
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  std::string p = std::string("Z:") + (bin ? bin : ".") + "/" + file;
  for (auto& c : p)
    if (c == '/') c = '\\';
  return p;
}

void ExpectDispatchBehaviour(IDispatch* d) {
  ASSERT_NE(d, nullptr);
  Variant r;
  // Positional arguments, natural order, and the result.
  ASSERT_EQ(CallMethod(d, L"Add", {Variant(2), Variant(40)}, &r), S_OK);
  EXPECT_EQ(r.Type(), VT_I4);
  EXPECT_EQ(V_I4(&r), 42);
  // Automation coerces what it can...
  ASSERT_EQ(CallMethod(d, L"Add", {Variant(L"12"), Variant(3)}, &r), S_OK);
  EXPECT_EQ(V_I4(&r), 15);
  // ...and names the argument it cannot (puArgErr counts in DISPPARAMS order: last first).
  DISPID add = 0;
  ASSERT_EQ(GetDispId(d, L"Add", &add), S_OK);
  UINT argErr = 99;
  EXPECT_EQ(DispatchInvoke(d, add, DISPATCH_METHOD, {Variant(L"twelve"), Variant(3)}, &r, nullptr,
                           &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);
  argErr = 99;
  EXPECT_EQ(DispatchInvoke(d, add, DISPATCH_METHOD, {Variant(1), Variant(L"three")}, &r, nullptr,
                           &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  HRESULT tooFew = DispatchInvoke(d, add, DISPATCH_METHOD, {Variant(1)}, &r);
  EXPECT_TRUE(tooFew == DISP_E_BADPARAMCOUNT || tooFew == DISP_E_PARAMNOTOPTIONAL)
      << HResultToString(tooFew);
  EXPECT_EQ(DispatchInvoke(d, add, DISPATCH_METHOD, {Variant(1), Variant(2), Variant(3)}, &r),
            DISP_E_BADPARAMCOUNT);
  // Unknown member, foreign riid.
  EXPECT_EQ(DispatchInvoke(d, 999, DISPATCH_METHOD, {}, &r), DISP_E_MEMBERNOTFOUND);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(d->Invoke(add, IID_IKitCalc, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);

  // Named arguments, given out of order: Concat(second:="B", first:="A").
  {
    DISPID concat = 0;
    ASSERT_EQ(GetDispId(d, L"Concat", &concat), S_OK);
    Variant args[2] = {Variant(L"B"), Variant(L"A")};
    DISPID named[2] = {1, 0};
    DISPPARAMS dp = {args, named, 2, 2};
    r.Clear();
    ASSERT_EQ(d->Invoke(concat, IID_NULL, 0, DISPATCH_METHOD, &dp, &r, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(r), FromOle(L"AB"));
    // Omitted optional argument.
    ASSERT_EQ(CallMethod(d, L"Concat", {Variant(L"A")}, &r), S_OK);
    EXPECT_EQ(Text(r), FromOle(L"A"));
    ASSERT_EQ(CallMethod(d, L"Concat", {Variant(L"A"), Variant(7)}, &r), S_OK);
    EXPECT_EQ(Text(r), FromOle(L"A7"));
  }

  // Property put and get.
  ASSERT_EQ(PutProperty(d, L"Name", Variant(L"zed")), S_OK);
  ASSERT_EQ(GetProperty(d, L"Name", &r), S_OK);
  EXPECT_EQ(Text(r), FromOle(L"zed"));

  // A failure with rich error text arrives as DISP_E_EXCEPTION with the EXCEPINFO filled in.
  {
    ExcepInfo ex;
    EXPECT_EQ(CallMethod(d, L"Fail", {Variant(static_cast<LONG>(E_INVALIDARG))}, &r, &ex),
              DISP_E_EXCEPTION);
    EXPECT_EQ(ex.Code(), E_INVALIDARG);
    EXPECT_EQ(ex.Description(), FromOle(L"Fail was asked to fail"));
  }
  // C++ exceptions inside a method never cross: each becomes its HRESULT.
  const struct {
    LONG kind;
    HRESULT hr;
  } thrown[] = {{0, E_OUTOFMEMORY}, {1, E_FAIL}, {2, E_ACCESSDENIED}, {3, DISP_E_BADINDEX}};
  for (auto t : thrown) {
    ExcepInfo ex;
    EXPECT_EQ(CallMethod(d, L"Throw", {Variant(t.kind)}, &r, &ex), DISP_E_EXCEPTION) << t.kind;
    EXPECT_EQ(ex.Code(), t.hr) << t.kind;
  }

  // _NewEnum hands out an IEnumVARIANT over the items.
  {
    r.Clear();
    ASSERT_EQ(DispatchInvoke(d, DISPID_NEWENUM, DISPATCH_PROPERTYGET, {}, &r), S_OK);
    ASSERT_EQ(r.Type(), VT_UNKNOWN);
    ComPtr<IEnumVARIANT> e;
    ASSERT_EQ(V_UNKNOWN(&r)->QueryInterface(IID_IEnumVARIANT, e.PutVoid()), S_OK);
    Variant items[4];
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(4, items, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    EXPECT_EQ(V_I4(&items[0]), 1);
    EXPECT_EQ(Text(items[1]), FromOle(L"two"));
    EXPECT_EQ(V_R8(&items[2]), 3.5);
  }

  // SAFEARRAY results keep their lower bound of 1.
  {
    ASSERT_EQ(CallMethod(d, L"Squares", {Variant(3)}, &r), S_OK);
    ASSERT_EQ(r.Type(), VT_ARRAY | VT_I4);
    SafeArray a;
    ASSERT_EQ(a.CopyFrom(V_ARRAY(&r)), S_OK);
    EXPECT_EQ(a.LowerBound(), 1);
    EXPECT_EQ(a.Count(), 3u);
    LONG v = 0;
    EXPECT_EQ(a.GetElement(3, &v), S_OK);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(CallMethod(d, L"Squares", {Variant(-1)}, &r, nullptr), DISP_E_EXCEPTION);
  }
}

void ExpectConnectionPointBehaviour(IUnknown* calc, bool sameProcess) {
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(calc->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()), S_OK);
  ComPtr<IConnectionPoint> events, notify;
  ASSERT_EQ(cpc->FindConnectionPoint(DIID__IKitCalcEvents, events.GetAddressOf()), S_OK);
  ASSERT_EQ(cpc->FindConnectionPoint(IID_IKitNotify, notify.GetAddressOf()), S_OK);
  ComPtr<IDispatch> d;
  ASSERT_EQ(calc->QueryInterface(IID_IDispatch, d.PutVoid()), S_OK);
  ASSERT_EQ(PutProperty(d.Get(), L"Name", Variant(L"calc")), S_OK);

  struct Event {
    LONG value;
    WString text;
  };
  std::vector<Event> seen;
  std::vector<LONG> notified;
  ComPtr<DispatchSink> sink = Make<DispatchSink>(
      DIID__IKitCalcEvents, [&](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) {
        if (id != 1 || args.size() != 2) return DISP_E_MEMBERNOTFOUND;
        seen.push_back({V_I4(args[0]), Text(*args[1])});
        return S_OK;
      });
  ComPtr<NotifySink> custom = Make<NotifySink>([&](LONG v) { notified.push_back(v); });

  // Errors: null sink, a sink without the point's interface, an unknown cookie.
  DWORD cookie = 77;
  EXPECT_EQ(events->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(notify->Advise(sink.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(events->Advise(custom.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(events->Unadvise(12345), CONNECT_E_NOCONNECTION);

  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(events->Advise(sink.Get(), &c1), S_OK);
  ASSERT_EQ(notify->Advise(custom.Get(), &c2), S_OK);
  EXPECT_NE(c1, 0u);

  Variant r;
  ASSERT_EQ(CallMethod(d.Get(), L"Fire", {Variant(5)}, &r), S_OK);
  EXPECT_EQ(V_I4(&r), 2);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].value, 5);
  EXPECT_EQ(seen[0].text, FromOle(L"calc"));
  EXPECT_EQ(notified, std::vector<LONG>{5});

  // EnumConnections lists the sink under its cookie.
  {
    ComPtr<IEnumConnections> e;
    ASSERT_EQ(events->EnumConnections(e.GetAddressOf()), S_OK);
    CONNECTDATA cd[2] = {};
    ULONG fetched = 0;
    if (sameProcess) {
      EXPECT_EQ(e->Next(2, cd, &fetched), S_FALSE);
      EXPECT_EQ(fetched, 1u);
      EXPECT_TRUE(SameObject(cd[0].pUnk, sink.Get()));
    } else {
      // Wine 8's IEnumConnections proxy hands the elements over but reports S_OK and leaves
      // garbage in *pcFetched; only the elements themselves are checked across processes.
      ASSERT_EQ(e->Next(1, cd, nullptr), S_OK);
    }
    EXPECT_EQ(cd[0].dwCookie, c1);
    if (cd[0].pUnk) cd[0].pUnk->Release();
  }

  // Unadvise of one cookie twice: the second is refused.
  EXPECT_EQ(notify->Unadvise(c2), S_OK);
  EXPECT_EQ(notify->Unadvise(c2), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(events->Unadvise(c1), S_OK);
  ASSERT_EQ(CallMethod(d.Get(), L"Fire", {Variant(6)}, &r), S_OK);
  EXPECT_EQ(V_I4(&r), 0);
  EXPECT_EQ(seen.size(), 1u);

  // Sinks unadvising during a fire: the first unadvises itself, the second unadvises the third,
  // which must not get the event it was removed from; the fire goes on to the fourth.
  DWORD k1 = 0, k2 = 0, k3 = 0, k4 = 0;
  std::vector<int> order;
  auto make = [&](int n, std::function<void()> also) {
    return Make<DispatchSink>(DIID__IKitCalcEvents,
                              [&order, n, also](DISPID, WORD, std::span<VARIANT* const>, VARIANT*) {
                                order.push_back(n);
                                if (also) also();
                                return S_OK;
                              });
  };
  auto s1 = make(1, [&] { EXPECT_EQ(events->Unadvise(k1), S_OK); });
  auto s2 = make(2, [&] {
    if (k3) {
      EXPECT_EQ(events->Unadvise(k3), S_OK);
    }
    k3 = 0;
  });
  auto s3 = make(3, nullptr);
  auto s4 = make(4, nullptr);
  ASSERT_EQ(events->Advise(s1.Get(), &k1), S_OK);
  ASSERT_EQ(events->Advise(s2.Get(), &k2), S_OK);
  ASSERT_EQ(events->Advise(s3.Get(), &k3), S_OK);
  ASSERT_EQ(events->Advise(s4.Get(), &k4), S_OK);
  s1.Reset();  // the point's reference is the only one left
  ASSERT_EQ(CallMethod(d.Get(), L"Fire", {Variant(7)}, &r), S_OK);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(V_I4(&r), 3);
  order.clear();
  ASSERT_EQ(CallMethod(d.Get(), L"Fire", {Variant(8)}, &r), S_OK);
  EXPECT_EQ(order, (std::vector<int>{2, 4}));
  EXPECT_EQ(events->Unadvise(k2), S_OK);
  EXPECT_EQ(events->Unadvise(k4), S_OK);
  EXPECT_EQ(events->Unadvise(k1), CONNECT_E_NOCONNECTION);
}

}  // namespace kittest
