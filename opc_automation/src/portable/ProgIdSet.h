// The set of server ProgIDs that GetOPCServers returns: ANSI strings ordered without regard to
// case, each kept once. The registry scan and both category walks feed one set, so a server
// registered in several places, or under names differing only in case, is listed once.
// Standard C++ only (also built natively).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// Byte-wise comparison with ASCII letters folded to lower case (bytes above 0x7F compare as
// unsigned values): <0, 0, >0 like strcmp. The order of the list does not depend on the locale.
int CompareNoCase(std::string_view a, std::string_view b) noexcept;

class ProgIdSet {
 public:
  // Adds `progId` unless an entry equal to it ignoring case is already there (the first one
  // added is kept, with its own spelling). Returns true when it was added.
  bool Add(std::string_view progId);
  void Clear() noexcept { items_.clear(); }
  bool Contains(std::string_view progId) const noexcept;
  size_t Size() const noexcept { return items_.size(); }
  // The entries in order (case-insensitive ascending).
  const std::vector<std::string>& Items() const noexcept { return items_; }

 private:
  std::vector<std::string> items_;  // kept sorted; lists are small (tens to hundreds)
};

}  // namespace veltrane
