// Tool windows that keep themselves in front of the program's other windows while they are
// open (the server selection dialog, the tag editor). A window opts in with MarkStaysInFront and
// asks ShouldComeBack when it loses the activation (WM_ACTIVATE with WA_INACTIVE).
#pragma once
#include <windows.h>

// Gives the window the stays-in-front mark (a window property, removed by the window's
// destruction through UnmarkStaysInFront or by the system with the window).
void MarkStaysInFront(HWND hwnd);
void UnmarkStaysInFront(HWND hwnd);
bool StaysInFront(HWND hwnd);

// Whether `self`, losing the activation to `activated`, should come back in front: `activated`
// is a window of this process, is not `self`, is not owned by `self` (directly or through its
// owners, so self's own message boxes keep the front) and does not carry the mark itself (so two
// such windows never take the front from each other).
bool ShouldComeBack(HWND self, HWND activated);

// Puts the window back on top of its siblings and makes it the active, foreground window.
void ComeBackInFront(HWND hwnd);
