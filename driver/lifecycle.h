// Channel lifecycle helpers shared by the lifecycle operations.
#pragma once

#include "core/channel.h"

namespace zel {

// Opens the channel's port with the opener that the current baudOverride
// selects; returns the handle, or null when the port does not open.
void* OpenChannelPort(ChannelState& channel, const PortSettings& settings);

} // namespace zel
