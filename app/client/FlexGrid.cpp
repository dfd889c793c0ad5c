#include "FlexGrid.h"

#include <windowsx.h>

#include <algorithm>

void FlexGrid::RegisterClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &FlexGrid::WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExA(&wc);  // a second registration fails harmlessly
}

FlexGrid* FlexGrid::From(HWND hwnd) {
  return reinterpret_cast<FlexGrid*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

void FlexGrid::SetColumns(std::vector<int> widths, std::vector<bool> rightAligned) {
  widths_ = std::move(widths);
  right_ = std::move(rightAligned);
  right_.resize(widths_.size(), false);
  Refresh();
}

int FlexGrid::RowHeight() const {
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  return tm.tmHeight + 5;
}

int FlexGrid::VisibleDataRows() const {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  int n = (rc.bottom - RowHeight()) / RowHeight();
  return std::max(n, 1);
}

void FlexGrid::Refresh() {
  if (!hwnd_) return;
  const int dataRows = Rows() - 1;
  top_ = std::clamp(top_, 1, std::max(1, dataRows - VisibleDataRows() + 1));
  SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL};
  si.nMin = 1;
  si.nMax = std::max(1, dataRows);
  si.nPage = static_cast<UINT>(VisibleDataRows());
  si.nPos = top_;
  SetScrollInfo(hwnd_, SB_VERT, &si, TRUE);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

RECT FlexGrid::CellRect(int row, int col) const {
  RECT r{};
  if (col < 0 || col >= static_cast<int>(widths_.size())) return r;
  const int h = RowHeight();
  int y;
  if (row == 0) {
    y = 0;
  } else {
    if (row < top_ || row >= top_ + VisibleDataRows()) return r;
    y = h * (row - top_ + 1);
  }
  int x = 0;
  for (int c = 0; c < col; ++c) x += widths_[c];
  r = RECT{x, y, x + widths_[col], y + h};
  return r;
}

void FlexGrid::EnsureVisible(int row) {
  if (row < 1) return;
  if (row < top_)
    ScrollTo(row);
  else if (row >= top_ + VisibleDataRows())
    ScrollTo(row - VisibleDataRows() + 1);
}

void FlexGrid::ScrollTo(int top) {
  const int maxTop = std::max(1, Rows() - VisibleDataRows());
  top = std::clamp(top, 1, maxTop);
  if (top == top_) return;
  top_ = top;
  SetScrollPos(hwnd_, SB_VERT, top_, TRUE);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void FlexGrid::Notify(WORD code) {
  HWND parent = GetParent(hwnd_);
  if (parent)
    SendMessageA(parent, WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(hwnd_), code), reinterpret_cast<LPARAM>(hwnd_));
}

bool FlexGrid::SetCell(int row, int col) {
  if (row < 1 || row >= Rows() || col < TagGrid::kFixedCols || col >= TagGrid::kCols)
    return false;
  if (row != row_ || col != col_) {
    Notify(kNotifyLeaveCell);
    row_ = row;
    col_ = col;
  }
  EnsureVisible(row_);
  InvalidateRect(hwnd_, nullptr, FALSE);
  return true;
}

bool FlexGrid::HitTest(int x, int y, int& row, int& col) const {
  const int h = RowHeight();
  if (y < h) return false;  // the header
  row = top_ + (y - h) / h;
  if (row >= Rows()) return false;
  int left = 0;
  for (col = 0; col < static_cast<int>(widths_.size()); ++col) {
    if (x < left + widths_[col]) return true;
    left += widths_[col];
  }
  return false;
}

void FlexGrid::Paint(HDC dc) {
  RECT client;
  GetClientRect(hwnd_, &client);
  HGDIOBJ oldFont = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  HPEN line = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
  HGDIOBJ oldPen = SelectObject(dc, line);
  const bool focused = GetFocus() == hwnd_;
  const int shownRows = VisibleDataRows();
  for (int vis = 0; vis <= shownRows; ++vis) {
    const int row = vis == 0 ? 0 : top_ + vis - 1;
    if (row >= Rows()) break;
    for (int col = 0; col < static_cast<int>(widths_.size()); ++col) {
      RECT r = CellRect(row, col);
      const bool fixed = row == 0 || col < TagGrid::kFixedCols;
      const bool current = row == row_ && col == col_ && row > 0;
      int fill = fixed ? COLOR_BTNFACE : (current && focused ? COLOR_HIGHLIGHT : COLOR_WINDOW);
      FillRect(dc, &r, GetSysColorBrush(fill));
      SetTextColor(dc, GetSysColor(current && focused ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
      RECT t{r.left + 3, r.top, r.right - 3, r.bottom};
      const std::string& text = model_ ? model_->Text(row, col) : std::string();
      DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &t,
                DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS |
                    (right_[col] ? DT_RIGHT : DT_LEFT));
      MoveToEx(dc, r.left, r.bottom - 1, nullptr);
      LineTo(dc, r.right - 1, r.bottom - 1);
      LineTo(dc, r.right - 1, r.top - 1);
      if (current) {
        RECT f{r.left + 1, r.top + 1, r.right - 2, r.bottom - 2};
        DrawFocusRect(dc, &f);
      }
    }
  }
  SelectObject(dc, oldPen);
  DeleteObject(line);
  SelectObject(dc, oldFont);
}

std::string FlexGrid::AllText() const {
  std::string out;
  for (int r = 0; r < Rows(); ++r) {
    for (int c = 0; c < TagGrid::kCols; ++c) {
      if (c) out += '\t';
      out += model_ ? model_->Text(r, c) : std::string();
    }
    out += "\r\n";
  }
  return out;
}

LRESULT FlexGrid::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SETFONT:
      font_ = reinterpret_cast<HFONT>(wp);
      if (LOWORD(lp)) InvalidateRect(hwnd_, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd_, &ps);
      Paint(dc);
      EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_SIZE:
      Refresh();
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_SETFOCUS:
      InvalidateRect(hwnd_, nullptr, FALSE);
      Notify(kNotifyGotFocus);
      return 0;
    case WM_KILLFOCUS:
      InvalidateRect(hwnd_, nullptr, FALSE);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      SetFocus(hwnd_);
      int row, col;
      if (HitTest(GET_X_LPARAM(lp), GET_Y_LPARAM(lp), row, col)) {
        SetCell(row, std::max(col, static_cast<int>(TagGrid::kFixedCols)));
        if (msg == WM_LBUTTONDBLCLK) Notify(kNotifyDblClick);
      }
      return 0;
    }
    case WM_KEYDOWN: {
      int row = row_, col = col_;
      const int page = VisibleDataRows();
      switch (wp) {
        case VK_UP: --row; break;
        case VK_DOWN: ++row; break;
        case VK_LEFT: --col; break;
        case VK_RIGHT: ++col; break;
        case VK_PRIOR: row -= page; break;
        case VK_NEXT: row += page; break;
        case VK_HOME: row = 1; break;
        case VK_END: row = Rows() - 1; break;
        default: return DefWindowProcA(hwnd_, msg, wp, lp);
      }
      row = std::clamp(row, 1, Rows() - 1);
      col = std::clamp(col, static_cast<int>(TagGrid::kFixedCols), TagGrid::kCols - 1);
      SetCell(row, col);
      return 0;
    }
    case WM_CHAR:
      if (HWND parent = GetParent(hwnd_)) SendMessageA(parent, kMsgKeyPress, wp, 0);
      return 0;
    case WM_MOUSEWHEEL:
      ScrollTo(top_ - 3 * GET_WHEEL_DELTA_WPARAM(wp) / WHEEL_DELTA);
      return 0;
    case WM_VSCROLL: {
      SCROLLINFO si{sizeof si, SIF_ALL};
      GetScrollInfo(hwnd_, SB_VERT, &si);
      int top = top_;
      switch (LOWORD(wp)) {
        case SB_LINEUP: --top; break;
        case SB_LINEDOWN: ++top; break;
        case SB_PAGEUP: top -= VisibleDataRows(); break;
        case SB_PAGEDOWN: top += VisibleDataRows(); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: top = si.nTrackPos; break;
        case SB_TOP: top = 1; break;
        case SB_BOTTOM: top = Rows(); break;
      }
      ScrollTo(top);
      return 0;
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(AllText().size());
    case WM_GETTEXT: {
      if (wp == 0) return 0;
      std::string all = AllText();
      std::size_t n = std::min(all.size(), static_cast<std::size_t>(wp) - 1);
      char* out = reinterpret_cast<char*>(lp);
      std::copy(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), out);
      out[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case kMsgGetRow:
      return row_;
    case kMsgGetCol:
      return col_;
    case kMsgSetCell:
      return SetCell(static_cast<int>(wp), static_cast<int>(lp)) ? 1 : 0;
  }
  return DefWindowProcA(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK FlexGrid::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  FlexGrid* self = From(hwnd);
  if (msg == WM_NCCREATE) {
    self = new FlexGrid();
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  if (!self) return DefWindowProcA(hwnd, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    delete self;
    return DefWindowProcA(hwnd, msg, wp, lp);
  }
  return self->Handle(msg, wp, lp);
}
