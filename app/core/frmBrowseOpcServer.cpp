#include "frmBrowseOpcServer.h"

#include <commctrl.h>

#include "../res/resource.h"
#include "IniReadWriter.h"
#include "MessageLoop.h"
#include "StayInFront.h"
#include "Tooltips.h"

namespace {
// Posted to itself when another window of the program took the activation.
constexpr UINT kMsgComeBack = WM_APP + 1;
}  // namespace

frmBrowseOpcServer::frmBrowseOpcServer(HINSTANCE instance, IClientBridgePort* client)
    : instance_(instance), client_(client) {}

frmBrowseOpcServer::~frmBrowseOpcServer() {
  if (IsOpen()) {
    closing_ = true;
    DestroyWindow(hwnd_);
  }
}

HWND frmBrowseOpcServer::Open(HWND owner, std::vector<std::string> serverList,
                              std::string iniFile) {
  if (IsOpen()) {
    BringToFront();
    return hwnd_;
  }
  gServerList = std::move(serverList);
  iniFile_ = std::move(iniFile);
  closing_ = false;
  hwnd_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_BROWSEOPCSERVER), owner, &DlgProc,
                             reinterpret_cast<LPARAM>(this));
  if (!hwnd_) return nullptr;
  AddModelessDialog(hwnd_);
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  return hwnd_;
}

void frmBrowseOpcServer::BringToFront() {
  if (!IsOpen()) return;
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  ComeBackInFront(hwnd_);
}

void frmBrowseOpcServer::OnInit() {
  MarkStaysInFront(hwnd_);
  SendMessageA(hwnd_, DM_SETDEFID, IDC_CONNECTTOOPCSERVER, 0);
  HWND list = GetDlgItem(hwnd_, IDC_OPCSERVERLIST);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  for (const std::string& progId : gServerList)
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(progId.c_str()));
  SetDlgItemTextA(hwnd_, IDC_TXTSELECTEDOPCSERVER, kNoServerSelected);

  tooltip_ = AddTooltips(
      instance_, hwnd_,
      {{IDC_OPCSERVERLIST, "Click on one of the available OPC servers listed here"},
       {IDC_TXTSELECTEDOPCSERVER, "Select an OPC server from the list above or enter a Prog ID here"},
       {IDC_CONNECTTOOPCSERVER, "Click here to attempt a connection to the selected OPC server"},
       {IDC_ABORTCONNECTION, "Click here to abort making a selection at this time"}});
}

void frmBrowseOpcServer::OnListClick() {
  HWND list = GetDlgItem(hwnd_, IDC_OPCSERVERLIST);
  LRESULT i = SendMessageA(list, LB_GETCURSEL, 0, 0);
  if (i == LB_ERR) return;
  LRESULT n = SendMessageA(list, LB_GETTEXTLEN, i, 0);
  if (n == LB_ERR) return;
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  n = SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
  text.resize(n == LB_ERR ? 0 : static_cast<std::size_t>(n));
  SetDlgItemTextA(hwnd_, IDC_TXTSELECTEDOPCSERVER, text.c_str());
}

void frmBrowseOpcServer::OnConnect() {
  HWND self = hwnd_;
  HWND box = GetDlgItem(self, IDC_TXTSELECTEDOPCSERVER);
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(box)) + 1, '\0');
  text.resize(static_cast<std::size_t>(GetWindowTextA(box, text.data(), static_cast<int>(text.size()))));
  if (busy_) return;  // OK again while the connection's calls pump messages
  if (text == kNoServerSelected) {
    MessageBoxA(self, kPleaseSelect, nullptr, MB_OK);  // the system's default title
    return;
  }
  // Reconnects at once; a failure is the client's to log. The connection's COM calls pump
  // messages, so the program may have closed the dialog meanwhile.
  busy_ = true;
  client_->SetSelectedOpcServer(text);
  busy_ = false;
  if (!IsWindow(self) || self != hwnd_) return;
  if (MessageBoxA(self, kUpdateIni, kConfigurationTitle, MB_OKCANCEL) == IDOK)
    IniReadWriter::WriteProfile("OPC Client", "Server", text, iniFile_);
  if (IsWindow(self) && self == hwnd_) Close();
}

void frmBrowseOpcServer::Close() {
  closing_ = true;
  DestroyWindow(hwnd_);
}

INT_PTR frmBrowseOpcServer::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDC_OPCSERVERLIST:
          if (HIWORD(wp) == LBN_SELCHANGE) OnListClick();
          return TRUE;
        case IDC_CONNECTTOOPCSERVER:
        case IDOK:
          OnConnect();
          return TRUE;
        case IDC_ABORTCONNECTION:
        case IDCANCEL:  // Escape and the close box
          Close();
          return TRUE;
      }
      return FALSE;
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE && !closing_ &&
          ShouldComeBack(hwnd_, reinterpret_cast<HWND>(lp)))
        PostMessageA(hwnd_, kMsgComeBack, 0, 0);
      return FALSE;  // the dialog manager keeps the focus of its controls
    case kMsgComeBack:
      if (!closing_) ComeBackInFront(hwnd_);
      return TRUE;
    case WM_DESTROY:
      closing_ = true;
      RemoveModelessDialog(hwnd_);
      UnmarkStaysInFront(hwnd_);
      return FALSE;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      tooltip_ = nullptr;  // owned by the dialog: destroyed with it
      return FALSE;
  }
  return FALSE;
}

INT_PTR CALLBACK frmBrowseOpcServer::DlgProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  frmBrowseOpcServer* self;
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<frmBrowseOpcServer*>(lp);
    SetWindowLongPtrA(dlg, DWLP_USER, lp);
    self->hwnd_ = dlg;
    self->OnInit();
    return TRUE;
  }
  self = reinterpret_cast<frmBrowseOpcServer*>(GetWindowLongPtrA(dlg, DWLP_USER));
  if (!self || self->hwnd_ != dlg) return FALSE;
  try {
    return self->Handle(msg, wp, lp);
  } catch (...) {
    return FALSE;  // a failing handler must not take the program down
  }
}
