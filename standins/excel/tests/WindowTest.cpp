// WorkbookServer's window, driven with real window messages from another process: the grid
// selects a cell and the editor shows its formula; an entry typed into the editor is stored,
// recalculates and reaches a DDE hot link; File menu commands close the workbook and quit.
#include <gtest/gtest.h>

#include "ServerClient.h"

using namespace wbs_test;

namespace {

struct Found {
  DWORD pid;
  HWND frame = nullptr;
};

BOOL CALLBACK FindFrame(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<Found*>(lp);
  char cls[64] = {0};
  GetClassNameA(h, cls, sizeof cls);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == f->pid && std::string(cls) == "WorkbookServerFrame") {
    f->frame = h;
    return FALSE;
  }
  return TRUE;
}

std::string TextOf(HWND h) {
  char buf[512] = {0};
  SendMessageTimeoutA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, nullptr);
  return buf;
}

// Lets the server (whose window is sent to) and us (COM, DDE) both run their messages.
void Settle() { Pump(300); }

TEST(Window, ShowsTheWorkbookAndStoresWhatIsTypedIntoTheEditor) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    ComPtr<IDispatch> app = NewExcel();
    const long pid = Long(Get(app.Get(), "ProcessId"));
    Put(app.Get(), "DisplayAlerts", Variant(false));
    ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app.Get(), "Workbooks")).Get(), "Add"));
    ComPtr<IDispatch> ws = Obj(Get(Obj(Get(wb.Get(), "Worksheets")).Get(), "Item", {Variant(1)}));
    Put(Obj(Get(ws.Get(), "Range", {Variant(L"A1")})).Get(), "Value", Variant(2));
    Put(Obj(Get(ws.Get(), "Range", {Variant(L"B1")})).Get(), "Formula", Variant(L"=A1*21"));

    Found f{static_cast<DWORD>(pid)};
    EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&f));
    EXPECT_EQ(f.frame, nullptr) << "the window exists before Visible";
    Put(app.Get(), "Visible", Variant(true));
    Settle();
    EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&f));
    ASSERT_NE(f.frame, nullptr);
    EXPECT_TRUE(IsWindowVisible(f.frame));
    EXPECT_EQ(TextOf(f.frame), "WorkbookServer - Book1");
    HWND grid = GetDlgItem(f.frame, 202), editor = GetDlgItem(f.frame, 203), name = GetDlgItem(f.frame, 204);
    ASSERT_NE(grid, nullptr);
    ASSERT_NE(editor, nullptr);

    // Click on B1 (second column, first row below the headers).
    const int x = 48 + 80 + 40, y = 20 + 10;
    SendMessageA(grid, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessageA(grid, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    Settle();
    EXPECT_EQ(TextOf(name), "B1");
    EXPECT_EQ(TextOf(editor), "=A1*21");

    // A hot link on B1, then a new A1 typed into the editor: Enter stores it.
    DdeClient c;
    ASSERT_TRUE(c.Connect("Excel", "Sheet1"));
    ASSERT_TRUE(c.Advise("R1C2"));
    SendMessageA(grid, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(48 + 40, y));
    Settle();
    EXPECT_EQ(TextOf(name), "A1");
    SendMessageA(editor, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("5"));
    PostMessageA(editor, WM_KEYDOWN, VK_RETURN, 0);
    auto a = c.NextAdvise();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->second, "105");
    EXPECT_EQ(Str(Get(Obj(Get(ws.Get(), "Range", {Variant(L"B1")})).Get(), "Value")), "105");
    EXPECT_EQ(TextOf(name), "A2") << "Enter moves down";

    // File menu: Close workbook ends the sheet's conversations; Quit ends the process.
    PostMessageA(f.frame, WM_COMMAND, MAKEWPARAM(101, 0), 0);
    EXPECT_TRUE(c.WaitTerminate());
    EXPECT_EQ(Long(Get(Obj(Get(app.Get(), "Workbooks")).Get(), "Count")), 0);
    EXPECT_EQ(TextOf(f.frame), "WorkbookServer");
    PostMessageA(f.frame, WM_COMMAND, MAKEWPARAM(102, 0), 0);
    ws = nullptr;
    wb = nullptr;
    app = nullptr;
    EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid), 10000));
  }
  CoUninitialize();
}

}  // namespace
