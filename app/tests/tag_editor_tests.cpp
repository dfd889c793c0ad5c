// The tag editor ("Add Item") in this process, over the bridge's real client (Veltrane.dll
// through COM) connected to SimServer, driven by the window messages a user's keys and clicks
// make: the tree expanded and collapsed, leaves filtered, items added by double-click, cells
// typed into the grid, the file saved through the file dialog and the questions answered. The
// saved file is read back as Tessarel reads it at start-up.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <thread>

#include "../res/resource.h"
#include "ClientBridge.h"
#include "ClientTestSupport.h"
#include "FlexGrid.h"
#include "WinTestSupport.h"
#include "frmAddItem.h"

using namespace wintest;

namespace {

// Runs this thread's messages for a while (posted messages, timers, repaints).
void Pump(DWORD ms) {
  DWORD until = GetTickCount() + ms;
  do {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    Sleep(10);
  } while (GetTickCount() < until);
}

// The first enabled, visible dialog box ("#32770") of this process, or null.
HWND EnabledBox() {
  struct Q {
    DWORD pid;
    HWND found;
  } q{GetCurrentProcessId(), nullptr};
  EnumWindows(
      [](HWND h, LPARAM lp) -> BOOL {
        auto* q = reinterpret_cast<Q*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        char c[16];
        // A box without a caption is one coming or going (seen after the file dialog's prompt).
        if (pid == q->pid && IsWindowVisible(h) && IsWindowEnabled(h) &&
            GetClassNameA(h, c, sizeof c) && lstrcmpA(c, "#32770") == 0 &&
            GetWindowTextLengthA(h) > 0) {
          q->found = h;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&q));
  return q.found;
}

// Dialog boxes of this process that another thread answers while this one is inside the call
// that showed them: each box's caption and text as the user saw them, then the button pressed.
class Answerer {
 public:
  struct Seen {
    std::string caption, text;
  };
  using Act = std::function<void(HWND)>;
  explicit Answerer(std::vector<Act> steps) {
    thread_ = std::thread([this, steps] {
      for (const Act& act : steps) {
        HWND box = nullptr;
        for (DWORD until = GetTickCount() + 15000; !box && GetTickCount() < until; Sleep(50))
          box = EnabledBox();
        if (!box) return;
        Sleep(200);  // fully shown: caption and text set
        seen.push_back({Text(box), ItemText(box, 0xFFFF)});
        act(box);
        for (int i = 0; i < 200 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(25);
      }
      // A box nobody expected would keep the test waiting in the call that showed it: it is
      // cancelled, and recorded so that the test sees it.
      for (int n = 0, idle = 0; n < 10 && idle < 10;) {
        HWND extra = EnabledBox();
        if (!extra) {
          ++idle;
          Sleep(100);
          continue;
        }
        idle = 0;
        ++n;
        seen.push_back({Text(extra), ItemText(extra, 0xFFFF)});
        PostMessageA(extra, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        Sleep(1000);
      }
    });
  }
  ~Answerer() { thread_.join(); }
  std::vector<Seen> seen;

 private:
  std::thread thread_;
};

Answerer::Act Press(int button) {
  return [button](HWND box) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
  };
}

// The file dialog: the name typed into its file name box, then its OK button.
Answerer::Act SaveAs(const std::string& path) {
  return [path](HWND dlg) {
    HWND name = GetDlgItem(dlg, 0x47c);  // the file name combo box (cmb13)
    if (!name) name = GetDlgItem(dlg, 0x480);  // or the edit box (edt1)
    SetWindowTextA(name, path.c_str());
    Sleep(100);
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
  };
}

// A click on a button or check box, as the mouse makes it.
void MouseClick(HWND w, int id) { SendMessageA(GetDlgItem(w, id), BM_CLICK, 0, 0); }

std::string TreeText(HWND tv, HTREEITEM item) {
  char buf[256] = {};
  TVITEMA it{};
  it.mask = TVIF_TEXT;
  it.hItem = item;
  it.pszText = buf;
  it.cchTextMax = sizeof buf;
  SendMessageA(tv, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
  return buf;
}

HTREEITEM Next(HWND tv, HTREEITEM item, UINT how) {
  return reinterpret_cast<HTREEITEM>(
      SendMessageA(tv, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item)));
}

std::vector<std::string> Children(HWND tv, HTREEITEM node) {
  std::vector<std::string> out;
  for (HTREEITEM c = Next(tv, node, TVGN_CHILD); c; c = Next(tv, c, TVGN_NEXT))
    out.push_back(TreeText(tv, c));
  return out;
}

HTREEITEM ChildNamed(HWND tv, HTREEITEM node, const std::string& name) {
  for (HTREEITEM c = Next(tv, node, TVGN_CHILD); c; c = Next(tv, c, TVGN_NEXT))
    if (TreeText(tv, c) == name) return c;
  return nullptr;
}

// The user selects the node and presses Right (expand) or Left (collapse).
void Key(HWND w, WPARAM key) {
  SendMessageA(w, WM_KEYDOWN, key, 1);
  SendMessageA(w, WM_KEYUP, key, 0xC0000001);
}

std::vector<std::string> Leaves(HWND lv) {
  std::vector<std::string> out;
  int n = static_cast<int>(SendMessageA(lv, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    char buf[256] = {};
    LVITEMA it{};
    it.pszText = buf;
    it.cchTextMax = sizeof buf;
    SendMessageA(lv, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(&it));
    out.push_back(buf);
  }
  return out;
}

// Double-clicks the list entry where it is shown.
void DoubleClickLeaf(HWND lv, int index) {
  RECT r{LVIR_LABEL};
  SendMessageA(lv, LVM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r));
  LPARAM at = MAKELPARAM(r.left + 4, (r.top + r.bottom) / 2);
  SendMessageA(lv, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageA(lv, WM_LBUTTONUP, 0, at);
  SendMessageA(lv, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  SendMessageA(lv, WM_LBUTTONUP, 0, at);
}

void ChooseCombo(HWND w, int id, int index) {
  SendDlgItemMessageA(w, id, CB_SETCURSEL, index, 0);
  SendMessageA(w, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(w, id)));
}

// Types text on the grid's current cell: the first character opens the in-place editor, the
// rest go to it, and the key ends the edit (Enter, Escape, Up, Down).
void TypeIntoGrid(HWND w, const std::string& text, WPARAM endKey = VK_RETURN) {
  HWND grid = GetDlgItem(w, IDC_GRIDDATA), edit = GetDlgItem(w, IDC_TXTEDITINPUT);
  SendMessageA(grid, WM_CHAR, static_cast<unsigned char>(text[0]), 1);
  for (std::size_t i = 1; i < text.size(); ++i)
    SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(text[i]), 1);
  Key(edit, endKey);
}

// Row r of the grid, as the grid window gives its text: "item|cell|row|column"; "" past the end.
std::string GridRow(HWND w, int r) {
  std::string all = ItemText(w, IDC_GRIDDATA);
  std::size_t at = 0;
  for (int i = 0; i < r; ++i) {
    at = all.find("\r\n", at);
    if (at == std::string::npos) return "";
    at += 2;
  }
  if (at >= all.size()) return "";
  std::string line = all.substr(at, all.find("\r\n", at) - at);
  std::vector<std::string> f;
  for (std::size_t s = 0;;) {
    std::size_t t = line.find('\t', s);
    f.push_back(line.substr(s, t == std::string::npos ? std::string::npos : t - s));
    if (t == std::string::npos) break;
    s = t + 1;
  }
  return f.size() == 5 ? f[1] + "|" + f[2] + "|" + f[3] + "|" + f[4] : line;
}

void SetCell(HWND w, int row, int col) {
  SendDlgItemMessageA(w, IDC_GRIDDATA, FlexGrid::kMsgSetCell, row, col);
}

struct Editor {
  ClientBridge bridge;
  std::vector<std::string> log;
  HWND w = nullptr;
  bool closed = false;
  std::string ini;
  explicit Editor(const std::string& server, const std::string& iniFile)
      : bridge([this] {
          ClientBridgeContext c;
          c.log = [this](const std::string& m) { log.push_back(m); };
          c.countError = [] {};
          c.createServer = &CreateServer;
          return c;
        }()),
        ini(iniFile) {
    ClientSettings s;
    s.Server = server;
    bridge.Configure(s);
    bridge.Start();  // no client sheet: the client only connects
  }
  void Open(const std::string& folder) {
    TagEditorContext t = bridge.TagEditorParts();
    t.sheetNames = [] { return std::vector<std::string>{"Plant", "Line 2"}; };
    t.programFolder = folder;
    t.iniFile = ini;
    t.closed = [this] { closed = true; };
    w = frmAddItem::Open(GetModuleHandleA(nullptr), nullptr, std::move(t));
  }
};

std::string Profile(const std::string& key, const std::string& file) {
  char buf[512] = {};
  GetPrivateProfileStringA("OPC Client", key.c_str(), "<none>", buf, sizeof buf, file.c_str());
  return buf;
}

}  // namespace

TEST(TagEditor, BrowsesTheServerCollectsItemsInTheGridAndSavesATagFileThatLoadsBack) {
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  ComScope com;
  TempFolder dir("tessarel_tag_editor");
  dir.Write("Tessarel.ini", "[OPC Client]\r\nServer=Old.Server\r\n");
  Editor e("Sim.OPCDA.2", dir.File("Tessarel.ini"));
  ASSERT_TRUE(e.bridge.ClientConnected) << (e.log.empty() ? "" : e.log.back());
  e.Open(dir.Path());
  HWND w = e.w;
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(Text(w), "Add Item");
  EXPECT_EQ(ItemText(w, IDC_ITEMNAMEFILTER), "*");
  EXPECT_EQ(ItemText(w, IDC_DATATYPEFILTER), "Native");
  EXPECT_EQ(ItemText(w, IDC_ACCESSFILTER), "Any");
  EXPECT_EQ(ItemText(w, IDC_CMBSHEET), "Plant");
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDC_OPTAUTOINCROW)));
  EXPECT_EQ(GridRow(w, 0), "OPC Tag|Cell|Row|Column");

  // The root is the server, with a placeholder until it is expanded.
  HWND tv = GetDlgItem(w, IDC_TVBRANCHVIEW);
  HTREEITEM root = Next(tv, nullptr, TVGN_ROOT);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(TreeText(tv, root), "Sim.OPCDA.2");
  EXPECT_EQ(Children(tv, root), std::vector<std::string>{""});
  SendMessageA(tv, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(root));
  Key(tv, VK_RIGHT);
  std::vector<std::string> branches = Children(tv, root);
  for (const char* b : {"Ramp", "Register", "Quality", "Deep"})
    EXPECT_NE(std::find(branches.begin(), branches.end(), b), branches.end()) << b;
  // Two levels down a deep branch; collapsing forgets the listing and leaves a placeholder.
  HTREEITEM deep = ChildNamed(tv, root, "Deep");
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(Children(tv, deep), std::vector<std::string>{""});
  SendMessageA(tv, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(deep));
  Key(tv, VK_RIGHT);
  HTREEITEM l01 = ChildNamed(tv, deep, "L01");
  ASSERT_NE(l01, nullptr);
  SendMessageA(tv, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(l01));
  Key(tv, VK_RIGHT);
  EXPECT_NE(ChildNamed(tv, l01, "L02"), nullptr);
  HWND lv = GetDlgItem(w, IDC_LVITEMVIEW);
  EXPECT_EQ(Leaves(lv), std::vector<std::string>{"Depth"});  // the selected branch's leaves
  SendMessageA(tv, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(deep));
  Key(tv, VK_LEFT);
  EXPECT_EQ(Children(tv, deep), std::vector<std::string>{""});

  // The Ramp branch's leaves, filtered by name, then by data type.
  HTREEITEM ramp = ChildNamed(tv, root, "Ramp");
  ASSERT_NE(ramp, nullptr);
  SendMessageA(tv, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(ramp));
  std::vector<std::string> all = Leaves(lv);
  EXPECT_GE(all.size(), 4u);
  SetDlgItemTextA(w, IDC_ITEMNAMEFILTER, "R*");
  EXPECT_EQ(Leaves(lv), (std::vector<std::string>{"R4", "R8"}));
  ChooseCombo(w, IDC_DATATYPEFILTER, 8);  // "Float"
  EXPECT_EQ(ItemText(w, IDC_DATATYPEFILTER), "Float");
  EXPECT_EQ(Leaves(lv), std::vector<std::string>{"R4"});
  ChooseCombo(w, IDC_DATATYPEFILTER, 0);
  ChooseCombo(w, IDC_ACCESSFILTER, 2);  // "Write Only": the ramps are read-only
  EXPECT_EQ(Leaves(lv), std::vector<std::string>{});
  ChooseCombo(w, IDC_ACCESSFILTER, 0);

  // Auto-increment by row; a double-click takes the leaf's item ID and adds it.
  MouseClick(w, IDC_CHKAUTOINCREMENT);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDC_OPTAUTOINCROW)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDC_OPTAUTOINCCOLUMN)));
  DoubleClickLeaf(lv, 1);  // R8
  EXPECT_EQ(ItemText(w, IDC_TXTITEMID), "Ramp.R8");
  EXPECT_EQ(GridRow(w, 1), "Ramp.R8|A1|1|1");
  // The first row's cell typed as B2; three more items follow it down the column.
  SetCell(w, 1, TagGrid::kCell);
  TypeIntoGrid(w, "B2");
  EXPECT_EQ(GridRow(w, 1), "Ramp.R8|B2|2|2");
  for (const char* id : {"Register.R8", "Register.I4", "Quality.Settable"}) {
    SetDlgItemTextA(w, IDC_TXTITEMID, id);
    MouseClick(w, IDC_ADDITEM);
  }
  EXPECT_EQ(GridRow(w, 2), "Register.R8|B3|3|2");
  EXPECT_EQ(GridRow(w, 4), "Quality.Settable|B5|5|2");
  EXPECT_EQ(SendDlgItemMessageA(w, IDC_GRIDDATA, FlexGrid::kMsgGetRow, 0, 0), 4);
  // Adding an item already in the grid only makes its row current.
  SetDlgItemTextA(w, IDC_TXTITEMID, "Register.R8");
  MouseClick(w, IDC_ADDITEM);
  EXPECT_EQ(SendDlgItemMessageA(w, IDC_GRIDDATA, FlexGrid::kMsgGetRow, 0, 0), 2);
  EXPECT_EQ(GridRow(w, 5), "");

  // Typed cells: AA7 sets row and column; 7A is no reference; 40 in Column stays within Z.
  SetCell(w, 2, TagGrid::kCell);
  TypeIntoGrid(w, "AA7");
  EXPECT_EQ(GridRow(w, 2), "Register.R8|AA7|7|27");
  SetCell(w, 3, TagGrid::kCell);
  TypeIntoGrid(w, "7A");
  EXPECT_EQ(GridRow(w, 3), "Register.I4|7A|-1|-1");
  SetCell(w, 4, TagGrid::kColumn);
  TypeIntoGrid(w, "40", VK_UP);  // Up stores, and moves one row up
  EXPECT_EQ(GridRow(w, 4), "Quality.Settable|Z5|5|26");
  EXPECT_EQ(SendDlgItemMessageA(w, IDC_GRIDDATA, FlexGrid::kMsgGetRow, 0, 0), 3);
  // Escape throws the typing away; a double-click edits the cell's own text.
  SetCell(w, 3, TagGrid::kRow);
  TypeIntoGrid(w, "99", VK_ESCAPE);
  EXPECT_EQ(GridRow(w, 3), "Register.I4|7A|-1|-1");
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(w, IDC_TXTEDITINPUT)));
  SetCell(w, 3, TagGrid::kCell);
  HWND grid = GetDlgItem(w, IDC_GRIDDATA);
  RECT cell = FlexGrid::From(grid)->CellRect(3, TagGrid::kCell);
  SendMessageA(grid, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(cell.left + 5, cell.top + 5));
  HWND edit = GetDlgItem(w, IDC_TXTEDITINPUT);
  EXPECT_TRUE(IsWindowVisible(edit));
  EXPECT_EQ(Text(edit), "7A");
  SetWindowTextA(edit, "C9");
  Key(edit, VK_DOWN);
  EXPECT_EQ(GridRow(w, 3), "Register.I4|C9|9|3");

  // Validate asks the server about the item ID and the chosen type.
  SetDlgItemTextA(w, IDC_TXTITEMID, "Ramp.R8");
  MouseClick(w, IDC_VALIDATE);
  EXPECT_EQ(ItemText(w, IDC_REPORT), "Testing Item\r\nValid: the server knows Ramp.R8");
  SetDlgItemTextA(w, IDC_TXTITEMID, "No.Such.Item");
  EXPECT_EQ(ItemText(w, IDC_REPORT), "");  // a changed item ID clears the report
  MouseClick(w, IDC_VALIDATE);
  EXPECT_EQ(ItemText(w, IDC_REPORT).rfind("Testing Item\r\nNot valid (C0040007)", 0), 0u)
      << ItemText(w, IDC_REPORT);
  EXPECT_TRUE(SaveArtifact(w, "tessarel_tag_editor.bmp"));

  // Save: a cancelled file dialog says so and writes nothing.
  {
    Answerer a({Press(IDCANCEL), Press(IDOK)});
    MouseClick(w, IDC_BTNSAVE);
    ASSERT_EQ(a.seen.size(), 2u);
    EXPECT_EQ(a.seen[0].caption, "OPC Client Tag Definition File");
    EXPECT_EQ(a.seen[1].text, "Cancel was selected.");
  }
  // Then saved, and the INI updated on OK.
  ChooseCombo(w, IDC_CMBSHEET, 1);
  const std::string file = dir.File("client tags.csv");
  {
    Answerer a({SaveAs(file), Press(IDOK), Press(IDOK)});
    MouseClick(w, IDC_BTNSAVE);
    ASSERT_EQ(a.seen.size(), 3u);
    EXPECT_EQ(a.seen[1].caption, "OPC Client Configuration");
    EXPECT_EQ(a.seen[1].text, "Total of 4 items written to " + file +
                                  "\r\n\r\nUpdate INI file with this OPC client configuration?");
    EXPECT_EQ(a.seen[2].text, "The Tessarel needs to be restarted for the changes to take effect");
  }
  EXPECT_EQ(ReadFile(file),
            "OPC Tag,Type,Item,Write\r\n"
            "Ramp.R8,R4,R2C2,\r\n"
            "Register.R8,R4,R7C27,\r\n"
            "Register.I4,R4,R9C3,\r\n"
            "Quality.Settable,R4,R5C26,\r\n");
  EXPECT_EQ(Profile("Server", e.ini), "Sim.OPCDA.2");
  EXPECT_EQ(Profile("Sheet", e.ini), "Line 2");
  EXPECT_EQ(Profile("Database", e.ini), file);
  EXPECT_EQ(e.bridge.ClientSheet, "Line 2");
  EXPECT_EQ(e.bridge.ClientDatabaseFile, file);
  EXPECT_TRUE(IsWindow(w));  // Save leaves the editor open

  // The file loads back as the start-up reads it: four read tags into their cells.
  CellFormatter f;
  ServerTagDatabase db{TagDatabaseContext{
      [](const std::string&) {}, [] {}, [] { return std::string(","); },
      [] { return OleDate{46000}; }, []() -> IServedTagsPort* { return nullptr; },
      [] { return std::optional<long>(); }}};
  ClientTagList l = LoadClientDatabase(file, "Line 2", db, f);
  EXPECT_EQ(l.items, (std::vector<std::string>{"Ramp.R8", "Register.R8", "Register.I4",
                                               "Quality.Settable"}));
  EXPECT_EQ(l.cells, (std::vector<std::string>{"B2", "AA7", "C9", "Z5"}));

  // Done takes the chosen sheet for this run and closes the editor.
  ChooseCombo(w, IDC_CMBSHEET, 0);
  MouseClick(w, IDC_BTNDONE);
  EXPECT_TRUE(e.closed);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(e.bridge.ClientSheet, "Plant");
}

