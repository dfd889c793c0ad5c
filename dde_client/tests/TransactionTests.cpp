// Transactions, returned data, loops, early advises, the callback and the state dump, through the
// control's interfaces on the recording DDEML.
#include <regex>

#include "TestHost.h"

using namespace testhost;

namespace {
Bstr B(const wchar_t* s) { return Bstr(s); }

class OpenConversation : public Host {
 protected:
  void SetUp() override {
    Host::SetUp();
    ASSERT_TRUE(Init());
    key = Connect(L"Excel", L"Sheet1");
    conv = Conv(key);
    ASSERT_TRUE(conv);
    h = HConv(conv.Get());
  }
  std::wstring StartAdvise(const wchar_t* item, bool ackReq = false) {
    Bstr k;
    EXPECT_EQ(S_OK, conv->StartAdviseLoop(B(item).Get(), 1000, 1, VB(ackReq), k.ReleaseAndGetAddressOf()));
    return k.ToWide();
  }
  HDDEDATA Advise(const char* item, const std::string& text) {
    HSZ hsz = fake::AddString(item);
    HDDEDATA d = fake::MakeText(text);
    HDDEDATA r = fake::Deliver(XTYP_ADVDATA, CF_TEXT, h, fake::StringOf("Sheet1"), hsz, d);
    fake::FreeData(d);  // DDEML's, freed after the callback
    return r;
  }
  std::wstring key;
  ComPtr<IConversation> conv;
  HCONV h = nullptr;
};

ComPtr<IDDEData> DataWith(const std::vector<BYTE>& bytes) {
  HDDEDATA d = fake::MakeData(bytes);
  auto obj = corvane::DDEDataObj::FromHandle(d, 1);
  fake::FreeData(d);
  ComPtr<IDDEData> out;
  obj->QueryInterface(IID_IDDEData, out.PutVoid());
  return out;
}
}  // namespace

// ---- what goes out -----------------------------------------------------------------------------
TEST_F(OpenConversation, PokeExecuteAndRequestSendExactlyTheirBytes) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, conv->PokeString(B(L"R1C1").Get(), B(L"").Get(), 1000, &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  auto pokes = fake::Transactions(XTYP_POKE);
  ASSERT_EQ(1u, pokes.size());
  EXPECT_EQ(std::vector<BYTE>{0}, pokes[0].data);
  EXPECT_EQ(static_cast<UINT>(CF_TEXT), pokes[0].fmt);
  EXPECT_EQ("R1C1", pokes[0].item);
  EXPECT_EQ(1000u, pokes[0].timeout);

  conv->Execute(B(L"[run]").Get(), 500, &ok);
  auto ex = fake::Transactions(XTYP_EXECUTE);
  ASSERT_EQ(1u, ex.size());
  EXPECT_EQ(6u, ex[0].data.size());
  EXPECT_EQ(0u, ex[0].fmt);
  EXPECT_EQ("", ex[0].item);

  LONG longs[2] = {1, -2};
  conv->PokeLong(B(L"R2C2").Get(), longs, 2, 2, 1000, &ok);
  EXPECT_EQ(8u, fake::Transactions(XTYP_POKE).back().data.size());
  EXPECT_EQ(corvane::kErrOverflow, conv->PokeInteger(B(L"R2C2").Get(), nullptr, 0x40000000, 2, 1000, &ok));

  // Request: the format asked for is kept, the handle given back.
  ComPtr<IDDEData> d;
  ASSERT_EQ(S_OK, conv->Request(B(L"R1C1").Get(), 1000, 7, d.GetAddressOf()));
  ASSERT_TRUE(d);
  LONG fmt, size;
  d->get_Format(&fmt);
  d->get_Size(&size);
  EXPECT_EQ(7, fmt);
  EXPECT_EQ(5, size);
  Bstr text;
  d->get_DataString(text.ReleaseAndGetAddressOf());
  EXPECT_EQ(std::wstring(L"42\r\n\0", 5), text.ToWide());
  EXPECT_EQ(0, fake::S().liveData);
  EXPECT_EQ(0, fake::LiveStrings() - 2);  // only the conversation's service and topic remain

  // A refused poke is False, and logged as a failure.
  std::wstring log = StartLog(15);
  fake::S().script.failingType = XTYP_POKE;
  conv->PokeString(B(L"R1C1").Get(), B(L"9").Get(), 1000, &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);
  ComPtr<ILogFile> lf;
  ctl->get_LogFile(lf.GetAddressOf());
  lf->Deactivate();
  std::string bytes = ReadAll(log);
  EXPECT_NE(std::string::npos,
            bytes.find(std::string("DDE_PokeStringData: Failed to Poke data 'R1C1' = '9") + '\0' +
                       "' in Conversation &H1000; Error = DMLERR_NO_CONV_ESTABLISHED\r\n"))
      << bytes;
  DeleteFileW(log.c_str());
}

