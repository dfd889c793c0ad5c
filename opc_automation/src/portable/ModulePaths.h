// Path arithmetic of type-library registration: the .tlb file beside a library file and the
// help directory of a registered type library. Plain text work, no file system access, so it
// builds on every platform (wide strings on Windows, narrow ones anywhere).
#pragma once

#include <string>
#include <string_view>

namespace veltrane {

// The type-library file beside `modulePath`: its file name's extension (from the name's last
// '.') replaced by ".tlb", or ".tlb" appended when the name has none. Only the file name counts:
// a '.' in a folder name is not an extension ("C:\a.b\Lib" -> "C:\a.b\Lib.tlb").
std::string TypeLibPathBeside(std::string_view modulePath);
std::wstring TypeLibPathBeside(std::wstring_view modulePath);

// The folder part of `path` for RegisterTypeLib's help directory: everything up to and including
// the last '\\', '/' or ':'; empty when there is none.
std::string HelpDirectoryOf(std::string_view path);
std::wstring HelpDirectoryOf(std::wstring_view path);

}  // namespace veltrane
