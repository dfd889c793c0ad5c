// Resource identifiers of Corvane.ocx.
#pragma once
#define IDD_ABOUT 100
#define IDC_ABOUT_TITLE 101
#define IDC_ABOUT_VERSION 102
#define IDC_ABOUT_TEXT 103
#define IDB_TOOLBOX 200
