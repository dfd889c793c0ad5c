// Objects built with the kit, used directly in this process: reference counting, the
// QueryInterface table, class factories and module counts, IDispatch through the type library
// (embedded in this test program), connection points, enumerators.
#include <gtest/gtest.h>

#include "KitCalc.h"
#include "TestSupport.h"

#include <vector>

using namespace common;
using Calc = kittest::KitCalc;

namespace {

class Persisted final : public ComObject<Persisted, IKitNotify, IPersistStream,
                                         Alias<IPersist, IPersistStream>> {
 public:
  STDMETHODIMP Notify(LONG value) override {
    last = value;
    return S_OK;
  }
  STDMETHODIMP GetClassID(CLSID* id) override {
    *id = CLSID_KitCalc;
    return S_OK;
  }
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
  STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
  LONG last = 0;
};

class FailsToConstruct final : public ComObject<FailsToConstruct, IKitNotify> {
 public:
  HRESULT FinalConstruct() { return E_ACCESSDENIED; }
  STDMETHODIMP Notify(LONG) override { return S_OK; }
};

class ThrowsInConstructor final : public ComObject<ThrowsInConstructor, IKitNotify> {
 public:
  ThrowsInConstructor() { throw std::bad_alloc(); }
  STDMETHODIMP Notify(LONG) override { return S_OK; }
};

TEST(ComObject, ReferenceCountingAndModuleCount) {
  LONG before = Module::Count();
  {
    ComPtr<Persisted> p = Make<Persisted>();
    EXPECT_EQ(p->RefCount(), 1u);
    EXPECT_EQ(Module::Count(), before + 1);
    EXPECT_EQ(p->AddRef(), 2u);
    EXPECT_EQ(p->Release(), 1u);
    ComPtr<IKitNotify> n = p;
    EXPECT_EQ(p->RefCount(), 2u);
  }
  EXPECT_EQ(Module::Count(), before);
}

TEST(ComObject, QueryInterfaceTableAndIdentity) {
  ComPtr<Persisted> p = Make<Persisted>();
  ComPtr<IKitNotify> notify;
  ComPtr<IPersistStream> stream;
  ComPtr<IPersist> persist;
  ASSERT_EQ(p.As(&notify), S_OK);
  ASSERT_EQ(p.As(&stream), S_OK);
  ASSERT_EQ(p.As(&persist), S_OK);  // through the alias
  EXPECT_EQ(static_cast<IPersist*>(stream.Get()), persist.Get());

  ComPtr<IUnknown> u1, u2, u3;
  notify.As(&u1);
  stream.As(&u2);
  persist.As(&u3);
  EXPECT_EQ(u1.Get(), u2.Get());
  EXPECT_EQ(u2.Get(), u3.Get());
  EXPECT_TRUE(SameObject(notify.Get(), stream.Get()));

  // Round trip: every interface reaches every other one.
  ComPtr<IKitNotify> back;
  EXPECT_EQ(persist.As(&back), S_OK);
  EXPECT_EQ(back.Get(), notify.Get());

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(p->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(p->QueryInterface(IID_IKitCalc, &out), E_NOINTERFACE);
  EXPECT_EQ(p->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(p->RefCount(), 8u);  // each successful QueryInterface took exactly one reference
}

TEST(ComObject, CreationFailuresAreHResultsAndLeaveNothingAlive) {
  LONG before = Module::Count();
  IKitNotify* n = reinterpret_cast<IKitNotify*>(1);
  EXPECT_EQ(CreateObjectAs<FailsToConstruct>(&n), E_ACCESSDENIED);
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(CreateObjectAs<ThrowsInConstructor>(&n), E_OUTOFMEMORY);
  EXPECT_EQ(Module::Count(), before);
  EXPECT_EQ(CreateObject<Persisted>(IID_IKitCalc, reinterpret_cast<void**>(&n)), E_NOINTERFACE);
  EXPECT_EQ(Module::Count(), before);
}

TEST(ClassFactory, CreatesRefusesAggregationAndLocksTheModule) {
  LONG before = Module::Count();
  ComPtr<IClassFactory> f;
  ASSERT_EQ(ClassFactory<Persisted>::GetFactory(IID_IClassFactory, f.PutVoid()), S_OK);
  EXPECT_EQ(Module::Count(), before);  // factories do not keep a server alive
  ComPtr<IKitNotify> n;
  EXPECT_EQ(f->CreateInstance(nullptr, IID_IKitNotify, n.PutVoid()), S_OK);
  EXPECT_EQ(Module::Count(), before + 1);
  ComPtr<IUnknown> agg;
  EXPECT_EQ(f->CreateInstance(n.Get(), IID_IUnknown, agg.PutVoid()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(f->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  n.Reset();
  EXPECT_EQ(f->LockServer(TRUE), S_OK);
  EXPECT_EQ(Module::Count(), before + 1);
  EXPECT_EQ(DllCanUnloadNowFromModule(), Module::Count() == 0 ? S_OK : S_FALSE);
  EXPECT_EQ(f->LockServer(FALSE), S_OK);
  EXPECT_EQ(Module::Count(), before);

  const ClassEntry table[] = {{.clsid = &CLSID_KitCalc,
                               .getFactory = &ClassFactory<Persisted>::GetFactory}};
  ComPtr<IClassFactory> g;
  EXPECT_EQ(GetClassObjectFrom(table, CLSID_KitCalc, IID_IClassFactory, g.PutVoid()), S_OK);
  EXPECT_EQ(GetClassObjectFrom(table, CLSID_KitCalcLocal, IID_IClassFactory, g.PutVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(g);
}

TEST(ComObject, ModuleZeroHandlerRunsWhenTheLastObjectGoes) {
  static int calls = 0;
  calls = 0;
  ASSERT_EQ(Module::Count(), 0);
  Module::SetOnZero([](void*) { ++calls; }, nullptr);
  {
    ComPtr<Persisted> a = Make<Persisted>();
    ComPtr<Persisted> b = Make<Persisted>();
    a.Reset();
    EXPECT_EQ(calls, 0);
  }
  EXPECT_EQ(calls, 1);
  Module::SetOnZero(nullptr, nullptr);
}

// ---- IDispatch through the type library --------------------------------------------------

TEST(DispatchImpl, TypeInfoAndNames) {
  ComPtr<Calc> calc = Make<Calc>();
  ComPtr<IDispatch> d;
  ASSERT_EQ(calc.As(&d), S_OK);
  UINT count = 0;
  EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> ti;
  EXPECT_EQ(d->GetTypeInfo(1, 0, ti.GetAddressOf()), DISP_E_BADINDEX);
  ASSERT_EQ(d->GetTypeInfo(0, 0, ti.GetAddressOf()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(ti->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IKitCalc));
  ti->ReleaseTypeAttr(attr);

  DISPID id = 0;
  EXPECT_EQ(GetDispId(d.Get(), L"Add", &id), S_OK);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(GetDispId(d.Get(), L"add", &id), S_OK);  // names are case-insensitive
  EXPECT_EQ(GetDispId(d.Get(), L"NoSuchThing", &id), DISP_E_UNKNOWNNAME);
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"Concat"), const_cast<LPOLESTR>(L"second")};
  DISPID ids[2] = {0, 0};
  ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], 1);  // parameter index
  EXPECT_EQ(d->GetIDsOfNames(IID_IKitCalc, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST(DispatchImpl, InvokeBehavesAsAutomationClientsExpect) {
  ComPtr<Calc> calc = Make<Calc>();
  ComPtr<IDispatch> d;
  ASSERT_EQ(calc.As(&d), S_OK);
  kittest::ExpectDispatchBehaviour(d.Get());
}

// ---- connection points -------------------------------------------------------------------

TEST(ConnectionPoints, ContainerFindsAndEnumeratesItsPoints) {
  ComPtr<Calc> calc = Make<Calc>();
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(calc.As(&cpc), S_OK);
  ComPtr<IConnectionPoint> cp;
  EXPECT_EQ(cpc->FindConnectionPoint(IID_IKitCalc, cp.GetAddressOf()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(cpc->FindConnectionPoint(DIID__IKitCalcEvents, cp.GetAddressOf()), S_OK);
  IID iid;
  EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, DIID__IKitCalcEvents));
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(cp->GetConnectionPointContainer(back.GetAddressOf()), S_OK);
  EXPECT_TRUE(SameObject(back.Get(), calc->Unknown()));
  // The point is an object of its own, with its own identity, that keeps the container alive.
  EXPECT_FALSE(SameObject(cp.Get(), calc->Unknown()));

  ComPtr<IEnumConnectionPoints> e;
  ASSERT_EQ(cpc->EnumConnectionPoints(e.GetAddressOf()), S_OK);
  IConnectionPoint* got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  for (ULONG i = 0; i < fetched; ++i) Adopt(got[i]);

  ULONG before = calc->RefCount();
  cp.Reset();
  back.Reset();
  e.Reset();
  EXPECT_LT(calc->RefCount(), before);
}

TEST(ConnectionPoints, AdviseUnadviseFireAndErrors) {
  ComPtr<Calc> calc = Make<Calc>();
  kittest::ExpectConnectionPointBehaviour(calc->Unknown(), /*sameProcess=*/true);
}

// ---- enumerators -------------------------------------------------------------------------

TEST(Enumerators, EnumVariantNextSkipResetClone) {
  std::vector<Variant> items;
  for (int i = 1; i <= 5; ++i) items.emplace_back(i * 10);
  ComPtr<IEnumVARIANT> e;
  ASSERT_EQ(MakeEnumVariant(items, e.GetAddressOf()), S_OK);
  items.clear();  // a snapshot: later changes of the source are not seen

  Variant v[3];
  ULONG fetched = 0;
  ASSERT_EQ(e->Next(2, v, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(V_I4(&v[0]), 10);
  EXPECT_EQ(V_I4(&v[1]), 20);
  EXPECT_EQ(e->Skip(1), S_OK);
  ComPtr<IEnumVARIANT> c;
  ASSERT_EQ(e->Clone(c.GetAddressOf()), S_OK);
  v[0].Clear();
  v[1].Clear();
  ASSERT_EQ(e->Next(3, v, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(V_I4(&v[0]), 40);
  EXPECT_EQ(V_I4(&v[1]), 50);
  EXPECT_EQ(e->Next(1, v, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);

  // The clone kept the position it was made at, independent of the original.
  Variant one;
  EXPECT_EQ(c->Next(1, &one, nullptr), S_OK);  // Next(1) may omit the count
  EXPECT_EQ(V_I4(&one), 40);
  v[0].Clear();
  EXPECT_EQ(c->Next(2, v, nullptr), S_FALSE);  // only 50 was left
  EXPECT_EQ(V_I4(&v[0]), 50);
  EXPECT_EQ(c->Skip(10), S_FALSE);
  EXPECT_EQ(c->Next(1, &one, &fetched), S_FALSE);
  EXPECT_EQ(c->Reset(), S_OK);
  one.Clear();
  EXPECT_EQ(c->Next(1, &one, &fetched), S_OK);
  EXPECT_EQ(V_I4(&one), 10);
}

TEST(Enumerators, StringsUnknownsAndGuids) {
  ComPtr<IEnumString> s;
  ASSERT_EQ(MakeEnumString({FromOle(L"alpha"), FromOle(L"beta")}, s.GetAddressOf()), S_OK);
  LPOLESTR out[2] = {};
  ULONG n = 0;
  ASSERT_EQ(s->Next(2, out, &n), S_OK);
  EXPECT_EQ(FromOle(out[0]), FromOle(L"alpha"));
  EXPECT_EQ(FromOle(out[1]), FromOle(L"beta"));
  CoTaskMemFree(out[0]);
  CoTaskMemFree(out[1]);

  ComPtr<Persisted> obj = Make<Persisted>();
  ULONG refs = obj->RefCount();
  {
    ComPtr<IEnumUnknown> u;
    ASSERT_EQ(MakeEnumUnknown({ComPtr<IUnknown>(obj->Unknown())}, u.GetAddressOf()), S_OK);
    IUnknown* got = nullptr;
    ASSERT_EQ(u->Next(1, &got, nullptr), S_OK);
    EXPECT_EQ(got, obj->Unknown());
    Adopt(got);
  }
  EXPECT_EQ(obj->RefCount(), refs);  // every handed-out reference came back

  ComPtr<IEnumGUID> g;
  ASSERT_EQ(MakeEnumGuid({CLSID_KitCalc, CLSID_KitCalcLocal}, g.GetAddressOf()), S_OK);
  GUID ids[2];
  ASSERT_EQ(g->Next(2, ids, &n), S_OK);
  EXPECT_TRUE(IsEqualGUID(ids[1], CLSID_KitCalcLocal));
}

// ---- late-bound helpers and sinks ---------------------------------------------------------

TEST(DispatchSink, ArgumentsArriveInNaturalOrder) {
  std::vector<LONG> seen;
  DISPID lastId = 0;
  ComPtr<DispatchSink> sink = Make<DispatchSink>(
      DIID__IKitCalcEvents, [&](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) {
        lastId = id;
        for (VARIANT* a : args) seen.push_back(V_I4(a));
        return S_OK;
      });
  ComPtr<IDispatch> d;
  ASSERT_EQ(sink.As(&d), S_OK);
  ComPtr<IUnknown> asEvents;
  EXPECT_EQ(sink->QueryInterface(DIID__IKitCalcEvents, asEvents.PutVoid()), S_OK);
  EXPECT_EQ(DispatchInvoke(d.Get(), 7, DISPATCH_METHOD, {Variant(1), Variant(2), Variant(3)}), S_OK);
  EXPECT_EQ(lastId, 7);
  EXPECT_EQ(seen, (std::vector<LONG>{1, 2, 3}));

  // The handler's exceptions stay inside.
  ComPtr<DispatchSink> throwing = Make<DispatchSink>(
      DIID__IKitCalcEvents,
      [](DISPID, WORD, std::span<VARIANT* const>, VARIANT*) -> HRESULT { throw std::bad_alloc(); });
  EXPECT_EQ(DispatchInvoke(throwing.Get(), 1, DISPATCH_METHOD, {}), E_OUTOFMEMORY);
}

}  // namespace
