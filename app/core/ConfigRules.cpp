#include "ConfigRules.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace config {

static bool IsBlank(char c) { return c == ' '; }

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
  return Lower(haystack).find(Lower(needle)) != std::string::npos;
}

std::string ResolvePath(std::string_view folder, std::string_view value) {
  bool absolute = (value.size() >= 2 && value[1] == ':') ||
                  (value.size() >= 2 && value[0] == '\\' && value[1] == '\\');
  if (absolute) return std::string(value);
  std::string r(folder);
  r += '\\';
  r += value;
  return r;
}

std::string ParseDelimiter(std::string_view value) {
  std::string d = Trim(value);
  if (d.empty() && !value.empty()) return std::string(1, value.front());
  if (d.size() > 2 && d.front() == '"' && d.back() == '"') d = d.substr(1, d.size() - 2);
  return d;
}

bool UsableDelimiter(std::string_view delimiter) {
  return delimiter.size() == 1 && delimiter[0] != '"';
}

bool IsTrueYesOne(std::string_view value) {
  std::string v = Lower(value);
  return v == "true" || v == "yes" || v == "1";
}

bool IsDecimalNumber(std::string_view value) {
  std::string s = Trim(value);
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  return i == s.size();
}

std::optional<long> NumericValue(std::string_view value) {
  if (!IsDecimalNumber(value)) return std::nullopt;
  std::string s = Trim(value);
  double d = std::strtod(s.c_str(), nullptr);
  if (!std::isfinite(d)) return std::nullopt;
  double r = std::nearbyint(d);  // the default rounding mode rounds halves to even
  if (r < static_cast<double>(std::numeric_limits<int>::min()) ||
      r > static_cast<double>(std::numeric_limits<int>::max()))
    return std::nullopt;
  return static_cast<long>(r);
}

long ParseMacroCount(std::string_view value) {
  auto n = NumericValue(value);
  if (!n) return 0;
  return *n < 0 ? 0 : *n;
}

long ParseMacroPeriod(std::string_view value) {
  long p = NumericValue(value).value_or(0);
  return p < 1 ? 1 : p;
}

long ParseAutoCalcHoldMs(std::string_view value) {
  auto n = NumericValue(Lower(value));
  if (!n) return 0;
  if (*n < 0) return 0;
  if (*n > 10000) return 10000;
  return *n;
}

long ParseUpdateIntervalMs(std::string_view value) {
  auto n = NumericValue(value);
  if (!n) return 1000;
  if (*n < 50) return 50;
  if (*n > 10000) return 10000;
  return *n;
}

std::string CleanComputerName(std::string_view raw) {
  std::string s;
  for (char c : raw)
    if (c != '\0') s += c;
  return Trim(s);
}

}  // namespace config
