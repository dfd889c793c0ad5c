#include "CellText.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "ConfigRules.h"

namespace {


std::string TrimSpaces(std::string_view s) { return config::Trim(s); }

// Days from civil date (proleptic Gregorian), relative to 1970-01-01.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool ValidDate(int y, int m, int d) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::optional<double> NeutralDate(const std::string& text) {
  std::string t = TrimSpaces(text);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, n = 0;
  double s = 0;
  char sep1 = 0, sep2 = 0;
  if (std::sscanf(t.c_str(), "%d-%d-%d%n", &y, &mo, &d, &n) == 3 ||
      (std::sscanf(t.c_str(), "%d/%d/%d%n", &mo, &d, &y, &n) == 3)) {
    std::string rest = TrimSpaces(std::string_view(t).substr(static_cast<std::size_t>(n)));
    if (!rest.empty()) {
      int m2 = 0;
      if (std::sscanf(rest.c_str(), "%d%c%d%n", &h, &sep1, &mi, &m2) != 3 || sep1 != ':')
        return std::nullopt;
      std::string tail = rest.substr(static_cast<std::size_t>(m2));
      if (!tail.empty() && tail[0] == ':') {
        int m3 = 0;
        if (std::sscanf(tail.c_str(), "%c%lf%n", &sep2, &s, &m3) != 2) return std::nullopt;
        tail = tail.substr(static_cast<std::size_t>(m3));
      }
      tail = TrimSpaces(tail);
      std::string up = tail;
      for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (up == "PM" && h < 12) h += 12;
      else if (up == "AM" && h == 12) h = 0;
      else if (!up.empty() && up != "AM" && up != "PM") return std::nullopt;
      if (h > 23 || mi > 59 || s >= 60 || h < 0 || mi < 0 || s < 0) return std::nullopt;
    }
    if (!ValidDate(y, mo, d)) return std::nullopt;
    return OleDateFromParts(y, mo, d, h, mi, s);
  }
  return std::nullopt;
}

std::optional<double> NeutralDouble(const std::string& text) {
  std::string t = TrimSpaces(text);
  if (!IsNumericText(t)) return std::nullopt;
  return std::strtod(t.c_str(), nullptr);
}

std::string NeutralText(const TagValue& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        char buf[64];
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::string();
        } else if constexpr (std::is_same_v<T, std::string>) {
          return x;
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? "True" : "False";
        } else if constexpr (std::is_same_v<T, float>) {
          std::snprintf(buf, sizeof buf, "%.7G", static_cast<double>(x));
          return buf;
        } else if constexpr (std::is_same_v<T, double>) {
          std::snprintf(buf, sizeof buf, "%.15G", x);
          return buf;
        } else if constexpr (std::is_same_v<T, OleDate>) {
          std::snprintf(buf, sizeof buf, "%.15G", x.value);
          return buf;
        } else {
          return std::to_string(x);
        }
      },
      v);
}

}  // namespace

double OleDateFromParts(int year, int month, int day, int hour, int minute, double second) {
  // OLE dates count days from 30 December 1899.
  long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                   DaysFromCivil(1899, 12, 30);
  double frac = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  // Before the epoch the fraction still counts forward from midnight (OLE's odd encoding).
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

LocaleConversions NeutralConversions() { return {NeutralDouble, NeutralDate, NeutralText}; }

std::string CellTextFromDde(std::string_view data) {
  std::size_t nul = data.find('\0');
  if (nul != std::string_view::npos) data = data.substr(0, nul);
  if (data.size() >= 2 && data.substr(data.size() - 2) == "\r\n")
    data.remove_suffix(2);
  else if (!data.empty() && (data.back() == '\n' || data.back() == '\r'))
    data.remove_suffix(1);
  return std::string(data);
}

bool IsNumericText(std::string_view text) { return config::IsDecimalNumber(text); }

std::optional<TagValue> ConvertCellText(int dataType, std::string_view ddeData,
                                        const std::string& trueText,
                                        const std::string& falseText,
                                        const LocaleConversions& locale) {
  const std::string text = CellTextFromDde(ddeData);
  auto clamp = [](double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); };
  // The numeric test and the number are both the locale's: a text is numeric when the locale
  // reads it as a number, and that number is the one taken (a comma-decimal "1,5" is 1.5 there).
  std::optional<double> number;
  if (dataType == kVtInteger || dataType == kVtLong || dataType == kVtSingle ||
      dataType == kVtDouble) {
    number = locale.toDouble ? locale.toDouble(text) : std::nullopt;
    if (!number || !std::isfinite(*number)) return std::nullopt;
  }
  switch (dataType) {
    case kVtInteger:
      return static_cast<int16_t>(std::nearbyint(clamp(*number, -32767, 32767)));
    case kVtLong:
      return static_cast<int32_t>(std::nearbyint(clamp(*number, -2147483647.0, 2147483647.0)));
    case kVtSingle:
      return static_cast<float>(clamp(*number, -1e38, 1e38));
    case kVtDouble:
      return *number;
    case kVtDate: {
      auto d = locale.toDate(text);
      if (!d) return std::nullopt;
      return OleDate{*d};
    }
    case kVtString:
      // Nothing delivered at all is no value; an empty cell (only its line end) is "".
      if (ddeData.empty()) return std::nullopt;
      return TrimSpaces(text);
    case kVtBoolean: {
      std::string t = TrimSpaces(text);
      if (t.rfind(trueText, 0) == 0) return true;
      if (t.rfind(falseText, 0) == 0) return false;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}
