#include "CellRuns.h"

#include "CellFormatter.h"

std::vector<CellRun> FindCellRuns(const std::vector<std::string>& cells) {
  std::vector<CellRun> runs;
  CellFormatter f;
  long lastRow = -1, lastCol = -1;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    f.SetCell(cells[i]);
    const long row = f.Row(), col = f.Column();
    const bool plain = row >= 1 && col >= 1 && f.RangeRef() == cells[i];
    if (plain && !runs.empty() && runs.back().count >= 1 && lastRow >= 1) {
      CellRun& r = runs.back();
      const bool below = col == lastCol && row == lastRow + 1;
      const bool right = row == lastRow && col == lastCol + 1;
      if ((r.count == 1 && (below || right)) || (r.count > 1 && (r.down ? below : right))) {
        if (r.count == 1) r.down = below;
        ++r.count;
        lastRow = row;
        lastCol = col;
        continue;
      }
    }
    runs.push_back(CellRun{i, 1, true, cells[i]});
    lastRow = plain ? row : -1;
    lastCol = plain ? col : -1;
  }
  // The range of each run from its first and last cell.
  for (CellRun& r : runs)
    if (r.count > 1) r.range = cells[r.first] + ":" + cells[r.first + r.count - 1];
  return runs;
}
