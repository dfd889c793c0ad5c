// The INI values a user types: every rule keeps its promised range, whatever the text.
#include <cstdint>
#include <string>

#include "ConfigRules.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  using namespace config;
  const std::string d = ParseDelimiter(text);
  FUZZ_CHECK(d.size() <= text.size());
  if (UsableDelimiter(d)) FUZZ_CHECK(d.size() == 1 && d[0] != '"');
  FUZZ_CHECK(ParseMacroCount(text) >= 0);
  FUZZ_CHECK(ParseMacroPeriod(text) >= 1);
  const long hold = ParseAutoCalcHoldMs(text);
  FUZZ_CHECK(hold >= 0 && hold <= 10000);
  const long interval = ParseUpdateIntervalMs(text);
  FUZZ_CHECK(interval >= 50 && interval <= 10000);
  if (auto n = NumericValue(text)) FUZZ_CHECK(IsDecimalNumber(text));
  const std::string path = ResolvePath("C:\\Prog", text);
  FUZZ_CHECK(path.size() >= text.size());
  (void)IsTrueYesOne(text);
  FUZZ_CHECK(CleanComputerName(text).find('\0') == std::string::npos);
  return 0;
}
