// Excel's automation object reached through IDispatch by member names, exactly as on Windows:
// "Excel.Application" created out of process, or the running instance from the running object
// table. The application events are received and the only one handled takes no action.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include "ExcelLink.h"
#include "common/ComPtr.h"

class ComExcelConnector : public IExcelConnector {
 public:
  static constexpr const wchar_t* kProgId = L"Excel.Application";
  std::unique_ptr<IExcelApplication> CreateNew() override;
  std::unique_ptr<IExcelApplication> GetRunning() override;
};

class DispatchExcelApplication : public IExcelApplication {
 public:
  explicit DispatchExcelApplication(common::ComPtr<IDispatch> app);
  ~DispatchExcelApplication() override;

  bool SetVisible(bool visible) override;
  std::optional<long> WorkbookCount() override;
  std::optional<std::string> WorkbookFullName(long position) override;
  bool OpenWorkbook(const std::string& path, bool readOnly) override;
  bool CloseWorkbook(long position) override;
  std::optional<long> GetCalculation() override;
  bool SetCalculation(long mode) override;
  std::optional<bool> GetDisplayAlerts() override;
  bool SetDisplayAlerts(bool on) override;
  bool Run(const std::string& macro) override;
  bool Quit() override;

  IDispatch* Dispatch() const { return app_.Get(); }
  // Number of WorkbookBeforeClose notifications received (they need no action).
  long BeforeCloseCount() const { return beforeClose_; }

 private:
  common::ComPtr<IDispatch> Workbooks();
  common::ComPtr<IDispatch> Workbook(long position);
  void AdviseEvents();

  common::ComPtr<IDispatch> app_;
  common::ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  long beforeClose_ = 0;
};
