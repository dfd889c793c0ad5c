// Corvex through its interfaces, as a host drives it, on the recording DDEML.
#include <objbase.h>

#include <regex>

#include "TestHost.h"

using namespace testhost;

namespace {

struct ComInit {
  ComInit() { CoInitialize(nullptr); }
  ~ComInit() { CoUninitialize(); }
} gCom;

Bstr B(const wchar_t* s) { return Bstr(s); }

}  // namespace

// ---- names and keys ----------------------------------------------------------------------------
TEST(Names, KeysHexAndTables) {
  EXPECT_EQ("C-0", corvane::ConvKey(0));
  EXPECT_EQ("I--1", corvane::ItemKey(-1));
  EXPECT_EQ("Sv-5", corvane::ServiceKey(5));
  EXPECT_EQ("T-1234567", corvane::TransKey(1234567));
  EXPECT_EQ("FFFFFFFB", corvane::Hex(-5));
  EXPECT_EQ("0", corvane::Hex(0));
  EXPECT_EQ("DMLERR_LAST", corvane::ErrorName(16401));
  EXPECT_EQ("DMLERR_ADVACKTIMEOUT", corvane::ErrorName(16384));
  EXPECT_EQ("DMLERR_NO_ERROR", corvane::ErrorName(0));
  EXPECT_EQ("", corvane::ErrorName(1));
  EXPECT_EQ("", corvane::TransTypeName(0));
  EXPECT_EQ("", corvane::TransTypeName(8));
  EXPECT_EQ("TRANS_EXECUTE_COMMAND", corvane::TransTypeName(7));
  EXPECT_EQ(-1, corvane::MapLastError(1));
  EXPECT_EQ(16401, corvane::MapLastError(16401));
}

