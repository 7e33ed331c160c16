// Letting a disturbed line fall quiet before the next request.
#pragma once

#include "driver/records.h"

namespace zel {

// After a failed attempt the slave may still be sending: the rest of a
// garbled reply, or the answer to a request whose time-out has passed. Reads
// and discards input until none has come for kQuietUnits x 10 ms (bounded
// on a line that never falls quiet), so that none of it is taken for the
// reply to the next request. The port's read time-out is put back.
void DrainUntilQuiet(const ChannelState& channel);

constexpr int32_t kQuietUnits = 2;

} // namespace zel
