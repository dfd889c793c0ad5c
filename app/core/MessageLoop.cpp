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
      MSG t;
      for (int i = 0; i < 16 && PeekMessageA(&t, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE); ++i)
        DispatchMessageA(&t);
    }
  }
  return static_cast<int>(msg.wParam);
}
