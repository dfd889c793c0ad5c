#include "Automation.h"

#include <cmath>
#include <vector>

#include "AnsiText.h"

namespace wbs {

using common::ComPtr;

namespace {

const OLECHAR kSource[] = {'W', 'o', 'r', 'k', 'b', 'o', 'o', 'k', 'S', 'e', 'r', 'v', 'e', 'r', 0};

HRESULT Fail(HRESULT hr, const std::string& description) {
  WideText w = Utf8ToWideText(description);
  return common::ReportError(hr, IID_IWbApplication, kSource, reinterpret_cast<const OLECHAR*>(w.c_str()));
}

BSTR NewBstr(const std::string& utf8) {
  WideText w = Utf8ToWideText(utf8);
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(w.c_str()), static_cast<UINT>(w.size()));
}

std::string FromBstr(BSTR b) {
  if (!b) return std::string();
  return WideToUtf8Text(FromWinStr(b, SysStringLen(b)));
}

bool IsMissing(const VARIANT& v) {
  return V_VT(&v) == VT_EMPTY || (V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND);
}

// A VARIANT with any VT_BYREF taken away (script hosts pass variables by reference).
HRESULT Plain(const VARIANT& in, common::Variant& out) { return VariantCopyInd(&out, const_cast<VARIANT*>(&in)); }

// An index argument: a 1-based position, or a name.
struct Index {
  bool byName = false;
  long position = 0;
  std::string name;
};
HRESULT ReadIndex(const VARIANT& in, Index& out) {
  common::Variant v;
  HRESULT hr = Plain(in, v);
  if (FAILED(hr)) return hr;
  if (V_VT(&v) == VT_BSTR) {
    out.byName = true;
    out.name = FromBstr(V_BSTR(&v));
    return S_OK;
  }
  common::Variant n;
  if (FAILED(VariantChangeType(&n, &v, 0, VT_I4))) return DISP_E_TYPEMISMATCH;
  out.position = V_I4(&n);
  return S_OK;
}

HRESULT ReadBool(const VARIANT& in, bool dflt, bool& out) {
  if (IsMissing(in)) {
    out = dflt;
    return S_OK;
  }
  common::Variant v, b;
  HRESULT hr = Plain(in, v);
  if (FAILED(hr)) return hr;
  if (IsMissing(v)) {
    out = dflt;
    return S_OK;
  }
  if (FAILED(VariantChangeType(&b, &v, 0, VT_BOOL))) return DISP_E_TYPEMISMATCH;
  out = V_BOOL(&b) != VARIANT_FALSE;
  return S_OK;
}

// ---- Range ---------------------------------------------------------------------------------

class RangeObj final
    : public common::ComObject<RangeObj, WbDispatch<IWbRange>> {
 public:
  RangeObj(Workbook* wb, int sheet, CellPos first, CellPos last)
      : wb_(wb), serial_(State().SerialOf(wb)), sheet_(sheet), first_(first), last_(last) {}

  STDMETHODIMP get_Value(VARIANT* out) override {
    return Read(out, [](Workbook* wb, int s, CellPos p, VARIANT* v) { return CellToVariant(wb->Value(s, p), v); });
  }
  STDMETHODIMP put_Value(VARIANT v) override { return Write(v); }
  STDMETHODIMP get_Formula(VARIANT* out) override {
    return Read(out, [](Workbook* wb, int s, CellPos p, VARIANT* v) {
      V_VT(v) = VT_BSTR;
      V_BSTR(v) = NewBstr(wb->Formula(s, p));
      return V_BSTR(v) ? S_OK : E_OUTOFMEMORY;
    });
  }
  STDMETHODIMP put_Formula(VARIANT v) override { return Write(v); }
  STDMETHODIMP get_Text(VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    COM_TRY
    if (!Alive()) return Gone();
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = NewBstr(wb_->Text(sheet_, first_));
    return V_BSTR(out) ? S_OK : E_OUTOFMEMORY;
    COM_CATCH
  }
  STDMETHODIMP get_Row(LONG* row) override {
    if (!row) return E_POINTER;
    *row = first_.row + 1;
    return S_OK;
  }
  STDMETHODIMP get_Column(LONG* col) override {
    if (!col) return E_POINTER;
    *col = first_.col + 1;
    return S_OK;
  }
  STDMETHODIMP get_Address(BSTR* out) override {
    if (!out) return E_POINTER;
    COM_TRY
    auto abs = [](CellPos p) { return "$" + ColumnLetters(p.col) + "$" + std::to_string(p.row + 1); };
    std::string a = abs(first_);
    if (!(first_ == last_)) a += ":" + abs(last_);
    *out = NewBstr(a);
    return *out ? S_OK : E_OUTOFMEMORY;
    COM_CATCH
  }
  STDMETHODIMP get_Count(LONG* n) override {
    if (!n) return E_POINTER;
    *n = Rows() * Cols();
    return S_OK;
  }

 private:
  long Rows() const { return last_.row - first_.row + 1; }
  long Cols() const { return last_.col - first_.col + 1; }
  bool Alive() const { return State().Alive(wb_, serial_); }
  static HRESULT Gone() { return Fail(kAppError, "The workbook of this range has been closed."); }

  template <class F>
  HRESULT Read(VARIANT* out, F cell) {
    if (!out) return E_POINTER;
    VariantInit(out);
    COM_TRY
    if (!Alive()) return Gone();
    if (first_ == last_) return cell(wb_, sheet_, first_, out);
    // Several cells: a two-dimensional array, rows by columns, both from 1.
    SAFEARRAYBOUND b[2];
    b[0].lLbound = 1;
    b[0].cElements = static_cast<ULONG>(Rows());
    b[1].lLbound = 1;
    b[1].cElements = static_cast<ULONG>(Cols());
    SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 2, b);
    if (!sa) return E_OUTOFMEMORY;
    for (long r = 0; r < Rows(); ++r)
      for (long c = 0; c < Cols(); ++c) {
        common::Variant v;
        HRESULT hr = cell(wb_, sheet_, CellPos{first_.row + static_cast<int>(r), first_.col + static_cast<int>(c)}, &v);
        LONG idx[2] = {r + 1, c + 1};
        if (SUCCEEDED(hr)) hr = SafeArrayPutElement(sa, idx, &v);
        if (FAILED(hr)) {
          SafeArrayDestroy(sa);
          return hr;
        }
      }
    V_VT(out) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(out) = sa;
    return S_OK;
    COM_CATCH
  }

