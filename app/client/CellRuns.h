// Runs of neighbouring cells in a list of A1 references: each next cell directly below (or
// directly right of) the one before, in list order. A cell that is not a plain A1 reference is a
// run of its own.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct CellRun {
  std::size_t first = 0;  // position of the run's first cell in the list
  std::size_t count = 0;
  bool down = true;       // down a column (else along a row)
  std::string range;      // "B2:B11", or the single cell
};

std::vector<CellRun> FindCellRuns(const std::vector<std::string>& cells);
