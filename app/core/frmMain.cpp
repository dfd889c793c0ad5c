#include "frmMain.h"

#include <commctrl.h>

#include "../res/resource.h"
#include "LogWindows.h"
#include "Win32Platform.h"

namespace {

constexpr int kMargin = 8;
constexpr int kLabelLeft = 16;  // a label's left offset is kLabelLeft - kMargin inside its frame
constexpr int kValueLeft = 110;
constexpr int kServerFrameTop = 8, kServerFrameHeight = 122;
constexpr int kLine1Top = 138;
constexpr int kClientFrameTop = 146, kClientFrameHeight = 96;
constexpr int kLine2Top = 250;
constexpr int kInitialWidth = 540, kInitialHeight = 330;
constexpr int kServerFrameWidth = kInitialWidth - 2 * kMargin - 16;

constexpr UINT kMsgLastClientGone = WM_APP + 1;

UINT_PTR TimerId(AppTimer t) { return static_cast<UINT_PTR>(t) + 1; }
int TimerIndex(AppTimer t) { return static_cast<int>(t); }

}  // namespace

frmMain::frmMain(HINSTANCE instance, IToolkitPort* toolkit, IDdeControlPort* dde,
                 IExcelPort* excel, ITagDatabasePort* tags, IDdeLinkPort* ddeLink,
                 IClientBridgePort* client)
    : instance_(instance),
      toolkit_(toolkit),
      dde_(dde),
      excel_(excel),
      tags_(tags),
      ddeLink_(ddeLink),
      client_(client),
      platform_(std::make_unique<Win32Platform>()) {
  AppParts parts;
  parts.platform = platform_.get();
  parts.view = this;
  parts.toolkit = toolkit_;
  parts.dde = dde_;
  parts.excel = excel_;
  parts.tags = tags_;
  parts.ddeLink = ddeLink_;
  parts.client = client_;
  app_ = std::make_unique<TessarelApp>(parts, Win32Platform::ProgramFolder(),
                                       Win32Platform::CommandLineArguments(), &Win32Platform::Now,
                                       &Win32Platform::MonthAbbreviation);
}

frmMain::~frmMain() {
  if (errorBrush_) DeleteObject(errorBrush_);
}

bool frmMain::Create(int showCommand) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &frmMain::WndProc;
  wc.hInstance = instance_;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
  wc.lpszClassName = kClassName;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  RegisterClassExA(&wc);
  logwindows::RegisterClasses(instance_);

  hwnd_ = CreateWindowExA(0, kClassName, kCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                          CW_USEDEFAULT, kInitialWidth, kInitialHeight, nullptr, nullptr,
                          instance_, this);
  if (!hwnd_) return false;
  CreateControls();

  // Window load runs before the window is shown, so a registration switch never shows it.
  if (app_->Load() == TessarelApp::LoadResult::SwitchHandled) return true;
  ShowWindow(hwnd_, showCommand);
  UpdateWindow(hwnd_);
  return true;
}