TEST_F(OpenConversation, AsynchronousTransactionsCompleteThroughTheCallback) {
  Bstr poke, req, exec;
  conv->PokeStringA(B(L"R1C1").Get(), B(L"5").Get(), poke.ReleaseAndGetAddressOf());
  conv->RequestA(B(L"R2C1").Get(), 1, req.ReleaseAndGetAddressOf());
  conv->ExecuteA(B(L"[x]").Get(), exec.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"T-1280", poke.ToWide());
  EXPECT_EQ(L"T-1281", req.ToWide());
  for (auto& c : fake::S().calls)
    if (c.fn == "DdeClientTransaction") {
      EXPECT_EQ(TIMEOUT_ASYNC, c.timeout);
    }
  LONG n;
  conv->get_TransactionCount(&n);
  EXPECT_EQ(3, n);
  ComPtr<ITransaction> t;
  conv->get_Transaction(Variant(L"T-1280"), t.GetAddressOf());
  TransactionsEnum type;
  t->get_TransType(&type);
  EXPECT_EQ(TRANS_POKE_DATA, type);

  fake::Deliver(XTYP_XACT_COMPLETE, CF_TEXT, h, nullptr, nullptr, reinterpret_cast<HDDEDATA>(1), 0x500);
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(10, rec.events[0].id);
  EXPECT_EQ((std::vector<std::wstring>{L"T-1280", L"obj", key, L"obj"}), rec.events[0].args);
  conv->get_TransactionCount(&n);
  EXPECT_EQ(2, n);
  VARIANT_BOOL done;
  t->get_Completed(&done);
  EXPECT_EQ(VARIANT_TRUE, done);  // the host's reference outlives the removal

  // A failed request raises TransactionFailed, not TransactionRequestCompleted.
  fake::Deliver(XTYP_XACT_COMPLETE, CF_TEXT, h, nullptr, nullptr, nullptr, 0x501);
  EXPECT_EQ(13, rec.events.back().id);
  HDDEDATA reply = fake::MakeText("ok");
  fake::Deliver(XTYP_XACT_COMPLETE, CF_TEXT, h, nullptr, nullptr, reply, 0x502);
  fake::FreeData(reply);
  EXPECT_EQ(12, rec.events.back().id);
  EXPECT_EQ(0, fake::S().liveData);
  conv->get_TransactionCount(&n);
  EXPECT_EQ(0, n);

  // A completion for no known transaction is ignored.
  size_t before = rec.events.size();
  fake::Deliver(XTYP_XACT_COMPLETE, CF_TEXT, h, nullptr, nullptr, reinterpret_cast<HDDEDATA>(1), 0x999);
  EXPECT_EQ(before, rec.events.size());

  // An asynchronous request hands its data to the event.
  conv->RequestA(B(L"R3C1").Get(), 1, req.ReleaseAndGetAddressOf());
  reply = fake::MakeText("77");
  std::wstring seen;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 11) return;
    ComPtr<IDDEData> d;
    e.objects[2]->QueryInterface(IID_IDDEData, d.PutVoid());
    Bstr s;
    d->get_DataString(s.ReleaseAndGetAddressOf());
    seen = s.ToWide();
  };
  fake::Deliver(XTYP_XACT_COMPLETE, CF_TEXT, h, nullptr, nullptr, reply, 0x503);
  fake::FreeData(reply);
  EXPECT_EQ(11, rec.events.back().id);
  EXPECT_EQ(L"R3C1", rec.events.back().args[4]);
  EXPECT_EQ(std::wstring(L"77\0", 3), seen);
}

