// How zelhost ends: its exit codes, the one error line on stderr, notes, and
// a failed transaction in the user's words with the driver's own.
#pragma once

#include <cstdint>
#include <string>

#include "host/zelhost/txn_report.h"

namespace zelhost {

// Exit codes of zelhost.
enum : int {
    kExitOk = 0,
    kExitFailed = 1, // a transaction failed on the line, or a check did not hold
    kExitUsage = 2,  // refused before a byte was sent: option, gate address, value, request
    kExitPort = 3,   // driver not loadable, port missing, busy or failing, tools missing
};

// Prints "zelhost: error: <message>" on stderr and returns `code`.
int Fail(int code, const std::string& message);
// The exit code of a transaction that ended so: 2 when it was refused
// before a byte was sent, 3 when the port failed, 1 for other failures.
int ExitCodeFor(TxnOutcome outcome);
// Why a transaction failed, in the user's words with the driver's own.
std::string FailureText(int32_t rc, const TxnReport& report);

// Where a transaction went: the station, the line settings and the reply
// time-out.
struct TxnTarget {
    int station = -1;  // the gate's; -1: unknown (the report's frames say it when logged)
    std::string line;  // "19200 8E1"; "": unknown
    int timeoutMs = 0; // 0: unknown
};

// The reply time-out to try when a slave answers after it: half as much
// again as the time measured (`lateMs`, the late bytes' time after the last
// request; -1 when not known), and at least twice `timeoutMs`, up to the
// next 100 ms.
int SuggestedTimeoutMs(int timeoutMs, double lateMs);

// As FailureText, naming the station, the line and the time-out, with the
// advice for a slave that answers after the time-out when the driver
// discarded late bytes during the transaction: "result 2 (no reply, 3
// requests sent) from station 1 at 19200 8E1, time-out 100 ms: ZELMR01> ...;
// the slave answers after the time-out: try -t 300".
std::string FailureText(int32_t rc, const TxnReport& report, const TxnTarget& target);

// Prints "zelhost: note: <message>" on stderr.
void Note(const std::string& message);

} // namespace zelhost
