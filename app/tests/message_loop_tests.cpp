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
    // Each message posts the next, so one is always waiting when the loop asks for more; the
    // stream gives up after a while, should the timer never get through.
    if (GetTickCount() < s->until) PostMessageA(w, WM_APP, 0, 0);
    else PostQuitMessage(9);
    return 0;
  }
  if (s && msg == WM_TIMER) {
    // Quitting from a timer's tick, as the program does when its last client has gone.
    if (++s->ticks == 10) PostQuitMessage(7);
    return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

TEST(MessageLoop, TimersRunWhilePostedMessagesNeverStopAndAQuitFromATickEndsTheLoop) {
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
  s.until = GetTickCount() + 5000;
  SetTimer(w, 1, 20, nullptr);
  PostMessageA(w, WM_APP, 0, 0);
  // A plain GetMessage loop gets no tick while the stream lasts and ends with the stream's 9;
  // so does a loop that swallows the quit posted from the tick or leaves it behind the stream.
  EXPECT_EQ(RunMessageLoop(), 7);
  KillTimer(w, 1);
  DestroyWindow(w);
  EXPECT_EQ(s.ticks, 10);
  EXPECT_GT(s.posted, 100) << "the stream itself was served";
  MSG left;
  while (PeekMessageA(&left, nullptr, 0, 0, PM_REMOVE)) {
  }
}
