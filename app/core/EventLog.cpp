#include "EventLog.h"

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
