// Receiving one reply: header, then the exception tail or the byte count and
// data, each piece checked against the request before the next is read.
#include "core/areas.h"
#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/attempt.h"
#include "modbus/bytes.h"
#include "modbus/transport.h"
#include "serial/serial.h"

namespace zel {
namespace {

// Header, byte count, at most 255 data bytes and the CRC.
constexpr int kLongestReply = 3 + 255 + 2;
static_assert(kLongestReply <= kReplyFrameSize, "the reply buffer holds the longest reply");

// Reads the exception code and CRC behind the header and reports them.
RxResult ReceiveException(const IoRequest& request, ChannelState& channel, uint8_t* buffer,
                          int32_t* length, uint32_t* received) {
    const int ch = channel.channel;
    if (buffer[1] != (channel.requestFrame[1] | kExceptionFlag))
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_EXCEPTION_OTHER_FUNCTION, ch);

    uint32_t got = 0;
    if (ReadPort(channel.port, buffer + 2, 3, &got) != SerialResult::kOk) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_NO_EXCEPTION_TAIL, ch, static_cast<int>(got));
        return RxResult::kTimeout;
    }
    *received += got;
    if (got < 3) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_SHORT_EXCEPTION_TAIL, ch, static_cast<int>(got));
        return RxResult::kWrong;
    }
    *length = 5;

    // The codes and their texts: core/log_texts.h.
    const uint8_t code = buffer[2];
    const ExceptionCode& info = ExceptionOf(code);
    ZEL_LOG(kLogTrace, ZEL_TXT_RX_EXCEPTION, ch, info.logText);
    const char* gas = request.gas ? request.gas : "";
    if (code == 4 || code == 5)
        ZEL_LOG(kLogEvent, ZEL_TXT_RX_EXCEPTION_GATE, ch, gas, request.count, info.driverText);
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_RX_EXCEPTION_TAG, ch, gas, request.count, info.driverText);
    return info.failsReception ? RxResult::kException : RxResult::kOk;
}

// The pieces of one reply; `received` counts every byte read into `buffer`.
RxResult ReceivePieces(const IoRequest& request, ChannelState& channel, uint8_t* buffer,
                       int32_t* length, ReplyShape shape, uint32_t* received) {
    const int ch = channel.channel;
    *length = 0;

    uint32_t got = 0;
    if (ReadPort(channel.port, buffer, 2, &got) != SerialResult::kOk) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_NO_HEADER, ch, static_cast<int>(got));
        return RxResult::kTimeout;
    }
    *received += got;

    // The station byte is compared with the station the request went to.
    const bool overridden = channel.slaveOverride != 0;
    const unsigned expected =
        static_cast<unsigned>(overridden ? channel.slaveOverride : request.tag.plc);
    const unsigned station = buffer[0];
    if (buffer[0] != StationOf(channel, request.tag)) {
        ZEL_LOG(kLogTrace,
                overridden
                    ? "ZELMR%02d> Wrong plc slave number .%xh received, expect slave number %Xh"
                    : "ZELMR%02d> Wrong plc addr.%xh received, expect slave number %Xh",
                ch, station, expected);
        return RxResult::kWrong;
    }
    if (got < 2) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_SHORT_HEADER, ch, static_cast<int>(got));
        ZEL_LOG(
            kLogTrace,
            overridden
                ? "ZELMR%02d> Only right plc slave number .%xh received, expect slave number %Xh"
                : "ZELMR%02d> Only right plc addr.%xh received, expect slave number %Xh",
            ch, station, expected);
        return RxResult::kWrong;
    }
    *length = 2;

    if (buffer[1] & kExceptionFlag)
        return ReceiveException(request, channel, buffer, length, received);

    if (buffer[1] != channel.requestFrame[1]) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_OTHER_FUNCTION, ch);
        return RxResult::kWrong;
    }

    uint16_t rest = 6; // echo of a write: address, value or quantity, CRC
    if (shape != ReplyShape::kWriteEcho) {
        if (ReadPort(channel.port, buffer + 2, 1, &got) != SerialResult::kOk) {
            ZEL_LOG(kLogTrace, ZEL_TXT_RX_NO_COUNT, ch, static_cast<int>(got));
            return RxResult::kTimeout;
        }
        rest = static_cast<uint16_t>(buffer[2] + 2); // data and CRC, at most 257
        *length += 1;
        *received += got;
    }

    if (ReadPort(channel.port, buffer + *length, rest, &got) != SerialResult::kOk) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_NO_DATA, ch, static_cast<int>(got));
        return RxResult::kTimeout;
    }
    *length += static_cast<int32_t>(got);
    *received += got;
    if (got < rest) {
        ZEL_LOG(kLogTrace, ZEL_TXT_RX_SHORT_DATA, ch, static_cast<int>(rest),
                static_cast<int>(got));
        return RxResult::kWrong;
    }
    return RxResult::kOk;
}

} // namespace

RxResult Receive(const IoRequest& request, ChannelState& channel, uint8_t* buffer, int32_t* length,
                 ReplyShape shape) {
    uint32_t received = 0;
    const RxResult rx = ReceivePieces(request, channel, buffer, length, shape, &received);
    if (received != 0) {
        // The line was busy until now; with frame lines on, what came is
        // logged as it came, with the time since the request had left.
        NoteTraffic(channel.line);
        if (channel.traceFrames) {
            const uint64_t after = UsAfterRequest(channel.line);
            char hex[kHexFrameSize];
            ZEL_LOG(kLogDetail, ZEL_TXT_RECEIVE_FRAME, static_cast<int>(channel.channel),
                    static_cast<unsigned>(after / 1000u), static_cast<unsigned>(after % 1000u),
                    HexBytes(buffer, received, hex, sizeof hex));
        }
    }
    return rx;
}

} // namespace zel
