// What one transaction came to, judged from the result code and the lines
// the driver logged while it ran: whether anything was sent, how the last
// attempt ended (a reply, no reply, an exception, a CRC error or a wrong
// reply, a port failure), the retries and the reply time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/zelhost/host_log.h"

namespace zelhost {

enum class TxnOutcome {
    kOk,
    kRefused,   // refused before a byte was sent
    kNoReply,   // time-out without a byte
    kException, // the slave answered with an exception
    kGarbled,   // CRC error, wrong station, function or length, reply cut short
    kPort,      // the request could not be written
};

struct TxnReport {
    TxnOutcome outcome = TxnOutcome::kOk;
    int station = -1; // where the first request went (known when the driver logs its frames)
    int sends = 0;    // requests written (known when the driver logs its frames)
    int retries = 0; // requests written again after a failed attempt
    int exceptionCode = -1;
    std::string exceptionText; // the driver's name of the exception
    double replyMs = -1;       // good transactions: the accepted reception's time
    std::string driverSaid;    // the driver's line that explains a failure, or ""
    // Late bytes the driver discarded before the transaction's first request
    // (its ZEL_TXT_LATE_BYTES line): answers that came after an earlier
    // transaction had given up on them, and when the last of them came, in
    // ms after that transaction's last request (-1: not logged).
    int lateBytes = 0;
    double lateMs = -1;
};

// `lines`: what the driver logged during the transaction; `rc`: its result.
TxnReport ReportTransaction(const std::vector<LogLine>& lines, int32_t rc);

// "ok", "no reply", "exception 2 Illegal Data Address", "CRC or wrong reply", ...
std::string OutcomeText(const TxnReport& report);

} // namespace zelhost
