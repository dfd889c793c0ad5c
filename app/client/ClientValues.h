// The texts and conversions of the OPC client bridge that need no platform call: the value a
// write cell's text sends to the other server, and the client's error text.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "CellText.h"
#include "TagValue.h"

// What a write cell's text sends to an item of the given canonical data type, or nothing:
//   2, 3  the text as a whole number (rounded half to even) when numeric, -9999 when not;
//         nothing when it does not fit the type
//   4     the leading number limited to -1e38..1e38 when numeric, else -9999
//   5     the text as a double when numeric, else -9999
//   7     the text as a date, else nothing
//   8     the text without blanks around it
//   11    true / false when the text begins with the true / false text, else nothing
//   other whole-number types (1- and 8-byte, unsigned): as 5, fitted to the type when written
//   other nothing
// ddeData is the cell's data as the DDE link delivers it (text, line end, terminator).
std::optional<TagValue> ClientWriteValue(int dataType, std::string_view ddeData,
                                         const std::string& trueText,
                                         const std::string& falseText,
                                         const LocaleConversions& locale);

// "OPC Client (0x<code in upper-case hex, no leading zeros>) - <context>".
std::string ClientErrorText(long number, const std::string& context);
// An OPC error code as the add-items message shows it: upper-case hex, no leading zeros.
std::string HexCode(long number);
