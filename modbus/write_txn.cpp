// The write transaction: at most kAttempts attempts, each expecting the
// fixed 8-byte echo of a write.
#include "core/areas.h"
#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/attempt.h"
#include "modbus/demotion.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"
#include "serial/serial.h"

namespace zel {
namespace {

// The echo of a write repeats the request's address and its value (5, 6)
// or quantity (15, 16). An echo of other bytes answers another request: a
// write to that register, made or not, says nothing of this one.
bool EchoMatches(const ChannelState& channel, const uint8_t* frame, const uint8_t* reply) {
    for (int i = 2; i < 6; ++i)
        if (reply[i] != frame[i]) {
            ZEL_LOG(kLogTrace, ZEL_TXT_WRITE_WRONG_ECHO, channel.channel, reply[2], reply[3],
                    reply[4], reply[5], frame[2], frame[3], frame[4], frame[5]);
            return false;
        }
    return true;
}

// One attempt: the flush, the request and its echo. `answered`: the slave
// answered this request (an echo or an exception); `heard`: bytes came that
// were no such answer.
Attempt WriteAttempt(ChannelState& channel, const IoRequest& request, uint8_t* frame,
                     int32_t length, int attempt, bool* answered, bool* heard) {
    const int ch = channel.channel;
    *answered = false;
    *heard = false;
    // A frame that could not be written awaits no reply.
    if (Send(channel, frame, length) != SendResult::kSent) {
        ZEL_LOG(kLogEvent, ZEL_TXT_WRITE_NOT_SENT, ch, attempt);
        return Attempt::kFailed;
    }

    int32_t replyLength = 0;
    const uint8_t* reply = channel.replyFrame;
    const RxResult rx =
        Receive(request, channel, channel.replyFrame, &replyLength, ReplyShape::kWriteEcho);
    if (rx != RxResult::kOk) {
        ZEL_LOG(kLogDetail, ZEL_TXT_WRITE_BAD_REPLY, ch);
        const Attempt result = FromReception(rx);
        if (result == Attempt::kWrong)
            ZEL_LOG(kLogDetail, ZEL_TXT_WRITE_WRONG, ch);
        else
            ZEL_LOG(kLogEvent, ZEL_TXT_WRITE_NO_REPLY, ch, attempt);
        *answered = rx == RxResult::kException && ReplyCrcMatches(reply, 5);
        *heard = !*answered && (result != Attempt::kFailed || replyLength > 0);
        return result;
    }
    if (!ReplyCrcMatches(reply, replyLength)) {
        ZEL_LOG(kLogDetail, ZEL_TXT_WRITE_CRC_DETAIL, ch);
        ZEL_LOG(kLogEvent, ZEL_TXT_WRITE_CRC, ch, attempt);
        *heard = true;
        return Attempt::kRefused;
    }
    *answered = true;
    if (reply[1] & kExceptionFlag) {
        ZEL_LOG(kLogEvent, ZEL_TXT_WRITE_EXCEPTION, ch);
        ZEL_LOG(kLogDetail, ZEL_TXT_WRITE_REPLY_FUNCTION, ch, static_cast<unsigned>(reply[1]));
        return Attempt::kRefused;
    }
    if (!EchoMatches(channel, frame, reply)) {
        *answered = false;
        *heard = true;
        return Attempt::kWrong;
    }
    return Attempt::kOk;
}

} // namespace

TxnResult DoWrite(ChannelState& channel, const IoRequest& request, uint8_t* frame, int32_t length) {
    if (AnsweredWithoutTrying(channel, frame[0])) return TxnResult::kCommFailure;

    AwaitReplyWindow(channel);
    Attempt result = Attempt::kOk;
    AttemptTrail trail;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt != 0) ZEL_LOG(kLogDetail, ZEL_TXT_WRITE_RETRY, channel.channel, attempt);
        // Bytes left on the line after one of this transaction's requests
        // show the station alive.
        if (FlushBeforeAttempt(channel, TxnKind::kWrite, trail.heard) != 0 && attempt != 0)
            trail.replied = true;
        bool answered = false;
        result = WriteAttempt(channel, request, frame, length, attempt, &answered, &trail.heard);
        if (!answered) trail.unanswered = true;
        if (answered || trail.heard) trail.replied = true;
        if (result == Attempt::kOk) break;
    }
    CloseTransaction(channel, trail);
    NoteReplies(channel, frame[0], trail.replied);
    return Outcome(result);
}

} // namespace zel
