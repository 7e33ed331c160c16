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

// Prints "zelhost: note: <message>" on stderr.
void Note(const std::string& message);

} // namespace zelhost
