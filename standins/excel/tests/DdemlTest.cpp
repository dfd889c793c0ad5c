// WorkbookServer's DDE service through our DDEML (the client library Corvane runs on under Wine):
// synchronous requests and pokes interleaved with hot-link data stay in step, and closing the
// workbook reaches the client as a disconnect.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "ServerClient.h"
#include "ddeml_ours/DdemlApi.h"

using namespace wbs_test;
namespace dd = ourddeml;

namespace {

DWORD gInst = 0;
std::vector<std::string> gAdvised;
int gDisconnects = 0;

std::string DataText(HDDEDATA h) {
  if (!h) return "<none>";
  DWORD n = dd::DdeGetData(h, nullptr, 0, 0);
  std::string s(n, '\0');
  dd::DdeGetData(h, reinterpret_cast<LPBYTE>(s.data()), n, 0);
  while (!s.empty() && (s.back() == '\0' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
  switch (type) {
    case XTYP_ADVDATA:
      gAdvised.push_back(DataText(data));
      return reinterpret_cast<HDDEDATA>(DDE_FACK);
    case XTYP_DISCONNECT: ++gDisconnects; return nullptr;
    default: return nullptr;
  }
}

TEST(Ddeml, TransactionsAndHotLinksStayInStepThroughOurDdeml) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    ComPtr<IDispatch> app = NewExcel();
    const long pid = Long(Get(app.Get(), "ProcessId"));
    Put(app.Get(), "DisplayAlerts", Variant(false));
    const std::string path = ScratchFolder("wbs-ddeml") + "Linked.csv";
    std::ofstream(path, std::ios::binary) << "1\r\n";
    ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app.Get(), "Workbooks")).Get(), "Open", {Variant(W(path))}));

    ASSERT_EQ(dd::DdeInitializeA(&gInst, Callback, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_NO_ERROR));
    HSZ service = dd::DdeCreateStringHandleA(gInst, "Excel", CP_WINANSI);
    HSZ topic = dd::DdeCreateStringHandleA(gInst, "linked", CP_WINANSI);
    HSZ a1 = dd::DdeCreateStringHandleA(gInst, "R1C1", CP_WINANSI);
    HSZ b1 = dd::DdeCreateStringHandleA(gInst, "R1C2", CP_WINANSI);
    HCONV conv = dd::DdeConnect(gInst, service, topic, nullptr);
    ASSERT_NE(conv, nullptr) << dd::DdeGetLastError(gInst);

    auto poke = [&](HSZ item, const std::string& text) {
      DWORD result = 0;
      HDDEDATA r = dd::DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<char*>(text.c_str())),
                                            static_cast<DWORD>(text.size() + 1), conv, item, CF_TEXT, XTYP_POKE,
                                            1000, &result);
      return r != nullptr;
    };
    auto request = [&](HSZ item) {
      HDDEDATA r = dd::DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST, 1000, nullptr);
      std::string s = DataText(r);
      if (r) dd::DdeFreeDataHandle(r);
      return s;
    };

    EXPECT_EQ(request(a1), "1");
    ASSERT_TRUE(poke(b1, "=A1+1000"));
    ASSERT_TRUE(dd::DdeClientTransaction(nullptr, 0, conv, b1, CF_TEXT, XTYP_ADVSTART, 1000, nullptr));
    int wrong = 0;
    for (int i = 0; i < 1000; ++i) {
      if (!poke(a1, std::to_string(i))) ++wrong;
      if (request(a1) != std::to_string(i)) ++wrong;
    }
    Pump(200);
    EXPECT_EQ(wrong, 0);
    ASSERT_EQ(gAdvised.size(), 1000u);
    EXPECT_EQ(gAdvised.front(), "1000");
    EXPECT_EQ(gAdvised.back(), "1999");
    // A poke the spreadsheet refuses is reported as a failure.
    EXPECT_FALSE(poke(a1, "=1+"));
    std::string cmd = "[CALCULATE.NOW()]";
    EXPECT_TRUE(dd::DdeClientTransaction(reinterpret_cast<LPBYTE>(cmd.data()), static_cast<DWORD>(cmd.size() + 1), conv,
                                         nullptr, 0, XTYP_EXECUTE, 1000, nullptr));

    Call(wb.Get(), "Close", {Variant(false)});
    for (int i = 0; i < 50 && gDisconnects == 0; ++i) Pump(100);
    EXPECT_EQ(gDisconnects, 1);

    for (HSZ h : {service, topic, a1, b1}) dd::DdeFreeStringHandle(gInst, h);
    dd::DdeUninitialize(gInst);
    Call(app.Get(), "Quit");
    wb = nullptr;
    app = nullptr;
    EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid), 10000));
  }
  CoUninitialize();
}

}  // namespace
