// The write transaction: at most three attempts, each expecting the fixed
// 8-byte echo of a write.
#include "driver/hostlib.h"
#include "modbus/attempt.h"
#include "modbus/drain.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"

namespace zel {

int DoWrite(DriverRequest* req, uint8_t* frame, int32_t length) {
    ChannelState& channel = *StateOf(req);
    const IoRequest& request = *static_cast<const IoRequest*>(req->argument);
    const int ch = channel.channel;

    channel.writeMode = 1;
    int result = 0;
    int attempt = 0;
    for (; attempt < 3; ++attempt) {
        if (attempt != 0) ZEL_LOG(kLogDetail, "ZELMR%02d> , Do write, retry %d", ch, attempt);
        if (attempt != 0) DrainUntilQuiet(channel);
        FlushBeforeAttempt(channel, "ZELMR%02d> DoWrite() Flush not completed");
        // A frame that could not be written shows as a failed reception.
        Send(channel, frame, length);

        int32_t replyLength = 0;
        const uint8_t* reply = channel.replyFrame;
        const int rx = Receive(request, channel, channel.replyFrame, &replyLength);
        if (rx != 0) {
            ZEL_LOG(kLogDetail, "ZELMR%02d> DoWrite() error in reply to Do Write", ch);
            if (rx > 2) {
                result = kRxWrong;
                ZEL_LOG(kLogDetail, "ZELMR%02d> DOWrite() Wrong Receive", ch);
            } else {
                result = rx;
                ZEL_LOG(kLogEvent, "ZELMR%02d> DoWrite() receive error, retry %d", ch, attempt);
            }
            continue;
        }
        if (!ReplyCrcMatches(reply, replyLength)) {
            ZEL_LOG(kLogDetail, "ZELMR%02d> Error in CRC", ch);
            ZEL_LOG(kLogEvent, "ZELMR%02d> DoWrite() error in crc, retry %d", ch, attempt);
            result = 1;
            continue;
        }
        if (reply[1] & 0x80) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> DoWrite() plc sent 0x80 => error", ch);
            ZEL_LOG(kLogDetail, "ZELMR%02d> reply buff1 = %x", ch, reply[1]);
            result = 1;
            continue;
        }
        result = 0;
        break;
    }
    // Answers to the attempts that failed may still be on their way.
    if (result != 0 || attempt > 0) DrainUntilQuiet(channel);
    if (result == kRxWrong) result = 1;
    channel.writeMode = 0;
    return result;
}

} // namespace zel
