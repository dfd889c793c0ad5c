// "Select OPC Server": the modeless dialog in which the user picks the server that the OPC client
// connects to, from the servers registered on this machine or by typing a Prog ID. OK reconnects
// the client at once and offers to store the choice in the configuration file; the dialog keeps
// itself in front of the program's other windows while it is open.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "AppPorts.h"

class frmBrowseOpcServer {
 public:
  static constexpr const char* kCaption = "Select OPC Server";
  static constexpr const char* kNoServerSelected = "No Server Selected";
  static constexpr const char* kPleaseSelect =
      "Please select an OPC Server from the list or enter a Prog ID.";
  static constexpr const char* kUpdateIni = "Update INI file?";
  static constexpr const char* kConfigurationTitle = "OPC Client Configuration";

  frmBrowseOpcServer(HINSTANCE instance, IClientBridgePort* client);
  ~frmBrowseOpcServer();
  frmBrowseOpcServer(const frmBrowseOpcServer&) = delete;
  frmBrowseOpcServer& operator=(const frmBrowseOpcServer&) = delete;

  bool IsOpen() const { return hwnd_ && IsWindow(hwnd_); }
  // Opens the dialog, owned by `owner`, listing gServerList in its order; OK writes the choice
  // into iniFile when the user agrees. Returns the dialog, or nullptr when it could not be made.
  HWND Open(HWND owner, std::vector<std::string> serverList, std::string iniFile);
  // Shows the open dialog and makes it the foreground window.
  void BringToFront();
  HWND Hwnd() const { return hwnd_; }

 private:
  static INT_PTR CALLBACK DlgProc(HWND, UINT, WPARAM, LPARAM);
  INT_PTR Handle(UINT msg, WPARAM wp, LPARAM lp);
  void OnInit();
  void OnListClick();
  void OnConnect();
  void Close();

  HINSTANCE instance_;
  IClientBridgePort* client_;
  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  std::vector<std::string> gServerList;
  std::string iniFile_;
  bool closing_ = false;
  bool busy_ = false;
};
