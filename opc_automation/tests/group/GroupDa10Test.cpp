// The DA 1.0 stream path in this process against a fake DA 1.0 group: the two advises, streams
// handed to the group's IAdviseSink in HGLOBALs (also ones that lie about their size, in other
// media or formats), a completion that arrives and is handled inside the call that asked for it,
// and AsyncCancel raising its own event.
#include <gtest/gtest.h>

#include "FakeGroup10.h"
#include "GroupObject.h"
#include "Module.h"
#include "ServerObject.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

struct Event {
  DISPID id;
  std::vector<Variant> args;
};

class Recorder final : public common::ComObject<Recorder, IDispatch> {
 public:
  explicit Recorder(std::vector<Event>* log) : log_(log) {}
  HRESULT QueryInterfaceExtra(REFIID riid, void** p) noexcept {
    if (!IsEqualIID(riid, DIID_DIOPCGroupEvent)) return E_NOINTERFACE;
    *p = static_cast<IDispatch*>(this);
    return S_OK;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    Event e{id, {}};
    for (UINT i = p ? p->cArgs : 0; i-- > 0;) e.args.emplace_back(p->rgvarg[i]);
    log_->push_back(std::move(e));
    if (onEvent) onEvent(id);
    return S_OK;
  }
  std::function<void(DISPID)> onEvent;

 private:
  std::vector<Event>* log_;
};

std::vector<LONG> Longs(const VARIANT& v) {
  std::vector<LONG> out;
  EXPECT_EQ(VT_ARRAY | VT_I4, V_VT(&v));
  if (V_VT(&v) != (VT_ARRAY | VT_I4)) return out;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
  SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    LONG x = 0;
    SafeArrayGetElement(V_ARRAY(&v), &i, &x);
    out.push_back(x);
  }
  return out;
}

struct Bytes {
  std::vector<uint8_t> b;
  void U16(uint16_t v) { Put(v, 2); }
  void U32(uint32_t v) { Put(v, 4); }
  void Put(uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

// A data stream with time stamps: one I4 value per item.
std::vector<uint8_t> DataStream(DWORD transaction, const std::vector<std::pair<DWORD, LONG>>& items) {
  Bytes w;
  const DWORD size = 20 + 36 * static_cast<DWORD>(items.size());
  w.U32(size), w.U32(static_cast<DWORD>(items.size())), w.U32(0), w.U32(transaction), w.U32(0);
  for (size_t i = 0; i < items.size(); ++i) {
    w.U32(items[i].first);
    w.U32(20 + 20 * static_cast<DWORD>(items.size()) + 16 * static_cast<DWORD>(i));
    w.U16(0xC0), w.U16(0);
    w.Put(0x01DA6B4A12345678ull, 8);
  }
  for (auto& [client, value] : items) {
    w.U16(VT_I4), w.U16(0), w.U16(0), w.U16(0);
    w.U32(static_cast<DWORD>(value)), w.U32(0);
  }
  return w.b;
}

std::vector<uint8_t> WriteStream(DWORD transaction, const std::vector<std::pair<DWORD, HRESULT>>& items) {
  Bytes w;
  w.U32(static_cast<DWORD>(items.size())), w.U32(0), w.U32(transaction), w.U32(0);
  for (auto& [client, error] : items) w.U32(client), w.U32(static_cast<DWORD>(error));
  return w.b;
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// Hands `bytes` to the sink as the server would: an HGLOBAL of blockSize bytes (at least the
// stream's own), in the given format and medium.
void Deliver(IAdviseSink* sink, UINT format, const std::vector<uint8_t>& bytes, size_t blockSize = 0,
             DWORD tymed = TYMED_HGLOBAL) {
  blockSize = std::max(blockSize, bytes.size());
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, blockSize);
  auto* p = static_cast<uint8_t*>(GlobalLock(h));
  std::memset(p, 0, blockSize);
  std::memcpy(p, bytes.data(), std::min(bytes.size(), blockSize));
  GlobalUnlock(h);
  FORMATETC fe{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, tymed};
  STGMEDIUM medium{};
  medium.tymed = tymed;
  medium.hGlobal = h;
  sink->OnDataChange(&fe, &medium);
  GlobalFree(h);
}

class GroupDa10Test : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    server_ = common::Make<veltrane::ServerObject>();
    fake_ = common::Make<fakegroup::Group10>();
    object_ = common::Make<veltrane::GroupObject>();
    ASSERT_EQ(S_OK, object_->Initialise(server_.Get(), fake_->Unknown()));
    ASSERT_FALSE(object_->UsesDa20());
    ASSERT_EQ(S_OK, object_->QueryInterface(IID_IOPCGroup, group_.PutVoid()));
    ComPtr<OPCItems> items;
    ASSERT_EQ(S_OK, group_->get_OPCItems(items.GetAddressOf()));
    ComPtr<OPCItem> item;
    ASSERT_EQ(S_OK, items->AddItem(Bstr(L"Register.I4").Get(), 31, item.GetAddressOf()));
    ASSERT_EQ(S_OK, item->get_ServerHandle(&item_));
    recorder_ = common::Make<Recorder>(&log_);
    ComPtr<IConnectionPointContainer> c;
    ASSERT_EQ(S_OK, object_->QueryInterface(IID_IConnectionPointContainer, c.PutVoid()));
    ComPtr<IConnectionPoint> p;
    ASSERT_EQ(S_OK, c->FindConnectionPoint(DIID_DIOPCGroupEvent, p.GetAddressOf()));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, p->Advise(recorder_->Unknown(), &cookie));
    handles_ = SafeArrayCreateVector(VT_I4, 1, 1);
    LONG at = 1;
    SafeArrayPutElement(handles_, &at, &item_);
  }
  void TearDown() override {
    SafeArrayDestroy(handles_);
    object_->Detach();
    group_.Reset();
    object_.Reset();
    fake_.Reset();
    server_.Reset();
    CoUninitialize();
  }
  static UINT DataFormat() { return veltrane::Module::ClipboardFormatDataTime(); }
  static UINT WriteFormat() { return veltrane::Module::ClipboardFormatWriteComplete(); }

  ComPtr<veltrane::ServerObject> server_;
  ComPtr<fakegroup::Group10> fake_;
  ComPtr<veltrane::GroupObject> object_;
  ComPtr<IOPCGroup> group_;
  LONG item_ = 0;
  SAFEARRAY* handles_ = nullptr;
  std::vector<Event> log_;
  ComPtr<Recorder> recorder_;
};

