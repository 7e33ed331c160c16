// Channel lifecycle helpers shared by the lifecycle operations.
#pragma once

#include "core/channel.h"

namespace zel {

// Opens the channel's port at the rate of its initialization file, if it
// gave one, else at the host's; returns the handle, or null when the port
// does not open.
void* OpenChannelPort(ChannelState& channel, const PortSettings& settings);

} // namespace zel
