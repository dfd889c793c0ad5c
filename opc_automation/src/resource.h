// Veltrane.dll resource identifiers.
#pragma once

#define IDS_SERVER_DESCRIPTION 100
