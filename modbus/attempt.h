// Steps shared by the read and the write transaction within one attempt.
#pragma once

#include <cstdint>

#include "driver/records.h"

namespace zel {

// Discards waiting input before an attempt: while the flush cannot
// complete, logs `message` and tries again, at most timeout/5 flushes (and
// always one).
void FlushBeforeAttempt(const ChannelState& channel, const char* message);

// True when the last two bytes of the reply are the CRC of the bytes before.
bool ReplyCrcMatches(const uint8_t* reply, int32_t length);

} // namespace zel
