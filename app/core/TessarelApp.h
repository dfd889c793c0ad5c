// The application object: the program's state and its two-phase start-up. The main window owns
// one of these; what would otherwise be the program's globals lives here, each under its own name.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "AppPorts.h"
#include "EventLog.h"
#include "cMacro.h"

struct AppParts {
  IPlatform* platform = nullptr;
  IMainView* view = nullptr;
  IToolkitPort* toolkit = nullptr;
  IDdeControlPort* dde = nullptr;
  IExcelPort* excel = nullptr;
  ITagDatabasePort* tags = nullptr;
  IDdeLinkPort* ddeLink = nullptr;
  IClientBridgePort* client = nullptr;
};

class TessarelApp {
 public:
  static constexpr const char* kFailedReturnString = "<Test failed return string>";
  static constexpr const char* kCalculationModeTag = "Excel.CalculationMode";
  static constexpr const char* kErrorStatus = "    Errors - See Tessarel.log";
  static constexpr unsigned kDdeTimeoutMs = 1000;

  TessarelApp(AppParts parts, std::string programFolder, std::string commandLine,
              EventLog::Clock clock, EventLog::MonthName monthName);

  enum class LoadResult { Running, SwitchHandled };
  // Window load, in its fixed order. SwitchHandled: a registration switch was handled and the
  // window has been asked to unload; nothing else was read or started.
  LoadResult Load();
  // The first tick of tmrStartup (the timer stops itself first, so this runs once).
  void StartupTick();
  // A tick of tmrMacro: runs each macro whose period has come, in configuration order.
  void MacroTick();

  void Log(const std::string& message) { log_.LogMessage(message); }
  EventLog& Logger() { return log_; }

  // Configuration and state, named as the rest of the program knows them.
  std::string ProgramFolder;
  std::string CommandLine;
  std::string IniFile;
  std::string ExcelTrueText, ExcelFalseText;
  long gErrorCount = 0;
  std::string DdeServiceName;
  std::string DatabasePath;
  std::string gDelimiter = ",";
  bool FileOpenWritable = false;
  std::string WorkbookPath;
  bool Visible = true;
  bool LocalUpdateOnWrite = false;
  bool NewExcelInstance = true;
  std::vector<cMacro> gMacros;
  long AutoCalcHoldMs = 0;
  long UpdateIntervalMs = 1000;  // tmrOpcUpdate's period
  // Hot links asking for acknowledgements: the spreadsheet sends a cell's next change only when
  // the last one was taken, and keeps only the latest meanwhile.
  bool AckHotLinks = false;
  ClientSettings Client;
  long gTagCount = 0;

 private:
  std::string Profile(const char* section, const char* key, const char* def);
  void LocateIniFile();
  void ReadMacros();

  AppParts p_;
  EventLog log_;
  bool startupRan_ = false;
};
