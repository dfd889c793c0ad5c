#include "ClientValues.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "ConfigRules.h"

namespace {
constexpr double kNotNumeric = -9999;
// Whole-number variant types beyond the tag database's own.
constexpr int kVtI1 = 16, kVtUI1 = 17, kVtUI2 = 18, kVtUI4 = 19, kVtI8 = 20, kVtUI8 = 21,
              kVtInt = 22, kVtUInt = 23;

// The locale's reading of the text: numeric exactly when the locale reads a number from it.
std::optional<double> Number(const std::string& text, const LocaleConversions& locale) {
  std::optional<double> d = locale.toDouble ? locale.toDouble(text) : std::nullopt;
  if (d && !std::isfinite(*d)) return std::nullopt;
  return d;
}

// A whole number of the range, or nothing when the text is numeric but does not fit.
template <class Int>
std::optional<TagValue> Whole(const std::string& text, const LocaleConversions& locale) {
  std::optional<double> d = Number(text, locale);
  if (!d) return static_cast<Int>(kNotNumeric);
  double r = std::nearbyint(*d);  // the default rounding mode: half to even, as the runtime's
  if (!std::isfinite(r) || r < static_cast<double>(std::numeric_limits<Int>::min()) ||
      r > static_cast<double>(std::numeric_limits<Int>::max()))
    return std::nullopt;
  return static_cast<Int>(r);
}
}  // namespace

std::optional<TagValue> ClientWriteValue(int dataType, std::string_view ddeData,
                                         const std::string& trueText,
                                         const std::string& falseText,
                                         const LocaleConversions& locale) {
  const std::string text = CellTextFromDde(ddeData);
  switch (dataType) {
    case kVtInteger:
      return Whole<int16_t>(text, locale);
    case kVtLong:
      return Whole<int32_t>(text, locale);
    case kVtSingle: {
      std::optional<double> d = Number(text, locale);
      if (!d) return static_cast<float>(kNotNumeric);
      double v = *d < -1e38 ? -1e38 : (*d > 1e38 ? 1e38 : *d);
      return static_cast<float>(v);
    }
    case kVtDouble: {
      std::optional<double> d = Number(text, locale);
      return d ? *d : kNotNumeric;
    }
    case kVtDate: {
      if (!locale.toDate) return std::nullopt;
      std::optional<double> d = locale.toDate(text);
      if (!d) return std::nullopt;
      return OleDate{*d};
    }
    case kVtString:
      return config::Trim(text);
    case kVtBoolean: {
      const std::string t = config::Trim(text);
      if (!trueText.empty() && t.rfind(trueText, 0) == 0) return true;
      if (!falseText.empty() && t.rfind(falseText, 0) == 0) return false;
      return std::nullopt;
    }
    case kVtI1: case kVtUI1: case kVtUI2: case kVtUI4:
    case kVtI8: case kVtUI8: case kVtInt: case kVtUInt: {
      // The other whole-number types a server may report: the number goes as a double and is
      // fitted to the item's type when it is written (a value outside its range writes nothing).
      std::optional<double> d = Number(text, locale);
      return d ? *d : kNotNumeric;
    }
    default:
      return std::nullopt;
  }
}

std::string HexCode(long number) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(static_cast<uint32_t>(number)));
  return buf;
}

std::string ClientErrorText(long number, const std::string& context) {
  return "OPC Client (0x" + HexCode(number) + ") - " + context;
}
