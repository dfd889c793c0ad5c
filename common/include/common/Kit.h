// The whole COM object kit in one include.
#pragma once

#include "common/Bstr.h"
#include "common/ClassFactory.h"
#include "common/ComObject.h"
#include "common/ComPtr.h"
#include "common/ConnectionPoints.h"
#include "common/Dispatch.h"
#include "common/Enumerators.h"
#include "common/Errors.h"
#include "common/Handles.h"
#include "common/LocalServer.h"
#include "common/Registration.h"
#include "common/SafeArray.h"
#include "common/Strings.h"
#include "common/Variant.h"