TEST_F(GroupDa10Test, SubscribingAdvisesBothFormatsAndUndoesTheFirstWhenTheSecondFails) {
  fake_->writeAdviseResult = E_OUTOFMEMORY;
  EXPECT_EQ(E_OUTOFMEMORY, group_->put_IsSubscribed(VARIANT_TRUE));
  ASSERT_EQ(2u, fake_->advisedFormats.size());
  EXPECT_EQ(DataFormat(), fake_->advisedFormats[0]);
  EXPECT_EQ(WriteFormat(), fake_->advisedFormats[1]);
  EXPECT_EQ((std::vector<DWORD>{ADVF_PRIMEFIRST, ADVF_PRIMEFIRST}), fake_->advfs);
  EXPECT_EQ((std::vector<DWORD>{1}), fake_->unadvised) << "the data advise undone";
  VARIANT_BOOL flag = VARIANT_TRUE;
  EXPECT_EQ(S_OK, group_->get_IsSubscribed(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag);

  fake_->writeAdviseResult = S_OK;
  fake_->unadvised.clear();
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  EXPECT_EQ(2u, fake_->advises.size());
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_FALSE));
  EXPECT_EQ(2u, fake_->unadvised.size());
  EXPECT_TRUE(fake_->advises.empty());
}

TEST_F(GroupDa10Test, StreamsAreHandledFromTheQueueAndOnlyWhatFitsIsRead) {
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  IAdviseSink* sink = fake_->Sink(static_cast<CLIPFORMAT>(DataFormat()));
  ASSERT_NE(nullptr, sink);
  Deliver(sink, DataFormat(), DataStream(0, {{static_cast<DWORD>(item_), 5}, {4242, 6}}));
  EXPECT_TRUE(log_.empty()) << "not inside the server's call";
  Pump();
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(1, log_[0].id);
  EXPECT_EQ(0, V_I4(&log_[0].args[0]));
  EXPECT_EQ(1, V_I4(&log_[0].args[1])) << "the unknown client handle left out";
  EXPECT_EQ((std::vector<LONG>{31}), Longs(log_[0].args[2]));

  // Ignored: another medium, another format, a group header that lies, a value past the block.
  log_.clear();
  Deliver(sink, DataFormat(), DataStream(0, {{static_cast<DWORD>(item_), 5}}), 0, TYMED_ISTREAM);
  Deliver(sink, RegisterClipboardFormatW(L"SomethingElse"), DataStream(0, {{static_cast<DWORD>(item_), 5}}));
  auto lying = DataStream(0, {{static_cast<DWORD>(item_), 5}});
  lying[4] = 200;  // 200 item headers in a 56-byte stream
  Deliver(sink, DataFormat(), lying);
  auto cut = DataStream(0, {{static_cast<DWORD>(item_), 5}});
  cut[0] = 200;   // dwSize beyond the 56-byte block,
  cut[24] = 250;  // and the value offset past the block's end: that item is dropped
  Deliver(sink, DataFormat(), cut);
  Pump();
  EXPECT_TRUE(log_.empty());

  // A write completion with the client's transaction through the write-complete advise.
  SAFEARRAY* values = SafeArrayCreateVector(VT_VARIANT, 1, 1);
  Variant v(7);
  LONG at = 1;
  SafeArrayPutElement(values, &at, &v);
  SAFEARRAY* errors = nullptr;
  LONG cancel = 0;
  ASSERT_EQ(S_OK, group_->AsyncWrite(1, &handles_, &values, &errors, 55, &cancel));
  SafeArrayDestroy(errors);
  SafeArrayDestroy(values);
  EXPECT_EQ(2u, fake_->connections.back()) << "the write-complete connection";
  Deliver(fake_->Sink(static_cast<CLIPFORMAT>(WriteFormat())), WriteFormat(),
          WriteStream(static_cast<DWORD>(cancel), {{static_cast<DWORD>(item_), OPC_E_BADTYPE}}));
  Pump();
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(3, log_[0].id);
  EXPECT_EQ(55, V_I4(&log_[0].args[0]));
  EXPECT_EQ((std::vector<LONG>{static_cast<LONG>(OPC_E_BADTYPE)}), Longs(log_[0].args[3]));
}

