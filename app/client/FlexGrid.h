// A small grid window: a header row, fixed columns on the left, a current cell that the mouse
// and the arrow keys move among the other columns, and a vertical scroll bar. It shows a TagGrid
// and does not edit it: key presses, double-clicks, the focus coming back and the current cell
// being left are reported to the parent, which edits in place with a text box of its own.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "TagGrid.h"

class FlexGrid {
 public:
  static constexpr const char* kClassName = "TessarelFlexGrid";
  // WM_COMMAND notification codes sent to the parent (LOWORD = the grid's id).
  static constexpr WORD kNotifyDblClick = 1;
  static constexpr WORD kNotifyGotFocus = 2;
  static constexpr WORD kNotifyLeaveCell = 3;  // sent before the current cell changes
  // Sent to the parent for every character typed on the grid: wParam = the character code.
  static constexpr UINT kMsgKeyPress = WM_APP + 40;
  // Messages to the grid, without pointers so that any process can send them:
  static constexpr UINT kMsgGetRow = WM_APP + 41;     // returns the current row
  static constexpr UINT kMsgGetCol = WM_APP + 42;     // returns the current column
  static constexpr UINT kMsgSetCell = WM_APP + 43;    // wParam row, lParam column
  // WM_GETTEXT gives the whole grid: columns separated by tabs, rows ended by CR LF.

  static void RegisterClass(HINSTANCE instance);
  // The window's grid object (its user data), or null.
  static FlexGrid* From(HWND hwnd);

  void SetModel(const TagGrid* model) { model_ = model; Refresh(); }
  // Widths in pixels and right alignment, per column.
  void SetColumns(std::vector<int> widths, std::vector<bool> rightAligned);
  void Refresh();  // the model changed: scroll range and picture

  int Row() const { return row_; }
  int Col() const { return col_; }
  // Makes the cell current (the row scrolled into view); columns before the fixed ones and the
  // header row are refused. Reports the leaving of the old cell first.
  bool SetCell(int row, int col);
  // The cell's rectangle in the grid's client coordinates (empty when it is not shown).
  RECT CellRect(int row, int col) const;
  void EnsureVisible(int row);

 private:
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void Paint(HDC dc);
  int RowHeight() const;
  int VisibleDataRows() const;
  int Rows() const { return model_ ? model_->Rows() : 1; }
  void ScrollTo(int top);
  bool HitTest(int x, int y, int& row, int& col) const;
  void Notify(WORD code);
  std::string AllText() const;

  HWND hwnd_ = nullptr;
  const TagGrid* model_ = nullptr;
  HFONT font_ = nullptr;
  std::vector<int> widths_;
  std::vector<bool> right_;
  int row_ = 0, col_ = TagGrid::kFixedCols;  // row 0: no data row yet
  int top_ = 1;
};
