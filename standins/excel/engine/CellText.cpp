#include "CellText.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace wbs {

namespace {

// Drops trailing zeros of a fraction ("1.500" -> "1.5", "2.000" -> "2").
std::string TrimFraction(std::string s) {
  if (s.find('.') == std::string::npos) return s;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

// Days since 1970-01-01 -> civil date (H. Hinnant's algorithm).
void CivilFromDays(long long z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

}  // namespace

std::string GeneralNumberText(double v) {
  if (std::isnan(v)) return "#NUM!";
  if (std::isinf(v)) return "#NUM!";
  if (v == 0) return "0";
  const double a = std::fabs(v);
  char buf[64];
  if (a >= 1e15 || a < 1e-9) {
    std::snprintf(buf, sizeof buf, "%.14E", v);
    std::string s = buf;
    const auto e = s.find('E');
    std::string mant = TrimFraction(s.substr(0, e));
    std::string exp = s.substr(e + 1);  // "+20", "-012"
    char sign = exp[0];
    std::string digits = exp.substr(1);
    while (digits.size() > 2 && digits[0] == '0') digits.erase(0, 1);
    return mant + "E" + sign + digits;
  }
  // Fixed notation with 15 significant digits in all.
  const int intDigits = a >= 1 ? static_cast<int>(std::floor(std::log10(a))) + 1 : 0;
  int decimals = 15 - intDigits;
  if (a < 1) decimals = 15 - static_cast<int>(std::floor(std::log10(a))) - 1;
  if (decimals < 0) decimals = 0;
  if (decimals > 30) decimals = 30;
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = TrimFraction(buf);
  if (s == "-0") s = "0";
  return s;
}

std::string DateText(double oleDate) {
  if (!std::isfinite(oleDate) || std::fabs(oleDate) > 2958465.999999) return GeneralNumberText(oleDate);
  double whole = std::trunc(oleDate);
  double frac = std::fabs(oleDate - whole);
  long long seconds = std::llround(frac * 86400.0);
  if (seconds >= 86400) {  // rounding carried into the next day
    seconds -= 86400;
    whole += oleDate >= 0 ? 1 : -1;
  }
  int y;
  unsigned m, d;
  CivilFromDays(static_cast<long long>(whole) - 25569, y, m, d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%u/%u/%d", m, d, y);
  std::string s = buf;
  if (seconds != 0) {
    const long long h = seconds / 3600, mi = seconds / 60 % 60, se = seconds % 60;
    if (se != 0)
      std::snprintf(buf, sizeof buf, " %lld:%02lld:%02lld", h, mi, se);
    else
      std::snprintf(buf, sizeof buf, " %lld:%02lld", h, mi);
    s += buf;
  }
  return s;
}

std::optional<double> ParseNumber(std::string_view in) {
  std::string s = Trim(in);
  if (s.empty()) return std::nullopt;
  bool percent = false;
  if (s.back() == '%') {
    percent = true;
    s.pop_back();
  }
  // Only digits, one sign, one point and an exponent: strtod alone would take "inf" or "0x1p3".
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t ed = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++ed;
    if (ed == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  double v = std::strtod(s.c_str(), nullptr);
  if (!std::isfinite(v)) return std::nullopt;
  return percent ? v / 100.0 : v;
}

Entry ParseEntry(std::string_view typed) {
  Entry e;
  if (typed.empty()) return e;
  if (typed[0] == '\'') {
    e.kind = Entry::Kind::Text;
    e.text = std::string(typed.substr(1));
    return e;
  }
  if (typed[0] == '=' && typed.size() > 1) {
    e.kind = Entry::Kind::Formula;
    e.text = std::string(typed.substr(1));
    return e;
  }
  if (auto n = ParseNumber(typed)) {
    e.kind = Entry::Kind::Number;
    e.number = *n;
    return e;
  }
  const std::string t = Trim(typed);
  if (SameName(t, "TRUE") || SameName(t, "FALSE")) {
    e.kind = Entry::Kind::Boolean;
    e.boolean = SameName(t, "TRUE");
    return e;
  }
  e.kind = Entry::Kind::Text;
  e.text = std::string(typed);
  return e;
}

namespace {
// Reads a run of decimal digits as a positive int with an upper bound; false on overflow.
bool ReadNumber(std::string_view s, size_t& i, int limit, int& out) {
  size_t start = i;
  long long v = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
    v = v * 10 + (s[i] - '0');
    if (v > limit) return false;
    ++i;
  }
  if (i == start) return false;
  out = static_cast<int>(v);
  return out >= 1;
}
}  // namespace

std::optional<CellPos> ParseR1C1(std::string_view s) {
  size_t i = 0;
  int r, c;
  if (i >= s.size() || (s[i] != 'R' && s[i] != 'r')) return std::nullopt;
  ++i;
  if (!ReadNumber(s, i, kMaxRows, r)) return std::nullopt;
  if (i >= s.size() || (s[i] != 'C' && s[i] != 'c')) return std::nullopt;
  ++i;
  if (!ReadNumber(s, i, kMaxCols, c)) return std::nullopt;
  if (i != s.size()) return std::nullopt;
  return CellPos{r - 1, c - 1};
}

std::optional<CellPos> ParseA1(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && s[i] == '$') ++i;
  long long col = 0;
  size_t letters = 0;
  while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) {
    col = col * 26 + (std::toupper(static_cast<unsigned char>(s[i])) - 'A' + 1);
    if (col > kMaxCols) return std::nullopt;
    ++i, ++letters;
  }
  if (letters == 0) return std::nullopt;
  if (i < s.size() && s[i] == '$') ++i;
  int row;
  if (!ReadNumber(s, i, kMaxRows, row)) return std::nullopt;
  if (i != s.size()) return std::nullopt;
  return CellPos{row - 1, static_cast<int>(col) - 1};
}

std::string ColumnLetters(int col) {
  std::string s;
  int n = col + 1;
  while (n > 0) {
    int rem = (n - 1) % 26;
    s.insert(s.begin(), static_cast<char>('A' + rem));
    n = (n - 1) / 26;
  }
  return s;
}

std::string ToA1(CellPos p) { return ColumnLetters(p.col) + std::to_string(p.row + 1); }
std::string ToR1C1(CellPos p) {
  return "R" + std::to_string(p.row + 1) + "C" + std::to_string(p.col + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace wbs
