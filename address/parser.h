// Gate address strings (GAS): checking them and turning them into
// TagAddress values for one value or for a block.
#pragma once

#include "driver/records.h"

namespace zel {

// Checks the GAS of `parse` against the channel's base and protocol and fills
// `parse.tag`: 0 accepted, 1 refused (one log line written).
int32_t Parse(const ChannelState& channel, ParseRequest& parse);

// The first register on the wire of a parsed tag: undoes the halving of
// 32-bit addresses and the +100000 mark of odd ones (not cut to 16 bits).
int32_t FirstRegister(const ChannelState& channel, const TagAddress& tag);

} // namespace zel
