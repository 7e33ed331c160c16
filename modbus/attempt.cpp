#include "modbus/attempt.h"

#include "driver/hostlib.h"
#include "modbus/crc16.h"
#include "serial/serial.h"

namespace zel {

void FlushBeforeAttempt(const ChannelState& channel, const char* message) {
    int32_t flushesLeft = channel.timeout / 5;
    while (FlushInput(channel.port) != kSerialOk) {
        ZEL_LOG(kLogTrace, message, channel.channel);
        if (--flushesLeft <= 0) break;
    }
}

bool ReplyCrcMatches(const uint8_t* reply, int32_t length) {
    if (length < 2) return false;
    const uint16_t crc = Crc16(reply, length - 2);
    return reply[length - 1] == static_cast<uint8_t>(crc >> 8) &&
           reply[length - 2] == static_cast<uint8_t>(crc);
}

} // namespace zel
