#include "Workbook.h"

#include <ixion/address.hpp>
#include <ixion/cell.hpp>
#include <ixion/exceptions.hpp>
#include <ixion/formula.hpp>
#include <ixion/formula_name_resolver.hpp>
#include <ixion/formula_result.hpp>
#include <ixion/formula_tokens.hpp>
#include <ixion/matrix.hpp>
#include <ixion/model_context.hpp>
#include <orcus/orcus_csv.hpp>
#include <orcus/orcus_ods.hpp>
#include <orcus/orcus_xlsx.hpp>
#include <orcus/spreadsheet/document.hpp>
#include <orcus/spreadsheet/factory.hpp>
#include <xlsxwriter.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace wbs {

namespace {

std::string Extension(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot));
}

std::string Stem(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

CellError FromIxion(ixion::formula_error_t e) {
  switch (e) {
    case ixion::formula_error_t::ref_result_not_available: return CellError::Ref;
    case ixion::formula_error_t::division_by_zero: return CellError::Div0;
    case ixion::formula_error_t::invalid_expression: return CellError::Num;
    case ixion::formula_error_t::name_not_found: return CellError::Name;
    case ixion::formula_error_t::no_range_intersection: return CellError::Null;
    case ixion::formula_error_t::invalid_value_type: return CellError::Value;
    default: return CellError::NA;
  }
}

ixion::abs_address_t At(int sheet, CellPos p) { return ixion::abs_address_t(sheet, p.row, p.col); }

// Formula cells whose result is not (yet) known show as #N/A rather than throwing.
CellValue ResultOf(const ixion::model_context& cxt, const ixion::abs_address_t& a) {
  try {
    ixion::formula_result r = cxt.get_formula_result(a);
    switch (r.get_type()) {
      case ixion::formula_result::result_type::value: {
        double v = r.get_value();
        if (!std::isfinite(v)) return CellValue::Err(CellError::Num);
        return CellValue::Num(v);
      }
      case ixion::formula_result::result_type::string: return CellValue::Str(r.get_string());
      case ixion::formula_result::result_type::error: return CellValue::Err(FromIxion(r.get_error()));
      case ixion::formula_result::result_type::matrix: {
        const ixion::matrix& m = r.get_matrix();
        if (m.row_size() == 0 || m.col_size() == 0) return CellValue::Err(CellError::Value);
        if (m.is_numeric(0, 0)) return CellValue::Num(m.get_numeric(0, 0));
        const ixion::matrix::element e = m.get(0, 0);
        if (e.type == ixion::matrix::element_type::string) return CellValue::Str(std::string(std::get<std::string_view>(e.value)));
        if (e.type == ixion::matrix::element_type::boolean) return CellValue::Bool(std::get<bool>(e.value));
        if (e.type == ixion::matrix::element_type::error) return CellValue::Err(FromIxion(std::get<ixion::formula_error_t>(e.value)));
        return CellValue::Err(CellError::Value);
      }
    }
  } catch (const std::exception&) {
  }
  return CellValue::Err(CellError::NA);
}

// ixion takes "1+" or "(1" and only fails when it calculates them, with the same error it gives
// for "a"+1; a spreadsheet refuses such entries. This walks the token list against the formula
// grammar (operands, unary signs, binary operators, parentheses, function calls) to tell them apart.
class TokenChecker {
 public:
  explicit TokenChecker(const ixion::formula_tokens_t& t) : t_(t) {}
  bool Valid() {
    size_t i = 0;
    return Expr(i) && i == t_.size();
  }

 private:
  ixion::fopcode_t Op(size_t i) const { return i < t_.size() && t_[i] ? t_[i]->get_opcode() : ixion::fop_unknown; }
  static bool Binary(ixion::fopcode_t o) {
    switch (o) {
      case ixion::fop_plus: case ixion::fop_minus: case ixion::fop_divide: case ixion::fop_multiply:
      case ixion::fop_exponent: case ixion::fop_concat: case ixion::fop_equal: case ixion::fop_not_equal:
      case ixion::fop_less: case ixion::fop_greater: case ixion::fop_less_equal: case ixion::fop_greater_equal:
        return true;
      default: return false;
    }
  }
  bool Expr(size_t& i) {
    if (!Unary(i)) return false;
    while (Binary(Op(i))) {
      ++i;
      if (!Unary(i)) return false;
    }
    return true;
  }
  bool Unary(size_t& i) {
    while (Op(i) == ixion::fop_plus || Op(i) == ixion::fop_minus) ++i;
    return Primary(i);
  }
  bool Primary(size_t& i) {
    switch (Op(i)) {
      case ixion::fop_named_expression:
        // An unknown name followed by "(" is a call of a function the engine does not know.
        if (Op(i + 1) == ixion::fop_open) return Call(i);
        ++i;
        return true;
      case ixion::fop_value: case ixion::fop_string: case ixion::fop_single_ref: case ixion::fop_range_ref:
      case ixion::fop_table_ref:
        ++i;
        return true;
      case ixion::fop_open:
        ++i;
        if (!Expr(i) || Op(i) != ixion::fop_close) return false;
        ++i;
        return true;
      case ixion::fop_function: return Call(i);
      default: return false;
    }
  }
  bool Call(size_t& i) {
    ++i;
    if (Op(i) != ixion::fop_open) return false;
    ++i;
    if (Op(i) == ixion::fop_close) return ++i, true;
    for (;;) {
      if (!Expr(i)) return false;
      if (Op(i) == ixion::fop_sep) {
        ++i;
        continue;
      }
      if (Op(i) != ixion::fop_close) return false;
      ++i;
      return true;
    }
  }
  const ixion::formula_tokens_t& t_;
};

bool ParseChecked(ixion::model_context& cxt, const ixion::abs_address_t& a, const ixion::formula_name_resolver& r,
                  std::string_view formula, ixion::formula_tokens_t& tokens, std::string& error) {
  try {
    tokens = ixion::parse_formula_string(cxt, a, r, formula);
  } catch (const std::exception& e) {
    error = std::string("bad formula =") + std::string(formula) + ": " + e.what();
    return false;
  }
  for (const auto& t : tokens)
    if (t && t->get_opcode() == ixion::fop_error) {
      error = "bad formula =" + std::string(formula);
      return false;
    }
  if (!TokenChecker(tokens).Valid()) {
    error = "bad formula =" + std::string(formula);
    return false;
  }
  return true;
}

// Calculates formula cells in the given (dependency-sorted) order one range at a time, so that a
// function ixion lacks fails its own cell (#NAME?) instead of stopping the whole recalculation.
void CalculateEach(ixion::model_context& cxt, const std::vector<ixion::abs_range_t>& sorted) {
  for (const auto& r : sorted) {
    try {
      ixion::calculate_sorted_cells(cxt, {r}, 0);
    } catch (const std::exception&) {
      for (ixion::row_t row = r.first.row; row <= r.last.row; ++row)
        for (ixion::col_t col = r.first.column; col <= r.last.column; ++col)
          if (ixion::formula_cell* fc = cxt.get_formula_cell(ixion::abs_address_t(r.first.sheet, row, col)))
            fc->set_result_cache(ixion::formula_result(ixion::formula_error_t::name_not_found));
    }
  }
}

}  // namespace

