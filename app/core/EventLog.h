// The program's one logging operation: each message goes to Tessarel.log with a time stamp
// and, while the in-memory copy is below its cap, to the event log buffer.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "cStringBuilder.h"

struct LocalTime {
  int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// "dd-mmm-yyyy hh:nn:ss  ": two-digit day, the month's abbreviation, four-digit year, 24-hour
// clock, then two spaces. A month name outside 1..12 prints as "???".
std::string FormatLogStamp(const LocalTime& t, std::string_view monthAbbreviation);

class EventLog {
 public:
  static constexpr std::size_t kBufferCap = 20000;

  using Clock = std::function<LocalTime()>;
  using MonthName = std::function<std::string(int month)>;  // 1..12 -> "Jan".."Dec" (locale)

  EventLog(Clock clock, MonthName monthName);

  void SetLogFile(std::string path) { logFile_ = std::move(path); }
  const std::string& LogFile() const { return logFile_; }

  // Appends to the buffer (while below the cap) and one line to the file; never fails.
  void LogMessage(std::string_view message) noexcept;

  const cStringBuilder& Buffer() const { return buffer_; }
  void ReleaseBuffer() { buffer_.Clear(); }

 private:
  Clock clock_;
  MonthName monthName_;
  std::string logFile_;
  cStringBuilder buffer_;
};

// The log file as the error log window shows it: the whole file when it is at most maxBytes,
// otherwise its last maxBytes from the first line that begins in them, under a first line that
// says how much was left out. Empty when the file cannot be read.
std::string ReadLogTail(const std::string& path, std::size_t maxBytes);

// English month abbreviations, the fallback where no locale is at hand.
std::string EnglishMonthAbbreviation(int month);
