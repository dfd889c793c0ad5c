#include "TessarelApp.h"

#include "ConfigRules.h"

using namespace config;

TessarelApp::TessarelApp(AppParts parts, std::string programFolder, std::string commandLine,
                         EventLog::Clock clock, EventLog::MonthName monthName)
    : ProgramFolder(std::move(programFolder)),
      CommandLine(std::move(commandLine)),
      p_(parts),
      log_(std::move(clock), std::move(monthName)) {}

std::string TessarelApp::Profile(const char* section, const char* key, const char* def) {
  return p_.platform->GetProfile(section, key, def, IniFile);
}

void TessarelApp::LocateIniFile() {
  std::string name = CleanComputerName(p_.platform->ComputerName());
  std::string own = ProgramFolder + "\\" + name + ".ini";
  IniFile = (!name.empty() && p_.platform->FileReadable(own)) ? own
                                                              : ProgramFolder + "\\Tessarel.ini";
}

void TessarelApp::ReadMacros() {
  gMacros.clear();
  long count = ParseMacroCount(Profile("Tessarel", "Macros", "0"));
  if (count > config::kMaxMacros) {
    Log("Macros=" + std::to_string(count) + " is more than " + std::to_string(config::kMaxMacros) +
        ": only the first " + std::to_string(config::kMaxMacros) + " are read");
    count = config::kMaxMacros;
  }
  for (long i = 1; i <= count; ++i) {
    std::string section = "Macro " + std::to_string(i);
    std::string name = p_.platform->GetProfile(section, "Name", "", IniFile);
    if (name.empty()) continue;
    long period = ParseMacroPeriod(p_.platform->GetProfile(section, "Period", "1", IniFile));
    // Keyed by name: a second macro of the same name is dropped.
    bool taken = false;
    for (const cMacro& m : gMacros) taken = taken || Lower(m.MacroName) == Lower(name);
    if (!taken) gMacros.emplace_back(name, period);
  }
}

TessarelApp::LoadResult TessarelApp::Load() {
  // 1. Texts, the event log buffer and the log file.
  ExcelTrueText = "TRUE";
  ExcelFalseText = "FALSE";
  log_.ReleaseBuffer();
  log_.SetLogFile(ProgramFolder + "\\Tessarel.log");

  // 2. Registration switches: "unregserver" contains "regserver", so it is looked for first.
  if (ContainsNoCase(CommandLine, "unregserver")) {
    p_.toolkit->UnregisterServer();
    p_.view->Unload();
    return LoadResult::SwitchHandled;
  }
  if (ContainsNoCase(CommandLine, "regserver")) {
    p_.toolkit->RegisterServer();
    p_.view->Unload();
    return LoadResult::SwitchHandled;
  }

  // 3.-4.
  LocateIniFile();
  gErrorCount = 0;
  DdeServiceName = "Excel";

  // 5.-6.
  std::string database = Profile("Tessarel", "Database", "");
  if (database.empty()) {
    Log("No Database CSV file specified in " + IniFile);
    ++gErrorCount;
  }
  DatabasePath = ResolvePath(ProgramFolder, database);
  Log("Startup directory: " + ProgramFolder);

  // 7.
  gDelimiter = ParseDelimiter(Profile("Tessarel", "Delimiter", ","));
  if (!config::UsableDelimiter(gDelimiter)) {
    Log("Delimiter \"" + gDelimiter +
        "\" cannot split the tag database: give one character other than a double quote");
    ++gErrorCount;
  }
  FileOpenWritable = Lower(Profile("Tessarel", "FileOpenMode", "false")).find("write") !=
                     std::string::npos;
  WorkbookPath = ResolvePath(ProgramFolder, Profile("Tessarel", "Workbook", ""));
  p_.view->ShowSpreadsheet(WorkbookPath);
  if (!p_.platform->FileReadable(WorkbookPath)) {
    Log("File " + WorkbookPath + " does not exist");
    ++gErrorCount;
  }
  Visible = IsTrueYesOne(Profile("Tessarel", "Visible", "true"));
  LocalUpdateOnWrite = IsTrueYesOne(Profile("Tessarel", "LocalUpdateOnWrite", "False"));

  // 8.
  ReadMacros();

  // 9.
  p_.dde->SetFailedReturnString(kFailedReturnString);
  if (p_.dde->Initialise()) {
    Log("DDE Initialization OK");
  } else {
    Log("DDE Initialization failed");
    ++gErrorCount;
  }

  // 10.
  NewExcelInstance = IsTrueYesOne(Profile("Tessarel", "NewExcelInstance", "true"));
  p_.excel->ObtainExcel(NewExcelInstance, Visible, WorkbookPath);

  // 11.
  ExcelTrueText = Profile("Excel", "True", "TRUE");
  ExcelFalseText = Profile("Excel", "False", "FALSE");
  AutoCalcHoldMs = ParseAutoCalcHoldMs(Profile("Excel", "DisableAutoCalcOnWriteTime", "0"));
  p_.view->StopTimer(AppTimer::ReEnableExcelAutoMode);
  if (AutoCalcHoldMs > 0)
    p_.view->SetTimerInterval(AppTimer::ReEnableExcelAutoMode,
                              static_cast<unsigned>(AutoCalcHoldMs));

  // How often the advise queue is drained into the tags: one second unless the INI asks for a
  // shorter (or longer) period, to trade CPU for latency.
  UpdateIntervalMs = ParseUpdateIntervalMs(Profile("Tessarel", "UpdateInterval", "1000"));
  if (UpdateIntervalMs != 1000)
    p_.view->SetTimerInterval(AppTimer::OpcUpdate, static_cast<unsigned>(UpdateIntervalMs));
  // Unacknowledged hot links unless the INI asks: with cells changing faster than the chain can
  // carry them, acknowledged ones keep the spreadsheet from queueing changes without bound.
  AckHotLinks = IsTrueYesOne(Profile("Tessarel", "AckHotLinks", "false"));

  // 12.
  Client.Node = Profile("OPC Client", "Node", "");
  Client.Server = Profile("OPC Client", "Server", "");
  Client.Sheet = Profile("OPC Client", "Sheet", "");
  Client.DatabaseKey = Profile("OPC Client", "Database", "");
  Client.Database = ResolvePath(ProgramFolder, Client.DatabaseKey);
  p_.client->Configure(Client);
  p_.view->ShowClientDatabase(Client.Database);

  // 13.
  p_.view->StartTimer(AppTimer::Startup);
  return LoadResult::Running;
}