const char* ErrorText(CellError e) {
  switch (e) {
    case CellError::Null: return "#NULL!";
    case CellError::Div0: return "#DIV/0!";
    case CellError::Value: return "#VALUE!";
    case CellError::Ref: return "#REF!";
    case CellError::Name: return "#NAME?";
    case CellError::Num: return "#NUM!";
    case CellError::NA: return "#N/A";
  }
  return "#VALUE!";
}

Workbook::Workbook()
    : cxt_(std::make_unique<ixion::model_context>(ixion::rc_size_t(kMaxRows, kMaxCols))) {
  resolver_ = ixion::formula_name_resolver::get(ixion::formula_name_resolver_t::excel_a1, cxt_.get());
}

Workbook::~Workbook() = default;

std::unique_ptr<Workbook> Workbook::Create(const std::string& name, const std::vector<std::string>& sheets) {
  std::unique_ptr<Workbook> wb(new Workbook());
  wb->path_ = name;
  for (const auto& s : sheets) {
    wb->cxt_->append_sheet(s);
    wb->sheets_.push_back(s);
  }
  const size_t n = wb->sheets_.size();
  wb->used_.resize(n);
  wb->dates_.resize(n);
  wb->pendingModified_.resize(n);
  wb->pendingFormulas_.resize(n);
  return wb;
}

