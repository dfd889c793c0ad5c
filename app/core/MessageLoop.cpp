#include "MessageLoop.h"

#include <algorithm>
#include <vector>

namespace {
std::vector<HWND> gModelessDialogs;

bool IsModelessDialogMessage(MSG& msg) {
  // A copy: the message may close the dialog, which takes it off the list.
  const std::vector<HWND> dialogs = gModelessDialogs;
  for (HWND d : dialogs)
    if (IsDialogMessageA(d, &msg)) return true;
  return false;
}
}  // namespace

void AddModelessDialog(HWND dialog) {
  if (std::find(gModelessDialogs.begin(), gModelessDialogs.end(), dialog) == gModelessDialogs.end())
    gModelessDialogs.push_back(dialog);
}

void RemoveModelessDialog(HWND dialog) {
  gModelessDialogs.erase(std::remove(gModelessDialogs.begin(), gModelessDialogs.end(), dialog),
                         gModelessDialogs.end());
}

int RunMessageLoop() {
  MSG msg;
  DWORD lastTimerCheck = GetTickCount();
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (gModelessDialogs.empty() || !IsModelessDialogMessage(msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    const DWORD now = GetTickCount();
    if (now - lastTimerCheck >= 10) {
      lastTimerCheck = now;
      // A few at most, so that the stream itself is still served.
      // PeekMessage hands out WM_QUIT whatever the filter, and a quit ends the loop at once:
      // GetMessage would only see it once the stream had stopped.
      MSG t;
      for (int i = 0; i < 16 && PeekMessageA(&t, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE); ++i) {
        if (t.message == WM_QUIT) return static_cast<int>(t.wParam);
        DispatchMessageA(&t);
      }
    }
  }
  return static_cast<int>(msg.wParam);
}