void TessarelApp::StartupTick() {
  p_.view->StopTimer(AppTimer::Startup);
  if (startupRan_) return;
  startupRan_ = true;

  // 1.
  p_.excel->OpenWorkbookIfNotOpen(WorkbookPath, FileOpenWritable);

  // 2. The path rule turns an empty setting into "<folder>\", so loading is attempted even
  // then and fails as a missing file.
  if (!DatabasePath.empty()) p_.tags->LoadServerDatabase(DatabasePath);
  gTagCount = p_.tags->TagCount();
  p_.view->ShowTagCount(gTagCount);

  // 3.-5.
  p_.ddeLink->CreateAdviseQueue(gTagCount > 1000 ? gTagCount + 200 : 0);
  p_.ddeLink->CreateCellFormatter();
  p_.toolkit->StartServing();

  // 6.
  if (p_.client->ServerConfigured()) p_.client->Start();

  // 7.
  for (const std::string& sheet : p_.tags->SheetNames())
    p_.ddeLink->ConnectToDdeServer(DdeServiceName, sheet);

  // 8.-9.
  p_.view->StartTimer(AppTimer::Macro);
  if (gErrorCount > 0) p_.view->ShowErrorState();
}

void TessarelApp::MacroTick() {
  if (!p_.excel->HasExcel()) return;
  for (cMacro& m : gMacros)
    if (m.QueryRun()) p_.excel->RunMacro(m.MacroName);  // failures are silent; the rest run
}

DdeStatusView MakeDdeStatusView(const DdeStatus& status, const std::string& failed) {
  DdeStatusView v;
  if (status.description == failed) {
    v.messageBox = "StateDescription returned FailedReturnString. Corvane is probably not initialised";
    return v;
  }
  if (!status.countKnown) {
    v.text = "Error getting the number of conversations\r\nThe control is probably not  initialised";
    return v;
  }
  v.statusBar = status.conversations == 1
                    ? "There is 1 conversation"
                    : "There are " + std::to_string(status.conversations) + " conversations";
  v.text = status.description;
  return v;
}
