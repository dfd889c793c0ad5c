// The client tag definition file: comma-separated, a header line, then one item a line:
//   OPC Tag,Type,Item,Write
//   <item ID>,<type, not used>,<cell, R1C1 or A1>,<any text: a write tag>
// Read tags bring the server's values into their cells; write tags send their cells' changes to
// the server, so the DDE link watches their cells like those of served tags.
#pragma once
#include <string>
#include <vector>

#include "CellFormatter.h"
#include "ServerTagDatabase.h"

struct ClientTagList {
  std::vector<std::string> items;  // item IDs, in file order (the first is client handle 1)
  std::vector<std::string> cells;  // A1 form
  std::vector<bool> writes;
};

// Reads the file; registers every write tag in the tag indexes (by item ID, and by client sheet
// + "+" + R1C1 cell) and in the client sheet's cell list. A line without an item ID or a cell
// is skipped. A write tag whose item ID or cell is already taken (by a served tag or an earlier
// line) stays in the list, so the item is still added, but its cell is not watched. A file that
// cannot be opened, or has no header line, gives an empty list.
ClientTagList LoadClientDatabase(const std::string& path, const std::string& clientSheet,
                                 ServerTagDatabase& db, CellFormatter& formatter);
