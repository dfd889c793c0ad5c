// 32-bit handles for the library's objects (groups, items): the opaque numbers that callers and
// the outside server see, never pointers (this is a 64-bit library). Values come from a counter,
// never 0 and never one a live object holds; they increase with each allocation until the
// counter wraps in a very long-lived process, so a map ordered by handle keeps the order in which
// objects were made. One counter serves every object of its kind in the process, so a handle
// also names one object among all the server objects.
#pragma once

#include <windows.h>

#include <mutex>
#include <set>

namespace veltrane {

class HandleCounter {
 public:
  DWORD Allocate() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (;;) {
      DWORD h = next_++;
      if (h != 0 && live_.insert(h).second) return h;
    }
  }
  void Free(DWORD h) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(h);
  }

 private:
  std::mutex mutex_;
  DWORD next_ = 1;
  std::set<DWORD> live_;
};

}  // namespace veltrane
