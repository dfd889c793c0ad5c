#include "frmAddItem.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>

#include "ClientValues.h"
#include "FlexGrid.h"
#include "IniReadWriter.h"
#include "MessageLoop.h"
#include "StayInFront.h"
#include "Tooltips.h"
#include "../res/resource.h"

namespace {

constexpr UINT kMsgComeBack = WM_APP + 1;  // posted to itself: back in front
constexpr int kClientWidth = 712, kClientHeight = 470;

// Grid column widths in twips, as the grid is laid out on a 96-dpi screen.
constexpr int kColumnTwips[TagGrid::kCols] = {800, 3000, 800, 800, 800};

int TwipsToPixels(HWND hwnd, int twips) {
  HDC dc = GetDC(hwnd);
  int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(hwnd, dc);
  return MulDiv(twips, dpi > 0 ? dpi : 96, 1440);
}

std::string SystemErrorText(DWORD code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = n ? std::string(text, n) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// The whole text written at once to a file created anew; the system's reason on failure.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    error = SystemErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  DWORD code = GetLastError();
  BOOL closed = CloseHandle(f);
  if (!ok || written != text.size() || !closed) {
    error = SystemErrorText(ok ? ERROR_WRITE_FAULT : code);
    return false;
  }
  return true;
}

}  // namespace

frmAddItem::frmAddItem(HINSTANCE instance, TagEditorContext context)
    : instance_(instance), ctx_(std::move(context)) {}

frmAddItem* frmAddItem::From(HWND hwnd) {
  return reinterpret_cast<frmAddItem*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

HWND frmAddItem::Open(HINSTANCE instance, HWND owner, TagEditorContext context) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES |
                                           ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &frmAddItem::WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  RegisterClassExA(&wc);
  FlexGrid::RegisterClass(instance);

  auto* self = new frmAddItem(instance, std::move(context));
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT r{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&r, style, FALSE, 0);
  HWND hwnd = CreateWindowExA(WS_EX_CONTROLPARENT, kClassName, kCaption, style, CW_USEDEFAULT,
                              CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, owner, nullptr,
                              instance, self);
  if (!hwnd) {
    delete self;
    return nullptr;
  }
  self->Load();
  ShowWindow(hwnd, SW_SHOWNORMAL);
  UpdateWindow(hwnd);
  return hwnd;
}

