#include "ExcelLink.h"

#include "ConfigRules.h"

void ExcelLink::StartNew(bool visible) {
  gExcel = connector_.CreateNew();
  if (gExcel) gExcel->SetVisible(visible);
  gExcelAttached = false;
  WorkbookWasOpen = false;
  WorkbookIndex = -1;
}

void ExcelLink::ObtainExcel(bool newInstance, bool visible, const std::string& workbookPath) {
  gstrWorkbook = workbookPath;
  if (newInstance) {
    StartNew(visible);
    return;
  }
  // Attach to a running Excel; its visibility stays as its user left it.
  gExcel = connector_.GetRunning();
  if (!gExcel) {
    StartNew(visible);
    return;
  }
  gExcelAttached = true;
  long index = FindWorkbookIndex();
  WorkbookWasOpen = index > 0;
  // The workbook's own position (the count of open workbooks would name another workbook
  // whenever ours is not the last one).
  WorkbookIndex = index;
}

long ExcelLink::FindWorkbookIndex() {
  if (!gExcel) return -1;
  long count = gExcel->WorkbookCount().value_or(0);
  const std::string wanted = config::Lower(gstrWorkbook);
  for (long i = 1; i <= count; ++i) {
    auto name = gExcel->WorkbookFullName(i);
    if (name && config::Lower(*name) == wanted) return i;
  }
  return -1;
}

void ExcelLink::OpenWorkbookIfNotOpen(const std::string& path, bool writable) {
  gstrWorkbook = path;
  if (!gExcel || WorkbookWasOpen) return;
  // A failure is not reported here: it shows as failing DDE conversations.
  if (gExcel->OpenWorkbook(path, !writable)) WorkbookIndex = gExcel->WorkbookCount().value_or(-1);
}

std::optional<long> ExcelLink::Calculation() {
  if (!gExcel) return std::nullopt;
  return gExcel->GetCalculation();
}

bool ExcelLink::SetCalculation(long mode) { return gExcel && gExcel->SetCalculation(mode); }

bool ExcelLink::RunMacro(const std::string& name) { return gExcel && gExcel->Run(name); }

void ExcelLink::ShutdownExcel() {
  if (!gExcel) return;
  if (!gExcelAttached) {
    // Ours: quit without asking to save.
    gExcel->SetDisplayAlerts(false);
    gExcel->Quit();
  } else if (!WorkbookWasOpen && WorkbookIndex > 0) {
    // Someone else's Excel: close only the workbook we opened, then leave it as it was.
    std::optional<bool> alerts = gExcel->GetDisplayAlerts();
    gExcel->SetDisplayAlerts(false);
    long index = FindWorkbookIndex();
    if (index > 0) gExcel->CloseWorkbook(index);
    if (alerts) gExcel->SetDisplayAlerts(*alerts);
  }
  gExcel.reset();
}
