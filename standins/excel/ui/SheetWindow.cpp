#include "SheetWindow.h"

#include <commctrl.h>

#include <algorithm>

#include "AnsiText.h"
#include "Automation.h"

namespace wbs {

namespace {

const char kFrameClass[] = "WorkbookServerFrame";
const char kGridClass[] = "WorkbookServerGrid";
constexpr int kRowHeader = 48, kColWidth = 80, kRowHeight = 20, kEditorHeight = 24, kTabHeight = 26;

WideText W(const std::string& s) { return Utf8ToWideText(s); }

}  // namespace

SheetWindow::SheetWindow(ServerState& st) : st_(st) {
  st_.books.AddObserver(this);
  st_.showWindow = [this](bool show) { Show(show); };
  st_.askUser = [this](const std::string& q) {
    return MessageBoxW(frame_, WinStr(W(q)), L"WorkbookServer", MB_YESNOCANCEL | MB_ICONQUESTION);
  };
}

SheetWindow::~SheetWindow() { Destroy(); }

void SheetWindow::Destroy() {
  st_.books.RemoveObserver(this);
  st_.showWindow = nullptr;
  st_.askUser = nullptr;
  if (frame_) {
    SetWindowLongPtrW(frame_, GWLP_USERDATA, 0);
    DestroyWindow(frame_);
    frame_ = nullptr;
  }
}

void SheetWindow::Create() {
  if (frame_) return;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES};
  InitCommonControlsEx(&icc);
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSA wc = {};
  wc.hInstance = inst;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpfnWndProc = FrameProc;
  wc.lpszClassName = kFrameClass;
  RegisterClassA(&wc);
  wc.lpfnWndProc = GridProc;
  wc.lpszClassName = kGridClass;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.style = CS_DBLCLKS;
  RegisterClassA(&wc);

  HMENU file = CreatePopupMenu();
  AppendMenuA(file, MF_STRING, kMenuCloseWorkbook, "&Close workbook");
  AppendMenuA(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(file, MF_STRING, kMenuQuit, "&Quit");
  HMENU bar = CreateMenu();
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "&File");

  frame_ = CreateWindowExA(0, kFrameClass, "WorkbookServer", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           900, 600, nullptr, bar, inst, nullptr);
  if (!frame_) return;
  SetWindowLongPtrW(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  cellName_ = CreateWindowExA(0, "STATIC", "A1", WS_CHILD | WS_VISIBLE | SS_CENTER, 0, 0, 10, 10, frame_,
                              reinterpret_cast<HMENU>(kIdCellName), inst, nullptr);
  editor_ = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 0, 0, 10, 10, frame_,
                            reinterpret_cast<HMENU>(kIdEditor), inst, nullptr);
  grid_ = CreateWindowExA(WS_EX_CLIENTEDGE, kGridClass, "", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, frame_,
                          reinterpret_cast<HMENU>(kIdGrid), inst, nullptr);
  SetWindowLongPtrW(grid_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  tabs_ = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | TCS_BOTTOM, 0, 0, 10, 10, frame_,
                          reinterpret_cast<HMENU>(kIdTabs), inst, nullptr);
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  for (HWND h : {cellName_, editor_, tabs_}) SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  RebuildTabs();
  Layout();
}

void SheetWindow::Show(bool show) {
  if (show) {
    Create();
    if (!frame_) return;
    ShowWindow(frame_, SW_SHOW);
    UpdateWindow(frame_);
  } else if (frame_) {
    ShowWindow(frame_, SW_HIDE);
  }
}

void SheetWindow::Tell(const std::string& title, const std::string& text) {
  MessageBoxW(frame_ && IsWindowVisible(frame_) ? frame_ : nullptr, WinStr(W(text)), WinStr(W(title)),
              MB_OK | MB_ICONWARNING);
}

Workbook* SheetWindow::CurrentBook() const {
  if (tab_ < 0 || tab_ >= static_cast<int>(tabList_.size())) return nullptr;
  return st_.books.IndexOf(tabList_[tab_].wb) >= 0 ? tabList_[tab_].wb : nullptr;
}

int SheetWindow::CurrentSheet() const { return CurrentBook() ? tabList_[tab_].sheet : -1; }