  HRESULT Write(const VARIANT& in) {
    COM_TRY
    if (!Alive()) return Gone();
    common::Variant v;
    HRESULT hr = Plain(in, v);
    if (FAILED(hr)) return hr;
    std::string error;
    if (V_VT(&v) & VT_ARRAY) {
      // An array fills the range from its top left: 2-D rows by columns, 1-D along the row.
      SAFEARRAY* sa = V_ARRAY(&v);
      if (!sa || (SafeArrayGetDim(sa) != 1 && SafeArrayGetDim(sa) != 2))
        return Fail(kAppError, "Only one- and two-dimensional arrays can be written to a range.");
      const UINT dims = SafeArrayGetDim(sa);
      LONG lo1 = 0, hi1 = -1, lo2 = 0, hi2 = 0;
      SafeArrayGetLBound(sa, 1, &lo1);
      SafeArrayGetUBound(sa, 1, &hi1);
      if (dims == 2) {
        SafeArrayGetLBound(sa, 2, &lo2);
        SafeArrayGetUBound(sa, 2, &hi2);
      }
      const VARTYPE vt = V_VT(&v) & VT_TYPEMASK;
      for (long r = 0; r < Rows(); ++r)
        for (long c = 0; c < Cols(); ++c) {
          LONG idx[2];
          if (dims == 2) {
            idx[0] = lo1 + r;
            idx[1] = lo2 + c;
            if (idx[0] > hi1 || idx[1] > hi2) continue;  // the range is larger than the array
          } else {
            if (r > 0) continue;
            idx[0] = lo1 + c;
            if (idx[0] > hi1) continue;
          }
          common::Variant e;
          if (vt == VT_VARIANT) {
            hr = SafeArrayGetElement(sa, idx, &e);
          } else {
            // Typed arrays (numbers, strings, booleans) come across as their own element type.
            V_VT(&e) = vt;
            hr = SafeArrayGetElement(sa, idx, &V_I8(&e));
          }
          if (FAILED(hr)) return hr;
          if (!WriteVariantToCell(wb_, sheet_, CellPos{first_.row + static_cast<int>(r), first_.col + static_cast<int>(c)}, e, error))
            return Fail(kAppError, error);
        }
      return S_OK;
    }
    for (int r = first_.row; r <= last_.row; ++r)
      for (int c = first_.col; c <= last_.col; ++c)
        if (!WriteVariantToCell(wb_, sheet_, CellPos{r, c}, v, error)) return Fail(kAppError, error);
    return S_OK;
    COM_CATCH
  }