// ---- instance ----------------------------------------------------------------------------------
TEST_F(Host, InitialiseOnceAsClientOnlyAndUninitialiseReleasesCollections) {
  ComPtr<IConversations> convs;
  ctl->get_Conversations(convs.GetAddressOf());
  EXPECT_FALSE(convs);
  ASSERT_TRUE(Init());
  EXPECT_FALSE(Init());  // already initialised
  EXPECT_EQ(1u, fake::CallsOf("DdeInitializeA").size());
  LONG id = 0;
  ctl->get_idInst(&id);
  EXPECT_EQ(0x7A5, id);
  ctl->get_Conversations(convs.ReleaseAndGetAddressOf());
  EXPECT_TRUE(convs);

  ComPtr<ILogFile> log;
  ctl->get_LogFile(log.GetAddressOf());
  log->put_Options(static_cast<LogFileOptionsEnum>(2));
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(S_OK, ctl->Uninitialise(&ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  LogFileOptionsEnum opts;
  log->get_Options(&opts);
  EXPECT_EQ(15, opts);
  ctl->get_Conversations(convs.ReleaseAndGetAddressOf());
  EXPECT_FALSE(convs);
  ctl->get_idInst(&id);
  EXPECT_EQ(0, id);
  EXPECT_EQ(S_OK, ctl->Uninitialise(&ok));  // not initialised
  EXPECT_EQ(VARIANT_FALSE, ok);
}

TEST_F(Host, FailedInitialiseChangesNothingAndANewControlTakesOver) {
  fake::S().script.initializeFails = true;
  EXPECT_FALSE(Init());
  fake::S().script.initializeFails = false;
  ASSERT_TRUE(Init());
  // A second control zeroes the instance and owns the callback from now on.
  auto second = common::Make<corvane::CorvexControl>();
  LONG id = 1;
  second->get_idInst(&id);
  EXPECT_EQ(0, id);
  EXPECT_EQ(nullptr, fake::Deliver(XTYP_ADVDATA, CF_TEXT, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Host, LastErrorIsCapturedOnlyByWrittenErrorEntries) {
  ASSERT_TRUE(Init());
  DMLERREnum before = 99, e = 99;
  ctl->GetLastError(&before);  // module state: what earlier work left (0 in a fresh process)
  fake::S().script.errorAfterFailure = DMLERR_BUSY;
  fake::S().script.connectFails = true;
  EXPECT_EQ(Failed(), Connect(L"Excel", L"Sheet1"));
  ctl->GetLastError(&e);
  EXPECT_EQ(before, e);  // log inactive: nothing captured
  EXPECT_NE(DMLERR_BUSY, e);
  fake::S().script.errorAfterFailure = DMLERR_NO_CONV_ESTABLISHED;
  StartLog(8);
  EXPECT_EQ(Failed(), Connect(L"Excel", L"Sheet1"));
  ctl->GetLastError(&e);
  EXPECT_EQ(DMLERR_NO_CONV_ESTABLISHED, e);
  fake::S().script.errorAfterFailure = 1;
  Connect(L"Excel", L"Sheet1");
  ctl->GetLastError(&e);
  EXPECT_EQ(-1, e);
  // A command entry with LOG_COMMANDS masked out leaves the captured error alone.
  fake::S().script.connectFails = false;
  Connect(L"Excel", L"Sheet2");
  ctl->GetLastError(&e);
  EXPECT_EQ(-1, e);
}

// ---- log file ----------------------------------------------------------------------------------
TEST_F(Host, LogFileBytesHeaderEntriesAndFooter) {
  ASSERT_TRUE(Init());
  std::wstring path = StartLog(8, false);
  ComPtr<ILogFile> log;
  ctl->get_LogFile(log.GetAddressOf());
  Variant again(path.c_str());
  VARIANT_BOOL ok = VARIANT_TRUE;
  log->Activate(&again, VARIANT_TRUE, static_cast<LogFileOptionsEnum>(15), &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);  // already active

  Connect(L"Excel", L"Sheet1");  // success: LOG_COMMANDS, masked out
  fake::S().script.connectFails = true;
  Connect(L"Excel", L"Sheet9");
  log->put_Options(static_cast<LogFileOptionsEnum>(0));
  log->WriteEntry(B(L"free text").Get());  // written whatever the mask
  LogFileOptionsEnum opts;
  log->get_Options(&opts);
  EXPECT_EQ(0, opts);
  log->put_Options(static_cast<LogFileOptionsEnum>(40000));
  EXPECT_EQ(corvane::kErrOverflow, log->WriteEntry(B(L"lost").Get()));
  log->Deactivate();
  log->get_Options(&opts);
  EXPECT_EQ(15, opts);
  VARIANT_BOOL stamp;
  log->get_WriteDateStamp(&stamp);
  EXPECT_EQ(VARIANT_TRUE, stamp);

  std::string bytes = ReadAll(path);
  std::regex shape(
      "\\d\\d-[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d; \\*{10} Corvane\\.OCX Log File \\*{10}\r\n"
      "\r\n"
      "DDE_Connect: Failed to connect Conversation to Excel\\|Sheet9; Error = DMLERR_NO_CONV_ESTABLISHED\r\n"
      "free text\r\n"
      "\r\n"
      "\\d\\d-[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d; \\*{14} End of Log File \\*{14}\r\n");
  EXPECT_TRUE(std::regex_match(bytes, shape)) << bytes;
  DeleteFileW(path.c_str());
}

TEST_F(Host, LogDefaultsToTheLibraryFolderAndReportsAppendFailures) {
  ComPtr<ILogFile> log;
  ctl->get_LogFile(log.GetAddressOf());
  Variant name(L"");
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, log->Activate(&name, VARIANT_TRUE, static_cast<LogFileOptionsEnum>(15), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  std::wstring expected = corvane::LibraryFolder() + L"\\Corvane.log";
  ASSERT_EQ(VT_BSTR, V_VT(&name));
  EXPECT_EQ(expected, S(V_BSTR(&name)));
  Bstr stored;
  log->get_Filename(stored.ReleaseAndGetAddressOf());
  EXPECT_EQ(expected, stored.ToWide());
  std::string head = ReadAll(expected);
  EXPECT_NE(std::string::npos, head.find("; ********** Corvane.OCX Log File **********\r\n\r\n")) << head;

  // Another program holding the file shut: the entry is lost and LogFileError raised.
  HANDLE locked = CreateFileW(expected.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);
  log->WriteEntry(B(L"while locked").Get());
  CloseHandle(locked);
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(14, rec.events[0].id);
  EXPECT_EQ(L"75", rec.events[0].args[0]);
  VARIANT_BOOL active;
  log->get_Active(&active);
  EXPECT_EQ(VARIANT_TRUE, active);
  log->Deactivate();
  EXPECT_EQ(std::string::npos, ReadAll(expected).find("while locked"));
  DeleteFileW(expected.c_str());
}

// ---- conversations -----------------------------------------------------------------------------
TEST_F(Host, ConnectNeedsBothNamesAndKeepsWhatItConnectedWith) {
  ASSERT_TRUE(Init());
  EXPECT_EQ(Failed(), Connect(L"Excel", L""));
  EXPECT_EQ(Failed(), Connect(L"", L"Sheet1"));
  EXPECT_TRUE(fake::S().calls.size() == 1);  // only DdeInitializeA: no handle, no connect
  std::wstring key = Connect(L"Excel", L"Sheet1");
  EXPECT_EQ(L"C-4096", key);
  auto c = Conv(key);
  ASSERT_TRUE(c);
  Bstr s;
  c->get_Service(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Excel", s.ToWide());
  c->get_Topic(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Sheet1", s.ToWide());
  LONG h;
  c->get_hszService(&h);
  EXPECT_EQ("Excel", fake::NameOf(corvane::FromH32<HSZ>(h)));
  ComPtr<IConversation> byPos;
  ComPtr<IConversations> all;
  ctl->get_Conversations(all.GetAddressOf());
  EXPECT_EQ(S_OK, all->get_Conversation(Variant(1), byPos.GetAddressOf()));
  EXPECT_TRUE(common::SameObject(byPos.Get(), c.Get()));
  EXPECT_EQ(corvane::kErrInvalidArgument, all->get_Conversation(Variant(2), byPos.ReleaseAndGetAddressOf()));
  EXPECT_EQ(corvane::kErrInvalidArgument,
            all->get_Conversation(Variant(L"C-1"), byPos.ReleaseAndGetAddressOf()));

  // A refused connect frees both handles it made.
  fake::S().script.connectFails = true;
  EXPECT_EQ(Failed(), Connect(L"Other", L"Topic"));
  EXPECT_EQ(nullptr, fake::StringOf("Other"));
  EXPECT_EQ(nullptr, fake::StringOf("Topic"));
}

TEST_F(Host, ConversationContextIsThe36ByteRecord) {
  ASSERT_TRUE(Init());
  ComPtr<IConvContext> cc;
  ASSERT_EQ(S_OK, ctl->CreateConvContext(0, 0, 1004, 0, 0, Variant(), cc.GetAddressOf()));
  LONG cp;
  cc->get_CodePage(&cp);
  EXPECT_EQ(1004, cp);
  ComPtr<IQualityOfService> q;
  cc->get_qos(q.GetAddressOf());
  SHORT level, tracking;
  LONG eff;
  q->get_ImpersonationLevel(&level);
  q->get_ContextTrackingMode(&tracking);
  q->get_EffectiveOnly(&eff);
  EXPECT_EQ(2, level);
  EXPECT_EQ(0, tracking);
  EXPECT_EQ(256, eff);
  cc->put_Flags(7);
  cc->put_LangID(0x409);
  Bstr key;
  ASSERT_EQ(S_OK, ctl->Connect(B(L"Excel").Get(), B(L"Sheet1").Get(), Variant(static_cast<IDispatch*>(cc.Get())),
                               key.ReleaseAndGetAddressOf()));
  auto calls = fake::CallsOf("DdeConnect");
  ASSERT_EQ(1u, calls.size());
  ASSERT_TRUE(calls[0].withContext);
  const BYTE* raw = reinterpret_cast<const BYTE*>(&calls[0].context);
  const BYTE expected[36] = {36, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0xEC, 3, 0, 0, 9, 4, 0, 0,
                             0,  0, 0, 0, 12, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0};
  EXPECT_EQ(0, memcmp(expected, raw, 36));
  // Read as the platform lays it out: level 2, static tracking, effective only.
  EXPECT_EQ(2, calls[0].context.qos.ImpersonationLevel);
  EXPECT_EQ(0, calls[0].context.qos.ContextTrackingMode);
  EXPECT_TRUE(calls[0].context.qos.EffectiveOnly);
  ComPtr<IConvContext> kept;
  Conv(key.ToWide())->get_ConvContext(kept.GetAddressOf());
  EXPECT_TRUE(common::SameObject(kept.Get(), cc.Get()));
}

TEST_F(Host, DisconnectStopsLoopsAbandonsTransactionsAndFreesEverything) {
  ASSERT_TRUE(Init());
  long before = fake::LiveStrings();
  auto c = Conv(Connect(L"Excel", L"Sheet1"));
  Bstr k;
  c->StartAdviseLoop(B(L"R1C1").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  c->StartAdviseLoop(B(L"R1C2").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  c->StartRequestLoop(B(L"R2C1").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  c->PokeStringA(B(L"R3C1").Get(), B(L"x").Get(), k.ReleaseAndGetAddressOf());
  c->StartAdviseLoopA(B(L"R4C1").Get(), 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  LONG n;
  c->get_TransactionCount(&n);
  EXPECT_EQ(2, n);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, ctl->Disconnect(Variant(1), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  auto stops = fake::Transactions(XTYP_ADVSTOP);
  ASSERT_EQ(3u, stops.size());
  for (auto& s : stops) EXPECT_EQ(1000u, s.timeout);
  EXPECT_EQ(2u, fake::CallsOf("DdeAbandonTransaction").size());
  EXPECT_EQ(1u, fake::CallsOf("DdeDisconnect").size());
  EXPECT_EQ(0, Count());
  EXPECT_EQ(before, fake::LiveStrings());  // item, service and topic handles all given back
  EXPECT_EQ(corvane::kErrInvalidArgument, ctl->Disconnect(Variant(1), &ok));
}

TEST_F(Host, ServerDisconnectRaisesEventAndReconnectInsideKeepsTheConversation) {
  ASSERT_TRUE(Init());
  std::wstring key = Connect(L"Excel", L"Sheet1");
  auto c = Conv(key);
  DATE created;
  c->get_Created(&created);
  Bstr k;
  c->StartAdviseLoop(B(L"R1C1").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  long strings = fake::LiveStrings();
  fake::S().script.reconnectResult = corvane::FromH32<HCONV>(0x2222);
  std::wstring newKey;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 3) return;
    Bstr r;
    ctl->Reconnect(Variant(e.args[0].c_str()), r.ReleaseAndGetAddressOf());
    newKey = r.ToWide();
  };
  fake::Deliver(XTYP_DISCONNECT, 0, HConv(c.Get()), nullptr, nullptr, nullptr);
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(3, rec.events[0].id);
  EXPECT_EQ(key, rec.events[0].args[0]);
  EXPECT_EQ(L"C-8738", newKey);
  EXPECT_FALSE(Conv(key));
  auto again = Conv(newKey);
  ASSERT_TRUE(again);
  EXPECT_TRUE(common::SameObject(again.Get(), c.Get()));
  DATE created2;
  again->get_Created(&created2);
  EXPECT_EQ(created, created2);
  LONG loops;
  again->get_AdviseLoopCount(&loops);
  EXPECT_EQ(1, loops);
  EXPECT_EQ(strings, fake::LiveStrings());  // nothing freed
  EXPECT_TRUE(fake::CallsOf("DdeDisconnect").empty());  // DDEML retired the old handle itself

  // Without a reconnect the conversation goes, with its handles, and DDEML is given it back
  // (it keeps a conversation its server ended until then); the host's object stays marked.
  rec.onEvent = nullptr;
  fake::Deliver(XTYP_DISCONNECT, 0, HConv(again.Get()), nullptr, nullptr, nullptr);
  auto given = fake::CallsOf("DdeDisconnect");
  ASSERT_EQ(1u, given.size());
  EXPECT_EQ(corvane::FromH32<HCONV>(0x2222), given[0].conv);
  EXPECT_EQ(0, Count());
  EXPECT_EQ(nullptr, fake::StringOf("Excel"));
  EXPECT_EQ(nullptr, fake::StringOf("R1C1"));
  again->get_AdviseLoopCount(&loops);
  EXPECT_EQ(0, loops);  // the loops went with it: nothing left to free twice
  VARIANT_BOOL disc;
  again->get_Disconnected(&disc);
  EXPECT_EQ(VARIANT_TRUE, disc);
  // Reconnect of a connected conversation is refused without DDEML.
  std::wstring k2 = Connect(L"Excel", L"Sheet2");
  Bstr r;
  ctl->Reconnect(Variant(k2.c_str()), r.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), r.ToWide());
  EXPECT_EQ(1u, fake::CallsOf("DdeReconnect").size());
}

TEST_F(Host, DisconnectOfAServerEndedConversationSkipsDdeDisconnect) {
  ASSERT_TRUE(Init());
  auto c = Conv(Connect(L"Excel", L"Sheet1"));
  Bstr k;
  c->StartAdviseLoop(B(L"R1C1").Get(), 1000, 1, VARIANT_FALSE, k.ReleaseAndGetAddressOf());
  // Keep it marked Disconnected: a handler that reconnects fails to.
  size_t givenInHandler = 99;
  rec.onEvent = [&](const Event& e) {
    if (e.id == 3) {
      VARIANT_BOOL ok;
      // The host stops the loop inside the handler: no DDEML call for a dead conversation.
      ComPtr<IConversation> conv;
      e.objects[0]->QueryInterface(IID_IConversation, conv.PutVoid());
      conv->StopAdviseLoop(Variant(1), 1000, &ok);
      EXPECT_EQ(VARIANT_TRUE, ok);
      ctl->Disconnect(Variant(e.args[0].c_str()), &ok);
      EXPECT_EQ(VARIANT_TRUE, ok);
      givenInHandler = fake::CallsOf("DdeDisconnect").size();
    }
  };
  fake::Deliver(XTYP_DISCONNECT, 0, HConv(c.Get()), nullptr, nullptr, nullptr);
  EXPECT_EQ(0u, givenInHandler);
  // Once the event is over DDEML gets the ended conversation back, once.
  auto given = fake::CallsOf("DdeDisconnect");
  ASSERT_EQ(1u, given.size());
  EXPECT_EQ(HConv(c.Get()), given[0].conv);
  EXPECT_EQ(0u, fake::Transactions(XTYP_ADVSTOP).size());
  EXPECT_EQ(0, Count());
  EXPECT_EQ(0, fake::LiveStrings());
  // Every operation on it now fails without DDEML.
  size_t calls = fake::S().calls.size();
  VARIANT_BOOL ok = VARIANT_TRUE;
  c->PokeString(B(L"R1C1").Get(), B(L"1").Get(), 1000, &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);
  c->ExecuteA(B(L"[x]").Get(), k.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), k.ToWide());
  ComPtr<IDDEData> d;
  c->Request(B(L"R1C1").Get(), 1000, 1, d.GetAddressOf());
  EXPECT_FALSE(d);
  EXPECT_EQ(calls, fake::S().calls.size());
}

TEST_F(Host, KeysThatCollideAreErrorsAndLeaveNothingOpen) {
  ASSERT_TRUE(Init());
  std::wstring first = Connect(L"Excel", L"Sheet1");
  ASSERT_EQ(L"C-4096", first);
  long strings = fake::LiveStrings();
  // DDEML hands out a handle whose key is taken: the caller gets the duplicate-key error and
  // the new conversation is closed again, its handles freed.
  fake::S().nextConv = 0x1000;
  Bstr key;
  EXPECT_EQ(corvane::kErrDuplicateKey,
            ctl->Connect(B(L"Excel").Get(), B(L"Sheet2").Get(), Variant(), key.ReleaseAndGetAddressOf()));
  auto given = fake::CallsOf("DdeDisconnect");
  ASSERT_EQ(1u, given.size());
  EXPECT_EQ(corvane::FromH32<HCONV>(0x1000), given[0].conv);
  EXPECT_EQ(strings, fake::LiveStrings());
  EXPECT_EQ(nullptr, fake::StringOf("Sheet2"));
  EXPECT_EQ(1, Count());
  Bstr topic;
  Conv(first)->get_Topic(topic.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Sheet1", topic.ToWide());

  // A reconnect whose new handle's key is taken: the error reaches the handler, the new
  // conversation is closed, and the old one ends as a server-ended one does.
  std::wstring second = Connect(L"Excel", L"Sheet3");
  ASSERT_EQ(L"C-4097", second);
  auto ended = Conv(first);
  fake::S().script.reconnectResult = corvane::FromH32<HCONV>(0x1001);
  HRESULT hr = S_OK;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 3) return;
    Bstr r;
    hr = ctl->Reconnect(Variant(e.args[0].c_str()), r.ReleaseAndGetAddressOf());
  };
  size_t before = fake::CallsOf("DdeDisconnect").size();
  fake::Deliver(XTYP_DISCONNECT, 0, HConv(ended.Get()), nullptr, nullptr, nullptr);
  EXPECT_EQ(corvane::kErrDuplicateKey, hr);
  given = fake::CallsOf("DdeDisconnect");
  ASSERT_EQ(before + 1, given.size());  // the new conversation; the old handle DDEML retired
  EXPECT_EQ(corvane::FromH32<HCONV>(0x1001), given.back().conv);
  EXPECT_EQ(1, Count());
  EXPECT_FALSE(Conv(first));
  ASSERT_TRUE(Conv(second));
  Conv(second)->get_Topic(topic.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Sheet3", topic.ToWide());
  EXPECT_EQ(nullptr, fake::StringOf("Sheet1"));  // the ended conversation's handles are back
  VARIANT_BOOL disc = VARIANT_FALSE;
  ended->get_Disconnected(&disc);
  EXPECT_EQ(VARIANT_TRUE, disc);
}

// ---- channels ----------------------------------------------------------------------------------
TEST_F(Host, FindChannelsListsEveryAnswerButKeepsOneChannelEach) {
  ASSERT_TRUE(Init());
  fake::S().script.servers = {{"Excel", "Sheet1"}, {"Excel", "Sheet2"}};
  Bstr found;
  ASSERT_EQ(S_OK, ctl->FindChannels(B(L"Excel").Get(), B(L"").Get(), found.ReleaseAndGetAddressOf()));
  EXPECT_EQ(L"Excel|Sheet1\r\nExcel|Sheet2", found.ToWide());
  ctl->FindChannels(B(L"Excel").Get(), B(L"").Get(), found.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Excel|Sheet1\r\nExcel|Sheet2", found.ToWide());
  ComPtr<IChannels> ch;
  ctl->get_Channels(ch.GetAddressOf());
  LONG n;
  ch->get_Count(&n);
  EXPECT_EQ(2, n);
  // Each enumeration reports its own conversations (new handles, new keys), so only the
  // service and topic say that a channel is known already; a repeat keeps no extra reference.
  EXPECT_EQ(2, fake::References(fake::StringOf("Excel")));
  auto lists = fake::CallsOf("DdeConnectList");
  ASSERT_EQ(2u, lists.size());
  EXPECT_EQ("Excel", lists[0].item);
  EXPECT_EQ("", lists[0].topic);  // "" is the wildcard: no handle
  // ... and no DDEML call to make one.
  auto made = fake::CallsOf("DdeCreateStringHandleA");
  ASSERT_EQ(2u, made.size());
  for (auto& c : made) EXPECT_EQ("Excel", c.item);
  ctl->FindChannels(B(L"").Get(), B(L"").Get(), found.ReleaseAndGetAddressOf());
  EXPECT_EQ(2u, fake::CallsOf("DdeCreateStringHandleA").size());
  ch->get_Count(&n);
  EXPECT_EQ(2, n);

  // A registered service arrives, then the found channels are cleared.
  HSZ base = fake::AddString("Excel"), inst = fake::AddString("Excel(0x0001002A)");
  fake::Deliver(XTYP_REGISTER, 0, nullptr, base, inst, nullptr);
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(4, rec.events[0].id);
  std::wstring svKey = L"Sv-" + std::to_wstring(corvane::H32(inst));
  EXPECT_EQ(svKey, rec.events[0].args[0]);
  ch->get_Count(&n);
  EXPECT_EQ(3, n);
  LONG removed = 0;
  ctl->ClearChannels(&removed);
  EXPECT_EQ(2, removed);
  ch->get_Count(&n);
  EXPECT_EQ(1, n);
  ComPtr<IChannel> reg;
  ASSERT_EQ(S_OK, ch->get_Channel(Variant(svKey.c_str()), reg.GetAddressOf()));
  Bstr t;
  reg->get_Service(t.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Excel", t.ToWide());
  reg->get_InstanceService(t.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"Excel(0x0001002A)", t.ToWide());
  EXPECT_EQ(2, fake::References(inst));  // DDEML's and the channel's

  // A channel connects to its instance, on a topic of the caller's.
  reg->Connect(B(L"Sheet3").Get(), Variant(), t.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"C-4096", t.ToWide());
  EXPECT_EQ("Excel(0x0001002A)", fake::CallsOf("DdeConnect").back().item);
  reg->Connect(B(L"").Get(), Variant(), t.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), t.ToWide());  // a registered service has no topic of its own

  // Unregistering a service never registered raises nothing; the known one goes.
  rec.events.clear();
  fake::Deliver(XTYP_UNREGISTER, 0, nullptr, base, fake::AddString("Nobody"), nullptr);
  EXPECT_TRUE(rec.events.empty());
  fake::Deliver(XTYP_UNREGISTER, 0, nullptr, base, inst, nullptr);
  ASSERT_EQ(1u, rec.events.size());
  EXPECT_EQ(5, rec.events[0].id);
  ch->get_Count(&n);
  EXPECT_EQ(0, n);
}

TEST_F(Host, UnregisterHandlerMayUninitialiseOrReplaceTheChannels) {
  ASSERT_TRUE(Init());
  HSZ base = fake::AddString("Excel"), inst = fake::AddString("Excel(0x0001002A)");
  auto registerAndHold = [&](ComPtr<IChannel>& reg) {
    fake::Deliver(XTYP_REGISTER, 0, nullptr, base, inst, nullptr);
    ComPtr<IChannels> all;  // not kept: the control's reference must be the only one
    ctl->get_Channels(all.GetAddressOf());
    ASSERT_TRUE(all);
    ASSERT_EQ(S_OK, all->get_Channel(Variant(1), reg.GetAddressOf()));
  };
  auto references = [](IUnknown* u) {
    u->AddRef();
    return u->Release();
  };

  // The handler puts another collection in place: the step still ends on the one it started
  // with, which gives the channel and its handle back.
  ComPtr<IChannel> reg;
  registerAndHold(reg);
  EXPECT_EQ(2, fake::References(inst));
  auto fresh = common::Make<corvane::ChannelsObj>();
  rec.onEvent = [&](const Event& e) {
    if (e.id == 5) ctl->putref_Channels(fresh.Get());
  };
  fake::Deliver(XTYP_UNREGISTER, 0, nullptr, base, inst, nullptr);
  EXPECT_EQ(5, rec.events.back().id);
  EXPECT_EQ(1u, references(reg.Get()));  // only ours: released once, by the removal
  EXPECT_EQ(1, fake::References(inst));  // DDEML's own
  LONG n = -1;
  fresh->get_Count(&n);
  EXPECT_EQ(0, n);

  // The handler uninitialises: the collection and the instance's handles are gone with it.
  rec.onEvent = nullptr;
  reg.Reset();
  ctl->putref_Channels(nullptr);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ctl->Uninitialise(&ok);
  ASSERT_TRUE(Init());
  registerAndHold(reg);
  rec.onEvent = [&](const Event& e) {
    if (e.id == 5) ctl->Uninitialise(&ok);
  };
  fake::Deliver(XTYP_UNREGISTER, 0, nullptr, base, inst, nullptr);
  EXPECT_EQ(VARIANT_TRUE, ok);
  EXPECT_EQ(1u, references(reg.Get()));
  auto& calls = fake::S().calls;
  ASSERT_EQ("DdeUninitialize", calls.back().fn);  // nothing freed into a dead instance after it
}

// ---- persistence and the OLE side ----------------------------------------------------------
namespace {
class Bag final : public common::ComObject<Bag, IPropertyBag> {
 public:
  std::map<std::wstring, common::Variant> values;
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* v, IErrorLog*) override {
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    return VariantCopy(v, &it->second);
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* v) override {
    values[name] = common::Variant(*v);
    return S_OK;
  }
};
}  // namespace

TEST_F(Host, FormSavesAndReloadsFailedReturnStringOnly) {
  ctl->put_HandleEarlyAdvises(VARIANT_TRUE);
  auto bag = common::Make<Bag>();
  ComPtr<IPersistPropertyBag> ppb;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IPersistPropertyBag, ppb.PutVoid()));
  ASSERT_EQ(S_OK, ppb->Save(bag.Get(), TRUE, TRUE));
  ASSERT_EQ(1u, bag->values.size());
  EXPECT_EQ(Failed(), S(V_BSTR(&bag->values[L"FailedReturnString"])));

  ComPtr<IStream> stream;
  ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()));
  ComPtr<IPersistStreamInit> psi;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IPersistStreamInit, psi.PutVoid()));
  ASSERT_EQ(S_OK, psi->Save(stream.Get(), TRUE));
  EXPECT_EQ(S_FALSE, psi->IsDirty());

  // The form is loaded again with a fresh control.
  auto other = common::Make<corvane::CorvexControl>();
  ComPtr<ICorvex> c2;
  other->QueryInterface(IID_ICorvex, c2.PutVoid());
  c2->put_FailedReturnString(B(L"something else").Get());
  ComPtr<IPersistStreamInit> psi2;
  other->QueryInterface(IID_IPersistStreamInit, psi2.PutVoid());
  LARGE_INTEGER zero = {};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ASSERT_EQ(S_OK, psi2->Load(stream.Get()));
  Bstr s;
  c2->get_FailedReturnString(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), s.ToWide());
  c2->put_FailedReturnString(B(L"x").Get());
  ComPtr<IPersistPropertyBag> ppb2;
  other->QueryInterface(IID_IPersistPropertyBag, ppb2.PutVoid());
  ASSERT_EQ(S_OK, ppb2->Load(bag.Get(), nullptr));
  c2->get_FailedReturnString(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(Failed(), s.ToWide());
  // A bag without the value gives "".
  auto empty = common::Make<Bag>();
  ASSERT_EQ(S_OK, ppb2->Load(empty.Get(), nullptr));
  c2->get_FailedReturnString(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"", s.ToWide());
  // The state belongs to the module, so the first control reads it too; restore it.
  c2->put_FailedReturnString(B(Failed().c_str()).Get());
}

namespace {
// A bag as some containers write it: it clears the caller's VARIANT before filling it, and
// fails for a value it does not hold. It records the string pointer it was handed.
class ClearingBag final : public common::ComObject<ClearingBag, IPropertyBag> {
 public:
  std::map<std::wstring, common::Variant> values;
  std::vector<std::pair<VARTYPE, BSTR>> handed;
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* v, IErrorLog*) override {
    handed.emplace_back(V_VT(v), V_VT(v) == VT_BSTR ? V_BSTR(v) : nullptr);
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    if (V_VT(v) == VT_BSTR && V_BSTR(v)) return E_UNEXPECTED;  // would free what it was handed
    VariantClear(v);
    return VariantCopy(v, &it->second);
  }
  STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
};
// Leaves a recognisable pattern where the next call's locals will live.
__attribute__((noinline)) void DirtyStack() {
  volatile unsigned char junk[4096];
  for (auto& b : junk) b = 0xA5;
}
// VariantInit as Windows before 8.1 has it: only the type is set, the rest keeps what was there
// (newer systems and Wine clear the whole VARIANT, which hides an unset string pointer).
void WINAPI TypeOnlyVariantInit(VARIANTARG* v) { V_VT(v) = VT_EMPTY; }
// Points this module's import of oleaut32's VariantInit at `to` for its lifetime.
class VariantInitSwap {
 public:
  explicit VariantInitSwap(void* to) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    void* real = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "VariantInit"));
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d)
      for (auto* t = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk); t->u1.Function; ++t)
        if (reinterpret_cast<void*>(t->u1.Function) == real) slot_ = reinterpret_cast<void**>(&t->u1.Function);
    if (slot_) Set(to, &old_);
  }
  ~VariantInitSwap() {
    if (slot_) Set(old_, nullptr);
  }
  bool Active() const { return slot_ != nullptr; }

 private:
  void Set(void* to, void** was) {
    DWORD prot;
    VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &prot);
    if (was) *was = *slot_;
    *slot_ = to;
    VirtualProtect(slot_, sizeof(void*), prot, &prot);
  }
  void** slot_ = nullptr;
  void* old_ = nullptr;
};
}  // namespace

