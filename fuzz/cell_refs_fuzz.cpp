// Cell references as users and files write them: the shared cell formatter (R1C1 and A1) and the
// tag editor's A1 parser and grid edits. A reference that is read as valid must read back as
// the same cell from the form the program writes.
#include <cstdint>
#include <string>

#include "CellFormatter.h"
#include "FuzzCheck.h"
#include "TagGrid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CellFormatter f;
  f.SetCell(text);
  const std::string rc = f.RCRef(), a1 = f.RangeRef();
  if (!rc.empty()) {
    FUZZ_CHECK(f.Row() >= 1 && f.Column() >= 1);
    CellFormatter back;
    back.SetCell(rc);
    FUZZ_CHECK(back.Row() == f.Row() && back.Column() == f.Column());
  }
  if (!a1.empty()) {
    CellFormatter back;
    back.SetCell(a1);
    FUZZ_CHECK(back.Row() == f.Row() && back.Column() == f.Column());
  }

  const A1Cell c = ParseA1Cell(text);
  FUZZ_CHECK(c.Valid() || (c.row == -1 && c.column == -1));
  if (c.Valid()) {
    const A1Cell again = ParseA1Cell(ColumnLetters(c.column) + std::to_string(c.row));
    FUZZ_CHECK(again.row == c.row && again.column == c.column);
  }

  TagGrid g;
  const int row = g.AddItem("Item", TagGrid::AutoIncrement::ByRow);
  FUZZ_CHECK(row == 1);
  for (int col = TagGrid::kCell; col < TagGrid::kCols; ++col) {
    FUZZ_CHECK(g.StoreEdit(row, col, text));
    // The row and column columns always hold whole numbers after an edit.
    for (int k : {TagGrid::kRow, TagGrid::kColumn}) {
      const std::string& n = g.Text(row, k);
      FUZZ_CHECK(!n.empty());
      FUZZ_CHECK(n == "-1" || n.find_first_not_of("0123456789") == std::string::npos);
    }
  }
  FUZZ_CHECK(g.AddItem(text, TagGrid::AutoIncrement::ByColumn) != 0);
  const std::string file = g.FileText();
  FUZZ_CHECK(file.rfind("OPC Tag,Type,Item,Write\r\n", 0) == 0);
  return 0;
}