  Workbook* wb_;
  uint64_t serial_;
  int sheet_;
  CellPos first_, last_;
};

// ---- Worksheet(s) --------------------------------------------------------------------------

class WorksheetObj final
    : public common::ComObject<WorksheetObj, WbDispatch<IWbWorksheet>> {
 public:
  WorksheetObj(Workbook* wb, int sheet) : wb_(wb), serial_(State().SerialOf(wb)), sheet_(sheet) {}

  STDMETHODIMP get_Name(BSTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    if (!Alive()) return Gone();
    *out = NewBstr(wb_->SheetName(sheet_));
    return *out ? S_OK : E_OUTOFMEMORY;
    COM_CATCH
  }
  STDMETHODIMP get_Range(VARIANT cell1, VARIANT cell2, IWbRange** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    if (!Alive()) return Gone();
    common::Variant a, b;
    HRESULT hr = Plain(cell1, a);
    if (FAILED(hr)) return hr;
    if (V_VT(&a) != VT_BSTR) return Fail(DISP_E_TYPEMISMATCH, "Range wants a cell reference such as \"A1\" or \"A1:B2\".");
    std::string ref = Trim(FromBstr(V_BSTR(&a)));
    std::string second;
    const size_t colon = ref.find(':');
    if (colon != std::string::npos) {
      second = Trim(ref.substr(colon + 1));
      ref = Trim(ref.substr(0, colon));
    }
    if (!IsMissing(cell2)) {
      hr = Plain(cell2, b);
      if (FAILED(hr)) return hr;
      if (V_VT(&b) != VT_BSTR) return Fail(DISP_E_TYPEMISMATCH, "Range's second cell must be a reference such as \"B2\".");
      second = Trim(FromBstr(V_BSTR(&b)));
    }
    auto p1 = ParseA1(ref);
    auto p2 = second.empty() ? p1 : ParseA1(second);
    if (!p1 || !p2) return Fail(kAppError, "'" + FromBstr(V_BSTR(&a)) + "' is not a cell reference of this worksheet.");
    CellPos first{std::min(p1->row, p2->row), std::min(p1->col, p2->col)};
    CellPos last{std::max(p1->row, p2->row), std::max(p1->col, p2->col)};
    return common::CreateObjectAs<RangeObj>(out, wb_, sheet_, first, last);
    COM_CATCH
  }
  STDMETHODIMP get_Cells(LONG row, LONG col, IWbRange** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    if (!Alive()) return Gone();
    if (row < 1 || row > kMaxRows || col < 1 || col > kMaxCols) return Fail(kAppError, "Cells: row or column outside the worksheet.");
    CellPos p{static_cast<int>(row - 1), static_cast<int>(col - 1)};
    return common::CreateObjectAs<RangeObj>(out, wb_, sheet_, p, p);
    COM_CATCH
  }
  STDMETHODIMP get_Index(LONG* index) override {
    if (!index) return E_POINTER;
    *index = sheet_ + 1;
    return S_OK;
  }
  STDMETHODIMP get_Parent(IDispatch** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!Alive()) return Gone();
    ComPtr<IWbWorkbook> wb;
    HRESULT hr = NewWorkbookObject(wb_, wb.GetAddressOf());
    if (FAILED(hr)) return hr;
    *out = wb.Get();
    (*out)->AddRef();
    return S_OK;
  }

 private:
  bool Alive() const { return State().Alive(wb_, serial_) && sheet_ < wb_->SheetCount(); }
  static HRESULT Gone() { return Fail(kAppError, "The workbook of this worksheet has been closed."); }
  Workbook* wb_;
  uint64_t serial_;
  int sheet_;
};

