#include "modbus/attempt.h"

#include "core/areas.h"
#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/crc16.h"
#include "serial/serial.h"

namespace zel {
namespace {

// The reply time-out in milliseconds; one of 0 or below stands for the
// open-time 1000 ms, as the port takes it.
uint64_t TimeoutMs(int32_t timeout) {
    return timeout > 0 ? 10u * static_cast<uint64_t>(timeout) : 1000u;
}

uint32_t FlushBoundMs(int32_t timeout) {
    const uint64_t t = TimeoutMs(timeout);
    return t < kFlushBoundMs ? static_cast<uint32_t>(t) : kFlushBoundMs;
}

} // namespace

uint64_t UsAfterRequest(const LineState& line) {
    return line.requestSentUs != 0 && line.lastActivityUs > line.requestSentUs
               ? line.lastActivityUs - line.requestSentUs
               : 0;
}

void LogDiscarded(const ChannelState& channel, const Discarded& d, const uint8_t* kept) {
    if (d.count == 0) return;
    const int ch = channel.channel;
    const uint64_t after = UsAfterRequest(channel.line);
    const unsigned ms = static_cast<unsigned>(after / 1000u);
    const unsigned us = static_cast<unsigned>(after % 1000u);
    if (channel.traceFrames && kept) {
        char hex[kHexFrameSize];
        ZEL_LOG(kLogTrace, ZEL_TXT_DRAIN_BYTES, ch, static_cast<unsigned>(d.count), ms, us,
                HexBytes(kept, d.kept, hex, sizeof hex));
    } else {
        ZEL_LOG(kLogTrace, ZEL_TXT_DRAIN, ch, static_cast<unsigned>(d.count), ms, us);
    }
}

void AwaitReplyWindow(ChannelState& channel) {
    LineState& line = channel.line;
    const uint64_t end = line.replyWindowEndUs;
    if (end == 0) return;
    line.replyWindowEndUs = 0;
    const uint64_t now = NowUs();
    if (now == 0 || now >= end) return;
    // The window counts from the last byte on the line: while late bytes
    // keep coming (a long reply, or several queued ones), it moves on with
    // them (three attempts and three wrong replies' retries of a 125-register
    // read: 1,530 bytes, 0.9 s at 19200 baud). Never longer than four windows
    // or 2 s from now, whichever is longer, whatever the line does.
    const uint64_t window = 2000u * TimeoutMs(channel.timeout);
    const uint64_t longest = now + (4u * window > 2000000u ? 4u * window : 2000000u);
    uint8_t kept[kKeptBytes];
    uint32_t late = 0;
    uint64_t until = end;
    for (int passes = 0; passes < 64; ++passes) {
        const Discarded d = DiscardUntil(channel.port, &line, until < longest ? until : longest,
                                         kept, channel.traceFrames ? kKeptBytes : 0);
        LogDiscarded(channel, d, kept);
        late += d.count;
        if (d.count == 0 || d.readFailed) break;
        until = line.lastActivityUs + window;
        const uint64_t at = NowUs();
        if (at == 0 || at >= until || at >= longest) break;
    }
    if (late != 0)
        ZEL_LOG(kLogTrace, ZEL_TXT_LATE_BYTES, static_cast<int>(channel.channel),
                static_cast<unsigned>(late));
}

void CloseTransaction(ChannelState& channel, const AttemptTrail& trail) {
    if (!trail.unanswered) return;
    LineState& line = channel.line;
    // A retry that took an earlier attempt's late answer has its own answer
    // still to come: from a slave that queues requests, up to twice the
    // time-out after the answer it took. So the window counts from the last
    // byte either way, not only from the last request.
    const uint64_t last = line.lastActivityUs != 0 ? line.lastActivityUs : NowUs();
    line.replyWindowEndUs = last + 2000u * TimeoutMs(channel.timeout);
}

uint32_t FlushBeforeAttempt(ChannelState& channel, TxnKind kind, bool awaitQuiet) {
    const uint32_t bound = FlushBoundMs(channel.timeout);
    int32_t flushesLeft = channel.timeout / 5;
    uint8_t kept[kKeptBytes];
    uint32_t discarded = 0;
    for (;;) {
        const Discarded d = FlushLine(channel.port, &channel.line, bound, awaitQuiet, kept,
                                      channel.traceFrames ? kKeptBytes : 0);
        LogDiscarded(channel, d, kept);
        discarded += d.count;
        if (!d.readFailed) break;
        if (kind == TxnKind::kRead)
            ZEL_LOG(kLogTrace, ZEL_TXT_READ_FLUSH_FAILED, channel.channel);
        else
            ZEL_LOG(kLogTrace, ZEL_TXT_WRITE_FLUSH_FAILED, channel.channel);
        if (--flushesLeft <= 0) break;
    }
    return discarded;
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

bool KnownArea(const ChannelState& channel, const IoRequest& request, const char* operation) {
    if (AreaOf(request.tag.memoryType)) return true;
    ZEL_LOG(kLogEvent, ZEL_TXT_UNKNOWN_AREA, channel.channel, operation,
            static_cast<int>(request.tag.memoryType));
    return false;
}

bool ReplyCrcMatches(const uint8_t* reply, int32_t length) {
    if (length < 2) return false;
    const uint16_t crc = Crc16(reply, length - 2);
    return reply[length - 1] == static_cast<uint8_t>(crc >> 8) &&
           reply[length - 2] == static_cast<uint8_t>(crc);
}

} // namespace zel
