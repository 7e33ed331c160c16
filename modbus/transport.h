// One Modbus RTU request and its reply across the serial line.
#pragma once

#include <cstdint>

#include "driver/records.h"

namespace zel {

// Results of Receive.
enum : int {
    kRxOk = 0,        // a whole frame (possibly an exception reply with a "soft" code)
    kRxException = 1, // exception reply with code 2..5
    kRxTimeout = 2,   // a part did not arrive, or a read failed
    kRxWrong = 3,     // reply does not fit the request
};

// Waits the inter-frame gap, flushes input, appends the CRC at frame[length]
// and frame[length+1], keys RTS if configured and writes the frame.
// 0 sent, 2 not sent.
int Send(ChannelState& channel, uint8_t* frame, int32_t length);

// Reads one reply into `buffer` and checks it against the request.
int Receive(const IoRequest& request, ChannelState& channel, uint8_t* buffer, int32_t* length);

} // namespace zel
