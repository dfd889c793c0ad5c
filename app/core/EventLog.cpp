#include "EventLog.h"

#include <fstream>

#include <cstdio>

std::string EnglishMonthAbbreviation(int month) {
  static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return month >= 1 && month <= 12 ? names[month - 1] : "???";
}

std::string FormatLogStamp(const LocalTime& t, std::string_view month) {
  char head[8], tail[32];
  std::snprintf(head, sizeof head, "%02d-", t.day % 100);
  std::snprintf(tail, sizeof tail, "-%04d %02d:%02d:%02d  ", t.year % 10000, t.hour % 100,
                t.minute % 100, t.second % 100);
  std::string s = head;
  s += month.empty() ? std::string_view("???") : month;
  s += tail;
  return s;
}

EventLog::EventLog(Clock clock, MonthName monthName)
    : clock_(std::move(clock)), monthName_(std::move(monthName)) {}

void EventLog::LogMessage(std::string_view message) noexcept {
  try {
    if (buffer_.Length() < kBufferCap) {
      buffer_.Append(message);
      buffer_.Append("\r\n");
    }
  } catch (...) {
    // Out of memory for the in-memory copy: the file still gets the line.
  }
  try {
    LocalTime now = clock_();
    std::string line = FormatLogStamp(now, monthName_(now.month));
    line.append(message);
    line.append("\r\n");
    // Opened, written and closed per line, so another process may read it between messages.
    if (std::FILE* f = std::fopen(logFile_.c_str(), "ab")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
    }
  } catch (...) {
  }
}

std::string ReadLogTail(const std::string& path, std::size_t maxBytes) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return std::string();
  const std::streamoff size = f.tellg();
  if (size < 0) return std::string();
  std::streamoff from = 0;
  if (static_cast<unsigned long long>(size) > maxBytes) from = size - static_cast<std::streamoff>(maxBytes);
  f.seekg(from);
  std::string text(static_cast<std::size_t>(size - from), '\0');
  f.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(f.gcount()));
  if (from == 0) return text;
  // Start at a whole line: the part before the first line end belongs to a line left out.
  std::size_t nl = text.find('\n');
  text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
  const unsigned long long shown = text.size();
  return "(The log file has " + std::to_string(size) + " bytes; only its last " +
         std::to_string(shown) + " are shown here.)\r\n\r\n" + text;
}