TEST(TagEditor, WithoutAConnectionTheTreeStaysEmptyAndTypedItemsStillSave) {
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  ComScope com;
  TempFolder dir("tessarel_tag_editor_off");
  Editor e("No.Such.Server", dir.File("Tessarel.ini"));
  EXPECT_FALSE(e.bridge.ClientConnected);
  e.Open(dir.Path());
  HWND w = e.w;
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(SendDlgItemMessageA(w, IDC_TVBRANCHVIEW, TVM_GETCOUNT, 0, 0), 0);
  // Another window of the program taking the front gives it back to the editor.
  HWND other = CreateWindowExA(0, "STATIC", "Other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                               100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  Pump(200);
  SetForegroundWindow(other);
  Pump(500);
  EXPECT_EQ(GetForegroundWindow(), w);
  DestroyWindow(other);
  EXPECT_EQ(SendDlgItemMessageA(w, IDC_LVITEMVIEW, LVM_GETITEMCOUNT, 0, 0), 0);
  SetDlgItemTextA(w, IDC_ITEMNAMEFILTER, "R*");  // nothing to list, nothing fails
  MouseClick(w, IDC_VALIDATE);
  EXPECT_EQ(ItemText(w, IDC_REPORT),
            "Testing Item\r\nNot connected to an OPC server: the item cannot be tested");
  SetDlgItemTextA(w, IDC_TXTITEMID, "Typed.Item");
  MouseClick(w, IDC_ADDITEM);
  SetDlgItemTextA(w, IDC_TXTITEMID, "Say \"hi\"");
  MouseClick(w, IDC_ADDITEM);  // refused, with the reason in the report
  EXPECT_NE(ItemText(w, IDC_REPORT).find("double quotes"), std::string::npos);
  EXPECT_EQ(GridRow(w, 1), "Typed.Item|||");
  EXPECT_EQ(GridRow(w, 2), "");
  const std::string file = dir.File("typed.csv");
  {
    // Cancel to the INI question: the configuration file is not written.
    Answerer a({SaveAs(file), Press(IDCANCEL), Press(IDOK)});
    MouseClick(w, IDC_BTNSAVE);
    ASSERT_EQ(a.seen.size(), 3u);
  }
  EXPECT_EQ(ReadFile(file), "OPC Tag,Type,Item,Write\r\nTyped.Item,R4,RC,\r\n");
  EXPECT_EQ(GetFileAttributesA(e.ini.c_str()), INVALID_FILE_ATTRIBUTES);
  // A file that cannot be written (held open by another program, the overwrite confirmed) is
  // reported, and the file is left as it was.
  const std::string locked = dir.File("locked.csv");
  dir.Write("locked.csv", "kept\r\n");
  HANDLE held = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    Answerer a({SaveAs(locked), Press(IDYES), Press(IDOK)});
    MouseClick(w, IDC_BTNSAVE);
    ASSERT_EQ(a.seen.size(), 3u);
    EXPECT_NE(a.seen[1].text.find("already exists"), std::string::npos) << a.seen[1].text;
    EXPECT_EQ(a.seen[2].text.rfind("The tag file " + locked + " could not be written: ", 0), 0u)
        << a.seen[2].text;
  }
  CloseHandle(held);
  EXPECT_EQ(ReadFile(locked), "kept\r\n");
  // Cancel closes without touching the bridge.
  const std::string sheetBefore = e.bridge.ClientSheet;
  MouseClick(w, IDC_BTNCANCEL);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(e.bridge.ClientSheet, sheetBefore);
}