void frmAddItem::CreateControls() {
  font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  struct Ctl {
    DWORD exStyle;
    const char* cls;
    const char* text;
    DWORD style;
    int id, x, y, w, h;
  };
  const DWORD child = WS_CHILD | WS_VISIBLE;
  const DWORD tab = child | WS_TABSTOP;
  const DWORD label = child | SS_LEFTNOWORDWRAP | SS_NOPREFIX;
  const DWORD list = tab | WS_VSCROLL | CBS_DROPDOWNLIST;
  const Ctl ctls[] = {
      {WS_EX_CLIENTEDGE, WC_TREEVIEWA, "",
       tab | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS,
       IDC_TVBRANCHVIEW, 8, 8, 250, 196},
      {WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
       tab | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOCOLUMNHEADER,
       IDC_LVITEMVIEW, 8, 210, 250, 160},
      {0, "STATIC", "Leaf Filter", label, IDC_LBLLEAFFILTER, 8, 383, 88, 16},
      {WS_EX_CLIENTEDGE, "EDIT", "*", tab | ES_AUTOHSCROLL, IDC_ITEMNAMEFILTER, 100, 380, 158, 22},
      {0, "STATIC", "Datatype Filter", label, IDC_LBLDATATYPEFILTER, 8, 411, 88, 16},
      {0, "COMBOBOX", "", list, IDC_DATATYPEFILTER, 100, 408, 158, 300},
      {0, "STATIC", "Access Filter", label, IDC_LBLACCESSFILTER, 8, 439, 88, 16},
      {0, "COMBOBOX", "", list, IDC_ACCESSFILTER, 100, 436, 158, 200},

      {0, "BUTTON", "Item Definition", child | BS_GROUPBOX, IDC_FRAITEMDEFINITION, 270, 4, 434,
       128},
      {0, "STATIC", "Item ID:", label, IDC_LBLITEMID, 282, 27, 62, 16},
      {WS_EX_CLIENTEDGE, "EDIT", "", tab | ES_AUTOHSCROLL, IDC_TXTITEMID, 346, 24, 346, 22},
      {0, "STATIC", "Data Type:", label, IDC_LBLDATATYPE, 282, 56, 62, 16},
      {0, "COMBOBOX", "", list, IDC_DATATYPE, 346, 52, 110, 300},
      {0, "BUTTON", "Active State:", tab | BS_AUTOCHECKBOX | BS_LEFTTEXT, IDC_ACTIVESTATE, 466,
       54, 90, 18},
      {0, "BUTTON", "Validate", tab | BS_PUSHBUTTON, IDC_VALIDATE, 566, 51, 60, 24},
      {0, "BUTTON", "Add Item", tab | BS_PUSHBUTTON, IDC_ADDITEM, 632, 51, 60, 24},
      {WS_EX_CLIENTEDGE, "EDIT", "",
       tab | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, IDC_REPORT, 282, 82, 410,
       42},

      {WS_EX_CLIENTEDGE, FlexGrid::kClassName, "", tab | WS_VSCROLL | WS_CLIPSIBLINGS,
       IDC_GRIDDATA, 270, 140, 434, 230},
      {0, "BUTTON", "Autoincrement", tab | BS_AUTOCHECKBOX, IDC_CHKAUTOINCREMENT, 270, 380, 100,
       20},
      {0, "BUTTON", "Row", tab | WS_GROUP | WS_DISABLED | BS_AUTORADIOBUTTON, IDC_OPTAUTOINCROW,
       380, 380, 50, 20},
      {0, "BUTTON", "Column", child | WS_DISABLED | BS_AUTORADIOBUTTON, IDC_OPTAUTOINCCOLUMN, 436,
       380, 70, 20},
      {0, "STATIC", "Sheet", label, IDC_LBLSHEET, 270, 411, 40, 16},
      {0, "COMBOBOX", "", tab | WS_GROUP | WS_VSCROLL | CBS_DROPDOWNLIST, IDC_CMBSHEET, 314, 408,
       192, 300},
      {0, "BUTTON", "Save", tab | BS_PUSHBUTTON, IDC_BTNSAVE, 474, 438, 72, 26},
      {0, "BUTTON", "Done", tab | BS_PUSHBUTTON, IDC_BTNDONE, 553, 438, 72, 26},
      {0, "BUTTON", "Cancel", tab | BS_PUSHBUTTON, IDC_BTNCANCEL, 632, 438, 72, 26},
      // Created last, so it lies over the grid.
      {0, "EDIT", "", WS_CHILD | ES_AUTOHSCROLL | WS_BORDER, IDC_TXTEDITINPUT, 0, 0, 10, 10},
  };
  for (const Ctl& c : ctls) {
    HWND h = CreateWindowExA(c.exStyle, c.cls, c.text, c.style, c.x, c.y, c.w, c.h, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance_,
                             nullptr);
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
  SetWindowSubclass(GetDlgItem(hwnd_, IDC_TXTEDITINPUT), &frmAddItem::EditInputProc, 1,
                    reinterpret_cast<DWORD_PTR>(this));

  for (int id : {IDC_DATATYPEFILTER, IDC_DATATYPE}) {
    HWND combo = GetDlgItem(hwnd_, id);
    for (const NamedCode& t : kDataTypeList) {
      LRESULT i = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t.text));
      SendMessageA(combo, CB_SETITEMDATA, i, t.code);
    }
    SendMessageA(combo, CB_SETCURSEL, 0, 0);  // "Native"
  }
  HWND access = GetDlgItem(hwnd_, IDC_ACCESSFILTER);
  for (const NamedCode& a : kAccessFilterList) {
    LRESULT i = SendMessageA(access, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(a.text));
    SendMessageA(access, CB_SETITEMDATA, i, a.code);
  }
  SendMessageA(access, CB_SETCURSEL, 0, 0);  // "Any"
  CheckDlgButton(hwnd_, IDC_ACTIVESTATE, BST_CHECKED);
  CheckDlgButton(hwnd_, IDC_OPTAUTOINCROW, BST_CHECKED);

  const char* const finished = "Click here when you have finished adding tags";
  tooltip_ = AddTooltips(instance_, hwnd_, {
      {IDC_TVBRANCHVIEW,
       "Expand the branches of the browser tree to access individual item names"},
      {IDC_LVITEMVIEW, "Select an item from this list by double clicking on the item"},
      {IDC_ITEMNAMEFILTER,
       "Enter a filter expression to reduce the number of item displayed Ex. Temp* , N* ,  *"},
      {IDC_DATATYPEFILTER, "Select a datatype to filter the list of items displayed"},
      {IDC_ACCESSFILTER, "Select an access type to filter the list of items displayed"},
      {IDC_DATATYPE, "Select the datatype that will be applied to this item"},
      {IDC_ACTIVESTATE, "Set the initial Active state of the item to be added"},
      {IDC_VALIDATE, "Once you have entered an ItemID and Datatype click here to test the entry"},
      {IDC_REPORT, "This box will report the results of the Validate Item button"},
      {IDC_ADDITEM, "Click here to add a tag to the current group"},
      {IDC_CMBSHEET, "Destination sheet for OPC data"},
      {IDC_BTNSAVE, finished},
      {IDC_BTNDONE, finished},
      {IDC_BTNCANCEL, finished},
  });
}

