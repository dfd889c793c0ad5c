// Thin wrappers over the private-profile functions.
#pragma once
#include <string>

class IniReadWriter {
 public:
  static constexpr unsigned kBufferChars = 128;  // so at most 127 characters of a value are seen
  static std::string GetProfile(const std::string& section, const std::string& key,
                                const std::string& def, const std::string& file);
  static bool WriteProfile(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& file);
};
