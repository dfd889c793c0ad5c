#include "ToolkitHost.h"

#include <oleauto.h>

#include <cstdio>
#include <type_traits>

#include "common/Strings.h"

std::wstring Widen(const std::string& s) { return common::AnsiToWide(s); }

VARIANT ToVariant(const TagValue& value) {
  VARIANT v;
  VariantInit(&v);
  std::visit(
      [&v](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, int16_t>) {
          v.vt = VT_I2;
          v.iVal = x;
        } else if constexpr (std::is_same_v<T, int32_t>) {
          v.vt = VT_I4;
          v.lVal = x;
        } else if constexpr (std::is_same_v<T, float>) {
          v.vt = VT_R4;
          v.fltVal = x;
        } else if constexpr (std::is_same_v<T, double>) {
          v.vt = VT_R8;
          v.dblVal = x;
        } else if constexpr (std::is_same_v<T, OleDate>) {
          v.vt = VT_DATE;
          v.date = x.value;
        } else if constexpr (std::is_same_v<T, std::string>) {
          std::wstring w = Widen(x);
          v.vt = VT_BSTR;
          v.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
        } else if constexpr (std::is_same_v<T, bool>) {
          v.vt = VT_BOOL;
          v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE;
        }
      },
      value);
  return v;
}

std::string ErrorDescription(HRESULT hr) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(&text),
                           0, nullptr);
  std::string s;
  if (n && text) {
    s.assign(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' ||
                          s.back() == '.'))
      s.pop_back();
  }
  if (text) LocalFree(text);
  return s.empty() ? common::HResultHex(hr) : s;
}

ToolkitHost::ToolkitHost(const opc_toolkit::ToolkitConfig& config)
    : toolkit_(opc_toolkit::CreateServerToolkit(config, this)) {}

void ToolkitHost::RegisterServer() { toolkit_->RegisterServer(); }
void ToolkitHost::UnregisterServer() { toolkit_->UnregisterServer(); }
void ToolkitHost::StartServing() { toolkit_->StartServing(); }
bool ToolkitHost::ClientsConnected() { return toolkit_->ClientsConnected(); }
void ToolkitHost::RequestClientShutdown(const std::string& reason) {
  toolkit_->RequestClientShutdown(Widen(reason).c_str());
}

std::optional<std::string> ToolkitHost::Add(const std::string& name, long accessRights,
                                            const TagValue& initialValue, short quality,
                                            OleDate timeStamp) {
  VARIANT v = ToVariant(initialValue);
  HRESULT hr = toolkit_->ServedTags().Add(Widen(name).c_str(), accessRights, v, quality,
                                          timeStamp.value);
  VariantClear(&v);
  if (FAILED(hr)) return ErrorDescription(hr);
  return std::nullopt;
}

void ToolkitHost::ServerClientConnected(long count) {
  if (cb_.clientCount) cb_.clientCount(count);
}

void ToolkitHost::ServerClientDisconnected(long remaining) {
  if (remaining < 1) {
    if (cb_.lastClientGone) cb_.lastClientGone();
  } else if (cb_.clientCount) {
    cb_.clientCount(remaining);
  }
}

void ToolkitHost::ValidateItems(long count, const wchar_t* const*, long* errors, long& result) {
  for (long i = 0; i < count; ++i) errors[i] = 0;
  result = 0;
}

void ToolkitHost::UpdateValue(const std::string& tag, const std::optional<TagValue>& value,
                              short quality) {
  opc_toolkit::IServedTag* t = toolkit_->ServedTags().Item(Widen(tag).c_str());
  if (!t) return;
  if (value) {
    VARIANT v = ToVariant(*value);
    t->UpdateValue(&v, quality, 0);
    VariantClear(&v);
  } else {
    t->UpdateValue(nullptr, quality, 0);
  }
}

TagValue FromVariant(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_I2: return static_cast<int16_t>(V_I2(&v));
    case VT_I4: return static_cast<int32_t>(V_I4(&v));
    case VT_R4: return V_R4(&v);
    case VT_R8: return V_R8(&v);
    case VT_DATE: return OleDate{V_DATE(&v)};
    case VT_BOOL: return V_BOOL(&v) != VARIANT_FALSE;
    case VT_BSTR: return common::WideToAnsi(common::FromOle(V_BSTR(&v)));
    case VT_EMPTY: return std::monostate{};
    default: {
      VARIANT t;
      VariantInit(&t);
      TagValue r = std::monostate{};
      if (SUCCEEDED(VariantChangeType(&t, const_cast<VARIANT*>(&v), 0, VT_BSTR)))
        r = common::WideToAnsi(common::FromOle(V_BSTR(&t)));
      VariantClear(&t);
      return r;
    }
  }
}

void ToolkitHost::WriteItems(long count, const wchar_t* const* names, const VARIANT* values,
                             long* errors, long& result) {
  if (!cb_.write || count < 1 || !names || !values || !errors) {
    result = DdeLink::kEFail;
    return;
  }
  std::vector<std::string> n;
  std::vector<TagValue> v;
  for (long i = 0; i < count; ++i) {
    n.push_back(names[i] ? common::WideToAnsi(common::WStringView(names[i])) : std::string());
    v.push_back(FromVariant(values[i]));
  }
  std::vector<long> e;
  result = cb_.write(n, v, e);
  for (long i = 0; i < count && i < static_cast<long>(e.size()); ++i) errors[i] = e[i];
}

void ToolkitHost::WriteItemsEx(long count, const wchar_t* const* names, const VARIANT* values,
                               const short*, const DATE*, long* errors, long& result) {
  WriteItems(count, names, values, errors, result);
}
