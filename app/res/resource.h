// Control, menu and resource identifiers of Tessarel's windows. Tests read the labels through
// these identifiers, so they are part of the program's surface: do not renumber.
#pragma once

#define IDR_MAINMENU 100
#define IDI_TESSAREL 101
#define IDD_ABOUT 102

// frmMain
#define IDC_FRASERVER 1001
#define IDC_LBLSPREADSHEET 1002
#define IDC_TXTSPREADSHEET 1003
#define IDC_LBLNUMOPCCLIENTS 1004
#define IDC_TXTNUMOPCCLIENTS 1005
#define IDC_LBLNUMOPCTAGS 1006
#define IDC_TXTNUMOPCTAGS 1007
#define IDC_LBLSTATUS 1008
#define IDC_TXTSTATUS 1009
#define IDC_BTNVIEWERRORLOG 1010
#define IDC_LINE1 1011
#define IDC_FRACLIENT 1012
#define IDC_LBLSERVER 1013
#define IDC_TXTSERVER 1014
#define IDC_LBLCLIENTSHEET 1015
#define IDC_TXTCLIENTSHEET 1016
#define IDC_LBLCLIENTTAGFILE 1017
#define IDC_TXTCLIENTTAGDEFINITIONFILE 1018
#define IDC_LINE2 1019
#define IDC_BTNOPCCLIENT 1020

// frmEventLog, frmLog, frmAbout
#define IDC_TXTERRORS 1101
#define IDC_RTBERRORLOG 1201
#define IDC_ABOUTLOGPATH 1301
#define IDC_ABOUTTITLE 1302

// File and Help menus
#define IDM_DDESTATUS 40001
#define IDM_EVENTLOG 40002
#define IDM_EXIT 40003
#define IDM_FORCEDEXIT 40004
#define IDM_ABOUT 40005

// frmShowText ("DDE Status")
#define IDC_TXTSHOW 1401
#define IDC_CBCLOSE 1402
#define IDC_STATUSBAR 1403
