// How our DDE servers tell DDE clients that a service name came or went.
//
// The platform's DDEML learns of servers registered by other DDEML instances through its own
// private traffic. Our servers speak the bare DDE message protocol, so they announce themselves
// with a registered window message instead, and our DDEML turns it into the XTYP_REGISTER and
// XTYP_UNREGISTER callbacks.
//
// The server, on registering its service name (after its DDE window exists and can answer
// WM_DDE_INITIATE) and again on withdrawing it (before that window goes away):
//
//   UINT msg = RegisterWindowMessageA(kServiceAnnounceMessage);
//   ATOM a = GlobalAddAtomA("Excel");                         // base service name
//   SendMessageTimeoutA(HWND_BROADCAST, msg, (WPARAM)serverWindow,
//                       MAKELPARAM(a, kServiceRegister),      // or kServiceUnregister
//                       SMTO_ABORTIFHUNG | SMTO_NORMAL, 2000, nullptr);
//   GlobalDeleteAtom(a);                                      // the sender owns the atom
//
// wParam          the server window that answers WM_DDE_INITIATE for the service.
// LOWORD(lParam)  a global atom of the base service name; it belongs to the sender and is valid
//                 only while the broadcast is being delivered (receivers copy the name).
// HIWORD(lParam)  kServiceRegister or kServiceUnregister.
//
// The broadcast is sent, not posted, so that the atom outlives every receiver's handling.
// Receivers return 0. Only top-level windows receive broadcasts; our DDEML's instance window is
// one.
//
// A DDEML client sees hsz1 = the base name and hsz2 = the instance-specific name, which is the
// base name followed by "(0x" + the server window as 8 upper-case hexadecimal digits + ")",
// e.g. "Excel(0x0001002A)". DdeConnect with an instance-specific name talks to that one
// server window only.
#pragma once

#define TESSAREL_DDE_SERVICE_ANNOUNCE "TessarelDdeServiceAnnounce"

static constexpr const char* kServiceAnnounceMessage = TESSAREL_DDE_SERVICE_ANNOUNCE;
static constexpr unsigned short kServiceRegister = 1;
static constexpr unsigned short kServiceUnregister = 0;