void SheetWindow::RebuildTabs(const Workbook* leaving) {
  Workbook* keep = CurrentBook();
  int keepSheet = CurrentSheet();
  tabList_.clear();
  for (int b = 0; b < st_.books.Count(); ++b) {
    Workbook* wb = st_.books.At(b);
    if (wb == leaving) continue;
    for (int s = 0; s < wb->SheetCount(); ++s) tabList_.push_back({wb, s});
  }
  tab_ = tabList_.empty() ? -1 : 0;
  Workbook* active = st_.books.Active();
  for (int i = 0; i < static_cast<int>(tabList_.size()); ++i) {
    if (tabList_[i].wb == keep && tabList_[i].sheet == keepSheet) {
      tab_ = i;
      break;
    }
    if (tabList_[i].wb == active && tabList_[i].sheet == 0 && keep == leaving) tab_ = i;
  }
  if (!tabs_) return;
  SendMessageW(tabs_, TCM_DELETEALLITEMS, 0, 0);
  const bool several = st_.books.Count() - (leaving ? 1 : 0) > 1;
  for (int i = 0; i < static_cast<int>(tabList_.size()); ++i) {
    const Tab& t = tabList_[i];
    std::string label = several ? "[" + t.wb->Name() + "]" + t.wb->SheetName(t.sheet) : t.wb->SheetName(t.sheet);
    WideText w = W(label);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = reinterpret_cast<LPWSTR>(w.data());
    SendMessageW(tabs_, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
  if (tab_ >= 0) SendMessageW(tabs_, TCM_SETCURSEL, tab_, 0);
  UpdateTitle();
  UpdateEditor();
  InvalidateRect(grid_, nullptr, TRUE);
}

void SheetWindow::UpdateTitle() {
  if (!frame_) return;
  Workbook* wb = CurrentBook();
  std::string t = wb ? "WorkbookServer - " + wb->Name() + (wb->ReadOnly() ? " [Read-Only]" : "") : "WorkbookServer";
  SetWindowTextW(frame_, WinStr(W(t)));
}

void SheetWindow::Layout() {
  if (!frame_) return;
  RECT rc;
  GetClientRect(frame_, &rc);
  const int w = rc.right, h = rc.bottom;
  MoveWindow(cellName_, 2, 4, kRowHeader + 30, kEditorHeight - 6, TRUE);
  MoveWindow(editor_, kRowHeader + 36, 2, std::max(10, w - kRowHeader - 38), kEditorHeight - 2, TRUE);
  MoveWindow(grid_, 0, kEditorHeight + 2, w, std::max(10, h - kEditorHeight - kTabHeight - 2), TRUE);
  MoveWindow(tabs_, 0, h - kTabHeight, w, kTabHeight, TRUE);
}

int SheetWindow::VisibleRows() const {
  RECT rc{};
  if (grid_) GetClientRect(grid_, &rc);
  return std::max(1, static_cast<int>((rc.bottom - kRowHeight) / kRowHeight));
}

int SheetWindow::VisibleCols() const {
  RECT rc{};
  if (grid_) GetClientRect(grid_, &rc);
  return std::max(1, static_cast<int>((rc.right - kRowHeader) / kColWidth));
}

void SheetWindow::Select(CellPos p) {
  p.row = std::clamp(p.row, 0, kMaxRows - 1);
  p.col = std::clamp(p.col, 0, kMaxCols - 1);
  sel_ = p;
  if (sel_.row < origin_.row) origin_.row = sel_.row;
  if (sel_.col < origin_.col) origin_.col = sel_.col;
  if (sel_.row >= origin_.row + VisibleRows()) origin_.row = sel_.row - VisibleRows() + 1;
  if (sel_.col >= origin_.col + VisibleCols()) origin_.col = sel_.col - VisibleCols() + 1;
  UpdateEditor();
  if (grid_) InvalidateRect(grid_, nullptr, TRUE);
}

void SheetWindow::UpdateEditor() {
  if (!editor_) return;
  SetWindowTextW(cellName_, WinStr(W(ToA1(sel_))));
  Workbook* wb = CurrentBook();
  SetWindowTextW(editor_, WinStr(W(wb ? wb->Formula(CurrentSheet(), sel_) : "")));
}

bool SheetWindow::CommitEditor() {
  Workbook* wb = CurrentBook();
  if (!wb || !editor_) return false;
  const int n = GetWindowTextLengthW(editor_);
  WideText buf(static_cast<size_t>(n) + 1, u'\0');
  GetWindowTextW(editor_, reinterpret_cast<LPWSTR>(buf.data()), n + 1);
  buf.resize(static_cast<size_t>(n));
  std::string error;
  if (!wb->SetEntry(CurrentSheet(), sel_, WideToUtf8Text(buf), error)) {
    Tell("WorkbookServer", "The entry was not stored: " + error);
    return false;
  }
  UpdateTitle();
  return true;
}

bool SheetWindow::PreTranslate(MSG& m) {
  if (!editor_ || m.hwnd != editor_ || m.message != WM_KEYDOWN) return false;
  if (m.wParam == VK_RETURN) {
    if (CommitEditor()) Select(CellPos{sel_.row + 1, sel_.col});
    return true;
  }
  if (m.wParam == VK_ESCAPE) {
    UpdateEditor();
    SetFocus(grid_);
    return true;
  }
  return false;
}

void SheetWindow::CellsChanged(Workbook& wb, const std::vector<CellChange>&) {
  if (grid_ && &wb == CurrentBook()) InvalidateRect(grid_, nullptr, FALSE);
}

void SheetWindow::WorkbookOpened(Workbook&) { RebuildTabs(); }

void SheetWindow::WorkbookClosing(Workbook& wb) { RebuildTabs(&wb); }

void SheetWindow::PaintGrid(HDC dc, const RECT& rc) {
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HGDIOBJ oldFont = SelectObject(dc, font);
  // Texts are drawn transparently, and a change repaints without erasing (no flicker): the
  // background is laid here, or a shorter new text would stand on top of the old one.
  FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  SetBkMode(dc, TRANSPARENT);
  HBRUSH header = GetSysColorBrush(COLOR_BTNFACE);
  HPEN line = CreatePen(PS_SOLID, 1, RGB(208, 208, 208));
  HGDIOBJ oldPen = SelectObject(dc, line);
  Workbook* wb = CurrentBook();
  const int sheet = CurrentSheet();
  const int rows = VisibleRows() + 1, cols = VisibleCols() + 1;
  RECT h{0, 0, rc.right, kRowHeight};
  FillRect(dc, &h, header);
  RECT v{0, 0, kRowHeader, rc.bottom};
  FillRect(dc, &v, header);
  for (int c = 0; c < cols && origin_.col + c < kMaxCols; ++c) {
    RECT cell{kRowHeader + c * kColWidth, 0, kRowHeader + (c + 1) * kColWidth, kRowHeight};
    std::string name = ColumnLetters(origin_.col + c);
    DrawTextA(dc, name.c_str(), -1, &cell, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    MoveToEx(dc, cell.right, 0, nullptr);
    LineTo(dc, cell.right, rc.bottom);
  }
  for (int r = 0; r < rows && origin_.row + r < kMaxRows; ++r) {
    const int y = kRowHeight + r * kRowHeight;
    RECT num{0, y, kRowHeader, y + kRowHeight};
    std::string n = std::to_string(origin_.row + r + 1);
    DrawTextA(dc, n.c_str(), -1, &num, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    MoveToEx(dc, 0, y + kRowHeight, nullptr);
    LineTo(dc, rc.right, y + kRowHeight);
    if (!wb) continue;
    for (int c = 0; c < cols && origin_.col + c < kMaxCols; ++c) {
      CellPos p{origin_.row + r, origin_.col + c};
      RECT cell{kRowHeader + c * kColWidth + 3, y, kRowHeader + (c + 1) * kColWidth - 3, y + kRowHeight};
      if (p == sel_) {
        RECT s{cell.left - 3, cell.top, cell.right + 3, cell.bottom};
        HBRUSH b = CreateSolidBrush(RGB(204, 232, 255));
        FillRect(dc, &s, b);
        DeleteObject(b);
      }
      const std::string text = wb->Text(sheet, p);
      if (text.empty()) continue;
      // Numbers stand to the right, texts to the left, as in any spreadsheet.
      const CellValue::Kind k = wb->Value(sheet, p).kind;
      const UINT align = (k == CellValue::Kind::Number || k == CellValue::Kind::Date) ? DT_RIGHT
                         : (k == CellValue::Kind::Boolean || k == CellValue::Kind::Error) ? DT_CENTER
                                                                                          : DT_LEFT;
      WideText w = W(text);
      DrawTextW(dc, WinStr(w), -1, &cell, align | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
  }
  SelectObject(dc, oldPen);
  DeleteObject(line);
  SelectObject(dc, oldFont);
}

LRESULT CALLBACK SheetWindow::FrameProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<SheetWindow*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  if (!self) return DefWindowProcA(h, msg, wp, lp);
  try {
    return self->OnFrame(msg, wp, lp);
  } catch (...) {
    return 0;
  }
}

LRESULT CALLBACK SheetWindow::GridProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<SheetWindow*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  if (!self) return DefWindowProcA(h, msg, wp, lp);
  try {
    return self->OnGrid(msg, wp, lp);
  } catch (...) {
    return 0;
  }
}

LRESULT SheetWindow::OnFrame(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE: Layout(); return 0;
    case WM_NOTIFY: {
      auto* n = reinterpret_cast<NMHDR*>(lp);
      if (n->hwndFrom == tabs_ && n->code == TCN_SELCHANGE) {
        tab_ = static_cast<int>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0));
        if (Workbook* wb = CurrentBook()) st_.books.Activate(wb);
        origin_ = CellPos{0, 0};
        UpdateTitle();
        Select(CellPos{0, 0});
      }
      return 0;
    }
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case kMenuCloseWorkbook:
          if (Workbook* wb = CurrentBook()) {
            std::string error;
            bool cancelled = false;
            if (!CloseWorkbook(wb, CloseChoice::Ask, error, cancelled) && !cancelled)
              Tell("WorkbookServer", error);
          }
          return 0;
        case kMenuQuit: {
          std::string error;
          QuitApplication(error);
          return 0;
        }
      }
      break;
    case WM_CLOSE: {
      // Closing the window of an application a client started only hides it, as the
      // spreadsheet does while automation holds it; otherwise it quits.
      if (st_.embedding && st_.app && st_.app->Connections() > 0) {
        st_.visible = false;
        Show(false);
      } else {
        std::string error;
        QuitApplication(error);
      }
      return 0;
    }
  }
  return DefWindowProcA(frame_, msg, wp, lp);
}