TEST_F(Host, BagLoadHandsNoStringToFreeToTheBag) {
  ComPtr<IPersistPropertyBag> ppb;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IPersistPropertyBag, ppb.PutVoid()));
  auto bag = common::Make<ClearingBag>();
  bag->values[L"FailedReturnString"] = common::Variant(L"<cleared first>");
  VariantInitSwap typeOnly(reinterpret_cast<void*>(&TypeOnlyVariantInit));
  ASSERT_TRUE(typeOnly.Active());
  DirtyStack();
  ASSERT_EQ(S_OK, ppb->Load(bag.Get(), nullptr));
  auto empty = common::Make<ClearingBag>();
  DirtyStack();
  ASSERT_EQ(S_OK, ppb->Load(empty.Get(), nullptr));  // the read fails: nothing may be freed
  for (auto* b : {bag.Get(), empty.Get()}) {
    ASSERT_EQ(1u, b->handed.size());
    EXPECT_EQ(VT_BSTR, b->handed[0].first);
    EXPECT_EQ(nullptr, b->handed[0].second);
  }
  ComPtr<IPersistPropertyBag> again;
  ctl->QueryInterface(IID_IPersistPropertyBag, again.PutVoid());
  ASSERT_EQ(S_OK, again->Load(bag.Get(), nullptr));
  Bstr s;
  ctl->get_FailedReturnString(s.ReleaseAndGetAddressOf());
  EXPECT_EQ(L"<cleared first>", s.ToWide());
  ctl->put_FailedReturnString(B(Failed().c_str()).Get());
}

