#include "IniReadWriter.h"

#include <windows.h>

std::string IniReadWriter::GetProfile(const std::string& section, const std::string& key,
                                      const std::string& def, const std::string& file) {
  char buf[kBufferChars] = {};
  DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf,
                                     kBufferChars, file.c_str());
  if (n >= kBufferChars) n = kBufferChars - 1;
  return std::string(buf, n);
}

bool IniReadWriter::WriteProfile(const std::string& section, const std::string& key,
                                 const std::string& value, const std::string& file) {
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str()) !=
         FALSE;
}