std::unique_ptr<Workbook> Workbook::Open(const std::string& path, bool readOnly, std::string& error) {
  const std::string ext = Extension(path);
  {
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
      error = "'" + path + "' could not be found.";
      return nullptr;
    }
  }
  namespace ss = orcus::spreadsheet;
  ss::document doc{ss::range_size_t{kMaxRows, kMaxCols}};
  ss::import_factory factory(doc);
  factory.set_recalc_formula_cells(true);
  try {
    if (ext == ".xlsx" || ext == ".xlsm") {
      orcus::orcus_xlsx f(&factory);
      f.read_file(path);
    } else if (ext == ".ods") {
      orcus::orcus_ods f(&factory);
      f.read_file(path);
    } else if (ext == ".csv" || ext == ".txt") {
      // orcus ends lines at LF only and would keep the CR of Windows line ends in the last cell.
      std::ifstream in(path, std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      std::string text = ss.str(), lf;
      lf.reserve(text.size());
      for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
      orcus::orcus_csv f(&factory);
      f.read_stream(lf);
    } else {
      error = "The file format or extension of '" + path + "' is not supported.";
      return nullptr;
    }
  } catch (const std::exception& e) {
    error = "'" + path + "' could not be read: " + e.what();
    return nullptr;
  }

  std::vector<std::string> names;
  for (size_t i = 0; i < doc.get_sheet_count(); ++i)
    names.emplace_back(doc.get_sheet_name(static_cast<ss::sheet_t>(i)));
  if (ext == ".csv" || ext == ".txt") names = {Stem(path)};  // a text file's one sheet bears its name
  if (names.empty()) {
    error = "'" + path + "' holds no worksheet.";
    return nullptr;
  }
  std::unique_ptr<Workbook> wb = Create(path, names);
  wb->readOnly_ = readOnly;

  // Copy the cells into our own model; formulas go across as text so that their string and
  // sheet identifiers belong to our context. All sheets exist before the first formula.
  const ixion::model_context& src = doc.get_model_context();
  auto srcResolver = ixion::formula_name_resolver::get(ixion::formula_name_resolver_t::excel_a1, &src);
  for (int s = 0; s < wb->SheetCount() && s < static_cast<int>(src.get_sheet_count()); ++s) {
    ixion::abs_range_t range = src.get_data_range(s);
    if (!range.valid()) continue;
    for (ixion::row_t r = range.first.row; r <= range.last.row; ++r) {
      for (ixion::col_t c = range.first.column; c <= range.last.column; ++c) {
        ixion::abs_address_t a(s, r, c);
        CellPos p{r, c};
        std::string err;
        switch (src.get_celltype(a)) {
          case ixion::celltype_t::numeric:
            wb->cxt_->set_numeric_cell(a, src.get_numeric_value(a));
            wb->used_[s].insert(p);
            break;
          case ixion::celltype_t::boolean:
            wb->cxt_->set_boolean_cell(a, src.get_boolean_value(a));
            wb->used_[s].insert(p);
            break;
          case ixion::celltype_t::string: {
            std::string_view v = src.get_string_value(a);
            if (!v.empty()) {
              wb->cxt_->set_string_cell(a, v);
              wb->used_[s].insert(p);
            }
            break;
          }
          case ixion::celltype_t::formula: {
            const ixion::formula_cell* fc = src.get_formula_cell(a);
            if (!fc) break;
            std::string text;
            try {
              text = ixion::print_formula_tokens(src, a, *srcResolver, fc->get_tokens()->get());
            } catch (const std::exception&) {
              break;
            }
            if (!wb->PutFormula(s, p, text, err)) {
              // Keep what the file had rather than lose the cell.
              wb->cxt_->set_string_cell(a, "=" + text);
              wb->used_[s].insert(p);
            }
            break;
          }
          default: break;
        }
      }
    }
  }
  // Everything read is calculated once, whatever the mode, as a spreadsheet does on open.
  std::vector<CellChange> ignored;
  wb->RecalcPending(ignored);
  wb->LoadMacros();
  wb->dirty_ = false;
  return wb;
}

