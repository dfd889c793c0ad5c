// What one WorkbookServer process holds: the workbooks, the DDE service, the application's
// settings, and the hooks by which the automation objects reach the window and the process.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "DdeServer.h"
#include "WorkbookSet.h"

namespace wbs {

class Application;

struct ServerState {
  WorkbookSet books;
  DdeServer dde{books};
  bool visible = false;
  bool displayAlerts = true;
  bool embedding = false;      // started by COM for a client
  bool quitting = false;
  Application* app = nullptr;  // the one application object (owned by main)

  // Set by the window: show/hide it; ask the user about unsaved changes (IDYES/IDNO/IDCANCEL).
  std::function<void(bool)> showWindow;
  std::function<int(const std::string& question)> askUser;
  // Set by main: ends the process's message loop once the current call has returned.
  std::function<void()> requestExit;

  // Workbook identity for objects that outlive a workbook: a closed (or replaced) workbook's
  // objects fail cleanly instead of reaching freed memory.
  uint64_t SerialOf(Workbook* wb) {
    auto it = serials_.find(wb);
    if (it != serials_.end()) return it->second;
    return serials_[wb] = ++next_;
  }
  void Forget(Workbook* wb) { serials_.erase(wb); }
  bool Alive(Workbook* wb, uint64_t serial) const {
    auto it = serials_.find(wb);
    return it != serials_.end() && it->second == serial && books.IndexOf(wb) >= 0;
  }

 private:
  std::map<Workbook*, uint64_t> serials_;
  uint64_t next_ = 0;
};

ServerState& State();

// Paths as the user gives them (Windows) and as this process opens files (Unix under Wine).
std::string ToFilePath(const std::string& windowsPath);
std::string ToFullWindowsPath(const std::string& windowsPath);

}  // namespace wbs
