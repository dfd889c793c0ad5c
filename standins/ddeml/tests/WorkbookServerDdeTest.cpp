// Our DDEML against the spreadsheet stand-in's DDE service "Excel", the way Tessarel uses it:
// one conversation per worksheet, pokes of cell texts, requests, hot links on cells.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <fstream>

#include "DdemlTestKit.h"

using namespace ddetest;

namespace {

// Late-bound calls on the automation object, just enough to open a workbook and quit.
HRESULT Invoke(IDispatch* d, const wchar_t* name, WORD kind, VARIANT* args, UINT n, VARIANT* result) {
  DISPID id;
  LPOLESTR nm = const_cast<LPOLESTR>(name);
  HRESULT hr = d->GetIDsOfNames(IID_NULL, &nm, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS p{args, kind == DISPATCH_PROPERTYPUT ? &put : nullptr, n, kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
  return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &p, result, nullptr, nullptr);
}

class WorkbookServerDde : public ::testing::Test {
 protected:
  const DdemlApi& api = OurDdeml();
  DWORD inst = 0;
  IDispatch* app = nullptr;
  std::string sheet;
  std::string path;

  void SetUp() override {
    gRec = Recorder{};
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(L"Excel.Application", &clsid)))
      GTEST_SKIP() << "Excel.Application (WorkbookServer) is not registered in this prefix";
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, (void**)&app), S_OK);
    VARIANT no;
    VariantInit(&no);
    no.vt = VT_BOOL;
    no.boolVal = VARIANT_FALSE;
    Invoke(app, L"DisplayAlerts", DISPATCH_PROPERTYPUT, &no, 1, nullptr);
    // A text file's one sheet bears the file's name: that is the DDE topic.
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    sheet = "DdemlSheet" + std::to_string(GetCurrentProcessId());
    path = std::string(tmp) + sheet + ".csv";
    std::ofstream(path, std::ios::binary) << "\r\n";
    VARIANT books, file, wb;
    VariantInit(&books);
    VariantInit(&wb);
    ASSERT_EQ(Invoke(app, L"Workbooks", DISPATCH_PROPERTYGET, nullptr, 0, &books), S_OK);
    file.vt = VT_BSTR;
    std::wstring wpath(path.begin(), path.end());
    file.bstrVal = SysAllocString(wpath.c_str());
    HRESULT hr = Invoke(books.pdispVal, L"Open", DISPATCH_METHOD, &file, 1, &wb);
    VariantClear(&file);
    VariantClear(&books);
    VariantClear(&wb);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(api.DdeInitializeA(&inst, RecordingCallback, APPCMD_CLIENTONLY, 0), 0u);
    gRec.inst = inst;
  }
  void TearDown() override {
    if (inst) api.DdeUninitialize(inst);
    if (app) {
      Invoke(app, L"Quit", DISPATCH_METHOD, nullptr, 0, nullptr);
      app->Release();
    }
    CoUninitialize();
    if (!path.empty()) DeleteFileA(path.c_str());
    gRec = Recorder{};
  }
  HSZ Hsz(const std::string& s) { return api.DdeCreateStringHandleA(inst, s.c_str(), CP_WINANSI); }
  std::string Request(HCONV c, const char* item) {
    HSZ h = Hsz(item);
    HDDEDATA d = api.DdeClientTransaction(nullptr, 0, c, h, CF_TEXT, XTYP_REQUEST, 1000, nullptr);
    api.DdeFreeStringHandle(inst, h);
    std::string s = Text(d);
    if (d) api.DdeFreeDataHandle(d);
    return s;
  }
  bool Poke(HCONV c, const char* item, const std::string& text) {
    HSZ h = Hsz(item);
    HDDEDATA r = api.DdeClientTransaction((LPBYTE)text.c_str(), (DWORD)text.size() + 1, c, h, CF_TEXT,
                                          XTYP_POKE, 1000, nullptr);
    api.DdeFreeStringHandle(inst, h);
    return r != nullptr;
  }
};

TEST_F(WorkbookServerDde, PokesRequestsAndHotLinksOnASheet) {
  HSZ service = Hsz("Excel"), topic = Hsz(sheet);
  HCONV c = api.DdeConnect(inst, service, topic, nullptr);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(Poke(c, "R1C1", "5"));
  EXPECT_EQ(Request(c, "R1C1"), "5\r\n") << "a cell's text travels with CR LF";
  ASSERT_TRUE(Poke(c, "R1C2", "=A1*2"));
  EXPECT_EQ(Request(c, "R1C2"), "10\r\n");

  HSZ item = Hsz("R1C2");
  ASSERT_NE(api.DdeClientTransaction(nullptr, 0, c, item, CF_TEXT, XTYP_ADVSTART, 1000, nullptr), nullptr);
  // Cell writes, each followed by the formula's new text on the hot link.
  int wrong = 0;
  for (int i = 0; i < 200; i++) {
    wrong += !Poke(c, "R1C1", std::to_string(i));
    wrong += Request(c, "R1C1") != std::to_string(i) + "\r\n";
  }
  PumpUntil([&] {
    for (auto& e : gRec.events)
      if (e.type == XTYP_ADVDATA && e.data == "398\r\n") return true;
    return false;
  }, 3000);
  EXPECT_EQ(wrong, 0);
  long last = -1, outOfOrder = 0;
  for (auto& e : gRec.events)
    if (e.type == XTYP_ADVDATA) {
      long v = atol(e.data.c_str());
      outOfOrder += v <= last;
      last = v;
    }
  EXPECT_EQ(last, 398) << "the last write reached the hot link";
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_NE(api.DdeClientTransaction(nullptr, 0, c, item, CF_TEXT, XTYP_ADVSTOP, 1000, nullptr), nullptr);
  EXPECT_TRUE(api.DdeDisconnect(c));
  for (HSZ h : {service, topic, item}) api.DdeFreeStringHandle(inst, h);
}

}  // namespace
