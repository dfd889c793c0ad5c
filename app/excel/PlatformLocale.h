// Numbers, dates and texts by a locale's rules (the user's by default), as the platform's
// automation runtime converts them.
#pragma once
#include <windows.h>

#include "CellText.h"

LocaleConversions PlatformConversions(LCID lcid = LOCALE_USER_DEFAULT);
