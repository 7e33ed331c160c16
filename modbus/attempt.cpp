#include "modbus/attempt.h"

#include "core/log.h"
#include "modbus/crc16.h"
#include "serial/serial.h"

namespace zel {

void FlushBeforeAttempt(const ChannelState& channel, TxnKind kind) {
    int32_t flushesLeft = channel.timeout / 5;
    while (!FlushInput(channel.port)) {
        if (kind == TxnKind::kRead)
            ZEL_LOG(kLogTrace, "ZELMR%02d> DoRead() Flush not completed", channel.channel);
        else
            ZEL_LOG(kLogTrace, "ZELMR%02d> DoWrite() Flush not completed", channel.channel);
        if (--flushesLeft <= 0) break;
    }
}

Attempt FromReception(RxResult rx) {
    switch (rx) {
    case RxResult::kOk:
        return Attempt::kOk;
    case RxResult::kException:
        return Attempt::kRefused;
    case RxResult::kTimeout:
        return Attempt::kFailed;
    case RxResult::kWrong:
        return Attempt::kWrong;
    }
    return Attempt::kFailed;
}

TxnResult Outcome(Attempt last) {
    switch (last) {
    case Attempt::kOk:
        return TxnResult::kOk;
    case Attempt::kFailed:
        return TxnResult::kCommFailure;
    case Attempt::kRefused:
    case Attempt::kWrong:
        return TxnResult::kRefused;
    }
    return TxnResult::kCommFailure;
}

void NoteReception(LateInput& late, RxResult rx, int32_t replyLength) {
    late.nothingCame = rx == RxResult::kTimeout && replyLength == 0;
    if (!late.nothingCame) late.heard = true;
}

void DiscardAfterFailure(ChannelState& channel, Attempt failed, LateInput& late) {
    const bool timedOut = failed == Attempt::kFailed;
    const bool awaitLate = timedOut && late.nothingCame && !late.silent;
    const uint32_t n =
        DiscardLateInput(channel.port, channel.line, awaitLate, channel.timeout, channel.channel);
    if (awaitLate && n == 0) late.silent = true;
    if (n != 0) late.heard = true;
    if (timedOut) late.discarded += n;
}

void EndTransaction(ChannelState& channel, Attempt last, bool retried, LateInput& late) {
    if (last != Attempt::kOk)
        DiscardAfterFailure(channel, last, late);
    else if (retried)
        DiscardLateInput(channel.port, channel.line, false, 0, channel.channel);
    if (late.discarded != 0)
        ZEL_LOG(kLogTrace,
                "ZELMR%02d> %u late bytes discarded: the reply time-out is shorter than the "
                "slave's answer time",
                static_cast<int>(channel.channel), static_cast<unsigned>(late.discarded));
}

bool ReplyCrcMatches(const uint8_t* reply, int32_t length) {
    if (length < 2) return false;
    const uint16_t crc = Crc16(reply, length - 2);
    return reply[length - 1] == static_cast<uint8_t>(crc >> 8) &&
           reply[length - 2] == static_cast<uint8_t>(crc);
}

} // namespace zel
