// The window of WorkbookServer when Visible: sheet tabs, a grid of cell texts, a cell editor
// (value or formula; Enter stores it) and the File menu (Close workbook, Quit). It only turns
// messages into calls on the workbooks and shows their state.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "ServerState.h"

namespace wbs {

class SheetWindow : public WorkbookObserver {
 public:
  explicit SheetWindow(ServerState& st);
  ~SheetWindow() override;
  void Show(bool show);
  void Destroy();
  // A message box over the window (or alone when it is hidden).
  void Tell(const std::string& title, const std::string& text);
  // Enter and Escape in the cell editor; true when the message was handled.
  bool PreTranslate(MSG& m);

  HWND Handle() const { return frame_; }
  // The selected tab's workbook and sheet (null when none is open), and the selected cell.
  Workbook* CurrentBook() const;
  int CurrentSheet() const;
  CellPos Selection() const { return sel_; }
  void Select(CellPos p);
  // Stores the editor's text into the selected cell; false (and a message) when refused.
  bool CommitEditor();

  void CellsChanged(Workbook&, const std::vector<CellChange>&) override;
  void WorkbookOpened(Workbook&) override;
  void WorkbookClosing(Workbook&) override;

  enum : int { kMenuCloseWorkbook = 101, kMenuQuit = 102 };
  enum : int { kIdTabs = 201, kIdGrid = 202, kIdEditor = 203, kIdCellName = 204 };

 private:
  static LRESULT CALLBACK FrameProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK GridProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT OnFrame(UINT, WPARAM, LPARAM);
  LRESULT OnGrid(UINT, WPARAM, LPARAM);
  void Create();
  void Layout();
  void RebuildTabs(const Workbook* leaving = nullptr);
  void PaintGrid(HDC dc, const RECT& rc);
  void UpdateEditor();
  void UpdateTitle();
  int VisibleRows() const;
  int VisibleCols() const;

  struct Tab {
    Workbook* wb;
    int sheet;
  };
  ServerState& st_;
  HWND frame_ = nullptr, tabs_ = nullptr, grid_ = nullptr, editor_ = nullptr, cellName_ = nullptr;
  std::vector<Tab> tabList_;
  int tab_ = -1;
  CellPos sel_{0, 0};
  CellPos origin_{0, 0};  // top left cell shown
};

}  // namespace wbs
