// The macros of a workbook: a text file beside it with the same name and the extension ".macros".
//
//   # comment (also ';')
//   [Increment]
//   Sheet1!B2 = Sheet1!B2 + 1
//   C1 = SUM(A1:A10)          <- a target without a sheet means the workbook's first sheet
//
// Each macro is a named list of assignments run in order; the right side is a formula evaluated
// by the workbook's engine and its result is stored as the target cell's value.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace wbs {

struct MacroAssignment {
  std::string sheet;       // empty: the first sheet
  std::string target;      // A1 reference of the target cell
  std::string expression;  // formula text without "="
  int line = 0;
};

struct Macro {
  std::string name;
  std::vector<MacroAssignment> steps;
};

struct MacroFileResult {
  std::vector<Macro> macros;
  std::vector<std::string> errors;  // "line N: ..." for lines that were skipped
};

MacroFileResult ParseMacroFile(std::string_view text);

// "Book1.xlsx!Name", "'My Book.xlsx'!Name" and "Name" all name the macro "Name".
std::string MacroNameOf(std::string_view runArgument);

}  // namespace wbs
