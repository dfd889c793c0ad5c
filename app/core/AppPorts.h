// The outside parts the application core talks to, each behind a small interface so the
// start-up order can be driven with fakes and no window or server exists. Subsystems that are
// not wired in yet are represented by the do-nothing implementations at the bottom.
#pragma once
#include <optional>
#include <string>
#include <vector>

class IPlatform {
 public:
  virtual ~IPlatform() = default;
  virtual std::string ComputerName() = 0;  // as the system reports it (64-character buffer)
  virtual bool FileReadable(const std::string& path) = 0;
  // GetPrivateProfileString with a 128-character buffer: at most 127 characters come back.
  virtual std::string GetProfile(const std::string& section, const std::string& key,
                                 const std::string& def, const std::string& file) = 0;
};

// The OPC server toolkit as the program uses it at start-up and exit.
class IToolkitPort {
 public:
  virtual ~IToolkitPort() = default;
  virtual void RegisterServer() = 0;
  virtual void UnregisterServer() = 0;
  virtual void StartServing() = 0;
  virtual bool ClientsConnected() = 0;
  virtual void RequestClientShutdown(const std::string& reason) = 0;
};

// The DDE client control hosted on the main window.
class IDdeControlPort {
 public:
  virtual ~IDdeControlPort() = default;
  virtual void SetFailedReturnString(const std::string& text) = 0;
  virtual bool Initialise() = 0;
  virtual void Uninitialise() = 0;
};

// Excel automation: obtaining the application and opening the workbook.
class IExcelPort {
 public:
  virtual ~IExcelPort() = default;
  virtual void ObtainExcel(bool newInstance, bool visible, const std::string& workbookPath) = 0;
  // Opens the workbook unless it was found already open; failures are not reported.
  virtual void OpenWorkbookIfNotOpen(const std::string& path, bool writable) = 0;
  // Excel's Calculation constant, when Excel can be asked.
  virtual std::optional<long> Calculation() = 0;
  virtual bool HasExcel() = 0;
  // Runs one macro by name; false when Excel refused or failed.
  virtual bool RunMacro(const std::string& name) = 0;
  // At exit: quits an Excel the program started, closes the workbook it opened in someone
  // else's Excel, leaves alone a workbook that was already open; then releases Excel.
  virtual void ShutdownExcel() = 0;
};

// The server tag database and the per-sheet cell lists.
class ITagDatabasePort {
 public:
  virtual ~ITagDatabasePort() = default;
  virtual void LoadServerDatabase(const std::string& path) = 0;
  virtual long TagCount() = 0;
  virtual std::vector<std::string> SheetNames() = 0;  // gSheets, in collection order
};

// What the DDE control says of its state.
struct DdeStatus {
  std::string description;           // StateDescription (FailedReturnString when it failed)
  bool countKnown = false;           // the number of conversations could be read
  long conversations = 0;
};

// The "DDE Status" window's content: either only a message box, or a status bar and a text.
struct DdeStatusView {
  std::string messageBox;  // non-empty: show only this
  std::string statusBar, text;
};
DdeStatusView MakeDdeStatusView(const DdeStatus& status, const std::string& failedReturnString);

// The DDE link to Excel: advise queue, cell formatter, one conversation per sheet.
class IDdeLinkPort {
 public:
  virtual ~IDdeLinkPort() = default;
  virtual void CreateAdviseQueue(long size) = 0;  // 0: the queue's default size
  virtual void CreateCellFormatter() = 0;
  virtual void ConnectToDdeServer(const std::string& service, const std::string& topic) = 0;
  virtual void OnUpdateTick() = 0;    // tmrOpcUpdate
  virtual void OnReEnableTick() = 0;  // tmrReEnableExcelAutoMode
  virtual DdeStatus QueryDdeStatus() = 0;  // for the "DDE Status" window
};

struct ClientSettings {
  std::string Node, Server, Sheet, Database;
  std::string DatabaseKey;  // the "Database" setting as written, before the path rule
};

// The OPC client bridge to one other server.
class IClientBridgePort {
 public:
  virtual ~IClientBridgePort() = default;
  virtual void Configure(const ClientSettings& settings) = 0;
  virtual bool ServerConfigured() = 0;
  virtual void Start() = 0;
  // Closing the window: the group is disabled and the client disconnected.
  virtual void DisableAndDisconnect() = 0;
  // The first step of the clean-up at exit: a connected client disconnects.
  virtual void Disconnect() = 0;
  virtual void Release() = 0;  // the last step: the client object goes
  // The Server text box; setting another ProgID reconnects the client to that server at once.
  virtual std::string SelectedOpcServer() = 0;
  virtual void SetSelectedOpcServer(const std::string& progId) = 0;
  // The OPC servers registered on this machine, asked of a new automation OPCServer object
  // (released again at once); nothing when the list cannot be obtained.
  virtual std::optional<std::vector<std::string>> GetOPCServerList() = 0;
};

enum class AppTimer { Startup, Macro, OpcUpdate, ReEnableExcelAutoMode };

// What the main window shows and the timers it owns.
class IMainView {
 public:
  virtual ~IMainView() = default;
  virtual void ShowSpreadsheet(const std::string& path) = 0;
  virtual void ShowClientDatabase(const std::string& path) = 0;
  virtual void ShowTagCount(long count) = 0;
  virtual void ShowErrorState() = 0;
  virtual void StartTimer(AppTimer timer) = 0;
  virtual void StopTimer(AppTimer timer) = 0;
  virtual void SetTimerInterval(AppTimer timer, unsigned ms) = 0;
  virtual void Unload() = 0;  // ends the program through the normal unload path
};

// Do-nothing stand-ins for subsystems that are not wired in.
class NullToolkitPort : public IToolkitPort {
 public:
  void RegisterServer() override {}
  void UnregisterServer() override {}
  void StartServing() override {}
  bool ClientsConnected() override { return false; }
  void RequestClientShutdown(const std::string&) override {}
};
class NullDdeControlPort : public IDdeControlPort {
 public:
  void SetFailedReturnString(const std::string&) override {}
  bool Initialise() override { return true; }
  void Uninitialise() override {}
};
class NullExcelPort : public IExcelPort {
 public:
  void ObtainExcel(bool, bool, const std::string&) override {}
  void OpenWorkbookIfNotOpen(const std::string&, bool) override {}
  std::optional<long> Calculation() override { return std::nullopt; }
  bool HasExcel() override { return false; }
  bool RunMacro(const std::string&) override { return false; }
  void ShutdownExcel() override {}
};
class NullDdeLinkPort : public IDdeLinkPort {
 public:
  void CreateAdviseQueue(long) override {}
  void CreateCellFormatter() override {}
  void ConnectToDdeServer(const std::string&, const std::string&) override {}
  void OnUpdateTick() override {}
  void OnReEnableTick() override {}
  DdeStatus QueryDdeStatus() override { return DdeStatus{"<Test failed return string>"}; }
};
class NullClientBridgePort : public IClientBridgePort {
 public:
  void Configure(const ClientSettings&) override {}
  bool ServerConfigured() override { return false; }
  void Start() override {}
  void DisableAndDisconnect() override {}
  void Disconnect() override {}
  void Release() override {}
  std::string SelectedOpcServer() override { return {}; }
  void SetSelectedOpcServer(const std::string&) override {}
  std::optional<std::vector<std::string>> GetOPCServerList() override { return std::nullopt; }
};