std::string Workbook::MacroPathFor(const std::string& workbookPath) {
  const size_t slash = workbookPath.find_last_of("/\\");
  const size_t dot = workbookPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return workbookPath + ".macros";
  return workbookPath.substr(0, dot) + ".macros";
}

void Workbook::LoadMacros() {
  std::ifstream in(MacroPathFor(path_), std::ios::binary);
  if (!in) return;
  std::stringstream ss;
  ss << in.rdbuf();
  MacroFileResult r = ParseMacroFile(ss.str());
  macros_ = std::move(r.macros);
  macroErrors_ = std::move(r.errors);
}

std::string Workbook::Name() const {
  const std::string& f = FullName();
  const size_t slash = f.find_last_of("/\\");
  return slash == std::string::npos ? f : f.substr(slash + 1);
}

int Workbook::FindSheet(std::string_view name) const {
  for (int i = 0; i < SheetCount(); ++i)
    if (SameName(sheets_[i], name)) return i;
  return -1;
}

bool Workbook::CheckCell(int sheet, CellPos p, std::string& error) const {
  if (sheet < 0 || sheet >= SheetCount()) {
    error = "no such worksheet";
    return false;
  }
  if (p.row < 0 || p.row >= kMaxRows || p.col < 0 || p.col >= kMaxCols) {
    error = "cell outside the worksheet";
    return false;
  }
  return true;
}

CellValue Workbook::Value(int sheet, CellPos p) const {
  std::string err;
  if (!CheckCell(sheet, p, err)) return CellValue();
  const auto a = At(sheet, p);
  switch (cxt_->get_celltype(a)) {
    case ixion::celltype_t::numeric: {
      double v = cxt_->get_numeric_value(a);
      return dates_[sheet].count(p) ? CellValue::DateOf(v) : CellValue::Num(v);
    }
    case ixion::celltype_t::boolean: return CellValue::Bool(cxt_->get_boolean_value(a));
    case ixion::celltype_t::string: return CellValue::Str(std::string(cxt_->get_string_value(a)));
    case ixion::celltype_t::formula: return ResultOf(*cxt_, a);
    default: return CellValue();
  }
}

std::string Workbook::Text(int sheet, CellPos p) const {
  CellValue v = Value(sheet, p);
  switch (v.kind) {
    case CellValue::Kind::Empty: return "";
    case CellValue::Kind::Number: return GeneralNumberText(v.number);
    case CellValue::Kind::Date: return DateText(v.number);
    case CellValue::Kind::Text: return v.text;
    case CellValue::Kind::Boolean: return v.boolean ? "TRUE" : "FALSE";
    case CellValue::Kind::Error: return ErrorText(v.error);
  }
  return "";
}

bool Workbook::IsFormula(int sheet, CellPos p) const {
  std::string err;
  return CheckCell(sheet, p, err) && cxt_->get_celltype(At(sheet, p)) == ixion::celltype_t::formula;
}

std::string Workbook::Formula(int sheet, CellPos p) const {
  std::string err;
  if (!CheckCell(sheet, p, err)) return "";
  const auto a = At(sheet, p);
  if (cxt_->get_celltype(a) == ixion::celltype_t::formula) {
    const ixion::formula_cell* fc = cxt_->get_formula_cell(a);
    try {
      return "=" + ixion::print_formula_tokens(*cxt_, a, *resolver_, fc->get_tokens()->get());
    } catch (const std::exception&) {
      return "";
    }
  }
  CellValue v = Value(sheet, p);
  if (v.kind == CellValue::Kind::Date) return GeneralNumberText(v.number);
  return Text(sheet, p);
}

std::vector<CellPos> Workbook::UsedCells(int sheet) const {
  if (sheet < 0 || sheet >= SheetCount()) return {};
  return std::vector<CellPos>(used_[sheet].begin(), used_[sheet].end());
}

