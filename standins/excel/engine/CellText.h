// Texts of cells as the spreadsheet shows them, and the parsing of what a user or a DDE client
// types into a cell. Standard C++ only: no spreadsheet engine, no Windows.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace wbs {

// A number in the General format: up to 15 significant digits, no trailing zeros, scientific
// notation ("1.5E+20", "1E-12") only for very large or very small magnitudes.
std::string GeneralNumberText(double v);

// An OLE Automation date (days since 30 Dec 1899, fraction = time of day) as the default date
// format shows it: "m/d/yyyy", with " h:mm" (or " h:mm:ss" when seconds are set) for a time.
std::string DateText(double oleDate);

// What a typed entry becomes: a formula (text begins with "="), a number, a boolean (TRUE or
// FALSE in any case), or text. A leading apostrophe forces text and is dropped.
struct Entry {
  enum class Kind { Empty, Number, Boolean, Text, Formula } kind = Kind::Empty;
  double number = 0;
  bool boolean = false;
  std::string text;  // text, or the formula without its "="
};
Entry ParseEntry(std::string_view typed);

// Strict number parsing for entries: decimal with optional sign, fraction, exponent and a
// trailing "%"; surrounding blanks allowed; nothing else (no hex, no inf, no nan).
std::optional<double> ParseNumber(std::string_view s);

// A cell position, 0-based.
struct CellPos {
  int row = 0;
  int col = 0;
  bool operator==(const CellPos&) const = default;
  bool operator<(const CellPos& o) const { return row != o.row ? row < o.row : col < o.col; }
};

inline constexpr int kMaxRows = 1048576;
inline constexpr int kMaxCols = 16384;

// "R12C3" (any case, no blanks, 1-based, within the sheet) -> row 11, col 2.
std::optional<CellPos> ParseR1C1(std::string_view item);
// "C12" / "$C$12" (any case) -> row 11, col 2.
std::optional<CellPos> ParseA1(std::string_view ref);
std::string ToA1(CellPos p);
std::string ToR1C1(CellPos p);
std::string ColumnLetters(int col);

// Case-insensitive comparison of ASCII names (sheet names, macro names, topics).
bool SameName(std::string_view a, std::string_view b);
std::string Lower(std::string_view s);
std::string Trim(std::string_view s);

}  // namespace wbs
