// The link between the spreadsheet and OPC clients, seen from both ends: a spreadsheet the test
// drives through automation (WorkbookServer, with the workbook already open, so Tessarel attaches
// to it), Tessarel serving its cells, and OPC clients in other processes and in this one.
// Formula results reaching subscribers, boolean texts, the calculation-mode tag, the hold of
// automatic calculation around writes, and the workbook closing under connected clients.
#include <gtest/gtest.h>

#include <objbase.h>

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "common/ComPtr.h"
#include "common/Dispatch.h"
#include "common/Strings.h"
#include "common/Variant.h"

using namespace wintest;

namespace {

struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
};

bool Registered(const char* key) {
  HKEY k;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Waits until pred() holds, checking every 50 ms; true when it did within ms.
template <class Pred>
bool WaitFor(Pred pred, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (pred()) return true;
    if (GetTickCount() - start >= ms) return false;
    Sleep(50);
  }
}

// Waits until a file (a client's output, Tessarel's log) contains the text, from `from` on;
// returns the position where it was found, or npos.
std::size_t WaitInFile(const std::string& path, const std::string& text, DWORD ms,
                       std::size_t from = 0) {
  std::size_t at = std::string::npos;
  WaitFor(
      [&] {
        at = ReadFile(path).find(text, from);
        return at != std::string::npos;
      },
      ms);
  return at;
}

// The spreadsheet as its user has it: started through COM, a workbook opened and edited through
// the automation object. Quit when the test ends.
class Spreadsheet {
 public:
  ~Spreadsheet() {
    if (!app_) return;
    common::PutProperty(app_.Get(), L"DisplayAlerts", common::Variant(false));
    common::CallMethod(app_.Get(), L"Quit");
  }
  HRESULT Start() {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"Excel.Application", &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(app_.ReleaseAndGetAddressOf()));
  }
  // True when the running "Excel.Application" that Tessarel will attach to is this one, not a
  // spreadsheet some earlier program left running.
  bool IsTheActiveOne() {
    CLSID clsid;
    common::ComPtr<IUnknown> unk;
    common::ComPtr<IDispatch> active;
    common::Variant mine, theirs;
    return SUCCEEDED(CLSIDFromProgID(L"Excel.Application", &clsid)) &&
           SUCCEEDED(GetActiveObject(clsid, nullptr, unk.ReleaseAndGetAddressOf())) &&
           SUCCEEDED(unk->QueryInterface(IID_IDispatch, active.PutVoid())) &&
           SUCCEEDED(common::GetProperty(active.Get(), L"ProcessId", theirs.Ptr())) &&
           SUCCEEDED(common::GetProperty(app_.Get(), L"ProcessId", mine.Ptr())) &&
           V_VT(mine.Ptr()) == VT_I4 && V_VT(theirs.Ptr()) == VT_I4 &&
           V_I4(mine.Ptr()) == V_I4(theirs.Ptr());
  }
  HRESULT Open(const std::string& path) {
    common::Variant books, book, sheets, sheet;
    HRESULT hr = common::GetProperty(app_.Get(), L"Workbooks", books.Ptr());
    if (SUCCEEDED(hr))
      hr = common::CallMethod(V_DISPATCH(books.Ptr()), L"Open",
                              {common::Variant(common::AnsiToWide(path))}, book.Ptr());
    if (SUCCEEDED(hr)) hr = common::GetProperty(V_DISPATCH(book.Ptr()), L"Worksheets", sheets.Ptr());
    if (SUCCEEDED(hr))
      hr = common::GetProperty(V_DISPATCH(sheets.Ptr()), L"Item", sheet.Ptr(), {common::Variant(1)});
    if (FAILED(hr)) return hr;
    book_ = V_DISPATCH(book.Ptr());
    sheet_ = V_DISPATCH(sheet.Ptr());
    return S_OK;
  }
  HRESULT Put(const wchar_t* cell, const wchar_t* property, const common::Variant& v) {
    common::Variant range;
    HRESULT hr = common::GetProperty(sheet_.Get(), L"Range", range.Ptr(), {common::Variant(cell)});
    return SUCCEEDED(hr) ? common::PutProperty(V_DISPATCH(range.Ptr()), property, v) : hr;
  }
  // Range(cell).Text, the cell as the sheet shows it; "<error>" when it cannot be read.
  std::string Text(const wchar_t* cell) {
    common::Variant range, text;
    if (FAILED(common::GetProperty(sheet_.Get(), L"Range", range.Ptr(), {common::Variant(cell)})) ||
        FAILED(common::GetProperty(V_DISPATCH(range.Ptr()), L"Text", text.Ptr())) ||
        V_VT(text.Ptr()) != VT_BSTR)
      return "<error>";
    return common::OleToUtf8(V_BSTR(text.Ptr()));
  }
  // Application.Calculation, or 0 when it cannot be read.
  long Calculation() {
    common::Variant c;
    if (FAILED(common::GetProperty(app_.Get(), L"Calculation", c.Ptr())) ||
        FAILED(VariantChangeType(c.Ptr(), c.Ptr(), 0, VT_I4)))
      return 0;
    return V_I4(c.Ptr());
  }
  HRESULT SetCalculation(long mode) {
    return common::PutProperty(app_.Get(), L"Calculation", common::Variant(static_cast<int>(mode)));
  }
  long BookCount() {
    common::Variant books, count;
    if (FAILED(common::GetProperty(app_.Get(), L"Workbooks", books.Ptr())) ||
        FAILED(common::GetProperty(V_DISPATCH(books.Ptr()), L"Count", count.Ptr())))
      return -1;
    return V_I4(count.Ptr());
  }
  // Closes the workbook without saving, as a user closing it in the spreadsheet would.
  HRESULT CloseBook() {
    sheet_.Reset();
    HRESULT hr = common::CallMethod(book_.Get(), L"Close", {common::Variant(false)});
    book_.Reset();
    return hr;
  }

 private:
  common::ComPtr<IDispatch> app_, book_, sheet_;
};