LRESULT SheetWindow::OnGrid(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(grid_, &ps);
      RECT rc;
      GetClientRect(grid_, &rc);
      PaintGrid(dc, rc);
      EndPaint(grid_, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      const int x = static_cast<short>(LOWORD(lp)), y = static_cast<short>(HIWORD(lp));
      SetFocus(grid_);
      if (x > kRowHeader && y > kRowHeight)
        Select(CellPos{origin_.row + (y - kRowHeight) / kRowHeight, origin_.col + (x - kRowHeader) / kColWidth});
      if (msg == WM_LBUTTONDBLCLK) SetFocus(editor_);
      return 0;
    }
    case WM_KEYDOWN:
      switch (wp) {
        case VK_UP: Select(CellPos{sel_.row - 1, sel_.col}); return 0;
        case VK_DOWN: Select(CellPos{sel_.row + 1, sel_.col}); return 0;
        case VK_LEFT: Select(CellPos{sel_.row, sel_.col - 1}); return 0;
        case VK_RIGHT: Select(CellPos{sel_.row, sel_.col + 1}); return 0;
        case VK_PRIOR: Select(CellPos{sel_.row - VisibleRows(), sel_.col}); return 0;
        case VK_NEXT: Select(CellPos{sel_.row + VisibleRows(), sel_.col}); return 0;
        case VK_RETURN:
        case VK_F2: SetFocus(editor_); return 0;
      }
      break;
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
  }
  return DefWindowProcA(grid_, msg, wp, lp);
}

}  // namespace wbs