void Workbook::ClearCell(int sheet, CellPos p) {
  const auto a = At(sheet, p);
  if (cxt_->get_celltype(a) == ixion::celltype_t::formula) ixion::unregister_formula_cell(*cxt_, a);
  cxt_->empty_cell(a);
  used_[sheet].erase(p);
  dates_[sheet].erase(p);
}

bool Workbook::PutFormula(int sheet, CellPos p, std::string_view formula, std::string& error) {
  const auto a = At(sheet, p);
  ixion::formula_tokens_t tokens;
  if (!ParseChecked(*cxt_, a, *resolver_, formula, tokens, error)) return false;
  ClearCell(sheet, p);
  try {
    ixion::formula_cell* fc = cxt_->set_formula_cell(a, std::move(tokens));
    ixion::register_formula_cell(*cxt_, a, fc);
  } catch (const std::exception& e) {
    cxt_->empty_cell(a);
    error = std::string("bad formula: ") + e.what();
    return false;
  }
  used_[sheet].insert(p);
  pendingFormulas_[sheet].insert(p);
  return true;
}

bool Workbook::SetValue(int sheet, CellPos p, const CellValue& v, std::string& error) {
  if (!CheckCell(sheet, p, error)) return false;
  const auto a = At(sheet, p);
  switch (v.kind) {
    case CellValue::Kind::Empty: ClearCell(sheet, p); break;
    case CellValue::Kind::Number:
    case CellValue::Kind::Date:
      if (!std::isfinite(v.number)) {
        error = "not a finite number";
        return false;
      }
      ClearCell(sheet, p);
      cxt_->set_numeric_cell(a, v.number);
      used_[sheet].insert(p);
      if (v.kind == CellValue::Kind::Date) dates_[sheet].insert(p);
      break;
    case CellValue::Kind::Boolean:
      ClearCell(sheet, p);
      cxt_->set_boolean_cell(a, v.boolean);
      used_[sheet].insert(p);
      break;
    case CellValue::Kind::Text:
      ClearCell(sheet, p);
      if (!v.text.empty()) {
        cxt_->set_string_cell(a, v.text);
        used_[sheet].insert(p);
      }
      break;
    case CellValue::Kind::Error: {
      // Kept as its text: the cell then shows and sends the error as it was written.
      ClearCell(sheet, p);
      cxt_->set_string_cell(a, ErrorText(v.error));
      used_[sheet].insert(p);
      break;
    }
  }
  Changed(sheet, p, false);
  return true;
}

bool Workbook::SetEntry(int sheet, CellPos p, std::string_view typed, std::string& error) {
  if (!CheckCell(sheet, p, error)) return false;
  Entry e = ParseEntry(typed);
  switch (e.kind) {
    case Entry::Kind::Empty: return SetValue(sheet, p, CellValue(), error);
    case Entry::Kind::Number: return SetValue(sheet, p, CellValue::Num(e.number), error);
    case Entry::Kind::Boolean: return SetValue(sheet, p, CellValue::Bool(e.boolean), error);
    case Entry::Kind::Text: return SetValue(sheet, p, CellValue::Str(e.text), error);
    case Entry::Kind::Formula:
      if (!PutFormula(sheet, p, e.text, error)) return false;
      Changed(sheet, p, true);
      return true;
  }
  return false;
}

void Workbook::Changed(int sheet, CellPos p, bool formula) {
  dirty_ = true;
  if (!formula) pendingModified_[sheet].insert(p);
  std::vector<CellChange> changed{{sheet, p}};
  if (calc_ != Calculation::Manual) {
    RecalcPending(changed);
  } else if (formula) {
    // A formula entered in manual mode is calculated itself; its dependents wait.
    CalculateEach(*cxt_, {ixion::abs_range_t(At(sheet, p))});
  }
  Notify(changed);
}