TEST_F(OpenConversation, AbandonRemovesTheTransactionOnlyWhenDdemlAgrees) {
  Bstr k;
  conv->StartAdviseLoopA(B(L"R1C1").Get(), 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  fake::S().script.abandonFails = true;
  VARIANT_BOOL ok = VARIANT_TRUE;
  conv->AbandonTransaction(Variant(1), &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);
  fake::S().script.abandonFails = false;
  conv->AbandonTransaction(Variant(k.ToWide().c_str()), &ok);
  EXPECT_EQ(VARIANT_TRUE, ok);
  LONG n;
  conv->get_TransactionCount(&n);
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, fake::StringOf("R1C1"));
  EXPECT_EQ(corvane::kErrInvalidArgument, conv->AbandonTransaction(Variant(1), &ok));
}

// ---- returned data -----------------------------------------------------------------------------
TEST(DDEData, CopiesNeverPassTheBytesHeldOrTheCallersArray) {
  fake::Reset();
  corvane::SetDdeml(&fake::Api());
  auto empty = DataWith({});
  Bstr s;
  empty->get_DataString(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"", s.ToWide());
  BYTE b = 9;
  EXPECT_EQ(S_OK, empty->get_DataArray(0, &b));
  EXPECT_EQ(0, b);
  EXPECT_EQ(corvane::kErrSubscript, empty->get_DataArray(1, &b));
  SAFEARRAY* arr = SafeArrayCreateVector(VT_UI1, 0, 3);
  LONG n = -1;
  EXPECT_EQ(S_OK, empty->CopyByteArray(&arr, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ(3u, arr->rgsabound[0].cElements);  // left alone
  SafeArrayDestroy(arr);

  auto three = DataWith({0x11, 0x22, 0x33});
  BYTE out[8] = {};
  EXPECT_EQ(S_OK, three->CopyByAddress(reinterpret_cast<LONGLONG>(out), 100, &n));
  EXPECT_EQ(3, n);
  EXPECT_EQ(0x33, out[2]);
  EXPECT_EQ(0, out[3]);
  EXPECT_EQ(S_OK, three->CopyByAddress(0, -4, &n));
  EXPECT_EQ(-4, n);
  EXPECT_EQ(E_POINTER, three->CopyByAddress(0, 2, &n));
  EXPECT_EQ(corvane::kErrSubscript, three->get_DataArray(3, &b));
  EXPECT_EQ(corvane::kErrSubscript, three->get_DataArray(-1, &b));

  // 3 bytes as 16-bit elements: 1.5 rounds to 2; the second holds the third byte and a zero.
  arr = nullptr;
  ASSERT_EQ(S_OK, three->CopyIntegerArray(&arr, &n));
  EXPECT_EQ(2, n);
  ASSERT_TRUE(arr);
  SHORT* p = nullptr;
  SafeArrayAccessData(arr, reinterpret_cast<void**>(&p));
  EXPECT_EQ(0x2211, p[0]);
  EXPECT_EQ(0x0033, p[1]);
  SafeArrayUnaccessData(arr);
  LONG lb = -1;
  SafeArrayGetLBound(arr, 1, &lb);
  EXPECT_EQ(0, lb);
  SafeArrayDestroy(arr);
  // As 32-bit elements: 0.75 rounds to 1.
  arr = nullptr;
  ASSERT_EQ(S_OK, three->CopyLongArray(&arr, &n));
  EXPECT_EQ(1, n);
  SafeArrayDestroy(arr);
  // An array of the wrong type is refused, not overwritten.
  arr = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, three->CopyByteArray(&arr, &n));
  SafeArrayDestroy(arr);
  EXPECT_EQ(1, corvane::RoundedElementCount(2, 4) + corvane::RoundedElementCount(6, 4) - 1);
  EXPECT_EQ(2, corvane::RoundedElementCount(10, 4));  // 2.5 to even
  EXPECT_EQ(2, corvane::RoundedElementCount(5, 2));
  corvane::SetDdeml(nullptr);
}

// ---- loops ---------------------------------------------------------------------------------
TEST_F(OpenConversation, LoopTransactionTypesAndStops) {
  std::wstring a = StartAdvise(L"R1C1", true);
  EXPECT_EQ(L"I-" + std::to_wstring(corvane::H32(fake::StringOf("R1C1"))), a);
  EXPECT_EQ(1u, fake::Transactions(0x1038).size());
  StartAdvise(L"R1C2");
  EXPECT_EQ(1u, fake::Transactions(0x1030).size());
  Bstr k;
  conv->StartRequestLoop(B(L"R2C1").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  conv->StartRequestLoop(B(L"R2C2").Get(), 1000, 1, VARIANT_TRUE, k.ReleaseAndGetAddressOf());
  EXPECT_EQ(1u, fake::Transactions(0x1034).size());
  EXPECT_EQ(1u, fake::Transactions(0x103C).size());
  // The same item twice is the collection's duplicate-key error; the handle is not leaked.
  EXPECT_EQ(corvane::kErrDuplicateKey,
            conv->StartAdviseLoop(B(L"R1C1").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf()));
  EXPECT_EQ(1, fake::References(fake::StringOf("R1C1")));

  // A refused start frees its handle and gives FailedReturnString.
  fake::S().script.failingType = XTYP_ADVSTART;
  conv->StartAdviseLoop(B(L"R9C9").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), k.ToWide());
  EXPECT_EQ(nullptr, fake::StringOf("R9C9"));
  fake::S().script.failingType = 0;

  VARIANT_BOOL ok = VARIANT_FALSE;
  conv->StopAdviseLoop(Variant(a.c_str()), 700, &ok);
  EXPECT_EQ(VARIANT_TRUE, ok);
  auto stops = fake::Transactions(XTYP_ADVSTOP);
  ASSERT_EQ(1u, stops.size());
  EXPECT_EQ("R1C1", stops[0].item);
  EXPECT_EQ(700u, stops[0].timeout);
  EXPECT_EQ(nullptr, fake::StringOf("R1C1"));
  LONG n;
  conv->get_AdviseLoopCount(&n);
  EXPECT_EQ(1, n);
  // A stop DDEML refuses keeps the loop.
  fake::S().script.failingType = XTYP_ADVSTOP;
  conv->StopRequestLoop(Variant(1), 1000, &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);
  conv->get_RequestLoopCount(&n);
  EXPECT_EQ(2, n);
}

TEST_F(OpenConversation, AsynchronousStartAndStopRaiseTheirEvents) {
  Bstr t;
  conv->StartAdviseLoopA(B(L"R1C1").Get(), 1, VARIANT_FALSE, t.ReleaseAndGetAddressOf());
  fake::Deliver(XTYP_XACT_COMPLETE, 8, h, nullptr, nullptr, reinterpret_cast<HDDEDATA>(1), 0x500);
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(6, rec.events[0].id);
  std::wstring item = rec.events[0].args[4];
  ComPtr<IAdviseLoop> loop;
  ASSERT_EQ(S_OK, conv->get_AdviseLoop(Variant(item.c_str()), loop.GetAddressOf()));
  LONG fmt;
  loop->get_Format(&fmt);
  EXPECT_EQ(8, fmt);  // the format the completion reported
  conv->StopAdviseLoopA(Variant(item.c_str()), t.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"T-1281", t.ToWide());
  VARIANT_BOOL closed = VARIANT_TRUE;
  rec.onEvent = [&](const Event& e) {
    if (e.id == 8) loop->get_Closed(&closed);  // set just before the event
  };
  fake::Deliver(XTYP_XACT_COMPLETE, 8, h, nullptr, nullptr, reinterpret_cast<HDDEDATA>(1), 0x501);
  EXPECT_EQ(8, rec.events.back().id);
  EXPECT_EQ(VARIANT_TRUE, closed);
  LONG n;
  conv->get_AdviseLoopCount(&n);
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, fake::StringOf("R1C1"));
}