// An OPC client in this process, through the custom interfaces (OpcProxy.dll marshals them):
// one group with the given items, synchronous reads and writes.
class OpcSession {
 public:
  ~OpcSession() { Close(); }
  void Close() {
    if (io_) io_->Release();
    if (items_) items_->Release();
    if (server_) server_->Release();
    io_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
  }
  std::string Connect(const std::vector<std::wstring>& ids) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"Marrowby.Tessarel.1", &clsid);
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(&server_));
    if (FAILED(hr)) return "cannot connect: " + common::HResultHex(hr);
    OPCHANDLE group = 0;
    DWORD revised = 0;
    hr = server_->AddGroup(L"system test", TRUE, 1000, 1, nullptr, nullptr, 0x409, &group, &revised,
                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items_));
    if (FAILED(hr)) return "AddGroup: " + common::HResultHex(hr);
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    hr = items_->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &res, &errs);
    if (FAILED(hr)) return "AddItems: " + common::HResultHex(hr);
    std::string why;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (FAILED(errs[i])) why += "item " + std::to_string(i) + ": " + common::HResultHex(errs[i]) + " ";
      handles_.push_back(res[i].hServer);
      CoTaskMemFree(res[i].pBlob);
    }
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    if (!why.empty()) return why;
    hr = items_->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io_));
    return FAILED(hr) ? "no IOPCSyncIO: " + common::HResultHex(hr) : std::string();
  }
  // One write call of several items (by their position in Connect's list); the call's result,
  // with each item's error in `errors`.
  HRESULT Write(const std::vector<std::pair<std::size_t, common::Variant>>& values,
                std::vector<HRESULT>& errors) {
    std::vector<OPCHANDLE> h;
    std::vector<VARIANT> v;
    for (auto& [index, value] : values) {
      h.push_back(handles_.at(index));
      v.push_back(value);  // shallow: Write only reads them
    }
    HRESULT* errs = nullptr;
    HRESULT hr = io_->Write(static_cast<DWORD>(h.size()), h.data(), v.data(), &errs);
    errors.assign(h.size(), E_UNEXPECTED);
    if (SUCCEEDED(hr) && errs) errors.assign(errs, errs + h.size());
    CoTaskMemFree(errs);
    return hr;
  }
  HRESULT Write1(std::size_t index, const common::Variant& value) {
    std::vector<HRESULT> errors;
    HRESULT hr = Write({{index, value}}, errors);
    return FAILED(hr) ? hr : errors[0];
  }
  // The item's value read from the server ("device" read), as text; quality in `quality`.
  std::string Read(std::size_t index, WORD& quality) {
    OPCHANDLE h = handles_.at(index);
    OPCITEMSTATE* st = nullptr;
    HRESULT* errs = nullptr;
    quality = 0;
    if (FAILED(io_->Read(OPC_DS_DEVICE, 1, &h, &st, &errs))) return "<read failed>";
    std::string text = "<error " + common::HResultHex(errs[0]) + ">";
    if (SUCCEEDED(errs[0])) {
      quality = st[0].wQuality;
      VARIANT s;
      VariantInit(&s);
      if (SUCCEEDED(VariantChangeTypeEx(&s, &st[0].vDataValue, 0x409, VARIANT_ALPHABOOL, VT_BSTR)))
        text = common::OleToUtf8(V_BSTR(&s));
      else
        text = "<no value>";
      VariantClear(&s);
    }
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(errs);
    return text;
  }
  std::string Read(std::size_t index) {
    WORD q;
    return Read(index, q);
  }

 private:
  IOPCServer* server_ = nullptr;
  IOPCItemMgt* items_ = nullptr;
  IOPCSyncIO* io_ = nullptr;
  std::vector<OPCHANDLE> handles_;
};

