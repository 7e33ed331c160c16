// The per-channel initialization file (ZELMRnn.INT).
#pragma once

#include <cstdio>
#include <cstddef>

#include "driver/records.h"

namespace zel {

// Tries "<base>%02d.INT", "<base>%01d.INT" and "<base>.INT" in the current
// directory; returns the file that opened and its name in `name`, or null.
std::FILE* OpenInitFile(const char* baseName, char* name, size_t nameSize, int32_t channel);

// Reads the channel's file into the request's ChannelState and baudOverride,
// logging every finding and a summary. Never fails.
void ReadInitFile(DriverRequest* req);

} // namespace zel
