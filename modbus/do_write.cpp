// The write transaction: at most three attempts, each expecting the fixed
// 8-byte echo of a write.
#include "core/areas.h"
#include "core/log.h"
#include "modbus/attempt.h"
#include "modbus/demotion.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"
#include "serial/serial.h"

namespace zel {

TxnResult DoWrite(ChannelState& channel, const IoRequest& request, uint8_t* frame, int32_t length) {
    const int ch = channel.channel;
    if (AnsweredWithoutTrying(channel, frame[0])) return TxnResult::kCommFailure;

    channel.writeMode = 1;
    Attempt result = Attempt::kOk;
    LateInput late;
    int attempt = 0;
    for (; attempt < 3; ++attempt) {
        if (attempt != 0) ZEL_LOG(kLogDetail, "ZELMR%02d> , Do write, retry %d", ch, attempt);
        if (attempt != 0) DiscardAfterFailure(channel, result, late);
        FlushBeforeAttempt(channel, TxnKind::kWrite);
        // A frame that could not be written shows as a failed reception.
        Send(channel, frame, length);

        int32_t replyLength = 0;
        const uint8_t* reply = channel.replyFrame;
        const RxResult rx = Receive(request, channel, channel.replyFrame, &replyLength);
        NoteReception(late, rx, replyLength);
        if (rx != RxResult::kOk) {
            ZEL_LOG(kLogDetail, "ZELMR%02d> DoWrite() error in reply to Do Write", ch);
            result = FromReception(rx);
            if (result == Attempt::kWrong)
                ZEL_LOG(kLogDetail, "ZELMR%02d> DOWrite() Wrong Receive", ch);
            else
                ZEL_LOG(kLogEvent, "ZELMR%02d> DoWrite() receive error, retry %d", ch, attempt);
            continue;
        }
        if (!ReplyCrcMatches(reply, replyLength)) {
            ZEL_LOG(kLogDetail, "ZELMR%02d> Error in CRC", ch);
            ZEL_LOG(kLogEvent, "ZELMR%02d> DoWrite() error in crc, retry %d", ch, attempt);
            result = Attempt::kRefused;
            continue;
        }
        if (reply[1] & kExceptionFlag) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> DoWrite() plc sent 0x80 => error", ch);
            ZEL_LOG(kLogDetail, "ZELMR%02d> reply buff1 = %x", ch, static_cast<unsigned>(reply[1]));
            result = Attempt::kRefused;
            continue;
        }
        result = Attempt::kOk;
        break;
    }
    EndTransaction(channel, result, attempt > 0, late);
    NoteReplies(channel, frame[0], late.heard);
    channel.writeMode = 0;
    return Outcome(result);
}

} // namespace zel