TEST_F(OpenConversation, AsynchronousStartOnAnItemWithALoopFailsAndGivesItsHandleBack) {
  std::wstring loopKey = StartAdvise(L"R1C1");
  Bstr t;
  conv->StartAdviseLoopA(B(L"R1C1").Get(), 1, VARIANT_FALSE, t.ReleaseAndGetAddressOf());
  conv->StartRequestLoop(B(L"R2C2").Get(), 1000, 1, VARIANT_FALSE, t.ReleaseAndGetAddressOf());
  conv->StartRequestLoopA(B(L"R2C2").Get(), 1, VARIANT_FALSE, t.ReleaseAndGetAddressOf());
  EXPECT_EQ(2, fake::References(fake::StringOf("R1C1")));  // the loop's and the start's
  std::wstring log = StartLog(15);
  fake::Deliver(XTYP_XACT_COMPLETE, 1, h, nullptr, nullptr, reinterpret_cast<HDDEDATA>(1), 0x500);
  fake::Deliver(XTYP_XACT_COMPLETE, 1, h, nullptr, nullptr, reinterpret_cast<HDDEDATA>(1), 0x501);
  ComPtr<ILogFile> lf;
  ctl->get_LogFile(lf.GetAddressOf());
  lf->Deactivate();
  // Each completion ends its transaction with TransactionFailed; the loops stay as they were.
  ASSERT_EQ(2u, rec.events.size());
  EXPECT_EQ(13, rec.events[0].id);
  EXPECT_EQ(L"T-1280", rec.events[0].args[0]);
  EXPECT_EQ(13, rec.events[1].id);
  EXPECT_EQ(L"T-1281", rec.events[1].args[0]);
  LONG n = -1;
  conv->get_TransactionCount(&n);
  EXPECT_EQ(0, n);
  conv->get_AdviseLoopCount(&n);
  EXPECT_EQ(1, n);
  conv->get_RequestLoopCount(&n);
  EXPECT_EQ(1, n);
  EXPECT_EQ(1, fake::References(fake::StringOf("R1C1")));
  EXPECT_EQ(1, fake::References(fake::StringOf("R2C2")));
  std::string bytes = ReadAll(log);
  EXPECT_NE(std::string::npos, bytes.find("ProcessTransaction: Transaction &H500 failed: item 'R1C1' has a loop already\r\n"))
      << bytes;
  EXPECT_EQ(std::string::npos, bytes.find("Callback: Unknown Transaction")) << bytes;
  DeleteFileW(log.c_str());
}