TEST_F(Host, SizeStaysAt520TwipsAndClassInfoNamesTheEvents) {
  ComPtr<IOleObject> ole;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IOleObject, ole.PutVoid()));
  SIZEL want = {5000, 123};
  ole->SetExtent(DVASPECT_CONTENT, &want);
  SIZEL got = {};
  ASSERT_EQ(S_OK, ole->GetExtent(DVASPECT_CONTENT, &got));
  EXPECT_EQ(917, got.cx);  // 520 twips in HIMETRIC
  EXPECT_EQ(917, got.cy);
  DWORD misc = 0;
  ole->GetMiscStatus(DVASPECT_CONTENT, &misc);
  EXPECT_TRUE(misc & OLEMISC_INVISIBLEATRUNTIME);
  ComPtr<IProvideClassInfo2> pci;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IProvideClassInfo2, pci.PutVoid()));
  GUID g;
  ASSERT_EQ(S_OK, pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &g));
  EXPECT_TRUE(IsEqualGUID(g, DIID_DCorvexEvents));
  ComPtr<ITypeInfo> ti;
  ASSERT_EQ(S_OK, pci->GetClassInfo(ti.GetAddressOf()));
  ComPtr<IViewObject2> view;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IViewObject2, view.PutVoid()));
  HDC dc = CreateCompatibleDC(nullptr);
  RECTL r = {0, 0, 35, 35};
  EXPECT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &r, nullptr, nullptr, 0));
  DeleteDC(dc);
}

