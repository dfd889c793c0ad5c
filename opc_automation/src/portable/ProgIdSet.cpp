#include "portable/ProgIdSet.h"

#include <algorithm>

namespace veltrane {

namespace {
unsigned char Fold(char c) noexcept {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}
}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) noexcept {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool ProgIdSet::Add(std::string_view progId) {
  auto at = std::lower_bound(items_.begin(), items_.end(), progId,
                             [](const std::string& e, std::string_view k) { return CompareNoCase(e, k) < 0; });
  if (at != items_.end() && CompareNoCase(*at, progId) == 0) return false;
  items_.insert(at, std::string(progId));
  return true;
}

bool ProgIdSet::Contains(std::string_view progId) const noexcept {
  auto at = std::lower_bound(items_.begin(), items_.end(), progId,
                             [](const std::string& e, std::string_view k) { return CompareNoCase(e, k) < 0; });
  return at != items_.end() && CompareNoCase(*at, progId) == 0;
}

}  // namespace veltrane
