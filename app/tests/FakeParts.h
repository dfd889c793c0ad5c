// Fakes of the application's outside parts. Every call is written to one shared journal, so a
// test can check the order in which window load and the start-up tick use them.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AppPorts.h"
#include "EventLog.h"

struct Journal {
  std::vector<std::string> calls;
  void Add(std::string s) { calls.push_back(std::move(s)); }
};

class FakePlatform : public IPlatform {
 public:
  std::string computerName = "PLANT7";
  std::set<std::string> readable;  // files that exist
  std::map<std::string, std::map<std::string, std::string>> ini;  // file -> "section|key" -> v

  void Set(const std::string& file, const std::string& section, const std::string& key,
           const std::string& value) {
    readable.insert(file);
    ini[file][section + "|" + key] = value;
  }
  std::string ComputerName() override {
    std::string raw = computerName;
    raw.resize(64, '\0');  // as the system fills its 64-character buffer
    return raw;
  }
  bool FileReadable(const std::string& path) override { return readable.count(path) > 0; }
  std::string GetProfile(const std::string& section, const std::string& key,
                         const std::string& def, const std::string& file) override {
    auto f = ini.find(file);
    if (f == ini.end()) return def;
    auto v = f->second.find(section + "|" + key);
    return v == f->second.end() ? def : v->second.substr(0, 127);
  }
};

class FakeView : public IMainView {
 public:
  explicit FakeView(Journal& j) : j_(j) {}
  std::string spreadsheet, clientDatabase;
  long tags = -1;
  bool errorState = false;
  void ShowSpreadsheet(const std::string& p) override { spreadsheet = p; j_.Add("view.spreadsheet"); }
  void ShowClientDatabase(const std::string& p) override { clientDatabase = p; j_.Add("view.clientdb"); }
  void ShowTagCount(long n) override { tags = n; j_.Add("view.tags " + std::to_string(n)); }
  void ShowErrorState() override { errorState = true; j_.Add("view.error"); }
  void StartTimer(AppTimer t) override { j_.Add("timer.start " + Name(t)); }
  void StopTimer(AppTimer t) override { j_.Add("timer.stop " + Name(t)); }
  void SetTimerInterval(AppTimer t, unsigned ms) override {
    j_.Add("timer.interval " + Name(t) + " " + std::to_string(ms));
  }
  void Unload() override { j_.Add("view.unload"); }
  static std::string Name(AppTimer t) {
    switch (t) {
      case AppTimer::Startup: return "tmrStartup";
      case AppTimer::Macro: return "tmrMacro";
      case AppTimer::OpcUpdate: return "tmrOpcUpdate";
      case AppTimer::ReEnableExcelAutoMode: return "tmrReEnableExcelAutoMode";
    }
    return "?";
  }

 private:
  Journal& j_;
};

class FakeToolkit : public IToolkitPort {
 public:
  explicit FakeToolkit(Journal& j) : j_(j) {}
  void RegisterServer() override { j_.Add("toolkit.register"); }
  void UnregisterServer() override { j_.Add("toolkit.unregister"); }
  void StartServing() override { j_.Add("toolkit.serve"); }
  bool ClientsConnected() override { return false; }
  void RequestClientShutdown(const std::string& r) override { j_.Add("toolkit.shutdown " + r); }

 private:
  Journal& j_;
};

class FakeDde : public IDdeControlPort {
 public:
  explicit FakeDde(Journal& j) : j_(j) {}
  bool initOk = true;
  void SetFailedReturnString(const std::string& s) override { j_.Add("dde.failed " + s); }
  bool Initialise() override { j_.Add("dde.init"); return initOk; }
  void Uninitialise() override { j_.Add("dde.uninit"); }

 private:
  Journal& j_;
};

class FakeExcel : public IExcelPort {
 public:
  explicit FakeExcel(Journal& j) : j_(j) {}
  void ObtainExcel(bool newInstance, bool visible, const std::string&) override {
    j_.Add(std::string("excel.obtain new=") + (newInstance ? "1" : "0") +
           " visible=" + (visible ? "1" : "0"));
  }
  void OpenWorkbookIfNotOpen(const std::string& path, bool writable) override {
    j_.Add("excel.open " + path + (writable ? " rw" : " ro"));
  }
  std::optional<long> Calculation() override { return -4105; }
  bool HasExcel() override { return true; }
  bool RunMacro(const std::string& name) override {
    j_.Add("excel.run " + name);
    return name != "Broken";
  }
  void ShutdownExcel() override { j_.Add("excel.shutdown"); }

 private:
  Journal& j_;
};

class FakeTags : public ITagDatabasePort {
 public:
  explicit FakeTags(Journal& j) : j_(j) {}
  long count = 0;
  std::vector<std::string> sheets;
  void LoadServerDatabase(const std::string& p) override { j_.Add("tags.load " + p); }
  long TagCount() override { return count; }
  std::vector<std::string> SheetNames() override { return sheets; }

 private:
  Journal& j_;
};

class FakeDdeLink : public IDdeLinkPort {
 public:
  explicit FakeDdeLink(Journal& j) : j_(j) {}
  void CreateAdviseQueue(long n) override { j_.Add("link.queue " + std::to_string(n)); }
  void CreateCellFormatter() override { j_.Add("link.formatter"); }
  void ConnectToDdeServer(const std::string& s, const std::string& t) override {
    j_.Add("link.connect " + s + "," + t);
  }
  void OnUpdateTick() override { j_.Add("link.tick"); }
  void OnReEnableTick() override { j_.Add("link.reenable"); }
  DdeStatus QueryDdeStatus() override { return DdeStatus{"status", true, 0}; }

 private:
  Journal& j_;
};

class FakeClient : public IClientBridgePort {
 public:
  explicit FakeClient(Journal& j) : j_(j) {}
  ClientSettings settings;
  void Configure(const ClientSettings& s) override { settings = s; j_.Add("client.configure"); }
  bool ServerConfigured() override { return !settings.Server.empty(); }
  void Start() override { j_.Add("client.start"); }
  void DisableAndDisconnect() override { j_.Add("client.disable+disconnect"); }
  void Disconnect() override { j_.Add("client.disconnect"); }
  void Release() override { j_.Add("client.release"); }
  std::string SelectedOpcServer() override { return settings.Server; }
  void SetSelectedOpcServer(const std::string& p) override { j_.Add("client.select " + p); }
  std::optional<std::vector<std::string>> GetOPCServerList() override { return std::nullopt; }

 private:
  Journal& j_;
};

inline LocalTime FixedTime() { return LocalTime{2026, 12, 7, 15, 5, 0}; }
