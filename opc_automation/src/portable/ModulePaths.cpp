#include "portable/ModulePaths.h"

namespace veltrane {
namespace {

template <class Ch>
bool IsSeparator(Ch c) {
  return c == Ch('\\') || c == Ch('/') || c == Ch(':');
}

// Index just past the last separator (0 when none).
template <class Ch>
size_t NameStart(std::basic_string_view<Ch> path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsSeparator(path[i - 1])) return i;
  return 0;
}

template <class Ch>
std::basic_string<Ch> TlbBeside(std::basic_string_view<Ch> path) {
  const size_t name = NameStart(path);
  size_t dot = path.rfind(Ch('.'));
  if (dot == std::basic_string_view<Ch>::npos || dot < name) dot = path.size();
  std::basic_string<Ch> out(path.substr(0, dot));
  for (char c : std::string_view(".tlb")) out.push_back(Ch(c));
  return out;
}

template <class Ch>
std::basic_string<Ch> HelpDir(std::basic_string_view<Ch> path) {
  return std::basic_string<Ch>(path.substr(0, NameStart(path)));
}

}  // namespace

std::string TypeLibPathBeside(std::string_view modulePath) { return TlbBeside(modulePath); }
std::wstring TypeLibPathBeside(std::wstring_view modulePath) { return TlbBeside(modulePath); }
std::string HelpDirectoryOf(std::string_view path) { return HelpDir(path); }
std::wstring HelpDirectoryOf(std::wstring_view path) { return HelpDir(path); }

}  // namespace veltrane
