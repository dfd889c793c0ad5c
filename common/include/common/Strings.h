// Text helpers shared by every module: UTF-8 / ANSI <-> UTF-16 and HRESULTs as readable text.
//
// WString is the UTF-16 string the wide Win32 and OLE calls take. In the mingw build it is
// std::wstring. In Winelib programs wchar_t is 16 bits (wineg++ passes -fshort-wchar) while the
// host libstdc++ has std::wstring compiled for 32-bit wchar_t, so std::wstring silently breaks
// there; WString is then std::u16string and the kit never touches std::wstring.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
#include <comcat.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace common {

#if defined(__MINGW32__) || defined(_MSC_VER)
using WChar = wchar_t;
#else
using WChar = char16_t;
#endif
using WString = std::basic_string<WChar>;
using WStringView = std::basic_string_view<WChar>;

static_assert(sizeof(WChar) == sizeof(OLECHAR), "UTF-16 code units are 16 bits");

// The same UTF-16 text seen as the platform's OLECHAR / WCHAR pointer and back.
inline const OLECHAR* Ole(const WString& s) noexcept {
  return reinterpret_cast<const OLECHAR*>(s.c_str());
}
inline OLECHAR* Ole(WString& s) noexcept { return reinterpret_cast<OLECHAR*>(s.data()); }
inline const WChar* AsWChar(const OLECHAR* p) noexcept { return reinterpret_cast<const WChar*>(p); }

// Length of a NUL-terminated UTF-16 string (no wcslen: see WString above).
inline size_t OleLength(const OLECHAR* p) noexcept {
  if (!p) return 0;
  size_t n = 0;
  while (p[n]) ++n;
  return n;
}

// UTF-16 text from a NUL-terminated platform string (a literal L"..." or an API result).
// nullptr gives the empty string.
inline WString FromOle(const OLECHAR* p) { return p ? WString(AsWChar(p), OleLength(p)) : WString(); }
inline WString FromOle(const OLECHAR* p, size_t count) {
  return p ? WString(AsWChar(p), count) : WString();
}

// Code page conversions. Invalid input never throws: MultiByteToWideChar substitutes U+FFFD
// (UTF-8) or the code page's default, and an empty result comes back for empty input.
inline WString ToWide(std::string_view text, UINT codePage) {
  if (text.empty()) return WString();
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return WString();
  WString out(static_cast<size_t>(n), WChar(0));
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<LPWSTR>(out.data()), n);
  return out;
}
inline std::string ToNarrow(WStringView text, UINT codePage) {
  if (text.empty()) return std::string();
  auto src = reinterpret_cast<LPCWSTR>(text.data());
  int n = WideCharToMultiByte(codePage, 0, src, static_cast<int>(text.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, src, static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

inline WString Utf8ToWide(std::string_view utf8) { return ToWide(utf8, CP_UTF8); }
inline std::string WideToUtf8(WStringView wide) { return ToNarrow(wide, CP_UTF8); }
inline WString AnsiToWide(std::string_view ansi) { return ToWide(ansi, CP_ACP); }
inline std::string WideToAnsi(WStringView wide) { return ToNarrow(wide, CP_ACP); }
inline std::string OleToUtf8(const OLECHAR* p) { return WideToUtf8(FromOle(p)); }

// "0x80004005" style hexadecimal form.
inline std::string HResultHex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

// "0x80070002 The system cannot find the file specified." : the code, then the system's message
// for it when there is one (trailing line breaks and dots trimmed to one dot).
inline std::string HResultToString(HRESULT hr) {
  std::string out = HResultHex(hr);
  LPWSTR msg = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&msg), 0,
                           nullptr);
  if (n && msg) {
    std::string text = WideToUtf8(WStringView(AsWChar(msg), n));
    LocalFree(msg);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
      text.pop_back();
    if (!text.empty()) out += " " + text;
  }
  return out;
}

// GUID in registry form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
inline WString GuidToString(REFGUID g) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Utf8ToWide(buf);
}

}  // namespace common