TEST_F(OpenConversation, SynchronousCallsRefuseTheAsynchronousTimeOut) {
  // -1 as a time-out is TIMEOUT_ASYNC to DDEML: refused as a failed call, DDEML not asked.
  std::wstring loopKey = StartAdvise(L"R1C1");
  size_t before = fake::Transactions(XTYP_POKE).size() + fake::Transactions(XTYP_REQUEST).size() +
                  fake::Transactions(XTYP_EXECUTE).size() + fake::Transactions(XTYP_ADVSTOP).size();
  long strings = fake::LiveStrings();
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(S_OK, conv->PokeString(B(L"R1C1").Get(), B(L"1").Get(), -1, &ok));
  EXPECT_EQ(VARIANT_FALSE, ok);
  ok = VARIANT_TRUE;
  BYTE bytes[2] = {1, 2};
  EXPECT_EQ(S_OK, conv->PokeByte(B(L"R1C1").Get(), bytes, 2, 1, -1, &ok));
  EXPECT_EQ(VARIANT_FALSE, ok);
  ok = VARIANT_TRUE;
  EXPECT_EQ(S_OK, conv->Execute(B(L"[x]").Get(), -1, &ok));
  EXPECT_EQ(VARIANT_FALSE, ok);
  ComPtr<IDDEData> d;
  EXPECT_EQ(S_OK, conv->Request(B(L"R1C1").Get(), -1, 1, d.GetAddressOf()));
  EXPECT_FALSE(d);
  Bstr k;
  conv->StartAdviseLoop(B(L"R3C3").Get(), -1, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), k.ToWide());
  ok = VARIANT_TRUE;
  conv->StopAdviseLoop(Variant(loopKey.c_str()), -1, &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);
  LONG n = -1;
  conv->get_AdviseLoopCount(&n);
  EXPECT_EQ(1, n);  // a refused stop keeps the loop
  conv->get_TransactionCount(&n);
  EXPECT_EQ(0, n);
  EXPECT_EQ(before, fake::Transactions(XTYP_POKE).size() + fake::Transactions(XTYP_REQUEST).size() +
                        fake::Transactions(XTYP_EXECUTE).size() + fake::Transactions(XTYP_ADVSTOP).size());
  EXPECT_TRUE(fake::Transactions(XTYP_ADVSTART).size() == 1);  // only the first start
  EXPECT_EQ(strings, fake::LiveStrings());
  // Other negative and large time-outs still go to DDEML unchanged.
  conv->PokeString(B(L"R1C1").Get(), B(L"1").Get(), -2, &ok);
  EXPECT_EQ(0xFFFFFFFEu, fake::Transactions(XTYP_POKE).back().timeout);
}