TEST_F(Host, TypeLibraryOrderAndLateBoundCalls) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(S_OK, common::TypeLibCache::GetLibrary(LIBID_CorvaneLib, 1, 0, lib.GetAddressOf()));
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(DIID_DCorvexEvents, events.GetAddressOf()));
  const wchar_t* names[] = {L"DDEAdvise", L"DDENotify", L"DDEDisconnect", L"DDERegister", L"DDEUnregister",
                            L"TransactionAdviseLoopStarted", L"TransactionRequestLoopStarted",
                            L"TransactionAdviseLoopStopped", L"TransactionRequestLoopStopped",
                            L"TransactionPokeCompleted", L"TransactionRequestCompleted",
                            L"TransactionExecuteCompleted", L"TransactionFailed", L"LogFileError"};
  for (int i = 0; i < 14; ++i) {
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(S_OK, events->GetFuncDesc(static_cast<UINT>(i), &fd));
    EXPECT_EQ(i + 1, fd->memid);
    BSTR n = nullptr;
    UINT cn = 0;
    events->GetNames(fd->memid, &n, 1, &cn);
    EXPECT_EQ(names[i], S(n));
    SysFreeString(n);
    events->ReleaseFuncDesc(fd);
  }
  // Late bound: the default member is idInst; Connect by name with its optional context.
  ComPtr<IDispatch> d;
  ctl->QueryInterface(IID_IDispatch, d.PutVoid());
  ASSERT_TRUE(Init());
  Variant r;
  ASSERT_EQ(S_OK, common::DispatchInvoke(d.Get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {}, &r));
  LONG idv = 0;
  r.ToInt32(&idv);
  EXPECT_EQ(0x7A5, idv);
  ASSERT_EQ(S_OK, common::CallMethod(d.Get(), L"Connect", {Variant(L"Excel"), Variant(L"Sheet1")}, &r));
  EXPECT_EQ(L"C-4096", S(V_BSTR(&r)));
  ASSERT_EQ(S_OK, common::GetProperty(d.Get(), L"SZDDESYS_ITEM_RTNMSG", &r));
  EXPECT_EQ(L"ReturnMessage", S(V_BSTR(&r)));
  ASSERT_EQ(S_OK, common::CallMethod(d.Get(), L"TransTypeName", {Variant(6)}, &r));
  EXPECT_EQ(L"TRANS_REQUEST_DATA", S(V_BSTR(&r)));
  Variant conv;
  ASSERT_EQ(S_OK, common::GetProperty(d.Get(), L"Conversations", &conv));
  Variant item;
  ASSERT_EQ(S_OK, common::DispatchInvoke(V_DISPATCH(&conv), DISPID_VALUE, DISPATCH_PROPERTYGET,
                                         {Variant(L"C-4096")}, &item));
  ASSERT_EQ(S_OK, common::CallMethod(V_DISPATCH(&item), L"StartAdviseLoop", {Variant(L"R1C1"), Variant(1000)}, &r));
  EXPECT_EQ(XTYP_ADVSTART, fake::Transactions(XTYP_ADVSTART).at(0).type);
  EXPECT_EQ(CF_TEXT, fake::Transactions(XTYP_ADVSTART).at(0).fmt);
  Bstr ver;
  ctl->get_Version(ver.ReleaseAndGetAddressOf());
  EXPECT_TRUE(std::regex_match(common::WideToUtf8(ver.ToWide()), std::regex("\\d+\\.\\d+\\.\\d+")));
}
