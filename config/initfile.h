// The per-channel initialization file (ZELMRnn.INT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/channel.h"

namespace zel {

// A baud rate of 999 stands for "none given".
constexpr uint32_t kNoBaudRate = 999;

// The settings a channel's file can give. The reader sets its own defaults
// for base, options, ifgLoops, ifgMs, parityCheck, traceFrames, lowLatency
// and the demotion; the other fields keep what the caller put in unless a
// line sets them.
struct InitSettings {
    char protocol = 'M'; // 'M' Modbus, 'J' J-BUS
    char base = 'D';     // 'D' decimal, 'H' hexadecimal, 'L' long decimal
    uint16_t options = 0;
    uint16_t ifgLoops = 0;
    uint16_t ifgMs = 0;
    uint8_t rtsControl = 0;
    uint8_t traceFrames = 0; // TRACE = YES: log the frames on the line
    int32_t slaveOverride = 0;
    int32_t parityCheck = 1;
    uint32_t baudRate = kNoBaudRate;
    // PORT: the port to open instead of the host's; empty: the host's.
    char port[kPortAddressSize] = {};
    uint8_t lowLatency = 1; // LOWLATENCY: a USB adapter's low latency mode at open
    // DEMOTE = N, S: after N transactions in a row without a byte of reply a
    // station is answered at once, without the line, for S seconds. N 0: off.
    uint8_t demoteAfter = 0;
    uint16_t demoteSeconds = 0;
};

// The limits of DEMOTE's two numbers.
constexpr unsigned kMaxDemoteAfter = 100;
constexpr unsigned kMaxDemoteSeconds = 65535;

// Tries the candidate names of config/init_names.h in their order; returns
// the file that opened and its name in `name`, or null.
std::FILE* OpenInitFile(const char* baseName, char* name, size_t nameSize, int32_t channel);

// Reads channel `channel`'s file into `settings`, logging every finding and
// a summary under the channel's prefix (its low 16 bits). Never fails.
void ReadInitFile(int32_t channel, InitSettings& settings);

} // namespace zel
