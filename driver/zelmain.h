// The one exported entry point of the driver.
#pragma once

#include "core/records.h"

#if defined(_WIN32)
#define ZEL_EXPORT __declspec(dllexport)
#define ZEL_CDECL __cdecl
#else
#define ZEL_EXPORT __attribute__((visibility("default")))
#define ZEL_CDECL
#endif

extern "C" ZEL_EXPORT int32_t ZEL_CDECL ZelMain(zel::DriverRequest* req);
