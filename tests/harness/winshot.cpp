// winshot CLASS OUT.bmp [TIMEOUT_MS] [--close]
// Waits for a visible top-level window of the class, saves what the screen shows of it as a
// BMP, and with --close asks it to close. Used by the demo to show the windows it opens.
#include <cstdlib>
#include <cstdio>
#include <string>

#include "../../app/tests/WinTestSupport.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: winshot CLASS OUT.bmp [TIMEOUT_MS] [--close]\n");
    return 2;
  }
  DWORD timeout = argc > 3 ? static_cast<DWORD>(std::atol(argv[3])) : 20000;
  bool close = argc > 4 && std::string(argv[4]) == "--close";
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
  if (!wintest::SaveScreenshot(w, argv[2])) {
    std::fprintf(stderr, "winshot: could not write %s\n", argv[2]);
    return 1;
  }
  std::printf("winshot: saved %s\n", argv[2]);
  if (close) PostMessageA(w, WM_CLOSE, 0, 0);
  return 0;
}
