#include "TagGrid.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace {

// Excel's last row and column: a reference beyond them names no cell.
constexpr long kMaxRow = 1048576;
constexpr long kMaxColumn = 16384;
constexpr long kLastLetterColumn = 26;  // a typed column number is kept within A..Z

// A whole number, as the grid's number columns hold them; nothing for any other text.
std::optional<long> WholeNumber(const std::string& text) {
  std::size_t b = text.find_first_not_of(' '), e = text.find_last_not_of(' ');
  if (b == std::string::npos) return std::nullopt;
  std::string t = text.substr(b, e - b + 1);
  std::size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size() || t.size() - i > 9) return std::nullopt;  // no digits, or out of range
  for (std::size_t k = i; k < t.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(t[k]))) return std::nullopt;
  long v = std::stol(t.substr(i));
  return t[0] == '-' ? -v : v;
}

// The auto-increment's reading of the row above: an empty text counts as 1, a number of 1 or
// more is taken (and is the one valid case), a number below 1 counts as 1, other text as 0.
long ReadAbove(const std::string& text, bool& valid) {
  valid = false;
  if (text.empty()) return 1;
  std::optional<long> n = WholeNumber(text);
  if (!n) return 0;
  if (*n < 1) return 1;
  valid = true;
  return *n;
}

}  // namespace

const NamedCode kDataTypeList[11] = {
    {"Native", 0},    {"Boolean", 11},    {"Byte", 17},  {"ByteArray", 8209},
    {"Short", 2},     {"ShortArray", 8194}, {"Long", 3}, {"LongArray", 8195},
    {"Float", 4},     {"FloatArray", 8196}, {"String", 8}};
const NamedCode kAccessFilterList[4] = {
    {"Any", 0}, {"Read Only", 1}, {"Write Only", 2}, {"Read/Write", 3}};

const char* const TagGrid::kHeaders[TagGrid::kCols] = {"Item", "OPC Tag", "Cell", "Row",
                                                       "Column"};

A1Cell ParseA1Cell(const std::string& text) {
  A1Cell bad;
  std::string t = text;
  for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (t.size() < 2 || t[0] < 'A' || t[0] > 'Z') return bad;
  long column = 0;
  std::size_t i = 0;
  for (; i < t.size() && t[i] >= 'A' && t[i] <= 'Z'; ++i) {
    column = column * 26 + (t[i] - 'A' + 1);
    if (column > kMaxColumn) return bad;
  }
  std::string rest = t.substr(i);
  if (rest.empty() || rest.size() > 9 ||
      !std::all_of(rest.begin(), rest.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return bad;
  long row = std::stol(rest);
  if (row < 1 || row > kMaxRow) return bad;
  return A1Cell{row, column};
}

std::string ColumnLetters(long column) {
  std::string s;
  while (column > 0) {
    long r = (column - 1) % 26;
    s.insert(s.begin(), static_cast<char>('A' + r));
    column = (column - 1) / 26;
  }
  return s;
}

int TagGrid::AddItem(const std::string& itemId, AutoIncrement mode) {
  if (itemId.empty() || itemId.find('"') != std::string::npos) return -1;
  for (int r = 1; r < Rows(); ++r)
    if (rows_[r][kTag] == itemId) return r;  // no duplicates: its row becomes the current one

  const int r = Rows();
  std::vector<std::string> row(kCols);
  row[kItem] = std::to_string(r);
  row[kTag] = itemId;
  if (mode != AutoIncrement::Off) {
    long cellRow = 1, cellCol = 1;
    bool rowValid = false, colValid = false;
    if (r > 1) {
      cellRow = ReadAbove(rows_[r - 1][kRow], rowValid);
      cellCol = ReadAbove(rows_[r - 1][kColumn], colValid);
    }
    if (mode == AutoIncrement::ByRow && rowValid)
      ++cellRow;
    else if (colValid)
      ++cellCol;
    row[kCell] = ColumnLetters(cellCol) + std::to_string(cellRow);
    row[kRow] = std::to_string(cellRow);
    row[kColumn] = std::to_string(cellCol);
  }
  rows_.push_back(std::move(row));
  return r;
}

bool TagGrid::StoreEdit(int row, int col, const std::string& text) {
  if (row < 1 || row >= Rows() || col < kFixedCols || col >= kCols) return false;
  std::vector<std::string>& r = rows_[row];
  r[col] = text;
  if (col == kCell) {
    A1Cell c = ParseA1Cell(text);
    r[kRow] = c.Valid() ? std::to_string(c.row) : "-1";
    r[kColumn] = c.Valid() ? std::to_string(c.column) : "-1";
    return true;
  }
  std::optional<long> n = WholeNumber(r[kRow]);
  long cellRow = (n && *n >= 1) ? std::min(*n, kMaxRow) : 1;
  n = WholeNumber(r[kColumn]);
  long cellCol = n ? std::clamp(*n, 1L, kLastLetterColumn) : 1;
  r[kRow] = std::to_string(cellRow);
  r[kColumn] = std::to_string(cellCol);
  r[kCell] = ColumnLetters(cellCol) + std::to_string(cellRow);
  return true;
}

std::string TagGrid::FileText() const {
  std::string out = "OPC Tag,Type,Item,Write\r\n";
  for (int r = 1; r < Rows(); ++r) {
    const std::string& id = rows_[r][kTag];
    // The reader splits at commas outside quotes and trims spaces outside them.
    const bool quote = id.find(',') != std::string::npos || id.front() == ' ' || id.back() == ' ';
    out += quote ? "\"" + id + "\"" : id;
    out += ",R4,R" + rows_[r][kRow] + "C" + rows_[r][kColumn] + ",\r\n";
  }
  return out;
}
