#include "CellFormatter.h"

#include <cctype>
#include <limits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return c >= 'A' && c <= 'Z'; }

// Decimal digits to a 32-bit number; false when too large.
bool ToNumber(std::string_view digits, long& out) {
  long long v = 0;
  for (char c : digits) {
    v = v * 10 + (c - '0');
    if (v > std::numeric_limits<int32_t>::max()) return false;
  }
  out = static_cast<long>(v);
  return true;
}

// The first match of R(\d+)C(\d+) in upper-cased text.
bool FindR1C1(const std::string& s, std::string_view& row, std::string_view& col) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != 'R') continue;
    std::size_t j = i + 1;
    while (j < s.size() && IsDigit(s[j])) ++j;
    if (j == i + 1 || j >= s.size() || s[j] != 'C') continue;
    std::size_t k = j + 1;
    while (k < s.size() && IsDigit(s[k])) ++k;
    if (k == j + 1) continue;
    row = std::string_view(s).substr(i + 1, j - i - 1);
    col = std::string_view(s).substr(j + 1, k - j - 1);
    return true;
  }
  return false;
}

// The first match of ([A-Z]+)([0-9]+): the leftmost run of letters directly followed by digits.
bool FindA1(const std::string& s, std::string_view& letters, std::string_view& digits) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (!IsLetter(s[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < s.size() && IsLetter(s[j])) ++j;
    std::size_t k = j;
    while (k < s.size() && IsDigit(s[k])) ++k;
    if (k > j) {
      letters = std::string_view(s).substr(i, j - i);
      digits = std::string_view(s).substr(j, k - j);
      return true;
    }
    i = j;  // no match can start inside this run of letters
  }
  return false;
}

}  // namespace

void CellFormatter::SetCell(std::string_view text) {
  cell_.assign(text);
  for (char& c : cell_) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  row_ = column_ = -1;
  std::string_view a, b;
  long row = -1, col = -1;
  if (FindR1C1(cell_, a, b)) {
    if (!ToNumber(a, row) || !ToNumber(b, col)) return;
  } else if (FindA1(cell_, a, b)) {
    col = LettersToColumn(a);
    if (!ToNumber(b, row)) return;
  } else {
    return;
  }
  row_ = row < 1 ? -1 : row;
  column_ = col < 1 ? -1 : col;
}

long CellFormatter::LettersToColumn(std::string_view letters) {
  auto pos = [](char c) -> long {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return IsLetter(c) ? c - 'A' + 1 : -1;
  };
  if (letters.size() == 1) return pos(letters[0]);
  if (letters.size() == 2) {
    long a = pos(letters[0]), b = pos(letters[1]);
    return a < 0 || b < 0 ? -1 : 26 * a + b;
  }
  return -1;
}

std::string CellFormatter::ColumnToLetters(long column) {
  if (column >= 1 && column <= 26) return std::string(1, static_cast<char>('A' + column - 1));
  if (column >= 27 && column <= 702) {
    std::string s;
    s += static_cast<char>('A' + (column - 1) / 26 - 1);
    s += static_cast<char>('A' + (column - 1) % 26);
    return s;
  }
  return std::string();
}

std::string CellFormatter::RCRef() const {
  if (row_ < 1 || column_ < 1) return std::string();
  return "R" + std::to_string(row_) + "C" + std::to_string(column_);
}

std::string CellFormatter::RangeRef() const {
  std::string letters = ColumnToLetters(column_);
  if (letters.empty() || row_ < 1) return std::string();
  return letters + std::to_string(row_);
}
