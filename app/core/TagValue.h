// A tag value without platform types: the OLE Automation types the tag database uses.
#pragma once
#include <cstdint>
#include <string>
#include <variant>

struct OleDate {
  double value = 0;  // days since 30 Dec 1899, fraction = time of day (local time)
  bool operator==(const OleDate&) const = default;
};

using TagValue = std::variant<std::monostate, int16_t, int32_t, float, double, OleDate,
                              std::string, bool>;

// The variant type codes of the automation world.
enum VarTypeCode : int {
  kVtInteger = 2,
  kVtLong = 3,
  kVtSingle = 4,
  kVtDouble = 5,
  kVtDate = 7,
  kVtString = 8,
  kVtBoolean = 11
};