// A program folder with Tessarel, its INI and tag database, and the workbook.
struct TessarelFolder {
  TempFolder dir;
  std::string bin = EnvPath("TESSAREL_BIN_DIR");
  explicit TessarelFolder(const char* tag) : dir(tag) {
    CopyFileA((bin + "\\Tessarel.exe").c_str(), dir.File("Tessarel.exe").c_str(), FALSE);
  }
  std::string Opc() const { return bin + "\\opcclient.exe"; }
  std::string Log() const { return ReadFile(dir.File("Tessarel.log")); }
  // Starts Tessarel and waits until it serves and has its hot links on the sheet: the log's
  // "ConnectToDdeServer: OK" line, the n-th time (the log keeps earlier runs).
  bool StartAndWait(Process& p, int run = 1) {
    if (!Start(p, dir.File("Tessarel.exe"), "", dir.Path())) return false;
    const std::string ok = "ConnectToDdeServer: OK for Excel,plant";
    return WaitFor(
        [&] {
          std::string log = Log();
          int n = 0;
          for (std::size_t at = log.find(ok); at != std::string::npos; at = log.find(ok, at + 1)) ++n;
          return n >= run;
        },
        60000);
  }
};

bool Prerequisites(std::string& why) {
  if (!Registered("Excel.Application")) why = "the spreadsheet stand-in is not registered";
  else if (!Registered("CLSID\\{060A26E6-75AB-4B55-A66B-E273AAD0569B}"))
    why = "the DDE control is not registered";
  else if (!Registered("Marrowby.Tessarel.1")) why = "Tessarel is not registered";
  return why.empty();
}

}  // namespace

