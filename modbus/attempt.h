// Steps shared by the read and the write transaction within one attempt.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"

namespace zel {

enum class TxnKind { kRead, kWrite };

// How one attempt of a transaction ended. A wrong reply is told apart from
// other protocol errors until the transaction ends: reads retry it on a
// budget of its own.
enum class Attempt { kOk, kRefused, kFailed, kWrong };

// The attempt's end as far as the reception tells it.
Attempt FromReception(RxResult rx);

// The transaction's result after its last attempt.
TxnResult Outcome(Attempt last);

// Discards waiting input before an attempt: while the flush cannot
// complete, logs that it did not and tries again, at most timeout/5 flushes
// (and always one).
void FlushBeforeAttempt(const ChannelState& channel, TxnKind kind);

// What one transaction has learnt of late input so far.
struct LateInput {
    bool silent = false;      // a wait after a time-out showed the line silent
    bool nothingCame = false; // the last attempt's reception got no byte at all
    uint32_t discarded = 0;   // bytes discarded after attempts that timed out
    bool heard = false;       // some byte came back after a request of the transaction
};

// Notes how the attempt's reception ended: a time-out before any byte is
// what a late reply may follow.
void NoteReception(LateInput& late, RxResult rx, int32_t replyLength);

// After a failed attempt: lets what the slave may still send arrive and
// discards it. An attempt that timed out with nothing received waits up to
// one more reply time-out for a late reply, unless an earlier wait of this
// transaction already showed the line silent; any other failure only waits
// for the line to fall quiet.
void DiscardAfterFailure(ChannelState& channel, Attempt failed, LateInput& late);

// The end of a transaction whose last attempt ended `last`: answers to the
// attempts that failed may still be on their way, so the line is let fall
// quiet after a failure or after any retry; then logs once how many late
// bytes were discarded.
void EndTransaction(ChannelState& channel, Attempt last, bool retried, LateInput& late);

// True when the last two bytes of the reply are the CRC of the bytes before.
bool ReplyCrcMatches(const uint8_t* reply, int32_t length);

} // namespace zel
