// WorkbookServer's window, driven with real window messages from another process: the grid
// selects a cell and the editor shows its formula; an entry typed into the editor is stored,
// recalculates and reaches a DDE hot link; a changed cell is repainted cleanly; File menu
// commands close the workbook and quit.
#include <gtest/gtest.h>

#include <cstdlib>

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

// The window as the screen shows it, into a .bmp under the build's artifacts (for people to look at).
void Screenshot(HWND w, const char* name) {
  const char* dir = std::getenv("TESSAREL_ARTIFACTS");
  if (!dir) return;
  std::string d = std::string("Z:") + dir;
  for (auto& ch : d)
    if (ch == '/') ch = '\\';
  CreateDirectoryA(d.c_str(), nullptr);
  RECT r;
  GetWindowRect(w, &r);
  const int cx = r.right - r.left, cy = r.bottom - r.top;
  if (cx <= 0 || cy <= 0) return;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = cx;
  bi.bmiHeader.biHeight = cy;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, cx, cy, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((cx * 3 + 3) / 4) * 4, size = stride * cy;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + size;
  std::string path = d + "\\" + name;
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    DWORD n;
    WriteFile(f, &fh, sizeof fh, &n, nullptr);
    WriteFile(f, &bi.bmiHeader, sizeof bi.bmiHeader, &n, nullptr);
    WriteFile(f, bits, size, &n, nullptr);
    CloseHandle(f);
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

// Lets the server (whose window is sent to) and us (COM, DDE) both run their messages.
void Settle() { Pump(300); }

// Pixels of a rectangle of the window's client area (client coordinates) that the screen shows
// in another colour than white.
int InkIn(HWND w, const RECT& r) {
  POINT o{0, 0};
  ClientToScreen(w, &o);
  HDC screen = GetDC(nullptr);
  int n = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x)
      if ((GetPixel(screen, o.x + x, o.y + y) & 0xFFFFFF) != RGB(255, 255, 255)) ++n;
  ReleaseDC(nullptr, screen);
  return n;
}

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
    Settle();

    // A cell whose text becomes shorter is painted afresh: nothing of the old text stays
    // beside the new one. C3's left part, where a long number shows and a one-digit one does not.
    ComPtr<IDispatch> c3 = Obj(Get(ws.Get(), "Range", {Variant(L"C3")}));
    const RECT left{48 + 2 * 80 + 2, 20 + 2 * 20 + 2, 48 + 2 * 80 + 50, 20 + 3 * 20 - 2};
    Put(c3.Get(), "Value", Variant(123456789));
    Settle();
    EXPECT_GT(InkIn(grid, left), 0) << "the long number is not where the check looks";
    Put(c3.Get(), "Value", Variant(7));
    Settle();
    EXPECT_EQ(InkIn(grid, left), 0) << "the old text is still on the screen";
    Screenshot(f.frame, "workbook_server_window.bmp");

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
