#include "LogWindows.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>

#include <cstdio>

#include "../res/resource.h"

namespace logwindows {
namespace {

constexpr const char* kEventLogClass = "TessarelEventLog";
constexpr const char* kErrorLogClass = "TessarelErrorLog";
constexpr const char* kShowTextClass = "TessarelShowText";
LRESULT CALLBACK ShowTextProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

HWND gEventLog = nullptr;

// Form units are twips; at the display's resolution a twip is 1/1440 inch.
int TwipsToPixels(HWND hwnd, int twips, bool horizontal) {
  HDC dc = GetDC(hwnd);
  int dpi = GetDeviceCaps(dc, horizontal ? LOGPIXELSX : LOGPIXELSY);
  ReleaseDC(hwnd, dc);
  return MulDiv(twips, dpi, 1440);
}
int PixelsToTwips(HWND hwnd, int px, bool horizontal) {
  HDC dc = GetDC(hwnd);
  int dpi = GetDeviceCaps(dc, horizontal ? LOGPIXELSX : LOGPIXELSY);
  ReleaseDC(hwnd, dc);
  return MulDiv(px, 1440, dpi);
}

LRESULT CALLBACK EventLogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      HWND box = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                     ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                 0, 0, 10, 10, hwnd,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TXTERRORS)),
                                 cs->hInstance, nullptr);
      SendMessageA(box, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)),
                   FALSE);
      return 0;
    }
    case WM_SIZE: {
      // At left 1 and top 1, the window's size less 200 by 400 (twips), refilled each time.
      auto* log = reinterpret_cast<const EventLog*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
      HWND box = GetDlgItem(hwnd, IDC_TXTERRORS);
      RECT wr;
      GetWindowRect(hwnd, &wr);
      int w = PixelsToTwips(hwnd, wr.right - wr.left, true) - 200;
      int h = PixelsToTwips(hwnd, wr.bottom - wr.top, false) - 400;
      MoveWindow(box, TwipsToPixels(hwnd, 1, true), TwipsToPixels(hwnd, 1, false),
                 w > 0 ? TwipsToPixels(hwnd, w, true) : 0,
                 h > 0 ? TwipsToPixels(hwnd, h, false) : 0, TRUE);
      if (log) SetWindowTextA(box, log->Buffer().ToString().c_str());
      return 0;
    }
    case WM_DESTROY:
      if (gEventLog == hwnd) gEventLog = nullptr;
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

LRESULT CALLBACK ErrorLogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
      const auto* path = static_cast<const std::string*>(cs->lpCreateParams);
      // RichEdit 2.0 or later; the class is registered by loading its library.
      const char* cls = LoadLibraryA("msftedit.dll") ? "RICHEDIT50W" : nullptr;
      if (!cls && LoadLibraryA("riched20.dll")) cls = RICHEDIT_CLASSA;
      HWND box = CreateWindowExA(WS_EX_CLIENTEDGE, cls ? cls : "EDIT", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                     ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                 0, 0, 10, 10, hwnd,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_RTBERRORLOG)),
                                 cs->hInstance, nullptr);
      SendMessageA(box, EM_EXLIMITTEXT, 0, 64 * 1024 * 1024);
      SendMessageA(box, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)),
                   FALSE);
      // A file that cannot be read leaves the box empty; a long one shows its last part.
      SetWindowTextA(box, ReadLogTail(*path, kErrorLogShownBytes).c_str());
      return 0;
    }
    case WM_SIZE:
      MoveWindow(GetDlgItem(hwnd, IDC_RTBERRORLOG), 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      SetDlgItemTextA(dlg, IDC_ABOUTLOGPATH, reinterpret_cast<const char*>(lp));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) EndDialog(dlg, 0);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

bool RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpfnWndProc = EventLogProc;
  wc.lpszClassName = kEventLogClass;
  bool ok = RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  wc.lpfnWndProc = ErrorLogProc;
  wc.lpszClassName = kErrorLogClass;
  ok = (RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) && ok;
  wc.lpfnWndProc = ShowTextProc;
  wc.lpszClassName = kShowTextClass;
  ok = (RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) && ok;
  return ok;
}

