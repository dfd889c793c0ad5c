// The event log ("Event Log": the messages of this run), the error log ("  Error Log": the log
// file) and the About box.
#pragma once
#include <windows.h>

#include <string>

#include "AppPorts.h"
#include "EventLog.h"

namespace logwindows {

bool RegisterClasses(HINSTANCE instance);

// Opens (or brings forward) the modeless event log window showing log's buffer.
HWND ShowEventLog(HINSTANCE instance, HWND owner, const EventLog* log);
// The most of the log file the error log window reads (the file itself is never cut).
constexpr std::size_t kErrorLogShownBytes = 4 * 1024 * 1024;
// Opens the modeless error log window filled with the content of logFile (its last part when
// it is longer than kErrorLogShownBytes, said so at the top).
HWND ShowErrorLog(HINSTANCE instance, HWND owner, const std::string& logFile);
// The modal About box, showing the log file's path.
void ShowAbout(HINSTANCE instance, HWND owner, const std::string& logFile);

// The "DDE Status" window: the DDE control's description of its state, as text.
// Modal; a message box alone when the view says so.
void ShowDdeStatus(HINSTANCE instance, HWND owner, const DdeStatusView& view);


}  // namespace logwindows
