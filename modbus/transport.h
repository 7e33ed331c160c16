// One Modbus RTU request and its reply across the serial line.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "core/records.h"

namespace zel {

// The station a request goes to and its reply must come from: the
// channel's SLAVE when set, else the gate's.
inline uint8_t StationOf(const ChannelState& channel, const TagAddress& tag) {
    return static_cast<uint8_t>(channel.slaveOverride != 0 ? channel.slaveOverride : tag.plc);
}

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

// The shape of the reply a transaction awaits, as its request implies it
// (libmodbus passes its msg_type_t the same way).
enum class ReplyShape {
    kRead,      // station, function, byte count n, n data bytes, CRC
    kWriteEcho, // station, function, the echoed address and value or quantity, CRC: 8 bytes
};

// Reads one reply of `shape` (or an exception reply) into `buffer` and
// checks it against the request.
RxResult Receive(const IoRequest& request, ChannelState& channel, uint8_t* buffer, int32_t* length,
                 ReplyShape shape);

} // namespace zel