HWND ShowEventLog(HINSTANCE instance, HWND owner, const EventLog* log) {
  if (gEventLog) {
    ShowWindow(gEventLog, SW_SHOWNORMAL);
    SetForegroundWindow(gEventLog);
    return gEventLog;
  }
  gEventLog = CreateWindowExA(0, kEventLogClass, "Event Log", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 600, 400, owner, nullptr, instance,
                              const_cast<EventLog*>(log));
  if (gEventLog) ShowWindow(gEventLog, SW_SHOWNORMAL);
  return gEventLog;
}

HWND ShowErrorLog(HINSTANCE instance, HWND owner, const std::string& logFile) {
  std::string path = logFile;
  HWND w = CreateWindowExA(0, kErrorLogClass, "  Error Log", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, 700, 450, owner, nullptr, instance, &path);
  if (w) ShowWindow(w, SW_SHOWNORMAL);
  return w;
}

void ShowAbout(HINSTANCE instance, HWND owner, const std::string& logFile) {
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), owner, AboutProc,
                  reinterpret_cast<LPARAM>(logFile.c_str()));
}

}  // namespace logwindows

namespace logwindows {
namespace {

struct ShowText {
  const DdeStatusView* view;
  RECT margins;  // the box's distances to the window's edges, kept on resize
};

LRESULT CALLBACK ShowTextProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* st = reinterpret_cast<ShowText*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_CREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
      st = static_cast<ShowText*>(cs->lpCreateParams);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(st));
      HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
      HWND box = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                     ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                 8, 8, 560, 300, hwnd,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TXTSHOW)),
                                 cs->hInstance, nullptr);
      SendMessageA(box, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
      HWND close = CreateWindowExA(0, "BUTTON", "&Close", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON,
                                   8, 316, 80, 24, hwnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_CBCLOSE)),
                                   cs->hInstance, nullptr);
      SendMessageA(close, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
      HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, st->view->statusBar.c_str(),
                                 WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUSBAR)),
                                 cs->hInstance, nullptr);
      (void)bar;
      // The text, with the caret after its last character and nothing selected.
      SetWindowTextA(box, st->view->text.c_str());
      int end = GetWindowTextLengthA(box);
      SendMessageA(box, EM_SETSEL, end, end);
      RECT client, r;
      GetClientRect(hwnd, &client);
      GetWindowRect(box, &r);
      MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
      st->margins = RECT{r.left, r.top, client.right - r.right, client.bottom - r.bottom};
      return 0;
    }
    case WM_SIZE: {
      if (!st) break;
      HWND bar = GetDlgItem(hwnd, IDC_STATUSBAR);
      SendMessageA(bar, WM_SIZE, 0, 0);
      int w = LOWORD(lp), h = HIWORD(lp);
      MoveWindow(GetDlgItem(hwnd, IDC_TXTSHOW), st->margins.left, st->margins.top,
                 std::max(0L, w - st->margins.left - st->margins.right),
                 std::max(0L, h - st->margins.top - st->margins.bottom), TRUE);
      RECT br;
      GetWindowRect(bar, &br);
      MoveWindow(GetDlgItem(hwnd, IDC_CBCLOSE), 8, h - (br.bottom - br.top) - 30, 80, 24, TRUE);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == IDC_CBCLOSE || LOWORD(wp) == IDCANCEL) DestroyWindow(hwnd);
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

}  // namespace

void ShowDdeStatus(HINSTANCE instance, HWND owner, const DdeStatusView& view) {
  if (!view.messageBox.empty()) {
    MessageBoxA(owner, view.messageBox.c_str(), "Tessarel", MB_OK);
    return;
  }
  ShowText st{&view, {}};
  HWND w = CreateWindowExA(WS_EX_DLGMODALFRAME, kShowTextClass, "DDE Status",
                           WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 600, 420, owner,
                           nullptr, instance, &st);
  if (!w) return;
  // Modal: the owner is disabled until the window closes.
  EnableWindow(owner, FALSE);
  ShowWindow(w, SW_SHOWNORMAL);
  MSG msg;
  BOOL got = TRUE;
  while (IsWindow(w) && (got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
    if (!IsDialogMessageA(w, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // the program is ending
  EnableWindow(owner, TRUE);
  SetForegroundWindow(owner);
}

}  // namespace logwindows