TEST_F(OpenConversation, AdviseDataReachesTheHostOnlyDuringTheEvent) {
  std::wstring a = StartAdvise(L"R1C1");
  std::wstring during;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 1) return;
    ComPtr<IAdviseLoop> l;
    e.objects[1]->QueryInterface(IID_IAdviseLoop, l.PutVoid());
    ComPtr<IDDEData> d;
    l->get_DDEData(d.GetAddressOf());
    Bstr s;
    if (d) d->get_DataString(s.ReleaseAndGetAddressOf());
    during = s.ToWide();
  };
  EXPECT_EQ(reinterpret_cast<HDDEDATA>(DDE_FACK), Advise("R1C1", "12.5\r\n"));
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(1, rec.events[0].id);
  EXPECT_EQ(key, rec.events[0].args[0]);
  EXPECT_EQ(a, rec.events[0].args[2]);
  EXPECT_EQ(std::wstring(L"12.5\r\n\0", 7), during);
  ComPtr<IAdviseLoop> loop;
  conv->get_AdviseLoop(Variant(1), loop.GetAddressOf());
  ComPtr<IDDEData> after;
  loop->get_DDEData(after.GetAddressOf());
  EXPECT_FALSE(after);

  // No loop, no early advises: refused. Notification without a request loop: refused.
  EXPECT_EQ(nullptr, Advise("R5C5", "x"));
  EXPECT_EQ(nullptr, fake::Deliver(XTYP_ADVDATA, CF_TEXT, h, nullptr, fake::StringOf("R1C1"), nullptr));
  // Unknown conversation: refused even with early advises on.
  ctl->put_HandleEarlyAdvises(VARIANT_TRUE);
  HDDEDATA d = fake::MakeText("1");
  EXPECT_EQ(nullptr, fake::Deliver(XTYP_ADVDATA, CF_TEXT, reinterpret_cast<HCONV>(0x4444), nullptr,
                                   fake::StringOf("R1C1"), d));
  fake::FreeData(d);
  EXPECT_EQ(1u, rec.events.size());

  // A request loop's change notification.
  Bstr k;
  conv->StartRequestLoop(B(L"R2C2").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  EXPECT_EQ(reinterpret_cast<HDDEDATA>(DDE_FACK),
            fake::Deliver(XTYP_ADVDATA, CF_TEXT, h, nullptr, fake::StringOf("R2C2"), nullptr));
  EXPECT_EQ(2, rec.events.back().id);
  EXPECT_EQ(k.ToWide(), rec.events.back().args[2]);
}

TEST_F(OpenConversation, EarlyAdvisesKeepTheLatestDataPerItem) {
  ctl->put_HandleEarlyAdvises(VARIANT_TRUE);
  EXPECT_EQ(reinterpret_cast<HDDEDATA>(DDE_FACK), Advise("R1C1", "first"));
  EXPECT_EQ(reinterpret_cast<HDDEDATA>(DDE_FACK), Advise("R1C1", "second"));
  EXPECT_TRUE(rec.events.empty());
  StartAdvise(L"R1C1");
  std::wstring seen;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 1) return;
    ComPtr<IDDEData> d;
    e.objects[2]->QueryInterface(IID_IDDEData, d.PutVoid());
    Bstr s;
    d->get_DataString(s.ReleaseAndGetAddressOf());
    seen = s.ToWide();
  };
  ctl->ProcessEarlyAdvises();
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(std::wstring(L"second\0", 7), seen);
  ComPtr<IAdviseLoop> loop;
  conv->get_AdviseLoop(Variant(1), loop.GetAddressOf());
  ComPtr<IDDEData> kept;
  loop->get_DDEData(kept.GetAddressOf());
  EXPECT_TRUE(kept);  // the early data stays attached
  ctl->ProcessEarlyAdvises();
  EXPECT_EQ(1u, rec.events.size());  // emptied

  // An entry whose loop never came stops delivery from there on, and everything is dropped.
  Advise("R7C7", "lost");
  Advise("R8C8", "after");
  StartAdvise(L"R8C8");
  ctl->ProcessEarlyAdvises();
  EXPECT_EQ(1u, rec.events.size());
  ctl->ProcessEarlyAdvises();
  EXPECT_EQ(1u, rec.events.size());
}