void frmMain::CreateControls() {
  font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  struct Ctl {
    const char* cls;
    const char* text;
    DWORD style;
    int id, x, y, w, h;
  };
  const DWORD label = WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
  const DWORD value = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX;
  const int wide = kServerFrameWidth - 2 * (kLabelLeft - kMargin);
  const Ctl ctls[] = {
      {"BUTTON", "OPC Server", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, IDC_FRASERVER, kMargin,
       kServerFrameTop, kServerFrameWidth, kServerFrameHeight},
      {"STATIC", "Spreadsheet:", label, IDC_LBLSPREADSHEET, kLabelLeft, 28, 90, 16},
      {"STATIC", "", value, IDC_TXTSPREADSHEET, kLabelLeft, 46, wide, 16},
      {"STATIC", "OPC Clients:", label, IDC_LBLNUMOPCCLIENTS, kLabelLeft, 70, 90, 16},
      {"STATIC", "0", value, IDC_TXTNUMOPCCLIENTS, kValueLeft, 70, 60, 16},
      {"STATIC", "OPC Tags:", label, IDC_LBLNUMOPCTAGS, 200, 70, 70, 16},
      {"STATIC", "0", value, IDC_TXTNUMOPCTAGS, 275, 70, 90, 16},
      {"STATIC", "Status:", label, IDC_LBLSTATUS, kLabelLeft, 96, 90, 16},
      {"STATIC", "Running", value, IDC_TXTSTATUS, kValueLeft, 96, 250, 16},
      {"BUTTON", "View", WS_CHILD | BS_PUSHBUTTON, IDC_BTNVIEWERRORLOG, 370, 92, 60, 24},
      {"STATIC", "", WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ, IDC_LINE1, 0, kLine1Top,
       kInitialWidth, 2},
      {"BUTTON", "OPC Client", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, IDC_FRACLIENT, kMargin,
       kClientFrameTop, kServerFrameWidth, kClientFrameHeight},
      {"STATIC", "Server:", label, IDC_LBLSERVER, kLabelLeft, 166, 90, 16},
      {"STATIC", "", value, IDC_TXTSERVER, kValueLeft, 166, wide - 276, 16},
      {"BUTTON", "...", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, IDC_BTNBROWSE,
       kValueLeft + wide - 272, 163, 26, 22},
      {"STATIC", "Sheet:", label, IDC_LBLCLIENTSHEET, kLabelLeft, 188, 90, 16},
      {"STATIC", "", value, IDC_TXTCLIENTSHEET, kValueLeft, 188, wide - 94, 16},
      {"STATIC", "Tag file:", label, IDC_LBLCLIENTTAGFILE, kLabelLeft, 210, 90, 16},
      {"STATIC", "", value, IDC_TXTCLIENTTAGDEFINITIONFILE, kValueLeft, 210, wide - 94, 16},
      {"BUTTON", "OPC Tag Configuration", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON,
       IDC_BTNOPCCLIENT, kServerFrameWidth - 148, 162, 140, 24},
      {"STATIC", "", WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ, IDC_LINE2, 0, kLine2Top,
       kInitialWidth, 2},
  };
  for (const Ctl& c : ctls) {
    HWND h = CreateWindowExA(0, c.cls, c.text, c.style, c.x, c.y, c.w, c.h, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance_,
                             nullptr);
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
}

void frmMain::Layout() {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  HWND frame = GetDlgItem(hwnd_, IDC_FRASERVER);
  HWND label = GetDlgItem(hwnd_, IDC_TXTSPREADSHEET);
  if (!frame || !label) return;  // sized during creation, before the controls exist
  RECT fr, lr;
  GetWindowRect(frame, &fr);
  GetWindowRect(label, &lr);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&fr), 2);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&lr), 2);
  // As wide as the server frame less twice the label's left offset inside it.
  int offset = lr.left - fr.left;
  int width = (fr.right - fr.left) - 2 * offset;
  if (width < 0) width = 0;
  SetWindowPos(label, nullptr, 0, 0, width, lr.bottom - lr.top, SWP_NOMOVE | SWP_NOZORDER);
  for (int id : {IDC_LINE1, IDC_LINE2}) {
    HWND line = GetDlgItem(hwnd_, id);
    RECT r;
    GetWindowRect(line, &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    SetWindowPos(line, nullptr, 0, 0, rc.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER);
  }
}

void frmMain::SetText(int id, const std::string& text) {
  SetDlgItemTextA(hwnd_, id, text.c_str());
}

void frmMain::ShowSpreadsheet(const std::string& path) { SetText(IDC_TXTSPREADSHEET, path); }
void frmMain::ShowClientDatabase(const std::string& path) {
  SetText(IDC_TXTCLIENTTAGDEFINITIONFILE, path);
}
void frmMain::ShowClientServer(const std::string& server, bool enabled) {
  SetText(IDC_TXTSERVER, server);
  EnableWindow(GetDlgItem(hwnd_, IDC_BTNOPCCLIENT), enabled ? TRUE : FALSE);
}
void frmMain::ShowClientSheet(const std::string& sheet) { SetText(IDC_TXTCLIENTSHEET, sheet); }
void frmMain::ShowTagCount(long count) { SetText(IDC_TXTNUMOPCTAGS, std::to_string(count)); }
void frmMain::ShowClientCount(long count) {
  SetText(IDC_TXTNUMOPCCLIENTS, std::to_string(count));
}

void frmMain::ShowErrorState() {
  errorState_ = true;
  if (!errorBrush_) errorBrush_ = CreateSolidBrush(RGB(255, 0, 0));
  SetText(IDC_TXTSTATUS, TessarelApp::kErrorStatus);
  ShowWindow(GetDlgItem(hwnd_, IDC_BTNVIEWERRORLOG), SW_SHOW);
  InvalidateRect(GetDlgItem(hwnd_, IDC_TXTSTATUS), nullptr, TRUE);
}

void frmMain::StartTimer(AppTimer t) {
  running_[TimerIndex(t)] = true;
  SetTimer(hwnd_, TimerId(t), interval_[TimerIndex(t)], nullptr);
}

void frmMain::StopTimer(AppTimer t) {
  running_[TimerIndex(t)] = false;
  KillTimer(hwnd_, TimerId(t));
}

void frmMain::SetTimerInterval(AppTimer t, unsigned ms) {
  interval_[TimerIndex(t)] = ms;
  if (running_[TimerIndex(t)]) SetTimer(hwnd_, TimerId(t), ms, nullptr);  // restarts the period
}

