// One open workbook: its sheets and cells on libixion (formulas, dependencies, recalculation),
// read from .xlsx/.ods/.csv with liborcus, saved as .xlsx with libxlsxwriter (or .csv as text).
// No Windows here: the automation object, the DDE service and the window all sit on top.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CellText.h"
#include "MacroFile.h"

namespace ixion {
class model_context;
class formula_name_resolver;
}

namespace wbs {

// Excel's calculation constants.
enum class Calculation : int { Manual = -4135, Automatic = -4105, Semiautomatic = 2 };

// Excel's error values, with the numbers CVErr uses for them.
enum class CellError : int {
  Null = 2000, Div0 = 2007, Value = 2015, Ref = 2023, Name = 2029, Num = 2036, NA = 2042
};
const char* ErrorText(CellError e);

struct CellValue {
  enum class Kind { Empty, Number, Text, Boolean, Error, Date } kind = Kind::Empty;
  double number = 0;  // Number, Date (OLE Automation date)
  bool boolean = false;
  std::string text;
  CellError error = CellError::Value;

  static CellValue Num(double v) { CellValue c; c.kind = Kind::Number; c.number = v; return c; }
  static CellValue Str(std::string s) { CellValue c; c.kind = Kind::Text; c.text = std::move(s); return c; }
  static CellValue Bool(bool b) { CellValue c; c.kind = Kind::Boolean; c.boolean = b; return c; }
  static CellValue DateOf(double d) { CellValue c; c.kind = Kind::Date; c.number = d; return c; }
  static CellValue Err(CellError e) { CellValue c; c.kind = Kind::Error; c.error = e; return c; }
};

struct CellChange {
  int sheet;
  CellPos pos;
};

class Workbook {
 public:
  // Reads a workbook file (by its extension: .xlsx/.xlsm, .ods, .csv/.txt) and its macros file.
  // On failure returns null and says why in `error`.
  static std::unique_ptr<Workbook> Open(const std::string& path, bool readOnly, std::string& error);
  // A new workbook with the given sheets (not yet saved anywhere).
  static std::unique_ptr<Workbook> Create(const std::string& name, const std::vector<std::string>& sheets);
  ~Workbook();

  const std::string& Path() const { return path_; }  // the file as this process opens it
  // The name the user knows the file by (a Windows path under Wine); Path() unless set.
  const std::string& FullName() const { return fullName_.empty() ? path_ : fullName_; }
  void SetFullName(std::string n) { fullName_ = std::move(n); }
  std::string Name() const;  // FullName() without its folder
  bool ReadOnly() const { return readOnly_; }
  bool Dirty() const { return dirty_; }
  void SetSaved(bool saved) { dirty_ = !saved; }  // "Saved = True": close without asking

  int SheetCount() const { return static_cast<int>(sheets_.size()); }
  const std::string& SheetName(int sheet) const { return sheets_.at(sheet); }
  int FindSheet(std::string_view name) const;  // -1 when missing; case-insensitive

  CellValue Value(int sheet, CellPos p) const;
  std::string Text(int sheet, CellPos p) const;     // what the cell shows
  std::string Formula(int sheet, CellPos p) const;  // "=A1*2" for formulas, else the constant as typed
  bool IsFormula(int sheet, CellPos p) const;
  // Occupied cells of a sheet, row by row.
  std::vector<CellPos> UsedCells(int sheet) const;

  // Each setter recalculates as the calculation mode says and reports the changed cells.
  // They fail (false, `error` set) for a bad sheet or position or an unparsable formula.
  bool SetValue(int sheet, CellPos p, const CellValue& v, std::string& error);
  // Typed text: "=..." is a formula, numbers and TRUE/FALSE are parsed, the rest is text.
  bool SetEntry(int sheet, CellPos p, std::string_view typed, std::string& error);

  void SetCalculation(Calculation c);  // switching to automatic recalculates what is pending
  Calculation GetCalculation() const { return calc_; }
  void Calculate();  // recalculates every formula waiting for it

  bool Save(std::string& error);
  bool SaveAs(const std::string& path, std::string& error);

  const std::vector<Macro>& Macros() const { return macros_; }
  const std::vector<std::string>& MacroFileErrors() const { return macroErrors_; }
  bool HasMacro(std::string_view name) const;
  // Runs a macro's assignments in order; stops at the first failing one and says why.
  bool RunMacro(std::string_view name, std::string& error);

  // Called after every change with the cells whose content or result may have changed.
  std::function<void(Workbook&, const std::vector<CellChange>&)> onChanged;

  // The file's macros path: same name, extension ".macros".
  static std::string MacroPathFor(const std::string& workbookPath);

 private:
  Workbook();
  bool CheckCell(int sheet, CellPos p, std::string& error) const;
  void ClearCell(int sheet, CellPos p);
  bool PutFormula(int sheet, CellPos p, std::string_view formula, std::string& error);
  void Changed(int sheet, CellPos p, bool formula);
  void RecalcPending(std::vector<CellChange>& changed);
  void Notify(const std::vector<CellChange>& changed);
  bool Evaluate(int sheet, std::string_view expression, CellValue& out, std::string& error);
  bool SaveXlsx(const std::string& path, std::string& error) const;
  bool SaveCsv(const std::string& path, std::string& error) const;
  void LoadMacros();

  std::unique_ptr<ixion::model_context> cxt_;
  std::unique_ptr<ixion::formula_name_resolver> resolver_;
  std::vector<std::string> sheets_;
  std::vector<std::set<CellPos>> used_;      // occupied cells per sheet
  std::vector<std::set<CellPos>> dates_;     // cells holding a date value
  std::vector<std::set<CellPos>> pendingModified_, pendingFormulas_;
  std::string path_, fullName_;
  bool readOnly_ = false;
  bool dirty_ = false;
  Calculation calc_ = Calculation::Automatic;
  std::vector<Macro> macros_;
  std::vector<std::string> macroErrors_;
  int notifyDepth_ = 0;
};

}  // namespace wbs
