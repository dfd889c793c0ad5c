// Excel through its automation interface: starting or attaching to it, opening the workbook,
// the calculation mode, macros, and what is closed at exit.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "AppPorts.h"

// One Excel application object, as far as the program uses it. Every call may fail (Excel
// busy, gone, or refusing): failures come back as empty optionals or false.
class IExcelApplication {
 public:
  virtual ~IExcelApplication() = default;
  virtual bool SetVisible(bool visible) = 0;
  virtual std::optional<long> WorkbookCount() = 0;
  virtual std::optional<std::string> WorkbookFullName(long position) = 0;  // 1-based
  // Workbooks.Open(FileName[, ReadOnly:=True]): the flag is passed only when readOnly.
  virtual bool OpenWorkbook(const std::string& path, bool readOnly) = 0;
  virtual bool CloseWorkbook(long position) = 0;  // Close with no arguments
  virtual std::optional<long> GetCalculation() = 0;
  virtual bool SetCalculation(long mode) = 0;
  virtual std::optional<bool> GetDisplayAlerts() = 0;
  virtual bool SetDisplayAlerts(bool on) = 0;
  virtual bool Run(const std::string& macro) = 0;
  virtual bool Quit() = 0;
};

class IExcelConnector {
 public:
  virtual ~IExcelConnector() = default;
  virtual std::unique_ptr<IExcelApplication> CreateNew() = 0;   // a new instance
  virtual std::unique_ptr<IExcelApplication> GetRunning() = 0;  // the running one, if any
};

class ExcelLink : public IExcelPort {
 public:
  explicit ExcelLink(IExcelConnector& connector) : connector_(connector) {}

  void ObtainExcel(bool newInstance, bool visible, const std::string& workbookPath) override;
  void OpenWorkbookIfNotOpen(const std::string& path, bool writable) override;
  std::optional<long> Calculation() override;
  bool HasExcel() override { return gExcel != nullptr; }
  bool RunMacro(const std::string& name) override;
  void ShutdownExcel() override;

  bool SetCalculation(long mode);
  // Position (from 1) of the first open workbook whose full name is gstrWorkbook, without
  // regard to case; -1 when none is.
  long FindWorkbookIndex();

  std::unique_ptr<IExcelApplication> gExcel;
  bool gExcelAttached = false;
  bool WorkbookWasOpen = false;
  long WorkbookIndex = -1;
  std::string gstrWorkbook;

 private:
  void StartNew(bool visible);
  IExcelConnector& connector_;
};
