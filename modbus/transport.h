// One Modbus RTU request and its reply across the serial line.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "core/records.h"

namespace zel {

enum class SendResult { kSent, kNotSent };

// Results of Receive.
enum class RxResult {
    kOk,        // a whole frame (possibly an exception reply with a "soft" code)
    kException, // exception reply with code 2..5
    kTimeout,   // a part did not arrive, or a read failed
    kWrong,     // reply does not fit the request
};

// Waits the inter-frame gap and discards what came during it, appends the
// CRC at frame[length] and frame[length+1], keys RTS if configured and
// writes the frame. The transaction flushes the input before it calls Send.
SendResult Send(ChannelState& channel, uint8_t* frame, int32_t length);

// Reads one reply into `buffer` and checks it against the request.
RxResult Receive(const IoRequest& request, ChannelState& channel, uint8_t* buffer, int32_t* length);

} // namespace zel
