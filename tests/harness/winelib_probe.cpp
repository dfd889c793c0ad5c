// A Winelib program: an ELF binary that still calls Win32 through Wine.
#include <windows.h>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 0;
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD len = sizeof name;
  if (!GetComputerNameA(name, &len)) return 2;
  std::printf("winelib_probe: %d squared is %d (on %s)\n", n, n * n, name);
  return 0;
}
