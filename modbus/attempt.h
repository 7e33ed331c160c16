// Steps shared by the read and the write transaction: the reply window of an
// earlier transaction, the flush before each attempt, and how an attempt
// ended.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"
#include "serial/serial.h"

namespace zel {

enum class TxnKind { kRead, kWrite };

// The attempts of a transaction: the first request and two retries.
constexpr int kAttempts = 3;
// The further attempts a read makes after wrong replies (another station's,
// another function's, or a late answer to an earlier request), beyond
// kAttempts; a write has none.
constexpr int kWrongReplyRetries = 3;

// How one attempt of a transaction ended. A wrong reply is told apart from
// other protocol errors until the transaction ends: reads retry it on a
// budget of its own.
enum class Attempt { kOk, kRefused, kFailed, kWrong };

// The attempt's end as far as the reception tells it.
Attempt FromReception(RxResult rx);

// The transaction's result after its last attempt.
TxnResult Outcome(Attempt last);

// What the attempts of one transaction have shown so far.
struct AttemptTrail {
    // Some attempt went without a whole frame that answered it: its answer,
    // or that of a retry, may still be on its way.
    bool unanswered = false;
    // The last attempt received bytes that were no good answer: the rest of
    // them may still be coming.
    bool heard = false;
    // Some byte came back after a request of the transaction, discarded or
    // not: the station is alive, whatever the bytes were.
    bool replied = false;
};

// Before a transaction's first request: when an earlier transaction left
// requests unanswered, discards input until their reply window has passed
// (nothing when it already has), and logs late bytes it found.
void AwaitReplyWindow(ChannelState& channel);

// After the last attempt: when some attempt went unanswered, no other
// request may go out before the window of this transaction's replies has
// passed (twice the reply time-out after the last byte on the line), which
// the next transaction waits for.
void CloseTransaction(ChannelState& channel, const AttemptTrail& trail);

// Discards input before an attempt within the channel's flush bound (the
// flushing read's 50 ms, or the reply time-out where shorter): while the
// flush cannot complete, logs that it did not and tries again, at most
// timeout/5 flushes (and always one). After an attempt that heard bytes it
// waits for the line to fall quiet, even when nothing waits yet. Returns the
// number of bytes discarded.
uint32_t FlushBeforeAttempt(ChannelState& channel, TxnKind kind, bool awaitQuiet);

// Logs one line for a flush that discarded bytes: how many, and with frame
// lines on, which.
void LogDiscarded(const ChannelState& channel, const Discarded& d, const uint8_t* kept);

// Room for the bytes of a discard shown in one log line.
constexpr uint32_t kKeptBytes = 260;

// False, with a line naming `operation`, for a memory type that no gate
// address gives: it has no function to send, and nothing is sent.
bool KnownArea(const ChannelState& channel, const IoRequest& request, const char* operation);

// True when the last two bytes of the reply are the CRC of the bytes before.
bool ReplyCrcMatches(const uint8_t* reply, int32_t length);

// Microseconds from the end of the last request to the last byte on the
// line, for the log; 0 before the first request.
uint64_t UsAfterRequest(const LineState& line);

} // namespace zel