class WorksheetsObj final
    : public common::ComObject<WorksheetsObj, WbDispatch<IWbWorksheets>> {
 public:
  explicit WorksheetsObj(Workbook* wb) : wb_(wb), serial_(State().SerialOf(wb)) {}

  STDMETHODIMP get_Count(LONG* n) override {
    if (!n) return E_POINTER;
    if (!Alive()) return Gone();
    *n = wb_->SheetCount();
    return S_OK;
  }
  STDMETHODIMP get_Item(VARIANT index, IWbWorksheet** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    if (!Alive()) return Gone();
    Index ix;
    HRESULT hr = ReadIndex(index, ix);
    if (FAILED(hr)) return hr;
    int sheet = ix.byName ? wb_->FindSheet(ix.name) : static_cast<int>(ix.position - 1);
    if (sheet < 0 || sheet >= wb_->SheetCount()) return Fail(DISP_E_BADINDEX, "No such worksheet.");
    return common::CreateObjectAs<WorksheetObj>(out, wb_, sheet);
    COM_CATCH
  }
  STDMETHODIMP get__NewEnum(IUnknown** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    if (!Alive()) return Gone();
    std::vector<common::Variant> items;
    for (int s = 0; s < wb_->SheetCount(); ++s) {
      ComPtr<IWbWorksheet> ws;
      HRESULT hr = common::CreateObjectAs<WorksheetObj>(ws.GetAddressOf(), wb_, s);
      if (FAILED(hr)) return hr;
      items.emplace_back(static_cast<IDispatch*>(ws.Get()));
    }
    IEnumVARIANT* e = nullptr;
    HRESULT hr = common::MakeEnumVariant(std::move(items), &e);
    *out = e;
    return hr;
    COM_CATCH
  }

 private:
  bool Alive() const { return State().Alive(wb_, serial_); }
  static HRESULT Gone() { return Fail(kAppError, "This workbook has been closed."); }
  Workbook* wb_;
  uint64_t serial_;
};

// ---- Workbook(s) ---------------------------------------------------------------------------

class WorkbookObj final
    : public common::ComObject<WorkbookObj, WbDispatch<IWbWorkbook>> {
 public:
  explicit WorkbookObj(Workbook* wb) : wb_(wb), serial_(State().SerialOf(wb)) {}

  STDMETHODIMP get_Name(BSTR* out) override { return Str(out, [&] { return wb_->Name(); }); }
  STDMETHODIMP get_FullName(BSTR* out) override { return Str(out, [&] { return wb_->FullName(); }); }
  STDMETHODIMP Close(VARIANT saveChanges, VARIANT filename) override {
    COM_TRY
    if (!Alive()) return Gone();
    CloseChoice choice = CloseChoice::Ask;
    if (!IsMissing(saveChanges)) {
      bool save = false;
      HRESULT hr = ReadBool(saveChanges, false, save);
      if (FAILED(hr)) return hr;
      choice = save ? CloseChoice::Save : CloseChoice::Discard;
    }
    if (choice == CloseChoice::Save && !IsMissing(filename)) {
      common::Variant f;
      HRESULT hr = Plain(filename, f);
      if (FAILED(hr)) return hr;
      if (V_VT(&f) != VT_BSTR) return DISP_E_TYPEMISMATCH;
      std::string error;
      const std::string name = FromBstr(V_BSTR(&f));
      if (!wb_->SaveAs(ToFilePath(name), error)) return Fail(kAppError, error);
      wb_->SetFullName(ToFullWindowsPath(name));
    }
    std::string error;
    bool cancelled = false;
    if (!CloseWorkbook(wb_, choice, error, cancelled)) return cancelled ? S_OK : Fail(kAppError, error);
    return S_OK;
    COM_CATCH
  }
  STDMETHODIMP Save() override {
    COM_TRY
    if (!Alive()) return Gone();
    std::string error;
    if (!wb_->Save(error)) return Fail(kAppError, error);
    return S_OK;
    COM_CATCH
  }
  STDMETHODIMP SaveAs(BSTR filename) override {
    COM_TRY
    if (!Alive()) return Gone();
    const std::string name = FromBstr(filename);
    if (name.empty()) return Fail(E_INVALIDARG, "SaveAs needs a file name.");
    std::string error;
    if (!wb_->SaveAs(ToFilePath(name), error)) return Fail(kAppError, error);
    wb_->SetFullName(ToFullWindowsPath(name));
    return S_OK;
    COM_CATCH
  }
  STDMETHODIMP get_Worksheets(IWbWorksheets** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!Alive()) return Gone();
    return common::CreateObjectAs<WorksheetsObj>(out, wb_);
  }
  STDMETHODIMP get_Sheets(IWbWorksheets** out) override { return get_Worksheets(out); }
  STDMETHODIMP get_ReadOnly(VARIANT_BOOL* out) override {
    if (!out) return E_POINTER;
    if (!Alive()) return Gone();
    *out = wb_->ReadOnly() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_Saved(VARIANT_BOOL* out) override {
    if (!out) return E_POINTER;
    if (!Alive()) return Gone();
    *out = wb_->Dirty() ? VARIANT_FALSE : VARIANT_TRUE;
    return S_OK;
  }
  STDMETHODIMP put_Saved(VARIANT_BOOL saved) override {
    if (!Alive()) return Gone();
    wb_->SetSaved(saved != VARIANT_FALSE);
    return S_OK;
  }

 private:
  template <class F>
  HRESULT Str(BSTR* out, F f) {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    if (!Alive()) return Gone();
    *out = NewBstr(f());
    return *out ? S_OK : E_OUTOFMEMORY;
    COM_CATCH
  }
  bool Alive() const { return State().Alive(wb_, serial_); }
  static HRESULT Gone() { return Fail(kAppError, "This workbook has been closed."); }
  Workbook* wb_;
  uint64_t serial_;
};

