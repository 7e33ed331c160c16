// Receiving one reply: header, then the exception tail or the byte count and
// data, each piece checked against the request before the next is read.
#include "driver/hostlib.h"
#include "modbus/bytes.h"
#include "modbus/transport.h"
#include "serial/serial.h"

namespace zel {
namespace {

// Header, byte count, at most 255 data bytes and the CRC.
constexpr int kLongestReply = 3 + 255 + 2;
static_assert(kLongestReply <= kReplyFrameSize, "the reply buffer holds the longest reply");

struct ExceptionInfo {
    const char* logText;
    const char* errorText;
    int result;
};

ExceptionInfo Describe(uint8_t code) {
    switch (code) {
    case 1:
        return {"ZELMR%02d> (MB-protocol) Illegal function", "Illegal Function Code", kRxOk};
    case 2:
        return {"ZELMR%02d> (MB-protocol) Illegal data address", "Illegal Data Address",
                kRxException};
    case 3:
        return {"ZELMR%02d> (MB-protocol) Illegal data value", "Illegal Data Value", kRxException};
    case 4:
        return {"ZELMR%02d> (MB-protocol) Failure in associated device",
                "Failure in associated device", kRxException};
    case 5:
        return {"ZELMR%02d> (MB-protocol) Acknowledge (processing)", "Acknowledge (processing)",
                kRxException};
    case 6:
        return {"ZELMR%02d> (MB-protocol) Busy, rejected message", "Busy, rejected message", kRxOk};
    case 7:
        return {"ZELMR%02d> (MB-protocol) Negative acknowledgment", "Negative acknowledgment",
                kRxOk};
    case 8:
        return {"ZELMR%02d> (MB-protocol) Memory parity error", "Memory parity error", kRxOk};
    default:
        return {"ZELMR%02d> (MB-protocol error)", "(MB-protocol error)", kRxOk};
    }
}

// Reads the exception code and CRC behind the header and reports them.
int ReceiveException(const IoRequest& request, const ChannelState& channel, uint8_t* buffer,
                     int32_t* length) {
    const int ch = channel.channel;
    if (buffer[1] != (channel.requestFrame[1] | 0x80))
        ZEL_LOG(kLogTrace, "ZELMR%02d> Different function with 0x80 returned", ch);

    uint32_t got = 0;
    if (ReadPort(channel.port, buffer + 2, 3, &got) != kSerialOk) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Receive() timeout 2nd part message (iRead=%d)", ch,
                static_cast<int>(got));
        return kRxTimeout;
    }
    if (got < 3) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Receive() wrong length 2nd part message iRead=%d", ch,
                static_cast<int>(got));
        return kRxWrong;
    }
    *length = 5;

    const uint8_t code = buffer[2];
    const ExceptionInfo info = Describe(code);
    ZEL_LOG(kLogTrace, info.logText, ch);
    const char* gas = request.gas ? request.gas : "";
    if (code == 4 || code == 5)
        ZEL_LOG(kLogEvent, "ZELMR%02d> Receive() '%s' Blocksize %d failed errorcode: '%s'", ch, gas,
                request.count, info.errorText);
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Receive() tag '%s' Blocksize %d failed errorcode: '%s'", ch,
                gas, request.count, info.errorText);
    return info.result;
}

} // namespace

int Receive(const IoRequest& request, ChannelState& channel, uint8_t* buffer, int32_t* length) {
    const int ch = channel.channel;
    *length = 0;

    uint32_t got = 0;
    if (ReadPort(channel.port, buffer, 2, &got) != kSerialOk) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Recieve() timeout 1 (iRead=%d)", ch, static_cast<int>(got));
        return kRxTimeout;
    }

    // The station byte is compared with the station the request went to.
    const bool overridden = channel.slaveOverride != 0;
    const int32_t expected = overridden ? channel.slaveOverride : request.tag.plc;
    if (buffer[0] != StationOf(channel, request.tag)) {
        ZEL_LOG(kLogTrace,
                overridden
                    ? "ZELMR%02d> Wrong plc slave number .%xh received, expect slave number %Xh"
                    : "ZELMR%02d> Wrong plc addr.%xh received, expect slave number %Xh",
                ch, buffer[0], expected);
        return kRxWrong;
    }
    if (got < 2) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Recieve() wrong length reading header (iRead=%d)", ch,
                static_cast<int>(got));
        ZEL_LOG(
            kLogTrace,
            overridden
                ? "ZELMR%02d> Only right plc slave number .%xh received, expect slave number %Xh"
                : "ZELMR%02d> Only right plc addr.%xh received, expect slave number %Xh",
            ch, buffer[0], expected);
        return kRxWrong;
    }
    *length = 2;

    if (buffer[1] & 0x80) return ReceiveException(request, channel, buffer, length);

    if (buffer[1] != channel.requestFrame[1]) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Different function returned", ch);
        return kRxWrong;
    }

    uint16_t rest = 6; // echo of a write: address, value or quantity, CRC
    if (channel.writeMode != 1) {
        if (ReadPort(channel.port, buffer + 2, 1, &got) != kSerialOk) {
            ZEL_LOG(kLogTrace, "ZELMR%02d> Receive() error reading data part message (iRead=%d)",
                    ch, static_cast<int>(got));
            return kRxTimeout;
        }
        rest = static_cast<uint16_t>(buffer[2] + 2); // data and CRC, at most 257
        *length += 1;
    }

    if (ReadPort(channel.port, buffer + *length, rest, &got) != kSerialOk) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Recieve() reading timeout last data part message (iRead=%d)",
                ch, static_cast<int>(got));
        return kRxTimeout;
    }
    *length += static_cast<int32_t>(got);
    if (got < rest) {
        ZEL_LOG(kLogTrace,
                "ZELMR%02d> Receive() wrong length last data part message. iToRead %d, iRead %d",
                ch, static_cast<int>(rest), static_cast<int>(got));
        return kRxWrong;
    }
    return kRxOk;
}

} // namespace zel