void Workbook::RecalcPending(std::vector<CellChange>& changed) {
  ixion::abs_range_set_t modified, formulas;
  for (int s = 0; s < SheetCount(); ++s) {
    for (const auto& p : pendingModified_[s]) modified.insert(ixion::abs_range_t(At(s, p)));
    for (const auto& p : pendingFormulas_[s]) formulas.insert(ixion::abs_range_t(At(s, p)));
    pendingModified_[s].clear();
    pendingFormulas_[s].clear();
  }
  if (modified.empty() && formulas.empty()) return;
  try {
    std::vector<ixion::abs_range_t> sorted = ixion::query_and_sort_dirty_cells(*cxt_, modified, &formulas);
    CalculateEach(*cxt_, sorted);
    for (const auto& r : sorted)
      for (ixion::row_t row = r.first.row; row <= r.last.row; ++row)
        for (ixion::col_t col = r.first.column; col <= r.last.column; ++col)
          changed.push_back({r.first.sheet, CellPos{row, col}});
  } catch (const std::exception&) {
    // A failed recalculation leaves results as they were; the cells still report a change.
  }
}

void Workbook::Notify(const std::vector<CellChange>& changed) {
  if (onChanged && !changed.empty()) onChanged(*this, changed);
}

void Workbook::SetCalculation(Calculation c) {
  const bool wasManual = calc_ == Calculation::Manual;
  calc_ = c;
  if (wasManual && c != Calculation::Manual) Calculate();
}

void Workbook::Calculate() {
  std::vector<CellChange> changed;
  RecalcPending(changed);
  Notify(changed);
}

bool Workbook::Evaluate(int sheet, std::string_view expression, CellValue& out, std::string& error) {
  // The expression is calculated in a scratch cell at the sheet's far corner, so that references
  // without a sheet mean the target's sheet; the cell is emptied again at once.
  const CellPos scratch{kMaxRows - 1, kMaxCols - 1};
  const auto a = At(sheet, scratch);
  ixion::formula_tokens_t tokens;
  if (!ParseChecked(*cxt_, a, *resolver_, expression, tokens, error)) return false;
  try {
    cxt_->set_formula_cell(a, std::move(tokens));
    CalculateEach(*cxt_, {ixion::abs_range_t(a)});
    out = ResultOf(*cxt_, a);
  } catch (const std::exception& e) {
    error = std::string("expression failed: ") + e.what();
    cxt_->empty_cell(a);
    return false;
  }
  cxt_->empty_cell(a);
  return true;
}

bool Workbook::HasMacro(std::string_view name) const {
  const std::string n = MacroNameOf(name);
  for (const auto& m : macros_)
    if (SameName(m.name, n)) return true;
  return false;
}

bool Workbook::RunMacro(std::string_view name, std::string& error) {
  const std::string n = MacroNameOf(name);
  const Macro* macro = nullptr;
  for (const auto& m : macros_)
    if (SameName(m.name, n)) macro = &m;
  if (!macro) {
    error = "The macro '" + n + "' cannot be found.";
    return false;
  }
  const Macro copy = *macro;  // a step may not change the list, but keep it simple and safe
  for (const auto& step : copy.steps) {
    const int sheet = step.sheet.empty() ? 0 : FindSheet(step.sheet);
    auto target = ParseA1(step.target);
    if (sheet < 0 || !target) {
      error = "macro '" + n + "' line " + std::to_string(step.line) + ": no such cell " + step.sheet + "!" + step.target;
      return false;
    }
    CellValue v;
    if (!Evaluate(sheet, step.expression, v, error)) {
      error = "macro '" + n + "' line " + std::to_string(step.line) + ": " + error;
      return false;
    }
    if (v.kind == CellValue::Kind::Error) {
      // Error results are stored as their text, as a pasted value would show them.
      v = CellValue::Str(ErrorText(v.error));
    }
    if (!SetValue(sheet, *target, v, error)) {
      error = "macro '" + n + "' line " + std::to_string(step.line) + ": " + error;
      return false;
    }
  }
  return true;
}

bool Workbook::Save(std::string& error) {
  if (readOnly_) {
    error = "'" + Name() + "' is read-only. To save a copy, use SaveAs.";
    return false;
  }
  return SaveAs(path_, error);
}