void frmAddItem::Load() {
  MarkStaysInFront(hwnd_);
  AddModelessDialog(hwnd_);
  HWND lv = GetDlgItem(hwnd_, IDC_LVITEMVIEW);
  if (ctx_.browser) {
    RECT rc;
    GetClientRect(lv, &rc);
    LVCOLUMNA col{};
    col.mask = LVCF_WIDTH;
    col.cx = rc.right - rc.left;
    SendMessageA(lv, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&col));
    HTREEITEM root = AddNode(TVI_ROOT, browsertree::kRootKey, ctx_.serverProgId);
    try {
      if (ctx_.browser->Organization() == browsertree::kFlat) {
        ctx_.browser->ShowLeafs(false);
        ShowLeaves(ctx_.browser->Names());
      } else {
        AddPlaceholder(root);
      }
    } catch (const BrowseError& e) {
      ReportBrowseError(e);
    }
    ++nodeCounter_;
  }
  SetUpGrid();
  FillSheetList();
}

void frmAddItem::SetUpGrid() {
  HCURSOR old = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  HWND g = GetDlgItem(hwnd_, IDC_GRIDDATA);
  FlexGrid* grid = FlexGrid::From(g);
  std::vector<int> widths;
  std::vector<bool> right;
  for (int c = 0; c < TagGrid::kCols; ++c) {
    widths.push_back(TwipsToPixels(hwnd_, kColumnTwips[c]));
    right.push_back(c == TagGrid::kItem);
  }
  grid->SetColumns(widths, right);
  grid->SetModel(&grid_);
  SetCursor(old);
}

void frmAddItem::FillSheetList() {
  HWND combo = GetDlgItem(hwnd_, IDC_CMBSHEET);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  try {
    if (!ctx_.sheetNames) return;
    for (const std::string& name : ctx_.sheetNames())
      SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
  } catch (...) {
    // No spreadsheet to ask: the list stays empty.
  }
}

HTREEITEM frmAddItem::AddNode(HTREEITEM parent, const std::string& key, const std::string& text) {
  TVINSERTSTRUCTA ins{};
  ins.hParent = parent;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT;
  ins.item.pszText = const_cast<char*>(text.c_str());
  auto node = reinterpret_cast<HTREEITEM>(SendDlgItemMessageA(
      hwnd_, IDC_TVBRANCHVIEW, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&ins)));
  if (node) keys_[node] = key;
  return node;
}

void frmAddItem::AddPlaceholder(HTREEITEM parent) {
  AddNode(parent, std::to_string(nodeCounter_) + browsertree::kPlaceholderMarker, "");
}

