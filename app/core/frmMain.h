// The main window: shows the server's state, owns the four timers, hosts the program's parts.
// Thin: it turns messages into calls on TessarelApp and shows what the application reports.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "AppPorts.h"
#include "TessarelApp.h"
#include "frmBrowseOpcServer.h"

class frmMain : public IMainView {
 public:
  static constexpr const char* kClassName = "TessarelMainWindow";
  static constexpr const char* kCaption = "Tessarel";

  frmMain(HINSTANCE instance, IToolkitPort* toolkit, IDdeControlPort* dde, IExcelPort* excel,
          ITagDatabasePort* tags, IDdeLinkPort* ddeLink, IClientBridgePort* client);
  ~frmMain() override;

  // Creates the (hidden) window and runs the window load; shows it unless a switch was handled.
  // Returns false when the window could not be created.
  bool Create(int showCommand);
  HWND Hwnd() const { return hwnd_; }
  TessarelApp& App() { return *app_; }

  // IMainView
  void ShowSpreadsheet(const std::string& path) override;
  void ShowClientDatabase(const std::string& path) override;
  void ShowTagCount(long count) override;
  void ShowErrorState() override;
  void StartTimer(AppTimer timer) override;
  void StopTimer(AppTimer timer) override;
  void SetTimerInterval(AppTimer timer, unsigned ms) override;
  void Unload() override;

  void ShowClientCount(long count);
  // The "OPC Client" frame: the server, with the tag editor's button enabled only with one.
  void ShowClientServer(const std::string& server, bool enabled);
  void ShowClientSheet(const std::string& sheet);
  // The last OPC client has gone: clean up and end, once the current call has returned.
  void LastClientGone();
  // What the "OPC Tag Configuration" button opens (the tag editor, wired by the program).
  void SetTagEditorOpener(std::function<void()> open) { openTagEditor_ = std::move(open); }

 private:
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void CreateControls();
  void Layout();
  void OnTimer(UINT_PTR id);
  void OnCommand(int id);
  void OnClose();
  void AskClientsToDisconnect();
  void OnBrowse();
  void ShutdownCleanup();
  void SetText(int id, const std::string& text);

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  HBRUSH errorBrush_ = nullptr;
  bool errorState_ = false;
  bool switchHandled_ = false;
  bool cleanedUp_ = false;
  unsigned interval_[4] = {200, 1000, 1000, 500};
  bool running_[4] = {};
  IToolkitPort* toolkit_;
  IDdeControlPort* dde_;
  IExcelPort* excel_;
  ITagDatabasePort* tags_;
  IDdeLinkPort* ddeLink_;
  IClientBridgePort* client_;
  std::unique_ptr<IPlatform> platform_;
  std::unique_ptr<TessarelApp> app_;
  std::function<void()> openTagEditor_;
  std::unique_ptr<frmBrowseOpcServer> browse_;  // the server selection dialog, made at first use
};
