// The engine keeps text as UTF-8; CF_TEXT and atoms are in the ANSI code page.
#pragma once
#include <windows.h>

#include <string>

namespace wbs {

// UTF-16 text as char16_t: Winelib compiles wchar_t as 16 bits (-fshort-wchar) while the Linux
// libstdc++ it links was built for 32-bit wchar_t, so std::wstring must never be used there.
using WideText = std::u16string;
inline LPCWSTR WinStr(const WideText& w) { return reinterpret_cast<LPCWSTR>(w.c_str()); }
inline WideText FromWinStr(const WCHAR* p) {
  WideText w;
  if (p)
    for (; *p; ++p) w.push_back(static_cast<char16_t>(*p));
  return w;
}
inline WideText FromWinStr(const WCHAR* p, size_t n) {
  return p ? WideText(reinterpret_cast<const char16_t*>(p), n) : WideText();
}

inline WideText ToWideText(const std::string& s, UINT cp) {
  if (s.empty()) return WideText();
  int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return WideText();
  WideText w(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), reinterpret_cast<LPWSTR>(w.data()), n);
  return w;
}

inline std::string FromWideText(const WideText& w, UINT cp) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(cp, 0, reinterpret_cast<LPCWSTR>(w.data()), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, reinterpret_cast<LPCWSTR>(w.data()), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

inline std::string Utf8ToAnsi(const std::string& s) { return FromWideText(ToWideText(s, CP_UTF8), CP_ACP); }
inline std::string AnsiToUtf8(const std::string& s) { return FromWideText(ToWideText(s, CP_ACP), CP_UTF8); }
inline std::string WideToUtf8Text(const WideText& w) { return FromWideText(w, CP_UTF8); }
inline WideText Utf8ToWideText(const std::string& s) { return ToWideText(s, CP_UTF8); }

}  // namespace wbs