class WorkbooksObj final
    : public common::ComObject<WorkbooksObj, WbDispatch<IWbWorkbooks>> {
 public:
  STDMETHODIMP get_Count(LONG* n) override {
    if (!n) return E_POINTER;
    *n = State().books.Count();
    return S_OK;
  }
  STDMETHODIMP get_Item(VARIANT index, IWbWorkbook** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    Index ix;
    HRESULT hr = ReadIndex(index, ix);
    if (FAILED(hr)) return hr;
    Workbook* wb = ix.byName ? State().books.Find(ix.name) : State().books.At(static_cast<int>(ix.position - 1));
    if (!wb) return Fail(DISP_E_BADINDEX, "No such workbook is open.");
    return NewWorkbookObject(wb, out);
    COM_CATCH
  }
  STDMETHODIMP Open(BSTR filename, VARIANT updateLinks, VARIANT readOnly, IWbWorkbook** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    (void)updateLinks;  // there are no links to other workbooks to update
    bool ro = false;
    HRESULT hr = ReadBool(readOnly, false, ro);
    if (FAILED(hr)) return hr;
    const std::string name = FromBstr(filename);
    if (Trim(name).empty()) return Fail(kAppError, "Open needs a file name.");
    std::string error;
    Workbook* wb = State().books.Open(ToFilePath(name), ToFullWindowsPath(name), ro, error);
    if (!wb) return Fail(kAppError, error);
    return NewWorkbookObject(wb, out);
    COM_CATCH
  }
  STDMETHODIMP Add(VARIANT, IWbWorkbook** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    // "Book1", "Book2", ... not yet saved anywhere.
    std::string name;
    for (int n = 1;; ++n) {
      name = "Book" + std::to_string(n);
      if (!State().books.Find(name)) break;
    }
    Workbook* wb = State().books.Adopt(Workbook::Create(name, {"Sheet1", "Sheet2", "Sheet3"}));
    return NewWorkbookObject(wb, out);
    COM_CATCH
  }
  STDMETHODIMP get__NewEnum(IUnknown** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    COM_TRY
    std::vector<common::Variant> items;
    for (int i = 0; i < State().books.Count(); ++i) {
      ComPtr<IWbWorkbook> w;
      HRESULT hr = NewWorkbookObject(State().books.At(i), w.GetAddressOf());
      if (FAILED(hr)) return hr;
      items.emplace_back(static_cast<IDispatch*>(w.Get()));
    }
    IEnumVARIANT* e = nullptr;
    HRESULT hr = common::MakeEnumVariant(std::move(items), &e);
    *out = e;
    return hr;
    COM_CATCH
  }
};

}  // namespace

HRESULT NewWorkbookObject(Workbook* wb, IWbWorkbook** out) { return common::CreateObjectAs<WorkbookObj>(out, wb); }

