// The read transaction with its retries, and the two read operations.
#include "driver/hostlib.h"
#include "driver/operations.h"
#include "modbus/attempt.h"
#include "modbus/drain.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"

namespace zel {
namespace {

// Data bytes a block read may ask for, as the block parser admits them.
constexpr int64_t kMaxBlockReadBytes = 250;

bool BlockFits(const IoRequest& request) {
    const int64_t bits = static_cast<int64_t>(request.count) * request.tag.width;
    return request.count > 0 && bits <= kMaxBlockReadBytes * 8;
}

// Data bytes a slave answers to the read request in `frame`: one bit per
// coil or input, two bytes per register; -1 for other functions.
int32_t AskedBytes(const uint8_t* frame) {
    const int32_t quantity = (frame[4] << 8) | frame[5];
    if (frame[1] == 1 || frame[1] == 2) return (quantity + 7) / 8;
    if (frame[1] == 3 || frame[1] == 4) return 2 * quantity;
    return -1;
}

} // namespace

int DoRead(DriverRequest* req, int mode) {
    ChannelState& channel = *StateOf(req);
    IoRequest& request = *static_cast<IoRequest*>(req->argument);
    const int ch = channel.channel;

    channel.writeMode = 0;
    int32_t requestLength = 0;
    BuildReadRequest(request, channel.requestFrame, &requestLength, channel);
    int sRetry = 3;
    int wrongLeft = 3;
    int result = 0;
    int32_t replyLength = 0;
    bool lengthLogged = false;

    for (;;) {
        if (sRetry < 3 || wrongLeft < 3) {
            if (!lengthLogged) {
                ZEL_LOG(kLogTrace, "%02d> DoRead() : len=%d", ch, requestLength);
                lengthLogged = true;
            }
            ZEL_LOG(kLogTrace, "%02d> DoRead() : sRetry=%d, reply_len=%d", ch, sRetry, replyLength);
        }
        if (result == kRxWrong) {
            if (wrongLeft == 0) break;
            ZEL_LOG(kLogTrace, "%02d> Wrong receive (still %d tries)", ch, wrongLeft);
            --wrongLeft;
        } else {
            --sRetry;
        }
        if (result != 0) DrainUntilQuiet(channel);
        result = 0;

        FlushBeforeAttempt(channel, "ZELMR%02d> DoRead() Flush not completed");
        if (Send(channel, channel.requestFrame, requestLength) != 0) {
            result = 2;
            ZEL_LOG(kLogTrace, "ZELMR%02d> DoRead() error sending request, retry %d", ch,
                    3 - sRetry);
        } else {
            const int rx = Receive(request, channel, channel.replyFrame, &replyLength);
            const uint8_t* reply = channel.replyFrame;
            if (rx > 2) {
                result = kRxWrong;
            } else if (rx != 0) {
                result = rx;
                ZEL_LOG(kLogTrace, "ZELMR%02d> DoRead() error reading reply, retry %d", ch,
                        3 - sRetry);
            } else if (!ReplyCrcMatches(reply, replyLength)) {
                result = 1;
                ZEL_LOG(kLogTrace, "ZELMR%02d> DoRead() crc error, retry %d", ch, 3 - sRetry);
            } else if (reply[1] & 0x80) {
                result = 1;
                ZEL_LOG(kLogTrace, "ZELMR%02d> DoRead() received 0x80 error code", ch);
            } else if (reply[2] < ReplyDataNeeded(request, mode)) {
                // A well-formed reply with fewer data bytes than were asked
                // for does not fit the request: never decode past its end.
                result = kRxWrong;
                ZEL_LOG(kLogTrace,
                        "ZELMR%02d> DoRead() reply too short, %d data bytes for %d requested", ch,
                        reply[2], ReplyDataNeeded(request, mode));
            } else if (AskedBytes(channel.requestFrame) >= 0 &&
                       reply[2] != AskedBytes(channel.requestFrame)) {
                // A slave answers a read with exactly the bytes asked for. Any
                // other count is the late answer to an earlier request (of
                // another size), never this one's.
                result = kRxWrong;
                ZEL_LOG(kLogTrace, "ZELMR%02d> DoRead() reply of %d data bytes, %d asked for", ch,
                        reply[2], AskedBytes(channel.requestFrame));
            }
        }
        if (!(sRetry > 0 && result != 0)) break;
    }
    // Answers to the attempts that failed may still be on their way.
    if (result != 0 || sRetry < 2 || wrongLeft < 3) DrainUntilQuiet(channel);

    if (result == 0) return DecodeReply(request, channel.replyFrame, channel.options, mode);
    return result == kRxWrong ? 1 : result;
}

int32_t SingleRead(DriverRequest* req) {
    if (StateOf(req)->portOpen == 0) return kRefused;
    const int rc = DoRead(req, kReadSingle);
    if (rc != 0)
        ZEL_LOG(kLogTrace, "ZELMR%02d> SingleRead() , ret val is %d", StateOf(req)->channel, rc);
    return rc;
}

int32_t BlockRead(DriverRequest* req) {
    if (StateOf(req)->portOpen == 0) return kRefused;
    // A count beyond what the block parser admits is refused before anything
    // is sent: the reply could not hold it and the host's buffer is not sized
    // for it.
    const IoRequest& request = *static_cast<const IoRequest*>(req->argument);
    const int rc = BlockFits(request) ? DoRead(req, kReadBlock) : kRefused;
    if (rc != 0)
        ZEL_LOG(kLogTrace, "ZELMR%02d> BlockRead() , ret val is %d", StateOf(req)->channel, rc);
    return rc;
}

} // namespace zel