// Formula cells follow their precedents to a subscribed client, whether an OPC client or the
// spreadsheet's user changed them; booleans are written as the configured texts; closing the
// workbook asks every connected client to disconnect, and the tags keep their last values.
TEST(WorkbookLink, FormulasAndBooleanTextsReachClientsAndClosingTheWorkbookAsksThemToLeave) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  TessarelFolder f("tessarel_link");
  f.dir.Write("Plant.csv", "Name,Value\r\nSpeed,12.5\r\nFactor,3\r\nPower,0\r\nRunning,No\r\n"
                           "State,\r\n");
  f.dir.Write("Tessarel.ini",
              "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
              "Visible=false\r\nNewExcelInstance=false\r\n"
              "[Excel]\r\nTrue=Yes\r\nFalse=No\r\n");
  f.dir.Write("tags.csv",
              "Tag,Type,Sheet,Cell,Write\r\n"
              "Speed,R8,Plant,R2C2,yes\r\n"
              "Factor,R8,Plant,R3C2,yes\r\n"
              "Power,R8,Plant,R4C2\r\n"
              "Running,BOOL,Plant,R5C2,yes\r\n"
              "State,STRING,Plant,R6C2\r\n");

  // The user's spreadsheet with the workbook open and two formulas typed in.
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_TRUE(xl.IsTheActiveOne()) << "another spreadsheet is running; Tessarel would attach to it";
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));
  ASSERT_HRESULT_SUCCEEDED(xl.Put(L"B4", L"Formula", common::Variant(L"=B2*B3")));
  ASSERT_HRESULT_SUCCEEDED(
      xl.Put(L"B6", L"Formula", common::Variant(L"=IF(B5=\"Yes\",\"running\",\"stopped\")")));
  ASSERT_EQ(xl.Text(L"B4"), "37.5");
  ASSERT_EQ(xl.Text(L"B6"), "stopped");

  Process tessarel;
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();

  // A client subscribed to the formula cells and the boolean from here on.
  Process watch;
  ASSERT_TRUE(StartToFile(watch, f.Opc(),
                          "Marrowby.Tessarel.1 watch Power State Running --seconds 180 --rate 200",
                          f.dir.File("watch.txt")));
  const std::string watched = f.dir.File("watch.txt");
  ASSERT_NE(WaitInFile(watched, "Power = 37.5  [Good", 30000), std::string::npos)
      << ReadFile(watched);
  EXPECT_NE(WaitInFile(watched, "State = stopped  [Good", 5000), std::string::npos)
      << ReadFile(watched);
  EXPECT_NE(WaitInFile(watched, "Running = False  [Good", 5000), std::string::npos)
      << ReadFile(watched);

  // Another OPC client writes the precedent: the formula's new result reaches the subscriber.
  std::string out;
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 write Speed 20", out), 0) << out;
  EXPECT_NE(WaitInFile(watched, "Power = 60  [Good", 15000), std::string::npos)
      << ReadFile(watched);
  EXPECT_EQ(xl.Text(L"B2"), "20");

  // The spreadsheet's user changes the other precedent: the same road from the other end.
  ASSERT_HRESULT_SUCCEEDED(xl.Put(L"B3", L"Value", common::Variant(4.0)));
  EXPECT_NE(WaitInFile(watched, "Power = 80  [Good", 15000), std::string::npos)
      << ReadFile(watched);

  // A boolean is written as the configured texts, which the formula on it then sees.
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 write Running true", out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return xl.Text(L"B5") == "Yes"; }, 5000)) << xl.Text(L"B5");
  std::size_t on = WaitInFile(watched, "State = running  [Good", 15000);
  EXPECT_NE(on, std::string::npos) << ReadFile(watched);
  EXPECT_NE(WaitInFile(watched, "Running = True  [Good", 15000), std::string::npos)
      << ReadFile(watched);
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 write Running false", out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return xl.Text(L"B5") == "No"; }, 5000)) << xl.Text(L"B5");
  if (on != std::string::npos) {
    EXPECT_NE(WaitInFile(watched, "State = stopped  [Good", 15000, on), std::string::npos)
        << ReadFile(watched);
  }

  // A second watching client, and one here that only reads.
  Process watch2;
  ASSERT_TRUE(StartToFile(watch2, f.Opc(), "Marrowby.Tessarel.1 watch Speed --seconds 180",
                          f.dir.File("watch2.txt")));
  EXPECT_NE(WaitInFile(f.dir.File("watch2.txt"), "Speed = 20  [Good", 30000), std::string::npos)
      << ReadFile(f.dir.File("watch2.txt"));
  OpcSession reader;
  ASSERT_EQ(reader.Connect({L"Power", L"Running"}), "");

  // The user closes the workbook: its conversation ends, and every client with a shutdown
  // callback is asked to leave, with the reason.
  DWORD closed = GetTickCount();
  ASSERT_HRESULT_SUCCEEDED(xl.CloseBook());
  EXPECT_EQ(watch.WaitExit(30000), 0);
  EXPECT_EQ(watch2.WaitExit(30000), 0);
  DWORD left = GetTickCount() - closed;
  const std::string reason = "server asks to disconnect: Excel is being shut down";
  EXPECT_TRUE(Has(ReadFile(watched), reason)) << ReadFile(watched);
  EXPECT_TRUE(Has(ReadFile(f.dir.File("watch2.txt")), reason)) << ReadFile(f.dir.File("watch2.txt"));
  EXPECT_LT(left, 10000u) << "the watching clients left " << left << " ms after the close";

  // Nothing reconnects; the tags keep their last values and qualities.
  WORD quality = 0;
  EXPECT_EQ(reader.Read(0, quality), "80");
  EXPECT_EQ(quality, 0xC0);
  EXPECT_EQ(reader.Read(1, quality), "False");
  EXPECT_EQ(quality, 0xC0);

  // The last client leaving ends Tessarel; the spreadsheet it attached to stays.
  reader.Close();
  EXPECT_EQ(tessarel.WaitExit(30000), 0);
  EXPECT_EQ(xl.BookCount(), 0);
}

