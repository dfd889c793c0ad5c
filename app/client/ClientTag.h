// One item of the OPC client, found by its item ID: where it sits in the client's per-item
// tables and which cell it feeds.
#pragma once
#include <string>

class ClientTag {
 public:
  long Index = 0;        // 1-based client handle of the item
  std::string TagName;   // item ID on the other server
  std::string Cell;      // the item's cell in A1 form, "" for none
};
