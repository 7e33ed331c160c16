#include "modbus/drain.h"

#include "serial/serial.h"

namespace zel {
namespace {

constexpr uint16_t kDrainChunk = 256;
// A babbling line that never falls quiet holds the caller for at most this
// many reads of kQuietUnits each.
constexpr int kMaxDrainReads = 50;

} // namespace

void DrainUntilQuiet(const ChannelState& channel) {
    const int previous = SetReadTimeout(channel.port, kQuietUnits);
    uint8_t scratch[kDrainChunk];
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        uint32_t got = 0;
        if (ReadPort(channel.port, scratch, kDrainChunk, &got) != kSerialOk) break;
    }
    if (previous != 0) SetReadTimeout(channel.port, previous);
}

} // namespace zel