TEST_F(GroupDa10Test, ACompletionHandledInsideItsCallWaitsForTheIdAndFollowsTheOutputs) {
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  IAdviseSink* sink = fake_->Sink(static_cast<CLIPFORMAT>(DataFormat()));
  // The server sends the read's data before Read returns, and the caller's loop handles it.
  fake_->insideCall = [&](DWORD id) {
    Deliver(sink, DataFormat(), DataStream(id, {{static_cast<DWORD>(item_), 99}}));
    Pump();
  };
  LONG cancel = -1, cancelAtEvent = -2;
  recorder_->onEvent = [&](DISPID) { cancelAtEvent = cancel; };
  SAFEARRAY* errors = nullptr;
  ASSERT_EQ(S_OK, group_->AsyncRead(1, &handles_, &errors, 808, &cancel));
  SafeArrayDestroy(errors);
  EXPECT_EQ(1u, fake_->connections.back()) << "the data connection";
  ASSERT_EQ(1u, log_.size()) << "raised before AsyncRead returned";
  EXPECT_EQ(2, log_[0].id) << "an awaited read completes as AsyncReadComplete";
  EXPECT_EQ(808, V_I4(&log_[0].args[0]));
  EXPECT_EQ(9001, cancel);
  EXPECT_EQ(cancel, cancelAtEvent) << "after the call's own outputs were set";

  // Refresh data coming early arrives as DataChange with the client's transaction.
  log_.clear();
  ASSERT_EQ(S_OK, group_->AsyncRefresh(OPC_DS_CACHE, 809, &cancel));
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(1, log_[0].id);
  EXPECT_EQ(809, V_I4(&log_[0].args[0]));
}

TEST_F(GroupDa10Test, AsyncCancelRaisesTheClientsTransactionBeforeReturning) {
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  SAFEARRAY* errors = nullptr;
  LONG cancel = 0;
  ASSERT_EQ(S_OK, group_->AsyncRead(1, &handles_, &errors, 901, &cancel));
  SafeArrayDestroy(errors);
  EXPECT_EQ(S_OK, group_->AsyncCancel(cancel));
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(4, log_[0].id);
  EXPECT_EQ(VT_I4, V_VT(&log_[0].args[0]));
  EXPECT_EQ(901, V_I4(&log_[0].args[0]));
  // The cancelled read's data, should it still come, is no longer awaited or mapped.
  Deliver(fake_->Sink(static_cast<CLIPFORMAT>(DataFormat())), DataFormat(),
          DataStream(static_cast<DWORD>(cancel), {{static_cast<DWORD>(item_), 1}}));
  Pump();
  EXPECT_EQ(1u, log_.size()) << "an unknown id is kept aside, not raised";

  log_.clear();
  EXPECT_EQ(S_OK, group_->AsyncCancel(123456));
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(0, V_I4(&log_[0].args[0])) << "an id never recorded gives 0";
  log_.clear();
  fake_->cancelResult = E_FAIL;
  EXPECT_EQ(E_FAIL, group_->AsyncCancel(1));
  EXPECT_TRUE(log_.empty());
}

}  // namespace
