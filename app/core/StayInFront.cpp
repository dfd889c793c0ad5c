#include "StayInFront.h"

namespace {
constexpr const char* kMark = "TessarelStaysInFront";
}

void MarkStaysInFront(HWND hwnd) { SetPropA(hwnd, kMark, reinterpret_cast<HANDLE>(1)); }

void UnmarkStaysInFront(HWND hwnd) { RemovePropA(hwnd, kMark); }

bool StaysInFront(HWND hwnd) { return hwnd && GetPropA(hwnd, kMark) != nullptr; }

bool ShouldComeBack(HWND self, HWND activated) {
  if (!self || !activated || activated == self) return false;
  DWORD pid = 0;
  if (!GetWindowThreadProcessId(activated, &pid) || pid != GetCurrentProcessId()) return false;
  for (HWND owner = GetWindow(activated, GW_OWNER); owner; owner = GetWindow(owner, GW_OWNER))
    if (owner == self) return false;
  return !StaysInFront(activated);
}

void ComeBackInFront(HWND hwnd) {
  if (!IsWindow(hwnd) || !IsWindowVisible(hwnd)) return;
  SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(hwnd);
  SetActiveWindow(hwnd);
}
