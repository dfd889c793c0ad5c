#include "portable/NodeName.h"

#include "portable/ProgIdSet.h"

namespace veltrane {

bool IsLocalNodeName(std::string_view node, std::string_view computerName) noexcept {
  // UNC-style "\\host" and "//host" name the same machine as "host".
  size_t skip = node.find_first_not_of("\\/");
  node = skip == std::string_view::npos ? std::string_view() : node.substr(skip);
  if (node.empty()) return true;
  return (!computerName.empty() && CompareNoCase(node, computerName) == 0) ||
         CompareNoCase(node, "127.0.0.1") == 0 || CompareNoCase(node, "localhost") == 0;
}

}  // namespace veltrane
