// Cell data as the spreadsheet sends it over DDE, converted for a served tag of each type and
// for a client write: the values stay inside their types' limits, whatever the text.
#include <cmath>
#include <cstdint>
#include <string>

#include "CellText.h"
#include "ClientValues.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int types[] = {kVtInteger, kVtLong, kVtSingle, kVtDouble, kVtDate,
                              kVtString,  kVtBoolean, 17, 18, 19, 20, 0};
  const int type = types[data[0] % (sizeof types / sizeof types[0])];
  const std::string cell(reinterpret_cast<const char*>(data + 1), size - 1);
  const LocaleConversions locale = NeutralConversions();
  if (auto v = ConvertCellText(type, cell, "TRUE", "FALSE", locale)) {
    if (auto* i = std::get_if<int16_t>(&*v)) FUZZ_CHECK(*i >= -32767);
    if (auto* i = std::get_if<int32_t>(&*v)) FUZZ_CHECK(*i >= -2147483647);
    if (auto* f = std::get_if<float>(&*v)) FUZZ_CHECK(std::fabs(*f) <= 1e38f);
    if (auto* s = std::get_if<std::string>(&*v)) FUZZ_CHECK(s->size() <= cell.size());
    (void)locale.toText(*v);
  }
  if (auto w = ClientWriteValue(type, cell, "TRUE", "FALSE", locale))
    if (auto* f = std::get_if<float>(&*w)) FUZZ_CHECK(std::isfinite(*f));
  (void)CellTextFromDde(cell);
  return 0;
}