// "Excel.CalculationMode" reads and sets the spreadsheet's calculation while no hold is
// configured; with a hold, every write switches the spreadsheet to manual calculation until the
// hold time has passed, and the calculation-mode tag refuses writes. Two runs of Tessarel on the
// one spreadsheet, one for each setting.
TEST(WorkbookLink, CalculationModeTagAndTheManualHoldAroundWrites) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  TessarelFolder f("tessarel_calc");
  f.dir.Write("Plant.csv", "Name,Value\r\nSpeed,12.5\r\nFactor,3\r\nPower,0\r\n");
  f.dir.Write("tags.csv",
              "Tag,Type,Sheet,Cell,Write\r\n"
              "Speed,R8,Plant,R2C2,yes\r\n"
              "Power,R8,Plant,R4C2\r\n");
  auto ini = [&](int holdMs) {
    f.dir.Write("Tessarel.ini",
                "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
                "Visible=false\r\nNewExcelInstance=false\r\n"
                "[Excel]\r\nDisableAutoCalcOnWriteTime=" + std::to_string(holdMs) + "\r\n");
  };
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_TRUE(xl.IsTheActiveOne()) << "another spreadsheet is running; Tessarel would attach to it";
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));
  ASSERT_HRESULT_SUCCEEDED(xl.Put(L"B4", L"Formula", common::Variant(L"=B2*B3")));
  ASSERT_EQ(xl.Calculation(), -4105);
  enum { kCalc, kSpeed, kPower };
  const std::vector<std::wstring> items = {L"Excel.CalculationMode", L"Speed", L"Power"};

  {
    SCOPED_TRACE("no hold");
    ini(0);
    Process tessarel;
    ASSERT_TRUE(f.StartAndWait(tessarel, 1)) << f.Log();
    OpcSession opc;
    ASSERT_EQ(opc.Connect(items), "");
    EXPECT_EQ(opc.Read(kCalc), "2");  // automatic

    // 1 is semiautomatic, in the spreadsheet and then in the tag.
    EXPECT_EQ(opc.Write1(kCalc, common::Variant(1)), S_OK);
    EXPECT_EQ(xl.Calculation(), 2);
    EXPECT_EQ(opc.Read(kCalc), "1");

    // The user switches to manual; a write of a mode that does not exist fails, changes
    // nothing, and still brings the tag up to what the spreadsheet has.
    ASSERT_HRESULT_SUCCEEDED(xl.SetCalculation(-4135));
    EXPECT_EQ(opc.Write1(kCalc, common::Variant(5)), E_FAIL);
    EXPECT_EQ(xl.Calculation(), -4135);
    EXPECT_EQ(opc.Read(kCalc), "0");

    // Several items in one write: each has its own result.
    std::vector<HRESULT> errors;
    EXPECT_EQ(opc.Write({{kCalc, common::Variant(2)}, {kSpeed, common::Variant(10.0)}}, errors),
              S_OK);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(xl.Calculation(), -4105);
    EXPECT_EQ(opc.Read(kCalc), "2");
    EXPECT_EQ(xl.Text(L"B2"), "10");
    EXPECT_EQ(opc.Write({{kSpeed, common::Variant(20.0)}, {kCalc, common::Variant(-1)}}, errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, E_FAIL}));
    EXPECT_EQ(xl.Text(L"B2"), "20");
    EXPECT_EQ(xl.Calculation(), -4105);
    EXPECT_TRUE(WaitFor([&] { return opc.Read(kPower) == "60"; }, 10000)) << opc.Read(kPower);

    opc.Close();
    EXPECT_EQ(tessarel.WaitExit(30000), 0);
    EXPECT_EQ(xl.BookCount(), 1);  // the attached spreadsheet's workbook stays open
  }
  {
    SCOPED_TRACE("hold of 2000 ms");
    ini(2000);
    Process tessarel;
    ASSERT_TRUE(f.StartAndWait(tessarel, 2)) << f.Log();
    OpcSession opc;
    ASSERT_EQ(opc.Connect(items), "");
    EXPECT_EQ(opc.Read(kCalc), "2");
    ASSERT_EQ(xl.Calculation(), -4105);

    // A write to a cell: manual calculation at once, the precedent changed but its formula
    // waiting, and automatic calculation (with the new result) about two seconds later.
    DWORD t0 = GetTickCount();
    EXPECT_EQ(opc.Write1(kSpeed, common::Variant(30.0)), S_OK);
    EXPECT_TRUE(WaitFor([&] { return xl.Calculation() == -4135; }, 3000));
    DWORD manualAt = GetTickCount() - t0;
    EXPECT_LT(manualAt, 500u);
    EXPECT_EQ(xl.Text(L"B2"), "30");
    EXPECT_EQ(xl.Text(L"B4"), "60");
    EXPECT_TRUE(WaitFor([&] { return xl.Calculation() == -4105; }, 8000));
    DWORD automaticAt = GetTickCount() - t0;
    EXPECT_GE(automaticAt, 1500u);
    EXPECT_LE(automaticAt, 4000u);
    EXPECT_EQ(xl.Text(L"B4"), "90");
    EXPECT_TRUE(WaitFor([&] { return opc.Read(kPower) == "90"; }, 10000)) << opc.Read(kPower);
    std::printf("hold: manual after %lu ms, automatic after %lu ms\n",
                static_cast<unsigned long>(manualAt), static_cast<unsigned long>(automaticAt));

    // The calculation-mode tag refuses writes while a hold is configured: the spreadsheet never
    // goes semiautomatic (the write itself still holds calculation off for its time).
    EXPECT_EQ(opc.Write1(kCalc, common::Variant(1)), E_FAIL);
    std::vector<long> seen;
    DWORD until = GetTickCount() + 3500;
    while (GetTickCount() < until) {
      long c = xl.Calculation();
      if (seen.empty() || seen.back() != c) seen.push_back(c);
      Sleep(50);
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 2L), 0);
    EXPECT_EQ(seen.back(), -4105);
    EXPECT_EQ(opc.Read(kCalc), "2");

    opc.Close();
    EXPECT_EQ(tessarel.WaitExit(30000), 0);
  }
}