void frmMain::Unload() {
  switchHandled_ = true;
  DestroyWindow(hwnd_);
}

void frmMain::LastClientGone() { PostMessageA(hwnd_, kMsgLastClientGone, 0, 0); }

void frmMain::OnTimer(UINT_PTR id) {
  switch (static_cast<AppTimer>(id - 1)) {
    case AppTimer::Startup:
      app_->StartupTick();
      break;
    case AppTimer::Macro:
      app_->MacroTick();
      break;
    case AppTimer::OpcUpdate:
      ddeLink_->OnUpdateTick();
      break;
    case AppTimer::ReEnableExcelAutoMode:
      ddeLink_->OnReEnableTick();
      break;
  }
}

void frmMain::AskClientsToDisconnect() {
  if (MessageBoxA(hwnd_, "There are OPC Clients connected. Request disconnection?", kCaption,
                  MB_OKCANCEL | MB_ICONQUESTION) == IDOK)
    toolkit_->RequestClientShutdown("Server is being shut down by administrator");
}

void frmMain::OnClose() {
  if (toolkit_->ClientsConnected()) {
    AskClientsToDisconnect();
    return;  // the window stays open while clients are connected
  }
  client_->DisableAndDisconnect();
  DestroyWindow(hwnd_);
}

void frmMain::ShutdownCleanup() {
  if (cleanedUp_) return;
  cleanedUp_ = true;
  client_->Disconnect();
  dde_->Uninitialise();
  excel_->ShutdownExcel();
  client_->Release();
}

void frmMain::OnBrowse() {
  if (!browse_) browse_ = std::make_unique<frmBrowseOpcServer>(instance_, client_);
  if (browse_->IsOpen()) {
    browse_->BringToFront();
    return;
  }
  std::optional<std::vector<std::string>> list = client_->GetOPCServerList();
  if (!list) app_->Log("The list of OPC servers could not be obtained: enter the server's Prog ID");
  browse_->Open(hwnd_, list.value_or(std::vector<std::string>()), app_->IniFile);
}

void frmMain::OnCommand(int id) {
  switch (id) {
    case IDC_BTNBROWSE:
      OnBrowse();
      break;
    case IDC_BTNOPCCLIENT:
      if (openTagEditor_) openTagEditor_();
      break;
    case IDM_EVENTLOG:
      logwindows::ShowEventLog(instance_, hwnd_, &app_->Logger());
      break;
    case IDM_ABOUT:
      logwindows::ShowAbout(instance_, hwnd_, app_->Logger().LogFile());
      break;
    case IDC_BTNVIEWERRORLOG:
      logwindows::ShowErrorLog(instance_, hwnd_, app_->Logger().LogFile());
      break;
    case IDM_EXIT:
      if (toolkit_->ClientsConnected()) AskClientsToDisconnect();
      break;
    case IDM_FORCEDEXIT:
      if (MessageBoxA(hwnd_, "Are you sure?", "Forced Exit", MB_OKCANCEL | MB_ICONWARNING) ==
          IDOK)
        ExitProcess(0);
      break;
    case IDM_DDESTATUS:
      logwindows::ShowDdeStatus(
          instance_, hwnd_,
          MakeDdeStatusView(ddeLink_->QueryDdeStatus(), TessarelApp::kFailedReturnString));
      break;
  }
}

LRESULT frmMain::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE:
      Layout();
      return 0;
    case WM_TIMER:
      OnTimer(wp);
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wp));
      return 0;
    case WM_CTLCOLORSTATIC:
      if (errorState_ && reinterpret_cast<HWND>(lp) == GetDlgItem(hwnd_, IDC_TXTSTATUS)) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetBkColor(dc, RGB(255, 0, 0));
        SetTextColor(dc, RGB(0, 0, 0));
        return reinterpret_cast<LRESULT>(errorBrush_);
      }
      break;
    case WM_CLOSE:
      OnClose();
      return 0;
    case kMsgLastClientGone:
      ShutdownCleanup();
      ExitProcess(0);
    case WM_DESTROY:
      for (AppTimer t : {AppTimer::Startup, AppTimer::Macro, AppTimer::OpcUpdate,
                         AppTimer::ReEnableExcelAutoMode})
        KillTimer(hwnd_, TimerId(t));
      if (!switchHandled_) ShutdownCleanup();
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK frmMain::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  frmMain* self;
  if (msg == WM_NCCREATE) {
    self = static_cast<frmMain*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<frmMain*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcA(hwnd, msg, wp, lp);
  try {
    return self->Handle(msg, wp, lp);
  } catch (...) {
    // A failure in one handler must not take the server down.
    return 0;
  }
}