HRESULT CellToVariant(const CellValue& v, VARIANT* out) {
  VariantInit(out);
  switch (v.kind) {
    case CellValue::Kind::Empty: return S_OK;
    case CellValue::Kind::Number:
      V_VT(out) = VT_R8;
      V_R8(out) = v.number;
      return S_OK;
    case CellValue::Kind::Date:
      V_VT(out) = VT_DATE;
      V_DATE(out) = v.number;
      return S_OK;
    case CellValue::Kind::Boolean:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = v.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case CellValue::Kind::Text:
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = NewBstr(v.text);
      return V_BSTR(out) ? S_OK : E_OUTOFMEMORY;
    case CellValue::Kind::Error:
      // CVErr values, as a spreadsheet hands them out: 0x800A0000 + the error number.
      V_VT(out) = VT_ERROR;
      V_ERROR(out) = static_cast<SCODE>(0x800A0000u | static_cast<unsigned>(v.error));
      return S_OK;
  }
  return S_OK;
}

bool WriteVariantToCell(Workbook* wb, int sheet, CellPos p, const VARIANT& in, std::string& error) {
  common::Variant v;
  if (FAILED(Plain(in, v))) {
    error = "the value cannot be read";
    return false;
  }
  switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_NULL: return wb->SetValue(sheet, p, CellValue(), error);
    case VT_BOOL: return wb->SetValue(sheet, p, CellValue::Bool(V_BOOL(&v) != VARIANT_FALSE), error);
    case VT_DATE: return wb->SetValue(sheet, p, CellValue::DateOf(V_DATE(&v)), error);
    case VT_BSTR: return wb->SetEntry(sheet, p, FromBstr(V_BSTR(&v)), error);
    case VT_ERROR: {
      const unsigned code = static_cast<unsigned>(V_ERROR(&v)) & 0xFFFFu;
      for (CellError e : {CellError::Null, CellError::Div0, CellError::Value, CellError::Ref, CellError::Name,
                          CellError::Num, CellError::NA})
        if (code == static_cast<unsigned>(e)) return wb->SetValue(sheet, p, CellValue::Err(e), error);
      error = "not a cell error value";
      return false;
    }
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_UI8: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL: {
      common::Variant d;
      if (FAILED(VariantChangeType(&d, &v, 0, VT_R8)) || !std::isfinite(V_R8(&d))) {
        error = "the number cannot be stored in a cell";
        return false;
      }
      return wb->SetValue(sheet, p, CellValue::Num(V_R8(&d)), error);
    }
    default:
      error = "a value of this type (" + std::to_string(V_VT(&v)) + ") cannot be stored in a cell";
      return false;
  }
}

// ---- closing and quitting ------------------------------------------------------------------

bool CloseWorkbook(Workbook* wb, CloseChoice choice, std::string& error, bool& cancelled) {
  ServerState& st = State();
  cancelled = false;
  if (st.books.IndexOf(wb) < 0) {
    error = "This workbook is not open.";
    return false;
  }
  if (st.app && st.app->FireBeforeClose(wb)) {
    cancelled = true;
    error = "Closing was cancelled.";
    return false;
  }
  if (st.books.IndexOf(wb) < 0) return true;  // an event handler closed it meanwhile
  if (choice == CloseChoice::Ask && wb->Dirty()) {
    // Asked only where someone can answer: with alerts on and the window shown.
    choice = CloseChoice::Discard;
    if (st.displayAlerts && st.visible && st.askUser) {
      int answer = st.askUser("Do you want to save the changes you made to '" + wb->Name() + "'?");
      if (answer == IDCANCEL) {
        cancelled = true;
        error = "Closing was cancelled.";
        return false;
      }
      if (answer == IDYES) choice = CloseChoice::Save;
    }
  }
  if (choice == CloseChoice::Save && wb->Dirty() && !wb->Save(error)) return false;
  st.Forget(wb);
  st.books.Close(wb);
  return true;
}

bool QuitApplication(std::string& error) {
  ServerState& st = State();
  while (st.books.Count() > 0) {
    bool cancelled = false;
    if (!CloseWorkbook(st.books.At(st.books.Count() - 1), CloseChoice::Ask, error, cancelled)) return false;
  }
  st.quitting = true;
  st.visible = false;
  if (st.showWindow) st.showWindow(false);
  if (st.requestExit) st.requestExit();
  return true;
}

// ---- Application ---------------------------------------------------------------------------

Application::Application() { events_ = &AddConnectionPoint(DIID_WbAppEvents); }

HRESULT Application::CreateInstance(REFIID riid, void** ppv) {
  // One application object per process; each creation by COM starts a process of its own.
  if (!State().app) return E_UNEXPECTED;
  return State().app->QueryInterface(riid, ppv);
}

