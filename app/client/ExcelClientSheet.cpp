#include "ExcelClientSheet.h"

#include <stdexcept>

#include "CellFormatter.h"
#include "CellRuns.h"
#include "common/Dispatch.h"
#include "common/SafeArray.h"
#include "common/Strings.h"
#include "common/Variant.h"

using common::ComPtr;
using common::Variant;

HRESULT ExcelClientSheet::Put(const std::string& range, const VARIANT& value) {
  ++calls_;
  Variant r;
  HRESULT hr = common::GetProperty(sheet_.Get(), L"Range", r.Ptr(),
                                   {Variant(common::AnsiToWide(range))});
  if (FAILED(hr)) return hr;
  if (V_VT(r.Ptr()) != VT_DISPATCH || !V_DISPATCH(r.Ptr())) return E_UNEXPECTED;
  return common::PutProperty(V_DISPATCH(r.Ptr()), L"Value", Variant(value));
}

std::size_t ExcelClientSheet::SetValues(const std::vector<CellWrite>& writes) {
  if (!sheet_) return 0;
  std::vector<std::string> cells;
  cells.reserve(writes.size());
  for (const CellWrite& w : writes) cells.push_back(w.cell);
  std::size_t written = 0;
  for (const CellRun& run : FindCellRuns(cells)) {
    if (run.count > 1) {
      // rows x 1 down a column, 1 x columns along a row; both bounds from 1, as the
      // spreadsheet's own arrays are.
      SAFEARRAYBOUND b[2];
      b[0].lLbound = b[1].lLbound = 1;
      b[0].cElements = run.down ? static_cast<ULONG>(run.count) : 1;
      b[1].cElements = run.down ? 1 : static_cast<ULONG>(run.count);
      SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 2, b);
      HRESULT hr = sa ? S_OK : E_OUTOFMEMORY;
      for (std::size_t k = 0; SUCCEEDED(hr) && k < run.count; ++k) {
        LONG at[2] = {run.down ? static_cast<LONG>(k + 1) : 1,
                      run.down ? 1 : static_cast<LONG>(k + 1)};
        hr = SafeArrayPutElement(sa, at, const_cast<VARIANT*>(writes[run.first + k].value));
      }
      if (SUCCEEDED(hr)) {
        Variant block;
        V_VT(block.Ptr()) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(block.Ptr()) = sa;
        sa = nullptr;
        hr = Put(run.range, block);
      }
      if (sa) SafeArrayDestroy(sa);
      if (SUCCEEDED(hr)) {
        written += run.count;
        continue;
      }
    }
    for (std::size_t k = 0; k < run.count; ++k)
      if (SUCCEEDED(Put(writes[run.first + k].cell, *writes[run.first + k].value))) ++written;
  }
  return written;
}

ComPtr<IDispatch> FindWorksheet(IDispatch* app, long position, const std::string& name) {
  if (!app || position < 1) return nullptr;
  Variant books, book, sheets, sheet;
  if (FAILED(common::GetProperty(app, L"Workbooks", books.Ptr())) ||
      V_VT(books.Ptr()) != VT_DISPATCH ||
      FAILED(common::GetProperty(V_DISPATCH(books.Ptr()), L"Item", book.Ptr(),
                                 {Variant(static_cast<int>(position))})) ||
      V_VT(book.Ptr()) != VT_DISPATCH ||
      FAILED(common::GetProperty(V_DISPATCH(book.Ptr()), L"Worksheets", sheets.Ptr())) ||
      V_VT(sheets.Ptr()) != VT_DISPATCH ||
      FAILED(common::GetProperty(V_DISPATCH(sheets.Ptr()), L"Item", sheet.Ptr(),
                                 {Variant(common::AnsiToWide(name))})) ||
      V_VT(sheet.Ptr()) != VT_DISPATCH || !V_DISPATCH(sheet.Ptr()))
    return nullptr;
  return ComPtr<IDispatch>(V_DISPATCH(sheet.Ptr()));
}

std::vector<std::string> ActiveWorkbookSheetNames(IDispatch* app) {
  auto dispatchOf = [](IDispatch* from, const wchar_t* name, Variant& out,
                       std::initializer_list<Variant> args = {}) {
    if (!from || FAILED(common::GetProperty(from, name, out.Ptr(), args)) ||
        V_VT(out.Ptr()) != VT_DISPATCH || !V_DISPATCH(out.Ptr()))
      throw std::runtime_error("the spreadsheet has no active workbook");
    return V_DISPATCH(out.Ptr());
  };
  Variant book, sheets, count;
  IDispatch* s = dispatchOf(dispatchOf(app, L"ActiveWorkbook", book), L"Worksheets", sheets);
  if (FAILED(common::GetProperty(s, L"Count", count.Ptr())) ||
      FAILED(VariantChangeType(count.Ptr(), count.Ptr(), 0, VT_I4)))
    throw std::runtime_error("the worksheets cannot be counted");
  std::vector<std::string> names;
  for (LONG i = 1; i <= V_I4(count.Ptr()); ++i) {
    Variant sheet, name;
    IDispatch* ws = dispatchOf(s, L"Item", sheet, {Variant(static_cast<int>(i))});
    if (FAILED(common::GetProperty(ws, L"Name", name.Ptr())) || V_VT(name.Ptr()) != VT_BSTR)
      throw std::runtime_error("a worksheet has no name");
    names.push_back(common::WideToAnsi(common::FromOle(V_BSTR(name.Ptr()))));
  }
  return names;
}
