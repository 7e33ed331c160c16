// Sending one request frame: inter-frame gap, stale-input flush, CRC, RTS
// keying and the write itself.
#include "driver/hostlib.h"
#include "modbus/crc16.h"
#include "modbus/transport.h"
#include "serial/comm_api.h"
#include "serial/serial.h"

namespace zel {
namespace {

// Upper bound of the 1 ms polls for an empty output queue before RTS is
// lowered: enough for the longest frame at 300 baud, so that a queue that
// never drains cannot hold the caller's thread for ever.
constexpr int kMaxDrainPolls = 10000;

void InterFrameGap(const ChannelState& channel) {
    if (channel.ifgMs != 0) {
        comm.Sleep(channel.ifgMs);
    } else if (channel.ifgLoops != 0) {
        // The passes are the gap: the volatile counter keeps the loop alive.
        const uint32_t passes = static_cast<uint32_t>(channel.ifgLoops) * 100u;
        for (volatile uint32_t i = 0; i < passes; i = i + 1) {
        }
    }
}

void RaiseRts(const ChannelState& channel) {
    if (!comm.EscapeCommFunction(channel.port, SETRTS))
        ZEL_LOG(kLogTrace, "ZELMR%02d> Send() EscapeCommFunction() failed", channel.channel);
}

// Waits until the output queue is empty (one 1 ms sleep after the first
// empty report), then lowers RTS.
void DropRtsWhenSent(const ChannelState& channel) {
    for (int polls = 0; polls < kMaxDrainPolls; ++polls) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!comm.ClearCommError(channel.port, &errors, &stat)) {
            ZEL_LOG(kLogTrace, "ZELMR%02d> Send() ClearCommError() failed", channel.channel);
            break;
        }
        comm.Sleep(1);
        if (stat.cbOutQue == 0) break;
    }
    if (!comm.EscapeCommFunction(channel.port, CLRRTS))
        ZEL_LOG(kLogTrace, "ZELMR%02d> Send() EscapeCommFunction() failed", channel.channel);
}

} // namespace

int Send(ChannelState& channel, uint8_t* frame, int32_t length) {
    InterFrameGap(channel);
    FlushInput(channel.port);

    const uint16_t crc = Crc16(frame, length);
    frame[length] = static_cast<uint8_t>(crc);
    frame[length + 1] = static_cast<uint8_t>(crc >> 8);
    length += 2;

    if (channel.rtsControl != 0) RaiseRts(channel);
    uint32_t written = 0;
    const int rc = WritePort(channel.port, frame, static_cast<uint32_t>(length), &written);
    if (channel.rtsControl != 0) DropRtsWhenSent(channel);

    if (rc == kSerialOk) return 0;
    ZEL_LOG(kLogTrace, "ZELMR%02d> SEND> Unable to send message.", channel.channel);
    return 2;
}

} // namespace zel