bool Workbook::SaveAs(const std::string& path, std::string& error) {
  const std::string ext = Extension(path);
  const std::string tmp = path + ".saving";
  bool ok;
  if (ext == ".xlsx" || ext == ".xlsm")
    ok = SaveXlsx(tmp, error);
  else if (ext == ".csv" || ext == ".txt")
    ok = SaveCsv(tmp, error);
  else {
    error = "'" + path + "' cannot be saved in this format; use .xlsx or .csv.";
    return false;
  }
  if (!ok) {
    std::remove(tmp.c_str());
    return false;
  }
  // The old file is replaced only once the new one is complete.
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    error = "'" + path + "' could not be replaced.";
    return false;
  }
  if (path != path_) {
    readOnly_ = false;
    fullName_.clear();
  }
  path_ = path;
  dirty_ = false;
  return true;
}

bool Workbook::SaveXlsx(const std::string& path, std::string& error) const {
  lxw_workbook* out = workbook_new(path.c_str());
  if (!out) {
    error = "'" + path + "' could not be created.";
    return false;
  }
  lxw_format* dateFormat = workbook_add_format(out);
  format_set_num_format(dateFormat, "m/d/yyyy h:mm");
  lxw_error failed = LXW_NO_ERROR;
  for (int s = 0; s < SheetCount() && failed == LXW_NO_ERROR; ++s) {
    lxw_worksheet* ws = workbook_add_worksheet(out, sheets_[s].c_str());
    if (!ws) {
      error = "worksheet name '" + sheets_[s] + "' cannot be saved.";
      workbook_close(out);
      return false;
    }
    for (const CellPos& p : used_[s]) {
      const auto a = At(s, p);
      const auto row = static_cast<lxw_row_t>(p.row);
      const auto col = static_cast<lxw_col_t>(p.col);
      lxw_error e = LXW_NO_ERROR;
      switch (cxt_->get_celltype(a)) {
        case ixion::celltype_t::numeric:
          e = worksheet_write_number(ws, row, col, cxt_->get_numeric_value(a),
                                     dates_[s].count(p) ? dateFormat : nullptr);
          break;
        case ixion::celltype_t::boolean: e = worksheet_write_boolean(ws, row, col, cxt_->get_boolean_value(a), nullptr); break;
        case ixion::celltype_t::string:
          e = worksheet_write_string(ws, row, col, std::string(cxt_->get_string_value(a)).c_str(), nullptr);
          break;
        case ixion::celltype_t::formula: {
          const std::string f = Formula(s, p);
          const CellValue v = Value(s, p);
          if (v.kind == CellValue::Kind::Number)
            e = worksheet_write_formula_num(ws, row, col, f.c_str(), nullptr, v.number);
          else if (v.kind == CellValue::Kind::Text)
            e = worksheet_write_formula_str(ws, row, col, f.c_str(), nullptr, v.text.c_str());
          else
            e = worksheet_write_formula_str(ws, row, col, f.c_str(), nullptr, Text(s, p).c_str());
          break;
        }
        default: break;
      }
      if (e != LXW_NO_ERROR) failed = e;
    }
  }
  lxw_error closed = workbook_close(out);
  if (failed == LXW_NO_ERROR) failed = closed;
  if (failed != LXW_NO_ERROR) {
    error = "'" + path + "' could not be written: " + lxw_strerror(failed);
    return false;
  }
  return true;
}

bool Workbook::SaveCsv(const std::string& path, std::string& error) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "'" + path + "' could not be created.";
    return false;
  }
  // A text file keeps the first sheet only, as it does in a spreadsheet.
  int lastRow = -1, lastCol = -1;
  for (const auto& p : used_[0]) lastRow = std::max(lastRow, p.row), lastCol = std::max(lastCol, p.col);
  for (int r = 0; r <= lastRow; ++r) {
    for (int c = 0; c <= lastCol; ++c) {
      if (c) out << ',';
      std::string t = Text(0, CellPos{r, c});
      if (t.find_first_of(",\"\r\n") != std::string::npos) {
        std::string q = "\"";
        for (char ch : t) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        t = q + "\"";
      }
      out << t;
    }
    out << "\r\n";
  }
  out.close();
  if (!out) {
    error = "'" + path + "' could not be written.";
    return false;
  }
  return true;
}

}  // namespace wbs
