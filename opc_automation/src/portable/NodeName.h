// Whether a node name given by a client means this computer. Standard C++ only.
#pragma once

#include <string_view>

namespace veltrane {

// True when `node`, after skipping leading '\' and '/' characters, equals `computerName`,
// "127.0.0.1" or "localhost" ignoring ASCII case, or is empty (nothing names another machine).
bool IsLocalNodeName(std::string_view node, std::string_view computerName) noexcept;

}  // namespace veltrane
