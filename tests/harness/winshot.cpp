// winshot CLASS OUT.bmp [TIMEOUT_MS] [--at X Y] [--close]
// Waits for a visible top-level window of the class, saves what the screen shows of it as a
// BMP, and with --close asks it to close. --at first moves the window to that screen position
// (windows of two programs otherwise open on top of each other). Used by the demo to show the
// windows it opens.
#include <cstdlib>
#include <cstdio>
#include <string>

#include "../../app/tests/WinTestSupport.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: winshot CLASS OUT.bmp [TIMEOUT_MS] [--at X Y] [--close]\n");
    return 2;
  }
  DWORD timeout = argc > 3 ? static_cast<DWORD>(std::atol(argv[3])) : 20000;
  bool close = false, move = false;
  int x = 0, y = 0;
  for (int i = 4; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--close") {
      close = true;
    } else if (a == "--at" && i + 2 < argc) {
      move = true;
      x = std::atoi(argv[++i]);
      y = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "winshot: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  HWND w = nullptr;
  DWORD until = GetTickCount() + timeout;
  do {
    w = FindWindowA(argv[1], nullptr);
    if (w && IsWindowVisible(w)) break;
    Sleep(100);
  } while (GetTickCount() < until);
  if (!w) {
    std::fprintf(stderr, "winshot: no window of class %s within %lu ms\n", argv[1],
                 static_cast<unsigned long>(timeout));
    return 1;
  }
  // The screen is copied, so another program's window lying over this one would be in the
  // picture: bring it to the top first (without a window manager nothing else raises it).
  SetWindowPos(w, HWND_TOP, x, y, 0, 0, (move ? 0 : SWP_NOMOVE) | SWP_NOSIZE | SWP_SHOWWINDOW);
  if (!wintest::SaveScreenshot(w, argv[2])) {
    std::fprintf(stderr, "winshot: could not write %s\n", argv[2]);
    return 1;
  }
  std::printf("winshot: saved %s\n", argv[2]);
  if (close) PostMessageA(w, WM_CLOSE, 0, 0);
  return 0;
}
