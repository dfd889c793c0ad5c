#include "PlatformLocale.h"

#include <oleauto.h>

#include "ToolkitHost.h"
#include "common/Strings.h"

LocaleConversions PlatformConversions(LCID lcid) {
  LocaleConversions c;
  c.toDouble = [lcid](const std::string& s) -> std::optional<double> {
    std::wstring w = common::AnsiToWide(s);
    double d = 0;
    if (FAILED(VarR8FromStr(const_cast<OLECHAR*>(w.c_str()), lcid, 0, &d)))
      return std::nullopt;
    return d;
  };
  c.toDate = [lcid](const std::string& s) -> std::optional<double> {
    std::wstring w = common::AnsiToWide(s);
    DATE d = 0;
    if (FAILED(VarDateFromStr(const_cast<OLECHAR*>(w.c_str()), lcid, 0, &d)))
      return std::nullopt;
    return d;
  };
  c.toText = [lcid](const TagValue& v) -> std::string {
    VARIANT in = ToVariant(v), out;
    VariantInit(&out);
    std::string r;
    if (SUCCEEDED(VariantChangeTypeEx(&out, &in, lcid, 0, VT_BSTR)))
      r = common::WideToAnsi(common::FromOle(V_BSTR(&out)));
    VariantClear(&in);
    VariantClear(&out);
    return r;
  };
  return c;
}

