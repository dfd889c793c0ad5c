// Tooltips for the controls of a window: one tooltip window owned by it, one tool per control.
#pragma once
#include <windows.h>

#include <utility>
#include <vector>

// Creates the owner's tooltip window and adds a tool for each (control id, text); returns the
// tooltip window (destroyed with its owner), or null when it could not be made.
HWND AddTooltips(HINSTANCE instance, HWND owner,
                 const std::vector<std::pair<int, const char*>>& tips);
