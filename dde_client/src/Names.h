// The control's keys, hexadecimal texts, error and transaction names and the log line stamp.
// Plain C++ with no platform header, so it also builds natively for the sanitizers.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// "&H" texts: upper case, no leading zeros, negative values as 32-bit two's complement.
std::string Hex(int32_t value);

// Collection keys: prefix and signed decimal value ("C--5").
std::string ConvKey(int32_t hConv);
std::string ItemKey(int32_t hszItem);
std::string TransKey(int32_t id);
std::string ServiceKey(int32_t hszService);

// The DDEML error name of a code, "" when it has none (16401 is "DMLERR_LAST").
std::string ErrorName(int32_t code);
// GetLastError's mapping: 0 and 16384..16401 stay, anything else is -1.
int32_t MapLastError(int32_t code);
// Names of the transaction types 1..7, "" otherwise.
std::string TransTypeName(int32_t type);

// Elements of `size` bytes read as elements of `width` bytes: size / width rounded to the
// nearest whole number, halves to even.
int32_t RoundedElementCount(int32_t size, int32_t width);

// "dd-mmm-yy hh:mm:ss" for the log's date stamp (month 1..12, year in full).
std::string LogStamp(int year, int month, int day, int hour, int minute, int second);

// Trace names of the callback's transaction types: the type name and whether the callback
// answers it with a refusal (and which return name it uses).
struct CallbackKind {
  std::string typeName;    // "" for the types whose name depends on the call
  std::string returnName;  // return name of the trace line
  uint32_t returnValue;    // what the callback returns for it
  bool handled;            // the callback acts on it (ADVDATA, XACT_COMPLETE, DISCONNECT, ...)
};
CallbackKind ClassifyCallback(uint32_t uType);

}  // namespace corvane