TEST_F(OpenConversation, HandlersMayStartTransactionsAndDataArrivesInsideWaits) {
  StartAdvise(L"R1C1");
  // DDEML delivers advise data while a synchronous request waits.
  fake::S().script.duringTransaction = [&](const fake::Call& c) {
    if ((c.type & ~XTYPF_NODATA) == XTYP_REQUEST) Advise("R1C1", "inside");
  };
  // The DDEAdvise handler pokes: synchronously DDEML refuses it inside another synchronous
  // wait (DMLERR_REENTRANCY), so the handler sees False; asynchronously it is accepted.
  VARIANT_BOOL pokeOk = VARIANT_TRUE;
  Bstr asyncKey;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 1) return;
    conv->PokeString(B(L"R9C9").Get(), B(L"seen").Get(), 1000, &pokeOk);
    conv->PokeStringA(B(L"R9C9").Get(), B(L"seen").Get(), asyncKey.ReleaseAndGetAddressOf());
  };
  std::wstring log = StartLog(8);
  ComPtr<IDDEData> d;
  ASSERT_EQ(S_OK, conv->Request(B(L"R2C2").Get(), 1000, 1, d.GetAddressOf()));
  EXPECT_TRUE(d);  // the outer request is not disturbed
  ComPtr<ILogFile> lf;
  ctl->get_LogFile(lf.GetAddressOf());
  lf->Deactivate();
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(1, rec.events[0].id);
  EXPECT_EQ(VARIANT_FALSE, pokeOk);
  EXPECT_EQ(L"T-1280", asyncKey.ToWide());
  EXPECT_EQ(2u, fake::Transactions(XTYP_POKE).size());
  std::string bytes = ReadAll(log);
  EXPECT_NE(std::string::npos, bytes.find(std::string("DDE_PokeStringData: Failed to Poke data 'R9C9' = 'seen") +
                                           '\0' + "' in Conversation &H1000; Error = DMLERR_REENTRANCY\r\n"))
      << bytes;
  DeleteFileW(log.c_str());
}

