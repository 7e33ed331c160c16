// The read transaction: its attempts and retries, and the checks of a reply.
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

// Data bytes a slave answers to the read request in `frame`: one bit per
// coil or input, two bytes per register; -1 for other functions.
int32_t AskedBytes(const uint8_t* frame) {
    const int32_t quantity = (frame[4] << 8) | frame[5];
    switch (static_cast<FunctionCode>(frame[1])) {
    case FunctionCode::kReadCoils:
    case FunctionCode::kReadDiscreteInputs:
        return (quantity + 7) / 8;
    case FunctionCode::kReadHoldingRegisters:
    case FunctionCode::kReadInputRegisters:
        return 2 * quantity;
    default:
        return -1;
    }
}

// Checks a whole frame that Receive accepted: CRC, exception flag, and that
// its data fit the request. `answered` tells whether the frame answered the
// request at all (a value or an exception), whatever the verdict.
Attempt CheckReply(const ChannelState& channel, const IoRequest& request, int32_t replyLength,
                   int mode, int attemptsLeft, bool* answered) {
    const int ch = channel.channel;
    const uint8_t* reply = channel.replyFrame;
    *answered = false;
    if (!ReplyCrcMatches(reply, replyLength)) {
        ZEL_LOG(kLogTrace, ZEL_TXT_READ_CRC, ch, kAttempts - attemptsLeft);
        return Attempt::kRefused;
    }
    if (reply[1] & kExceptionFlag) {
        *answered = true;
        ZEL_LOG(kLogTrace, ZEL_TXT_READ_EXCEPTION, ch);
        return Attempt::kRefused;
    }
    const int32_t needed = ReplyDataNeeded(request, mode);
    if (reply[2] < needed) {
        // A well-formed reply with fewer data bytes than were asked for does
        // not fit the request: never decode past its end.
        ZEL_LOG(kLogTrace, ZEL_TXT_READ_TOO_SHORT, ch, reply[2], needed);
        return Attempt::kWrong;
    }
    const int32_t asked = AskedBytes(channel.requestFrame);
    if (asked >= 0 && reply[2] != asked) {
        // A slave answers a read with exactly the bytes asked for. Any other
        // count is the late answer to an earlier request (of another size),
        // never this one's.
        ZEL_LOG(kLogTrace, ZEL_TXT_READ_OTHER_COUNT, ch, reply[2], asked);
        return Attempt::kWrong;
    }
    *answered = true;
    return Attempt::kOk;
}

} // namespace

TxnResult DoRead(ChannelState& channel, IoRequest& request, int mode) {
    const int ch = channel.channel;
    const uint8_t station = StationOf(channel, request.tag);
    if (AnsweredWithoutTrying(channel, station)) return TxnResult::kCommFailure;

    const int32_t requestLength = BuildReadRequest(request, channel.requestFrame, channel);
    AwaitReplyWindow(channel);
    // Attempts left of the transaction's kAttempts (the log calls it sRetry),
    // and the further attempts left after wrong replies, which do not count
    // against them.
    int attemptsLeft = kAttempts;
    int wrongRepliesLeft = kWrongReplyRetries;
    Attempt result = Attempt::kOk;
    int32_t replyLength = 0;
    bool lengthLogged = false;
    AttemptTrail trail;

    for (;;) {
        if (attemptsLeft < kAttempts || wrongRepliesLeft < kWrongReplyRetries) {
            if (!lengthLogged) {
                ZEL_LOG(kLogTrace, ZEL_TXT_READ_LENGTH, ch, requestLength);
                lengthLogged = true;
            }
            ZEL_LOG(kLogTrace, ZEL_TXT_READ_RETRY, ch, attemptsLeft, replyLength);
        }
        if (result == Attempt::kWrong) {
            if (wrongRepliesLeft == 0) break;
            ZEL_LOG(kLogTrace, ZEL_TXT_READ_WRONG, ch, wrongRepliesLeft);
            --wrongRepliesLeft;
        } else {
            --attemptsLeft;
        }
        // A retry goes out at once: an earlier attempt's late answer answers
        // it as well. Only the rest of a garbled reply is let pass first.
        // Bytes left on the line after one of this transaction's requests
        // show the station alive.
        const bool after = attemptsLeft < kAttempts - 1 || wrongRepliesLeft < kWrongReplyRetries;
        if (FlushBeforeAttempt(channel, TxnKind::kRead, trail.heard) != 0 && after)
            trail.replied = true;
        result = Attempt::kOk;
        trail.heard = false;
        bool answered = false;

        if (Send(channel, channel.requestFrame, requestLength) != SendResult::kSent) {
            result = Attempt::kFailed;
            ZEL_LOG(kLogTrace, ZEL_TXT_READ_NOT_SENT, ch, kAttempts - attemptsLeft);
        } else {
            const RxResult rx =
                Receive(request, channel, channel.replyFrame, &replyLength, ReplyShape::kRead);
            result = FromReception(rx);
            if (result == Attempt::kOk) {
                result = CheckReply(channel, request, replyLength, mode, attemptsLeft, &answered);
            } else {
                // An exception reply is an answer, if it is one.
                answered = rx == RxResult::kException && ReplyCrcMatches(channel.replyFrame, 5);
                if (result != Attempt::kWrong)
                    ZEL_LOG(kLogTrace, ZEL_TXT_READ_NO_REPLY, ch, kAttempts - attemptsLeft);
            }
            trail.heard = !answered && (result != Attempt::kFailed || replyLength > 0);
            if (answered || trail.heard) trail.replied = true;
        }
        if (!answered) trail.unanswered = true;
        if (!(attemptsLeft > 0 && result != Attempt::kOk)) break;
    }
    CloseTransaction(channel, trail);
    NoteReplies(channel, station, trail.replied);

    if (result == Attempt::kOk)
        return DecodeReply(request, channel.replyFrame, channel.options, mode);
    return Outcome(result);
}

} // namespace zel