STDMETHODIMP Application::get_Name(BSTR* name) {
  if (!name) return E_POINTER;
  *name = NewBstr("WorkbookServer");
  return *name ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP Application::get_Visible(VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  *v = State().visible ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP Application::put_Visible(VARIANT_BOOL v) {
  COM_TRY
  State().visible = v != VARIANT_FALSE;
  if (State().showWindow) State().showWindow(State().visible);
  return S_OK;
  COM_CATCH
}

STDMETHODIMP Application::get_Workbooks(IWbWorkbooks** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return common::CreateObjectAs<WorkbooksObj>(out);
}

STDMETHODIMP Application::get_ActiveWorkbook(IWbWorkbook** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Workbook* wb = State().books.Active();
  if (!wb) return S_OK;  // Nothing, as when no workbook is open
  return NewWorkbookObject(wb, out);
}

STDMETHODIMP Application::get_Calculation(LONG* mode) {
  if (!mode) return E_POINTER;
  *mode = static_cast<LONG>(State().books.GetCalculation());
  return S_OK;
}

STDMETHODIMP Application::put_Calculation(LONG mode) {
  COM_TRY
  if (mode != static_cast<LONG>(Calculation::Manual) && mode != static_cast<LONG>(Calculation::Automatic) &&
      mode != static_cast<LONG>(Calculation::Semiautomatic))
    return Fail(kAppError, "Calculation is -4135 (manual), -4105 (automatic) or 2 (semiautomatic), not " +
                               std::to_string(mode) + ".");
  State().books.SetCalculation(static_cast<Calculation>(mode));
  return S_OK;
  COM_CATCH
}

STDMETHODIMP Application::Calculate() {
  COM_TRY
  State().books.Calculate();
  return S_OK;
  COM_CATCH
}

STDMETHODIMP Application::get_DisplayAlerts(VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  *v = State().displayAlerts ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP Application::put_DisplayAlerts(VARIANT_BOOL v) {
  State().displayAlerts = v != VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP Application::Run(VARIANT macro, VARIANT* result) {
  if (result) VariantInit(result);
  COM_TRY
  common::Variant m;
  HRESULT hr = Plain(macro, m);
  if (FAILED(hr)) return hr;
  if (V_VT(&m) != VT_BSTR) return Fail(DISP_E_TYPEMISMATCH, "Run wants the name of a macro.");
  std::string error;
  if (!State().books.RunMacro(FromBstr(V_BSTR(&m)), error)) return Fail(kAppError, "Cannot run the macro: " + error);
  return S_OK;
  COM_CATCH
}

STDMETHODIMP Application::Quit() {
  COM_TRY
  std::string error;
  if (!QuitApplication(error)) return S_OK;  // a handler cancelled a close: the application stays
  return S_OK;
  COM_CATCH
}

STDMETHODIMP Application::get_ProcessId(LONG* pid) {
  if (!pid) return E_POINTER;
  *pid = static_cast<LONG>(GetCurrentProcessId());
  return S_OK;
}

STDMETHODIMP Application::GetClassInfo(ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return common::TypeLibCache::GetTypeInfo(LIBID_WorkbookServerLib, 1, 0, CLSID_Application, out);
}

STDMETHODIMP_(DWORD) Application::AddConnection(DWORD type, DWORD) {
  if (type & EXTCONN_STRONG) {
    everConnected_ = true;
    return static_cast<DWORD>(++connections_);
  }
  return 0;
}

STDMETHODIMP_(DWORD) Application::ReleaseConnection(DWORD type, DWORD, BOOL) {
  if ((type & EXTCONN_STRONG) && connections_ > 0) --connections_;
  return static_cast<DWORD>(connections_);
}

bool Application::FireBeforeClose(Workbook* wb) {
  bool cancel = false;
  common::GuardNoThrow([&] {
    if (!events_ || events_->Count() == 0) return;
    ComPtr<IWbWorkbook> w;
    if (FAILED(NewWorkbookObject(wb, w.GetAddressOf()))) return;
    VARIANT_BOOL c = VARIANT_FALSE;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[0]) = VT_DISPATCH;
    V_DISPATCH(&args[0]) = w.Get();
    V_VT(&args[1]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[1]) = &c;
    events_->FireDispatch(0x622, std::span<const VARIANT>(args, 2));
    cancel = c != VARIANT_FALSE;
  });
  return cancel;
}

}  // namespace wbs
