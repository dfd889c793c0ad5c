// Tessarel's Excel automation against the spreadsheet stand-in out of process: a new instance
// or an attached one, the workbook opened read-only or writable, macros, and what exit closes.
#include <gtest/gtest.h>

#include <objbase.h>

#include "ExcelAutomation.h"
#include "ExcelLink.h"
#include "WinTestSupport.h"
#include "common/Dispatch.h"
#include "common/Variant.h"

using namespace wintest;

namespace {

struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
};

bool ExcelRegistered() {
  CLSID c;
  return SUCCEEDED(CLSIDFromProgID(L"Excel.Application", &c));
}

// Workbooks(1).<name> of a running application, read through its automation object.
common::Variant BookProperty(IDispatch* app, long position, const wchar_t* name) {
  common::Variant books, book, v;
  common::GetProperty(app, L"Workbooks", books.Ptr());
  common::GetProperty(V_DISPATCH(books.Ptr()), L"Item", book.Ptr(),
                      {common::Variant(static_cast<int>(position))});
  if (V_VT(book.Ptr()) == VT_DISPATCH) common::GetProperty(V_DISPATCH(book.Ptr()), name, v.Ptr());
  return v;
}

}  // namespace

TEST(ExcelAutomation, NewInstanceOpensReadOnlyOrWritableAndQuitsAtExit) {
  ComScope com;
  if (!ExcelRegistered()) GTEST_SKIP() << "Excel.Application is not registered";
  TempFolder dir("tessarel_xl");
  dir.Write("Book.csv", "a,b\r\n1,2\r\n");
  dir.Write("Book.macros", "[Bump]\r\nBook!B2 = Book!B2 + 1\r\n");
  for (bool writable : {false, true}) {
    ComExcelConnector connector;
    ExcelLink link(connector);
    link.ObtainExcel(true, false, dir.File("Book.csv"));
    ASSERT_TRUE(link.HasExcel());
    EXPECT_FALSE(link.gExcelAttached);
    link.OpenWorkbookIfNotOpen(dir.File("Book.csv"), writable);
    EXPECT_EQ(link.WorkbookIndex, 1);
    EXPECT_EQ(link.FindWorkbookIndex(), 1);
    EXPECT_EQ(link.Calculation(), -4105);
    EXPECT_TRUE(link.SetCalculation(-4135));
    EXPECT_EQ(link.Calculation(), -4135);
    EXPECT_TRUE(link.RunMacro("Bump"));
    EXPECT_FALSE(link.RunMacro("NoSuchMacro"));  // an automation error, not a crash
    EXPECT_TRUE(link.HasExcel());
    // The read-only flag as the spreadsheet saw it.
    auto* app = static_cast<DispatchExcelApplication*>(link.gExcel.get());
    common::Variant ro = BookProperty(app->Dispatch(), 1, L"ReadOnly");
    ASSERT_EQ(V_VT(ro.Ptr()), VT_BOOL);
    EXPECT_EQ(V_BOOL(ro.Ptr()) != VARIANT_FALSE, !writable);
    link.ShutdownExcel();
    EXPECT_FALSE(link.HasExcel());
  }
}

TEST(ExcelAutomation, AttachFindsTheOpenWorkbookAndLeavesItOpen) {
  ComScope com;
  if (!ExcelRegistered()) GTEST_SKIP() << "Excel.Application is not registered";
  TempFolder dir("tessarel_xla");
  dir.Write("Line.csv", "x\r\n1\r\n");
  CLSID clsid;
  ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(L"Excel.Application", &clsid));
  common::ComPtr<IDispatch> user;  // someone's Excel, with the workbook already open
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                            reinterpret_cast<void**>(user.ReleaseAndGetAddressOf())));
  common::Variant books, opened;
  ASSERT_HRESULT_SUCCEEDED(common::GetProperty(user.Get(), L"Workbooks", books.Ptr()));
  ASSERT_HRESULT_SUCCEEDED(common::CallMethod(V_DISPATCH(books.Ptr()), L"Open",
                                              {common::Variant(common::AnsiToWide(dir.File("Line.csv")))},
                                              opened.Ptr()));
  {
    ComExcelConnector connector;
    ExcelLink link(connector);
    std::string upper = dir.File("LINE.CSV");  // full names compare without regard to case
    link.ObtainExcel(false, true, upper);
    ASSERT_TRUE(link.HasExcel());
    EXPECT_TRUE(link.gExcelAttached);
    EXPECT_TRUE(link.WorkbookWasOpen);
    EXPECT_EQ(link.WorkbookIndex, 1);
    link.OpenWorkbookIfNotOpen(upper, false);  // not opened a second time
    link.ShutdownExcel();
  }
  common::Variant count;
  ASSERT_HRESULT_SUCCEEDED(common::GetProperty(V_DISPATCH(books.Ptr()), L"Count", count.Ptr()));
  EXPECT_EQ(V_I4(count.Ptr()), 1);  // still open, Excel still running
  common::Variant name = BookProperty(user.Get(), 1, L"Name");
  EXPECT_EQ(V_VT(name.Ptr()), VT_BSTR);
  common::CallMethod(user.Get(), L"Quit");
}
