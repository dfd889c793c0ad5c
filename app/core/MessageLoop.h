// The program's message loop. A timer's message is made only when no other message waits, so a
// steady stream of DDE advises would hold off the update tick and the OPC groups' updates for
// as long as it lasts; this loop asks for due timers by name every few milliseconds, which the
// system then delivers even with other messages waiting.
#pragma once
#include <windows.h>

// Runs until WM_QUIT (also one that comes while other messages keep coming); returns its wParam.
int RunMessageLoop();

// Modeless dialogs whose keys (Tab, Enter for the default button, Escape for Cancel) the loop
// hands to the dialog manager while they are open.
void AddModelessDialog(HWND dialog);
void RemoveModelessDialog(HWND dialog);
