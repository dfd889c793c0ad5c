// Cell references in the two notations of the system: R1C1 (the DDE item names Excel
// understands, such as R2C3) and A1 (what users write, such as C2).
#pragma once
#include <string>
#include <string_view>

class CellFormatter {
 public:
  // Parses the text: the first "R<digits>C<digits>" anywhere in it, else the first
  // "<letters><digits>"; row or column -1 when absent, out of range or below 1.
  void SetCell(std::string_view text);
  const std::string& Cell() const { return cell_; }
  long Row() const { return row_; }
  long Column() const { return column_; }

  // "R<row>C<column>" when both are at least 1, else "".
  std::string RCRef() const;
  std::string DdeRef() const { return RCRef(); }
  std::string ToDDE(std::string_view text) {
    SetCell(text);
    return DdeRef();
  }
  // The A1 form; "" when the row or column is not valid or the column is above ZZ (702).
  std::string RangeRef() const;

  // One letter: its position (A = 1); two: 26 * first + second; else -1.
  static long LettersToColumn(std::string_view letters);
  static std::string ColumnToLetters(long column);  // 1..702, else ""

 private:
  std::string cell_;
  long row_ = -1;
  long column_ = -1;
};
