// The client sheet as the spreadsheet's automation object: values go into Range(...).Value.
// Each call to the spreadsheet crosses processes (1-3 ms), so cells of one notification that
// follow each other down a column or along a row go in as one range with a 2-D array, as a user's
// macro would write them; a range the spreadsheet refuses is written cell by cell, so one bad
// cell does not keep the others from their values.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "cOpcClient.h"
#include "common/ComPtr.h"

class ExcelClientSheet : public IClientSheet {
 public:
  explicit ExcelClientSheet(common::ComPtr<IDispatch> worksheet) : sheet_(std::move(worksheet)) {}
  std::size_t SetValues(const std::vector<CellWrite>& writes) override;
  // Number of calls made to the spreadsheet so far (for the benchmarks and tests).
  long Calls() const { return calls_; }

 private:
  HRESULT Put(const std::string& range, const VARIANT& value);
  common::ComPtr<IDispatch> sheet_;
  long calls_ = 0;
};

// The worksheet called name in the workbook at position (from 1) of the application's workbooks,
// or nothing.
common::ComPtr<IDispatch> FindWorksheet(IDispatch* excelApplication, long workbookPosition,
                                        const std::string& name);

// The worksheet names of the application's active workbook, in workbook order. Throws
// std::runtime_error when the spreadsheet cannot be asked.
std::vector<std::string> ActiveWorkbookSheetNames(IDispatch* excelApplication);
