// Cell text from Excel to typed tag values, and written values back to cell text.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "TagValue.h"

// The conversions that follow the system's locale (the platform's on Windows).
struct LocaleConversions {
  std::function<std::optional<double>(const std::string&)> toDouble;  // the whole text
  std::function<std::optional<double>(const std::string&)> toDate;    // an OLE date
  std::function<std::string(const TagValue&)> toText;                  // a value as text
};
// Locale-neutral conversions: a period as decimal separator, ISO and m/d/yyyy dates.
LocaleConversions NeutralConversions();

// Excel's CF_TEXT for one cell is the cell's text, CR LF and a NUL: the text itself without
// the terminator and the one line end.
std::string CellTextFromDde(std::string_view data);

// A number as the locale-neutral test accepts it (blanks around, sign, digits, point, exponent).
bool IsNumericText(std::string_view text);

// The value a tag of the given type takes from the cell's data as delivered over DDE, or
// nothing (the tag then gets no value and bad quality). Numbers are read by the locale's rules:
// the text is numeric when the locale reads it, and whole types round what it read.
std::optional<TagValue> ConvertCellText(int dataType, std::string_view ddeData,
                                        const std::string& trueText,
                                        const std::string& falseText,
                                        const LocaleConversions& locale);

// OLE date from a civil date and time (no time zone).
double OleDateFromParts(int year, int month, int day, int hour, int minute, double second);
