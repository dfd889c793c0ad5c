// The parsing rules of the INI values, kept free of platform calls.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace config {

std::string Trim(std::string_view s);  // spaces at both ends
std::string Lower(std::string_view s);
bool ContainsNoCase(std::string_view haystack, std::string_view needle);

// A configured path is absolute when its second character is ':' or it begins with two
// backslashes; otherwise it is joined to the program folder with a backslash (also when empty).
std::string ResolvePath(std::string_view programFolder, std::string_view value);

// The "Delimiter" value: trimmed; a value longer than two characters that begins and ends with
// a double quote loses those quotes (so quote-space-quote is a single space). A value made only
// of blanks is a blank delimiter (its first blank): the platform's reader has already taken the
// quotes off quote-space-quote.
std::string ParseDelimiter(std::string_view value);
// Whether the tag database can be split with it: one character, not the double quote.
bool UsableDelimiter(std::string_view delimiter);

// "true", "yes" or "1", without regard to case.
bool IsTrueYesOne(std::string_view value);

// Blanks around, an optional sign, digits with an optional decimal point, an optional exponent.
bool IsDecimalNumber(std::string_view value);

// A number as the configuration accepts it: optional blanks, sign, digits with an optional
// decimal point and exponent. Returns the value rounded to the nearest integer (halves to even),
// or nothing when the text is not numeric or out of the 32-bit range.
std::optional<long> NumericValue(std::string_view value);

// "Macros": taken only if numeric, negative becomes 0; otherwise the default 0.
long ParseMacroCount(std::string_view value);
// The most macros read from the configuration; a larger "Macros" is cut to it (and logged).
constexpr long kMaxMacros = 1000;
// "Period": non-numeric counts as 0; anything below 1 becomes 1.
long ParseMacroPeriod(std::string_view value);
// "DisableAutoCalcOnWriteTime": lower-cased, taken only if numeric, clamped to 0..10000.
long ParseAutoCalcHoldMs(std::string_view value);
// "UpdateInterval" (ms between advise-queue drains): taken only if numeric, clamped to 50..10000;
// anything else is the usual 1000.
long ParseUpdateIntervalMs(std::string_view value);

// The computer name as read from the system: NULs removed, blanks trimmed.
std::string CleanComputerName(std::string_view raw);

}  // namespace config