void frmAddItem::OnExpanding(HTREEITEM node) {
  HWND tv = GetDlgItem(hwnd_, IDC_TVBRANCHVIEW);
  auto first = reinterpret_cast<HTREEITEM>(
      SendMessageA(tv, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(node)));
  if (!first || !browsertree::IsPlaceholder(keys_[first])) return;  // already listed
  SendMessageA(tv, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(first));
  if (!ctx_.browser) return;
  const std::string key = keys_[node];
  try {
    for (const std::string& name : browsertree::BranchesOf(*ctx_.browser, key)) {
      ++nodeCounter_;
      HTREEITEM child = AddNode(node, browsertree::ChildKey(key, name), name);
      AddPlaceholder(child);
    }
  } catch (const BrowseError& e) {
    ReportBrowseError(e);
  }
}

void frmAddItem::OnCollapsed(HTREEITEM node) {
  HWND tv = GetDlgItem(hwnd_, IDC_TVBRANCHVIEW);
  // Deleting a node deletes its descendants with it.
  while (HTREEITEM child = reinterpret_cast<HTREEITEM>(
             SendMessageA(tv, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(node))))
    SendMessageA(tv, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(child));
  AddPlaceholder(node);
}

void frmAddItem::OnNodeSelected(HTREEITEM node) {
  auto it = keys_.find(node);
  if (!ctx_.browser || it == keys_.end() || browsertree::IsPlaceholder(it->second)) return;
  ListLeaves();
}

