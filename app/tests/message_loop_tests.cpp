// The program's message loop keeps its timers (the update tick, the OPC groups' updates) running
// while posted messages never stop coming, as they do when thousands of cells send DDE advises.
#include <gtest/gtest.h>
#include <windows.h>

#include "MessageLoop.h"

namespace {

struct Stream {
  int ticks = 0;
  long posted = 0;
  DWORD until = 0;
};

LRESULT CALLBACK StreamProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  auto* s = reinterpret_cast<Stream*>(GetWindowLongPtrA(w, GWLP_USERDATA));
  if (s && msg == WM_APP) {
    ++s->posted;
    // Each message posts the next, so one is always waiting when the loop asks for more.
    if (GetTickCount() < s->until) PostMessageA(w, WM_APP, 0, 0);
    else PostQuitMessage(7);
    return 0;
  }
  if (s && msg == WM_TIMER) {
    ++s->ticks;
    return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

TEST(MessageLoop, TimersRunWhilePostedMessagesNeverStop) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = StreamProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "TessarelLoopTest";
  RegisterClassA(&wc);
  HWND w = CreateWindowA("TessarelLoopTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         wc.hInstance, nullptr);
  ASSERT_NE(w, nullptr);
  Stream s;
  SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&s));
  s.until = GetTickCount() + 1000;
  SetTimer(w, 1, 20, nullptr);
  PostMessageA(w, WM_APP, 0, 0);
  EXPECT_EQ(RunMessageLoop(), 7);
  KillTimer(w, 1);
  DestroyWindow(w);
  EXPECT_GT(s.posted, 100) << "the stream itself was served";
  // About 50 ticks of a 20 ms timer fit in the second; a plain GetMessage loop gets none.
  EXPECT_GE(s.ticks, 10);
}
