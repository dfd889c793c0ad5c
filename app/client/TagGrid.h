// The tag editor's grid of collected items, without the window: each data row holds an item ID
// and the client sheet cell its value goes to, as a cell text and as row and column numbers that
// are kept consistent with each other. Row 0 is the header, as the grid shows it.
//   0 "Item" (row number)  1 "OPC Tag"  2 "Cell" (A1)  3 "Row"  4 "Column"
#pragma once
#include <string>
#include <utility>
#include <vector>

struct A1Cell {
  long row = -1, column = -1;
  bool Valid() const { return row >= 1 && column >= 1; }
};

// Upper-cased; a text shorter than 2 characters or not starting with a letter gives -1/-1;
// the leading letters are the column in base 26 (A = 1 .. Z = 26, AA = 27), the rest must be
// the row's digits, otherwise the column (and the row) are -1.
A1Cell ParseA1Cell(const std::string& text);

// The A1 letters of a column number (1 = A, 27 = AA); "" below 1.
std::string ColumnLetters(long column);

// One entry of the editor's data-type lists: its text and the variant type it stands for.
struct NamedCode {
  const char* text;
  long code;
};
extern const NamedCode kDataTypeList[11];    // "Native" 0 .. "String" 8
extern const NamedCode kAccessFilterList[4];  // "Any" 0 .. "Read/Write" 3

class TagGrid {
 public:
  static constexpr int kCols = 5;
  static constexpr int kFixedCols = 2;
  enum Col { kItem = 0, kTag = 1, kCell = 2, kRow = 3, kColumn = 4 };
  static const char* const kHeaders[kCols];

  TagGrid() { rows_.push_back({kHeaders[0], kHeaders[1], kHeaders[2], kHeaders[3], kHeaders[4]}); }

  int Rows() const { return static_cast<int>(rows_.size()); }  // the header included
  int DataRows() const { return Rows() - 1; }
  const std::string& Text(int row, int col) const { return rows_.at(row).at(col); }

  enum class AutoIncrement { Off, ByRow, ByColumn };
  // Appends the item (or finds the row that already holds exactly this item ID) and returns
  // its row; -1, and nothing added, for an item ID the tag file cannot hold (empty, or with a
  // double quote, which the file's reader takes as quoting). With auto-increment the new row's
  // cell follows the row above's: one row further down (ByRow), or one column further right.
  int AddItem(const std::string& itemId, AutoIncrement mode);

  // Stores an in-place edit of a non-fixed cell and makes the row consistent: an edited cell
  // text sets the row and column numbers (-1 when it is not a valid reference); an edited row or
  // column number is brought into range and the cell text rewritten from both numbers.
  // False for a fixed column, the header row or a row that does not exist.
  bool StoreEdit(int row, int col, const std::string& text);

  // The client tag file: the header line and one read tag a row (item ID, "R4", the cell as
  // "R<row>C<column>", an empty write field), lines ended by CR LF. An item ID holding a comma
  // (or starting or ending with a space) is written in double quotes, so it reads back as is.
  std::string FileText() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};
