#include "MessageLoop.h"

int RunMessageLoop() {
  MSG msg;
  DWORD lastTimerCheck = GetTickCount();
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
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