// ---- callback dispatch ----------------------------------------------------------------------
TEST_F(OpenConversation, CallbackAnswersAndTraceLines) {
  std::wstring path = StartLog(2);  // LOG_EVENTS only
  StartAdvise(L"R1C1");
  Advise("R1C1", "1");
  ComPtr<ILogFile> lf;
  ctl->get_LogFile(lf.GetAddressOf());
  lf->put_Options(static_cast<LogFileOptionsEnum>(15));
  // Server-side types are refused.
  EXPECT_EQ(nullptr, fake::Deliver(XTYP_CONNECT, 0, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, fake::Deliver(XTYP_POKE, 0, h, nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, fake::Deliver(0x1234, 0, h, nullptr, nullptr, nullptr));
  Advise("R4C4", "x");
  fake::Deliver(XTYP_XACT_COMPLETE, 1, h, nullptr, nullptr, nullptr, 0x77);
  lf->Deactivate();
  std::string log = ReadAll(path);
  std::string hc = corvane::Hex(corvane::H32(h));
  std::string item = corvane::ItemKey(corvane::H32(fake::StringOf("R1C1")));
  EXPECT_NE(std::string::npos, log.find("Event: DDEAdvise(C-4096, " + item + ")\r\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("Callback: hConv = &H" + hc + ", luType = XTYP_ADVDATA"));
  EXPECT_NE(std::string::npos, log.find("Callback: hConv = &H0, luType = XTYP_CONNECT, Return = FALSE\r\n"));
  EXPECT_NE(std::string::npos,
            log.find("Callback: hConv = &H" + hc + ", luType = XTYP_POKE, Return = DDE_FNOTPROCESSED\r\n"));
  EXPECT_NE(std::string::npos, log.find("luType = Unknown (&H1234), Return = 0\r\n"));
  EXPECT_NE(std::string::npos,
            log.find("Callback: Unknown Advise loop &H" +
                     corvane::Hex(corvane::H32(fake::StringOf("R4C4"))) + " in Conversation &H" + hc + "\r\n"));
  EXPECT_NE(std::string::npos, log.find("Callback: hConv = &H" + hc + ", luType = , Return = DDE_FNOTPROCESSED\r\n"));
  EXPECT_NE(std::string::npos, log.find("Callback: Unknown Transaction &H77 in Conversation &H" + hc + "\r\n"));
  DeleteFileW(path.c_str());

  // While idInst is 0 every call answers 0 and writes nothing, even for a conversation and a
  // loop the owning control knows: here a second control takes over (idInst 0) and is handed
  // the first one's conversations.
  PFNCALLBACK cb = fake::S().callback;
  auto second = common::Make<corvane::CorvexControl>();
  ComPtr<IConversations> convs;
  ctl->get_Conversations(convs.GetAddressOf());
  ASSERT_EQ(S_OK, second->putref_Conversations(convs.Get()));
  path = StartLog(15);
  rec.events.clear();
  HDDEDATA d = fake::MakeText("2");
  EXPECT_EQ(nullptr, cb(XTYP_ADVDATA, CF_TEXT, h, nullptr, fake::StringOf("R1C1"), d, 0, 0));
  fake::FreeData(d);
  EXPECT_EQ(nullptr, cb(XTYP_CONNECT, 0, nullptr, nullptr, nullptr, nullptr, 0, 0));
  cb(XTYP_DISCONNECT, 0, h, nullptr, nullptr, nullptr, 0, 0);
  lf->Deactivate();
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(1, Count());  // the disconnect was not handled either
  log = ReadAll(path);
  EXPECT_EQ(std::string::npos, log.find("Callback:")) << log;
  EXPECT_EQ(std::string::npos, log.find("Event:")) << log;
  DeleteFileW(path.c_str());
}

// ---- state dump ------------------------------------------------------------------------------
TEST_F(OpenConversation, StateDescriptionAndEnumerate) {
  StartAdvise(L"R1C1");
  Bstr k;
  conv->RequestA(B(L"R2C1").Get(), 1, k.ReleaseAndGetAddressOf());
  Bstr text;
  ASSERT_EQ(S_OK, ctl->StateDescription(text.ReleaseAndGetAddressOf()));
  std::string s = common::WideToUtf8(text.ToWide());
  EXPECT_EQ(0u, s.find("Enumeration of Corvane.Conversations at ")) << s;
  EXPECT_NE(std::string::npos, s.find("\r\n" + std::string(40, '=') + "\r\n"));
  EXPECT_NE(std::string::npos, s.find("\r\n\r\nConversation &H1000 ConvKey= C-4096\r\n" + std::string(34, '-') + "\r\n"));
  EXPECT_NE(std::string::npos, s.find("Service/Topic = Excel|Sheet1 hszService/hszTopic = &H"));
  EXPECT_NE(std::string::npos, s.find("1 Advise Loop(s)\r\n\tItem = R1C1 hszItem=&H"));
  EXPECT_NE(std::string::npos, s.find("There are no Request Loops\r\n"));
  EXPECT_NE(std::string::npos, s.find("1 Transaction(s)\r\n\tItem = R2C1 hszItem=&H"));
  EXPECT_NE(std::string::npos, s.find(" Type = TRANS_REQUEST_DATA TransKey = T-1280 Created = "));
  EXPECT_NE(std::string::npos, s.find("\r\n\r\nThere are no Channels\r\n"));

  Variant file;  // missing: the library folder's Enumerate.txt, told back to the caller
  ctl->Enumerate(&file);
  ASSERT_EQ(VT_BSTR, V_VT(&file));
  std::wstring path = S(V_BSTR(&file));
  EXPECT_EQ(corvane::LibraryFolder() + L"\\Enumerate.txt", path);
  EXPECT_EQ(common::WideToAnsi(text.ToWide()) + "\r\n", ReadAll(path));
  DeleteFileW(path.c_str());
  Variant bad(L"Z:\\no\\such\\folder\\x.txt");
  EXPECT_EQ(S_OK, ctl->Enumerate(&bad));

  VARIANT_BOOL ok;
  ctl->Disconnect(Variant(1), &ok);
  ASSERT_EQ(S_OK, ctl->StateDescription(text.ReleaseAndGetAddressOf()));
  s = common::WideToUtf8(text.ToWide());
  EXPECT_NE(std::string::npos, s.find(std::string(40, '=') + "\r\nThere are no conversations\r\n\r\nThere are no Channels\r\n"));
  ctl->Uninitialise(&ok);
  EXPECT_NE(S_OK, ctl->StateDescription(text.ReleaseAndGetAddressOf()));
}
