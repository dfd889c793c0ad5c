// cOpcClient and the bridge's start-up against the real automation wrapper (Veltrane.dll,
// created through COM as Tessarel creates it) and SimServer's DA 2.0 personality, with a
// recording worksheet: the group, items the server refuses, values into cells, exact writes, the
// failure texts, the DataChange handler on large and bad notifications.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>

#include "ClientBridge.h"
#include "ClientTestSupport.h"
#include "ExcelClientSheet.h"
#include "common/Dispatch.h"
#include "SimServerProcess.h"
#include "common/Bstr.h"
#include "common/SafeArray.h"
#include "common/Variant.h"

using common::Variant;

namespace {

// Cells as the spreadsheet would get them: each write kept in order.
class RecordingSheet : public IClientSheet {
 public:
  std::vector<std::pair<std::string, Variant>> writes;
  std::size_t SetValues(const std::vector<CellWrite>& w) override {
    for (const CellWrite& c : w) writes.emplace_back(c.cell, Variant(*c.value));
    return w.size();
  }
  long Count(const std::string& cell) const {
    long n = 0;
    for (auto& [c, v] : writes) n += c == cell;
    return n;
  }
  const Variant* Last(const std::string& cell) const {
    for (auto it = writes.rbegin(); it != writes.rend(); ++it)
      if (it->first == cell) return &it->second;
    return nullptr;
  }
};

struct Client {
  std::vector<std::string> log;
  long errors = 0;
  std::string folder = ".";
  std::unique_ptr<cOpcClient> c;
  std::shared_ptr<RecordingSheet> sheet = std::make_shared<RecordingSheet>();
  Client() {
    ClientContext ctx;
    ctx.log = [this](const std::string& m) { log.push_back(m); };
    ctx.countError = [this] { ++errors; };
    ctx.programFolder = folder;
    ctx.createServer = &CreateServer;
    c = std::make_unique<cOpcClient>(ctx);
    c->SetSheet(sheet);
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
};

double AsDouble(const Variant& v) {
  Variant d;
  if (FAILED(VariantChangeType(d.Ptr(), const_cast<Variant&>(v).Ptr(), 0, VT_R8))) return -1e300;
  return V_R8(d.Ptr());
}


}  // namespace

TEST(cOpcClientTest, OneGroupRefusedItemsLoggedValuesIntoCellsAndWritesInTheItemsOwnType) {
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  ComScope com;
  Client cl;
  cOpcClient& c = *cl.c;
  // The group's settings and their limits.
  c.SetUpdateRateSec(0);
  EXPECT_EQ(c.UpdateRateSec(), 1);
  c.SetUpdateRateSec(5000);
  EXPECT_EQ(c.UpdateRateSec(), 3600);
  c.SetUpdateRateSec(1);
  c.SetDeadbandPercentage(100);
  c.SetDeadbandPercentage(-1);
  EXPECT_EQ(c.DeadbandPercentage(), 0.0f);

  c.Server = "Sim.OPCDA.2";
  c.Node = "LocalHost";  // this machine in any letter case: no node is passed
  ASSERT_TRUE(c.Connect()) << c.Status();
  EXPECT_EQ(c.Status(), "Connected");
  IOPCGroup* g = c.ConnectedGroup();
  ASSERT_TRUE(g);
  common::Bstr name;
  VARIANT_BOOL active = 0, subscribed = 0;
  LONG rate = 0;
  float deadband = -1;
  g->get_Name(name.ReleaseAndGetAddressOf());
  g->get_IsActive(&active);
  g->get_IsSubscribed(&subscribed);
  g->get_UpdateRate(&rate);
  g->get_DeadBand(&deadband);
  EXPECT_EQ(name.ToUtf8(), "Group1");
  EXPECT_TRUE(active && subscribed);
  EXPECT_EQ(rate, 1000);
  EXPECT_EQ(deadband, 0.0f);

  c.AddOPCItems({"Register.R8", "Ramp.I4", "No.Such.Item", "Register.I4", "Quality.Bad",
                 "Quality.Uncertain", "Register.BOOL"},
                {"B2", "B3", "B4", "B5", "B6", "B7", ""},
                {false, false, false, true, false, false, true});
  EXPECT_EQ(c.Status(), "OPC Sync Read All OK");
  // The refused item: logged with its code, counted, and empty; the others work.
  EXPECT_TRUE(cl.Logged("OPC Client: Error C0040007 adding tag No.Such.Item"));
  EXPECT_EQ(cl.errors, 1);
  EXPECT_EQ(c.ItemStateText(2), "C0040007");
  EXPECT_EQ(V_VT(c.ItemValue(2).Ptr()), VT_NULL);
  EXPECT_EQ(c.ItemQuality(2), 0);
  EXPECT_EQ(c.DataTypeByTag("Register.R8"), VT_R8);
  EXPECT_EQ(c.DataTypeByTag("ramp.i4"), VT_I4);
  EXPECT_EQ(c.DataTypeByTag("Register.I4"), VT_I4) << "found by server handle after a refused item";
  EXPECT_EQ(c.DataTypeByTag("No.Such.Item"), 0);
  // The first read filled the read items' cells: good and uncertain ones, not the bad one and
  // not the write item's.
  EXPECT_EQ(cl.sheet->Count("B2"), 1);
  EXPECT_EQ(cl.sheet->Count("B3"), 1);
  EXPECT_EQ(cl.sheet->Count("B7"), 1);
  ASSERT_NE(cl.sheet->Last("B7"), nullptr);
  EXPECT_EQ(AsDouble(*cl.sheet->Last("B7")), 12.5);
  EXPECT_EQ(cl.sheet->Count("B6"), 0);
  EXPECT_EQ(cl.sheet->Count("B5"), 0);
  EXPECT_EQ(V_VT(c.ItemByTag("Quality.Bad").Ptr()), VT_NULL);
  EXPECT_EQ(c.QualityByTag("Quality.Bad") & 0xC0, 0);
  EXPECT_EQ(c.ItemStateText(4), "Bad");
  // Positions out of range and unknown item IDs.
  for (long i : {-1L, c.NumItems()}) {
    EXPECT_EQ(V_VT(c.ItemValue(i).Ptr()), VT_R4);
    EXPECT_EQ(V_R4(c.ItemValue(i).Ptr()), -999.0f);
    EXPECT_EQ(c.ItemQuality(i), 0);
    EXPECT_EQ(c.CellByIndex(i), "");
  }
  EXPECT_EQ(V_R4(c.ItemByTag("Not.There").Ptr()), -999.0f);
  EXPECT_EQ(c.CellByIndex(0), "B2");
  EXPECT_EQ(c.CellByTag("Quality.Uncertain"), "B7");

  // The ramp moves its cell; the write item is inactive and never reaches its own cell.
  simserver::Pump(4000, [&] { return cl.sheet->Count("B3") >= 3; });
  EXPECT_GE(cl.sheet->Count("B3"), 3);
  EXPECT_EQ(cl.sheet->Count("B5"), 0);

  // Writes arrive in the item's own type: no rounding through a single.
  std::size_t logged = cl.log.size();
  c.SetItemByTag("Register.I4", Variant(123456789L));
  c.SetItemByTag("Register.R8", Variant(0.1));
  c.SetItemValue(6, Variant(true));  // Register.BOOL
  EXPECT_EQ(c.Status(), "OPC Async Write OK");
  c.SetItemByTag("Register.R8", Variant(L"abc"));  // does not convert: nothing written or logged
  c.SetItemByTag("Not.There", Variant(1.0));
  c.SetItemValue(99, Variant(1.0));
  EXPECT_EQ(cl.log.size(), logged);
  simserver::Pump(1500, [] { return false; });
  Client reader;
  reader.c->Server = "Sim.OPCDA.2";
  ASSERT_TRUE(reader.c->Connect());
  reader.c->AddOPCItems({"Register.I4", "Register.R8", "Register.BOOL"}, {"", "", ""},
                        {false, false, false});
  Variant i4 = reader.c->ItemByTag("Register.I4"), r8 = reader.c->ItemByTag("Register.R8"),
          b = reader.c->ItemByTag("Register.BOOL");
  ASSERT_EQ(V_VT(i4.Ptr()), VT_I4);
  EXPECT_EQ(V_I4(i4.Ptr()), 123456789);
  ASSERT_EQ(V_VT(r8.Ptr()), VT_R8);
  EXPECT_EQ(V_R8(r8.Ptr()), 0.1);
  ASSERT_EQ(V_VT(b.Ptr()), VT_BOOL);
  EXPECT_EQ(V_BOOL(b.Ptr()), VARIANT_TRUE);

  c.Disconnect();
  EXPECT_EQ(c.Status(), "Disconnected");
  EXPECT_EQ(c.ConnectedServer(), nullptr);
  EXPECT_EQ(cl.errors, 1);
}

TEST(cOpcClientTest, FailuresCarryTheirContextAndCodeAndARepeatedItemAddsNothing) {
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  ComScope com;
  Client cl;
  EXPECT_FALSE(cl.c->Connect());  // no server set: nothing said
  EXPECT_EQ(cl.c->Status(), "");
  EXPECT_TRUE(cl.log.empty());
  cl.c->Server = "No.Such.Server";
  cl.c->Node = "";
  EXPECT_FALSE(cl.c->Connect());
  // The wrapper's own code for a ProgID it cannot find (0x80070002 from Veltrane).
  EXPECT_EQ(cl.c->Status().rfind("OPC Client (0x8", 0), 0u) << cl.c->Status();
  EXPECT_NE(cl.c->Status().find(") - Error connecting to No.Such.Server"), std::string::npos);
  EXPECT_EQ(cl.log, std::vector<std::string>{cl.c->Status()});
  EXPECT_EQ(cl.errors, 0) << "a client error is not a start-up error by itself";

  cl.c->Server = "Sim.OPCDA.2";
  ASSERT_TRUE(cl.c->Connect());
  cl.c->AddOPCItems({"Register.R8", "Ramp.I4", "register.r8"}, {"A1", "A2", "A3"},
                    {false, false, false});
  EXPECT_EQ(cl.c->Status(), "OPC Client (0x80070057) - Error adding OPC Items");
  EXPECT_EQ(cl.errors, 1);
  common::ComPtr<OPCItems> items;
  ASSERT_EQ(S_OK, cl.c->ConnectedGroup()->get_OPCItems(items.GetAddressOf()));
  LONG n = -1;
  items->get_Count(&n);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(cl.sheet->writes.empty());
}

TEST(cOpcClientTest, DataChangeTakesEveryItemAndBadQualityLeavesTheCellAlone) {
  ComScope com;
  Client cl;
  // No server: the items are known to the client but not added anywhere.
  const long n = 40000;  // more than a 16-bit count holds
  std::vector<std::string> ids, cells(n);
  for (long i = 0; i < n; ++i) ids.push_back("Item." + std::to_string(i));
  cells[0] = "A1";
  cells[1] = "A2";
  cells[2] = "A3";
  cl.c->AddOPCItems(ids, cells, std::vector<bool>(n, false));
  EXPECT_EQ(cl.c->Status(), "OPC Client (0x80004003) - Error adding OPC Items");
  cl.sheet->writes.clear();

  common::SafeArray h, v, q;
  ASSERT_EQ(S_OK, h.Create(VT_I4, n + 2));
  ASSERT_EQ(S_OK, v.Create(VT_VARIANT, n + 2));
  ASSERT_EQ(S_OK, q.Create(VT_I4, n + 2));
  for (LONG i = 1; i <= n + 2; ++i) {
    LONG handle = i <= n ? i : (i == n + 1 ? 0 : n + 1);  // two handles that are not ours
    LONG quality = handle == 2 ? 0x1C : (handle == 3 ? 0x40 : 0xC0);
    h.Put(i, handle);
    q.Put(i, quality);
    v.PutVariant(i, Variant(static_cast<double>(handle)));
  }
  Variant hv = h.ToVariant(), vv = v.ToVariant(), qv = q.ToVariant();
  cl.c->OnDataChange(n + 2, hv, vv, qv);
  EXPECT_EQ(AsDouble(cl.c->ItemValue(n - 1)), n) << "the last item of a 40,000-item change";
  EXPECT_EQ(V_VT(cl.c->ItemValue(1).Ptr()), VT_NULL);
  EXPECT_EQ(cl.c->ItemQuality(1), 0x1C);
  EXPECT_EQ(cl.c->ItemStateText(1), "Bad");
  EXPECT_EQ(cl.c->ItemStateText(2), "Good");  // uncertain counts as good
  ASSERT_EQ(cl.sheet->writes.size(), 2u);
  EXPECT_EQ(cl.sheet->writes[0].first, "A1");
  EXPECT_EQ(cl.sheet->writes[1].first, "A3");
  EXPECT_EQ(AsDouble(cl.sheet->writes[1].second), 3);

  // The arrays by reference, as some event sources pass them; a count beyond the arrays does
  // not read past them.
  common::SafeArray h2, v2, q2;
  h2.Create(VT_I4, 1);
  v2.Create(VT_VARIANT, 1);
  q2.Create(VT_I4, 1);
  h2.Put(1, LONG{1});
  q2.Put(1, LONG{0xC0});
  v2.PutVariant(1, Variant(L"text"));
  SAFEARRAY *hp = h2.Get(), *vp = v2.Get(), *qp = q2.Get();
  VARIANT hr{}, vr{}, qr{};
  V_VT(&hr) = VT_BYREF | VT_ARRAY | VT_I4;
  V_ARRAYREF(&hr) = &hp;
  V_VT(&vr) = VT_BYREF | VT_ARRAY | VT_VARIANT;
  V_ARRAYREF(&vr) = &vp;
  V_VT(&qr) = VT_BYREF | VT_ARRAY | VT_I4;
  V_ARRAYREF(&qr) = &qp;
  cl.c->OnDataChange(5, hr, vr, qr);
  ASSERT_EQ(cl.sheet->writes.size(), 3u);
  EXPECT_EQ(cl.sheet->writes[2].first, "A1");
  EXPECT_EQ(V_VT(cl.sheet->writes[2].second.Ptr()), VT_BSTR);
}

TEST(ClientBridgeTest, StartUpMessagesAliasesAndTheFrameTexts) {
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  ComScope com;
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  const std::string folder = std::string(tmp) + "tessarel_client_bridge";
  CreateDirectoryA(folder.c_str(), nullptr);
  WritePrivateProfileStringA("Plant", "Server", "Sim.OPCDA.2", (folder + "\\ServerAlias.ini").c_str());
  WritePrivateProfileStringA("Nothing", "Node", "pc9", (folder + "\\ServerAlias.ini").c_str());

  std::vector<std::string> log;
  long errors = 0;
  std::string shownServer;
  bool buttonOn = true;
  bool sheetFound = false;
  ClientBridgeContext ctx;
  ctx.log = [&](const std::string& m) { log.push_back(m); };
  ctx.countError = [&] { ++errors; };
  ctx.programFolder = [&] { return folder; };
  ctx.createServer = &CreateServer;
  ctx.findSheet = [&](const std::string&) -> std::shared_ptr<IClientSheet> {
    return sheetFound ? std::make_shared<RecordingSheet>() : nullptr;
  };
  ctx.fileExists = [](const std::string&) { return false; };
  ctx.showServer = [&](const std::string& s, bool on) {
    shownServer = s;
    buttonOn = on;
  };
  ClientBridge bridge(ctx);

  bridge.Configure(ClientSettings{"", "", "Plant", "", ""});
  EXPECT_FALSE(bridge.ServerConfigured());
  EXPECT_FALSE(buttonOn) << "no server: the tag editor's button is disabled";

  bridge.Configure(ClientSettings{"", "Sim.OPCDA.2", "Plant", folder + "\\client.csv", "client.csv"});
  EXPECT_TRUE(bridge.ServerConfigured());
  EXPECT_EQ(shownServer, "Sim.OPCDA.2");
  EXPECT_TRUE(buttonOn);
  bridge.Start();  // the sheet is not in the workbook
  EXPECT_EQ(log, (std::vector<std::string>{"Could not assign sheet to client", "Client not connected"}));
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(bridge.ClientConnected);

  log.clear();
  sheetFound = true;
  bridge.Start();  // connected, but the tag file is missing
  EXPECT_TRUE(bridge.ClientConnected);
  EXPECT_EQ(log, std::vector<std::string>{"File " + folder + "\\client.csv does not exist"});
  EXPECT_EQ(errors, 2);

  // Selecting the same server changes nothing; another one replaces the client.
  bridge.gOpcClient->SetDeadbandPercentage(5);  // marks this client object
  bridge.ReselectClientServer("Sim.OPCDA.2");
  EXPECT_EQ(bridge.gOpcClient->DeadbandPercentage(), 5.0f);
  bridge.ReselectClientServer("Sim.OPCDA.1");
  EXPECT_EQ(bridge.gOpcClient->DeadbandPercentage(), 0.0f);
  EXPECT_EQ(bridge.gOpcClient->Server, "Sim.OPCDA.1");
  EXPECT_EQ(bridge.gOpcClient->Status(), "Connected");
  EXPECT_TRUE(bridge.ClientConnected);
  EXPECT_EQ(bridge.SelectedOpcServer(), "Sim.OPCDA.1");
  EXPECT_EQ(shownServer, "Sim.OPCDA.1");

  // Aliases: the server and node of a section of ServerAlias.ini in the program folder.
  bridge.gOpcClient->SetServerAlias("Plant");
  EXPECT_EQ(bridge.gOpcClient->Server, "Sim.OPCDA.2");
  EXPECT_EQ(bridge.gOpcClient->Node, "localhost");
  EXPECT_EQ(bridge.gOpcClient->ServerAlias(), "Plant");
  bridge.gOpcClient->SetServerAlias("Nothing");
  EXPECT_EQ(bridge.gOpcClient->ServerAlias(), "");
  EXPECT_EQ(bridge.gOpcClient->Server, "");
  EXPECT_EQ(bridge.gOpcClient->Node, "pc9");

  // The servers of this computer, through a server object made only for the question.
  common::Variant list = bridge.gOpcClient->OPCServerList();
  EXPECT_EQ(bridge.gOpcClient->Status(), "OK");
  ASSERT_EQ(V_VT(list.Ptr()), VT_ARRAY | VT_BSTR);
  bool found = false;
  common::SafeArray names;
  ASSERT_EQ(S_OK, names.CopyFrom(V_ARRAY(list.Ptr())));
  for (LONG i = names.LowerBound(); i <= names.UpperBound(); ++i) {
    BSTR n = nullptr;
    names.GetElement(i, &n);
    found = found || common::Bstr::Adopt(n).ToUtf8() == "Sim.OPCDA.2";
  }
  EXPECT_TRUE(found);

  bridge.DisableAndDisconnect();
  EXPECT_EQ(bridge.gOpcClient->Status(), "Disconnected");
  bridge.Release();
  DeleteFileA((folder + "\\ServerAlias.ini").c_str());
  RemoveDirectoryA(folder.c_str());
}

// The client sheet on the spreadsheet stand-in: neighbouring cells of one notification go in as
// one range call and land in their own cells; a range the spreadsheet refuses is written cell by
// cell, so only the bad cell misses its value.
TEST(ExcelClientSheetTest, NeighbouringCellsGoInAsOneRangeAndARefusedRangeCellByCell) {
  ComScope com;
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"Excel.Application", &clsid))) GTEST_SKIP() << "no spreadsheet";
  common::ComPtr<IDispatch> app;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, app.PutVoid()));
  Variant books, book;
  ASSERT_EQ(S_OK, common::GetProperty(app.Get(), L"Workbooks", books.Ptr()));
  ASSERT_EQ(S_OK, common::CallMethod(V_DISPATCH(books.Ptr()), L"Add", {}, book.Ptr()));
  Variant sheetName;
  {
    Variant sheets, first;
    ASSERT_EQ(S_OK, common::GetProperty(V_DISPATCH(book.Ptr()), L"Worksheets", sheets.Ptr()));
    ASSERT_EQ(S_OK, common::GetProperty(V_DISPATCH(sheets.Ptr()), L"Item", first.Ptr(), {Variant(1)}));
    ASSERT_EQ(S_OK, common::GetProperty(V_DISPATCH(first.Ptr()), L"Name", sheetName.Ptr()));
  }
  common::ComPtr<IDispatch> ws =
      FindWorksheet(app.Get(), 1, common::Bstr::Copy(V_BSTR(sheetName.Ptr())).ToAnsi());
  ASSERT_TRUE(ws);
  EXPECT_FALSE(FindWorksheet(app.Get(), 1, "No Such Sheet"));
  EXPECT_FALSE(FindWorksheet(app.Get(), 7, "Sheet1"));
  ExcelClientSheet sheet(ws);
  auto valueOf = [&](const wchar_t* cell) {
    Variant r, v;
    common::GetProperty(ws.Get(), L"Range", r.Ptr(), {Variant(cell)});
    if (V_VT(r.Ptr()) == VT_DISPATCH) common::GetProperty(V_DISPATCH(r.Ptr()), L"Value", v.Ptr());
    return v;
  };

  Variant a(1.5), b(true), c(L"text"), d(42L);
  std::vector<CellWrite> w = {{"B2", a.Ptr()}, {"B3", b.Ptr()}, {"B4", c.Ptr()}, {"D1", d.Ptr()}};
  EXPECT_EQ(sheet.SetValues(w), 4u);
  EXPECT_EQ(sheet.Calls(), 2) << "B2:B4 in one call, D1 in another";
  EXPECT_EQ(AsDouble(valueOf(L"B2")), 1.5);
  EXPECT_EQ(V_VT(valueOf(L"B3").Ptr()), VT_BOOL);
  EXPECT_EQ(V_VT(valueOf(L"B4").Ptr()), VT_BSTR);
  EXPECT_EQ(AsDouble(valueOf(L"D1")), 42);

  // An object is no cell value: the range is refused and its other cells still get theirs.
  Variant obj(static_cast<IDispatch*>(app.Get())), e(7.0), f(8.0);
  std::vector<CellWrite> bad = {{"C1", e.Ptr()}, {"C2", obj.Ptr()}, {"C3", f.Ptr()}};
  EXPECT_EQ(sheet.SetValues(bad), 2u);
  EXPECT_EQ(AsDouble(valueOf(L"C1")), 7);
  EXPECT_EQ(AsDouble(valueOf(L"C3")), 8);

  common::PutProperty(app.Get(), L"DisplayAlerts", Variant(false));
  common::CallMethod(app.Get(), L"Quit");
}
