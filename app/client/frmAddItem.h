// The tag editor ("Add Item"): browses the client server's address space, collects item IDs in
// a grid with the client sheet cell of each, and saves them as a client tag file. Modeless,
// owned by the main window, it stays in front of the program's other windows while it is open.
// The new tags take effect at the next start.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BrowserTree.h"
#include "TagGrid.h"

struct TagEditorContext {
  std::string serverProgId;                // the tree root's text
  std::unique_ptr<ITagBrowser> browser;    // none: the client is not connected
  // Worksheet names of the spreadsheet's active workbook, in workbook order; may throw.
  std::function<std::vector<std::string>()> sheetNames;
  // Checks an item ID (with a requested variant type, 0 = native) against the connected server;
  // the report's lines after "Testing Item".
  std::function<std::string(const std::string& itemId, long dataType)> validate;
  std::string programFolder;  // where the save dialog starts
  std::string iniFile;        // the main window's configuration file
  std::function<std::string()> selectedServer;  // the main window's Server text
  // Save: the client sheet and tag file become these (and are shown).
  std::function<void(const std::string& sheet, const std::string& path)> saved;
  // Done: the running program's client sheet becomes this.
  std::function<void(const std::string& sheet)> done;
  std::function<void()> closed;  // the window has gone
};

class frmAddItem {
 public:
  static constexpr const char* kClassName = "TessarelAddItem";
  static constexpr const char* kCaption = "Add Item";
  static constexpr const char* kSaveTitle = "OPC Client Tag Definition File";
  static constexpr const char* kConfigTitle = "OPC Client Configuration";

  // Creates and shows the editor; it deletes itself when its window is destroyed.
  static HWND Open(HINSTANCE instance, HWND owner, TagEditorContext context);
  static frmAddItem* From(HWND hwnd);

 private:
  frmAddItem(HINSTANCE instance, TagEditorContext context);
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK EditInputProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void CreateControls();
  void Load();
  void SetUpGrid();
  void FillSheetList();
  HTREEITEM AddNode(HTREEITEM parent, const std::string& key, const std::string& text);
  void AddPlaceholder(HTREEITEM parent);
  void OnExpanding(HTREEITEM node);
  void OnCollapsed(HTREEITEM node);
  void OnNodeSelected(HTREEITEM node);
  void ListLeaves();
  void ShowLeaves(const std::vector<std::string>& names);
  void OnLeafChosen(bool doubleClick);
  void OnValidate();
  void OnAddItem();
  void OnCommand(int id, int code, HWND control);
  void OpenEditInput(int keyCode);
  void CommitEditInput();
  bool EditInputKey(WPARAM key);
  void OnSave();
  void Close();
  void ReportBrowseError(const BrowseError& e);
  std::string ItemText(int id) const;
  long ComboData(int id) const;
  bool Checked(int id) const;

  HINSTANCE instance_;
  TagEditorContext ctx_;
  HWND hwnd_ = nullptr, tooltip_ = nullptr;
  HFONT font_ = nullptr;
  TagGrid grid_;
  std::map<HTREEITEM, std::string> keys_;
  long nodeCounter_ = 1;
  int editRow_ = 0, editCol_ = 0;
  bool closing_ = false;
};
