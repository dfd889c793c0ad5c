#include "ClientTagFile.h"

#include <memory>

#include "ConfigRules.h"
#include "CsvReader.h"

namespace {
// Registers a write tag for the DDE link; false when its name or cell is already taken.
bool RegisterWriteTag(const std::string& item, const std::string& rc, const std::string& sheet,
                      ServerTagDatabase& db) {
  if (rc.empty()) return false;  // a cell the formatter could not read has no DDE item
  auto index = std::make_shared<OpcIndex>();
  index->TagName = item;
  index->Server = "Excel";
  index->Sheet = config::Lower(sheet);
  index->Item = rc;
  index->SetIsClientTag(true);
  // Both keys are checked first, so a line that cannot be watched leaves no half entry.
  const std::string cellKey = sheet + "+" + rc;
  if (db.gTagsByName.Contains(item) || db.gTagsByCell.Contains(cellKey)) return false;
  db.gTagsByName.Add(item, index);
  db.gTagsByCell.Add(cellKey, index);
  db.AddToExcel(sheet, rc, item);
  return true;
}
}  // namespace

ClientTagList LoadClientDatabase(const std::string& path, const std::string& clientSheet,
                                 ServerTagDatabase& db, CellFormatter& formatter) {
  ClientTagList list;
  CsvReader csv;
  csv.FileName = path;
  csv.Delimiter = ",";  // fixed for this file, whatever the served database uses
  csv.MaxCols = 5;
  csv.OpenCSV();
  if (!csv.IsOpen() || !csv.ReadLine()) return list;  // no file, or not even a header
  while (csv.ReadLine()) {
    try {
      const std::string item = csv.Field(0);
      const std::string cellText = csv.Field(2);
      if (item.empty() || cellText.empty()) continue;
      formatter.SetCell(cellText);
      const bool write = !csv.Field(3).empty();
      list.items.push_back(item);
      list.cells.push_back(formatter.RangeRef());
      list.writes.push_back(write);
      if (write) RegisterWriteTag(item, formatter.RCRef(), clientSheet, db);
    } catch (...) {
      // Out of memory on one line: that line is lost, reading goes on.
    }
  }
  csv.CloseCSV();
  return list;
}
