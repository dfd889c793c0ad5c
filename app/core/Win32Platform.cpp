#include "Win32Platform.h"

#include <windows.h>

#include "IniReadWriter.h"

std::string Win32Platform::ComputerName() {
  char buf[64] = {};
  DWORD n = sizeof buf;
  if (!GetComputerNameA(buf, &n)) return std::string();
  return std::string(buf, sizeof buf);  // the caller strips NULs and blanks
}

bool Win32Platform::FileReadable(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  bool isFile = GetFileInformationByHandle(h, &info) &&
                !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(h);
  return isFile;
}

std::string Win32Platform::GetProfile(const std::string& section, const std::string& key,
                                      const std::string& def, const std::string& file) {
  return IniReadWriter::GetProfile(section, key, def, file);
}

LocalTime Win32Platform::Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::string Win32Platform::MonthAbbreviation(int month) {
  if (month < 1 || month > 12) return "???";
  char buf[32] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVMONTHNAME1 + (month - 1), buf,
                     sizeof buf) > 1)
    return buf;
  return EnglishMonthAbbreviation(month);
}

std::string Win32Platform::ProgramFolder() {
  char buf[MAX_PATH * 2] = {};
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  std::string path(buf, n);
  auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string Win32Platform::CommandLineArguments() {
  // Skip the program name, quoted or not, as the C runtime does.
  const char* p = GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}
