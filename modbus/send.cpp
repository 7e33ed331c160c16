// Sending one request frame: the inter-frame gap (and what came during it
// discarded), the CRC, and the write with RTS keyed around it when the
// channel asks for it. With frame lines on, every frame sent is logged at
// the most detailed level.
#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/attempt.h"
#include "modbus/crc16.h"
#include "modbus/transport.h"
#include "serial/serial.h"

namespace zel {

SendResult Send(ChannelState& channel, uint8_t* frame, int32_t length) {
    const int ch = channel.channel;
    // What came during the gap is discarded. Without a gap there is
    // nothing new: the transaction has flushed just before.
    if (channel.ifgMs != 0 || channel.ifgLoops != 0) {
        InterFrameGap(channel.ifgMs, channel.ifgLoops);
        uint8_t kept[kKeptBytes];
        LogDiscarded(
            channel,
            DiscardWaiting(channel.port, &channel.line, kept, channel.traceFrames ? kKeptBytes : 0),
            kept);
    }

    const uint16_t crc = Crc16(frame, length);
    frame[length] = static_cast<uint8_t>(crc);
    frame[length + 1] = static_cast<uint8_t>(crc >> 8);
    length += 2;

    const KeyedWrite w = WriteRequest(channel.port, frame, static_cast<uint32_t>(length),
                                      channel.rtsControl != 0, channel.line);
    if (w.raiseFailed) ZEL_LOG(kLogTrace, ZEL_TXT_SEND_RTS_FAILED, ch);
    if (w.queueQueryFailed) ZEL_LOG(kLogTrace, ZEL_TXT_SEND_QUEUE_FAILED, ch);
    if (w.lowerFailed) ZEL_LOG(kLogTrace, ZEL_TXT_SEND_RTS_FAILED, ch);
    if (channel.traceFrames) {
        char hex[kHexFrameSize];
        ZEL_LOG(kLogDetail, ZEL_TXT_SEND_FRAME, ch,
                HexBytes(frame, static_cast<size_t>(length), hex, sizeof hex));
    }

    if (w.write == SerialResult::kOk) return SendResult::kSent;
    ZEL_LOG(kLogTrace, ZEL_TXT_SEND_FAILED, ch);
    return SendResult::kNotSent;
}

} // namespace zel