void frmAddItem::ShowLeaves(const std::vector<std::string>& names) {
  HWND lv = GetDlgItem(hwnd_, IDC_LVITEMVIEW);
  SendMessageA(lv, WM_SETREDRAW, FALSE, 0);
  for (std::size_t i = 0; i < names.size(); ++i) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = const_cast<char*>(names[i].c_str());
    SendMessageA(lv, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  SendMessageA(lv, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(lv, nullptr, TRUE);
}

void frmAddItem::ListLeaves() {
  SendDlgItemMessageA(hwnd_, IDC_LVITEMVIEW, LVM_DELETEALLITEMS, 0, 0);
  if (!ctx_.browser) return;
  try {
    // From the selected branch: expanding another node moved the browser there.
    auto selected = reinterpret_cast<HTREEITEM>(
        SendDlgItemMessageA(hwnd_, IDC_TVBRANCHVIEW, TVM_GETNEXTITEM, TVGN_CARET, 0));
    auto it = keys_.find(selected);
    if (it != keys_.end() && !browsertree::IsPlaceholder(it->second))
      browsertree::MoveToNodePath(*ctx_.browser, it->second);
    ShowLeaves(browsertree::Leaves(*ctx_.browser, ItemText(IDC_ITEMNAMEFILTER),
                                   ComboData(IDC_DATATYPEFILTER), ComboData(IDC_ACCESSFILTER)));
  } catch (const BrowseError& e) {
    ReportBrowseError(e);
  }
}

void frmAddItem::OnLeafChosen(bool doubleClick) {
  HWND lv = GetDlgItem(hwnd_, IDC_LVITEMVIEW);
  int i = static_cast<int>(SendMessageA(lv, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  if (i < 0 || !ctx_.browser) return;
  char text[1024] = {};
  LVITEMA item{};
  item.iSubItem = 0;
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(lv, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
  try {
    SetDlgItemTextA(hwnd_, IDC_TXTITEMID, ctx_.browser->GetItemID(text).c_str());
  } catch (const BrowseError& e) {
    ReportBrowseError(e);
    return;
  }
  if (doubleClick) OnAddItem();
}

void frmAddItem::ReportBrowseError(const BrowseError& e) {
  SetDlgItemTextA(hwnd_, IDC_REPORT,
                  ("Browsing failed: " + e.step + " returned " + HexCode(e.code)).c_str());
}

void frmAddItem::OnValidate() {
  SetDlgItemTextA(hwnd_, IDC_REPORT, "Testing Item");
  UpdateWindow(GetDlgItem(hwnd_, IDC_REPORT));
  std::string verdict = ctx_.validate ? ctx_.validate(ItemText(IDC_TXTITEMID), ComboData(IDC_DATATYPE))
                                      : "Not connected to an OPC server: the item cannot be tested";
  SetDlgItemTextA(hwnd_, IDC_REPORT, ("Testing Item\r\n" + verdict).c_str());
}

void frmAddItem::OnAddItem() {
  TagGrid::AutoIncrement mode = TagGrid::AutoIncrement::Off;
  if (Checked(IDC_CHKAUTOINCREMENT))
    mode = Checked(IDC_OPTAUTOINCROW) ? TagGrid::AutoIncrement::ByRow
                                      : TagGrid::AutoIncrement::ByColumn;
  CommitEditInput();
  const int row = grid_.AddItem(ItemText(IDC_TXTITEMID), mode);
  if (row < 0) {
    SetDlgItemTextA(hwnd_, IDC_REPORT,
                    "Enter an item ID without double quotes: the tag file cannot hold it");
    return;
  }
  FlexGrid* grid = FlexGrid::From(GetDlgItem(hwnd_, IDC_GRIDDATA));
  grid->Refresh();
  grid->SetCell(row, grid->Col());
}

void frmAddItem::OpenEditInput(int keyCode) {
  HWND g = GetDlgItem(hwnd_, IDC_GRIDDATA);
  FlexGrid* grid = FlexGrid::From(g);
  const int row = grid->Row(), col = grid->Col();
  if (row < 1 || row >= grid_.Rows() || col < TagGrid::kFixedCols) return;
  grid->EnsureVisible(row);
  RECT r = grid->CellRect(row, col);
  MapWindowPoints(g, hwnd_, reinterpret_cast<POINT*>(&r), 2);
  HWND edit = GetDlgItem(hwnd_, IDC_TXTEDITINPUT);
  SendMessageA(edit, WM_SETFONT, SendMessageA(g, WM_GETFONT, 0, 0), FALSE);
  editRow_ = row;
  editCol_ = col;
  std::string text;
  if (keyCode > 32) {
    text = std::string(1, static_cast<char>(keyCode));
  } else {
    text = grid_.Text(row, col);
  }
  SetWindowTextA(edit, text.c_str());
  const int caret = keyCode > 32 ? 1 : (col == TagGrid::kTag ? 0 : static_cast<int>(text.size()));
  SendMessageA(edit, EM_SETSEL, caret, caret);
  SetWindowPos(edit, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_SHOWWINDOW);
  SetFocus(edit);
}

void frmAddItem::CommitEditInput() {
  HWND edit = GetDlgItem(hwnd_, IDC_TXTEDITINPUT);
  if (!IsWindowVisible(edit)) return;
  ShowWindow(edit, SW_HIDE);  // first: storing must not run twice
  char text[1024] = {};
  GetWindowTextA(edit, text, sizeof text);
  grid_.StoreEdit(editRow_, editCol_, text);
  FlexGrid::From(GetDlgItem(hwnd_, IDC_GRIDDATA))->Refresh();
}

// The in-place editor's keys; true when the key was handled here.
bool frmAddItem::EditInputKey(WPARAM key) {
  HWND g = GetDlgItem(hwnd_, IDC_GRIDDATA);
  switch (key) {
    case VK_ESCAPE:
      ShowWindow(GetDlgItem(hwnd_, IDC_TXTEDITINPUT), SW_HIDE);
      SetFocus(g);
      return true;
    case VK_RETURN:
    case VK_DOWN:
      SetFocus(g);  // the grid taking the focus stores the text
      return true;
    case VK_UP: {
      SetFocus(g);
      FlexGrid* grid = FlexGrid::From(g);
      if (grid->Row() - 1 >= 1) grid->SetCell(grid->Row() - 1, grid->Col());
      return true;
    }
  }
  return false;
}

LRESULT CALLBACK frmAddItem::EditInputProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                           DWORD_PTR data) {
  auto* self = reinterpret_cast<frmAddItem*>(data);
  switch (msg) {
    case WM_GETDLGCODE:
      // Enter and Escape belong to the editor, not to the window's default buttons.
      if (lp && (reinterpret_cast<MSG*>(lp)->wParam == VK_RETURN ||
                 reinterpret_cast<MSG*>(lp)->wParam == VK_ESCAPE))
        return DLGC_WANTMESSAGE | DefSubclassProc(hwnd, msg, wp, lp);
      break;
    case WM_KEYDOWN:
      if (self->EditInputKey(wp)) return 0;
      break;
    case WM_CHAR:
      if (wp == '\r' || wp == '\x1b') return 0;  // swallowed: no beep
      break;
    case WM_KILLFOCUS:
      // Leaving the editor for any other control keeps what was typed.
      self->CommitEditInput();
      break;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

void frmAddItem::OnSave() {
  CommitEditInput();
  char file[MAX_PATH] = {};
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = "CSV Files\0*.csv\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrTitle = kSaveTitle;
  ofn.lpstrInitialDir = ctx_.programFolder.c_str();
  ofn.lpstrDefExt = "csv";
  ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
              OFN_NOCHANGEDIR;
  if (!GetSaveFileNameA(&ofn)) {
    if (CommDlgExtendedError() == 0)
      MessageBoxA(hwnd_, "Cancel was selected.", "Tessarel", MB_OK | MB_ICONEXCLAMATION);
    else
      MessageBoxA(hwnd_, "The file dialog could not be shown.", "Tessarel", MB_OK | MB_ICONERROR);
    return;
  }
  const std::string path = file;
  std::string error;
  if (!WriteWholeFile(path, grid_.FileText(), error)) {
    MessageBoxA(hwnd_, ("The tag file " + path + " could not be written: " + error).c_str(),
                kConfigTitle, MB_OK | MB_ICONERROR);
    return;
  }
  const std::string sheet = ItemText(IDC_CMBSHEET);
  if (ctx_.saved) ctx_.saved(sheet, path);
  const std::string question = "Total of " + std::to_string(grid_.DataRows()) +
                               " items written to " + path +
                               "\r\n\r\nUpdate INI file with this OPC client configuration?";
  if (MessageBoxA(hwnd_, question.c_str(), kConfigTitle, MB_OKCANCEL | MB_ICONQUESTION) == IDOK) {
    const std::string server = ctx_.selectedServer ? ctx_.selectedServer() : std::string();
    IniReadWriter::WriteProfile("OPC Client", "Server", server, ctx_.iniFile);
    IniReadWriter::WriteProfile("OPC Client", "Sheet", sheet, ctx_.iniFile);
    IniReadWriter::WriteProfile("OPC Client", "Database", path, ctx_.iniFile);
  }
  MessageBoxA(hwnd_, "The Tessarel needs to be restarted for the changes to take effect",
              "Tessarel", MB_OK | MB_ICONINFORMATION);
}

void frmAddItem::Close() {
  closing_ = true;
  DestroyWindow(hwnd_);
}

std::string frmAddItem::ItemText(int id) const {
  HWND h = GetDlgItem(hwnd_, id);
  int n = GetWindowTextLengthA(h);
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  GetWindowTextA(h, s.data(), n + 1);
  s.resize(static_cast<std::size_t>(n));
  return s;
}

long frmAddItem::ComboData(int id) const {
  HWND combo = GetDlgItem(hwnd_, id);
  LRESULT i = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  return i == CB_ERR ? 0 : static_cast<long>(SendMessageA(combo, CB_GETITEMDATA, i, 0));
}

bool frmAddItem::Checked(int id) const { return IsDlgButtonChecked(hwnd_, id) == BST_CHECKED; }

void frmAddItem::OnCommand(int id, int code, HWND) {
  switch (id) {
    case IDC_ITEMNAMEFILTER:
      if (code == EN_CHANGE) ListLeaves();
      break;
    case IDC_DATATYPEFILTER:
    case IDC_ACCESSFILTER:
      if (code == CBN_SELCHANGE) ListLeaves();
      break;
    case IDC_TXTITEMID:
      if (code == EN_CHANGE) SetDlgItemTextA(hwnd_, IDC_REPORT, "");
      break;
    case IDC_ACTIVESTATE:
      if (code == BN_CLICKED) SetDlgItemTextA(hwnd_, IDC_REPORT, "");
      break;
    case IDC_VALIDATE:
      if (code == BN_CLICKED) OnValidate();
      break;
    case IDC_ADDITEM:
      if (code == BN_CLICKED) OnAddItem();
      break;
    case IDC_CHKAUTOINCREMENT:
      if (code == BN_CLICKED) {
        const BOOL on = Checked(IDC_CHKAUTOINCREMENT) ? TRUE : FALSE;
        EnableWindow(GetDlgItem(hwnd_, IDC_OPTAUTOINCROW), on);
        EnableWindow(GetDlgItem(hwnd_, IDC_OPTAUTOINCCOLUMN), on);
      }
      break;
    case IDC_GRIDDATA:
      if (code == FlexGrid::kNotifyGotFocus || code == FlexGrid::kNotifyLeaveCell)
        CommitEditInput();
      else if (code == FlexGrid::kNotifyDblClick)
        OpenEditInput(0);
      break;
    case IDC_BTNSAVE:
      if (code == BN_CLICKED) OnSave();
      break;
    case IDC_BTNDONE:
      if (code == BN_CLICKED) {
        if (ctx_.done) ctx_.done(ItemText(IDC_CMBSHEET));
        Close();
      }
      break;
    case IDC_BTNCANCEL:
    case IDCANCEL:  // Escape
      if (code == BN_CLICKED) Close();
      break;
  }
}

LRESULT frmAddItem::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      CreateControls();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
      return 0;
    case FlexGrid::kMsgKeyPress:
      OpenEditInput(static_cast<int>(wp));
      return 0;
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<NMHDR*>(lp);
      if (nm->idFrom == IDC_TVBRANCHVIEW) {
        auto* tv = reinterpret_cast<NMTREEVIEWA*>(lp);
        if (nm->code == TVN_ITEMEXPANDINGA && tv->action == TVE_EXPAND)
          OnExpanding(tv->itemNew.hItem);
        else if (nm->code == TVN_ITEMEXPANDEDA && tv->action == TVE_COLLAPSE)
          OnCollapsed(tv->itemNew.hItem);
        else if (nm->code == TVN_SELCHANGEDA)
          OnNodeSelected(tv->itemNew.hItem);
        else if (nm->code == TVN_DELETEITEMA)
          keys_.erase(tv->itemOld.hItem);
      } else if (nm->idFrom == IDC_LVITEMVIEW) {
        if (nm->code == LVN_ITEMCHANGED) {
          auto* lv = reinterpret_cast<NMLISTVIEW*>(lp);
          if ((lv->uChanged & LVIF_STATE) && (lv->uNewState & LVIS_SELECTED) &&
              !(lv->uOldState & LVIS_SELECTED))
            OnLeafChosen(false);
        } else if (nm->code == NM_DBLCLK) {
          OnLeafChosen(true);
        }
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE && !closing_ &&
          ShouldComeBack(hwnd_, reinterpret_cast<HWND>(lp)))
        PostMessageA(hwnd_, kMsgComeBack, 0, 0);
      break;
    case kMsgComeBack:
      if (!closing_) ComeBackInFront(hwnd_);
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_DESTROY:
      closing_ = true;
      RemoveModelessDialog(hwnd_);
      UnmarkStaysInFront(hwnd_);
      if (ctx_.closed) ctx_.closed();
      return 0;
  }
  return DefWindowProcA(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK frmAddItem::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  frmAddItem* self = From(hwnd);
  if (msg == WM_NCCREATE) {
    self = static_cast<frmAddItem*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  if (!self) return DefWindowProcA(hwnd, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    delete self;
    return DefWindowProcA(hwnd, msg, wp, lp);
  }
  try {
    return self->Handle(msg, wp, lp);
  } catch (...) {
    return 0;  // one failed handler must not take the program down
  }
}
