#include "host/zelhost/failures.h"

#include <cstdio>

namespace zelhost {

int Fail(int code, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelhost: error: %s\n", message.c_str());
    return code;
}

int ExitCodeFor(TxnOutcome outcome) {
    switch (outcome) {
    case TxnOutcome::kOk:
        return kExitOk;
    case TxnOutcome::kRefused:
        return kExitUsage;
    case TxnOutcome::kPort:
        return kExitPort;
    default:
        return kExitFailed;
    }
}

std::string FailureText(int32_t rc, const TxnReport& report) {
    std::string text;
    if (report.outcome == TxnOutcome::kRefused)
        text = "nothing sent (result " + std::to_string(rc) + ")";
    else
        text = "result " + std::to_string(rc) + " (" + OutcomeText(report) +
               (report.sends > 1 ? ", " + std::to_string(report.sends) + " requests sent" : "") +
               ")";
    if (!report.driverSaid.empty()) text += ": " + report.driverSaid;
    return text;
}

void Note(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelhost: note: %s\n", message.c_str());
}

} // namespace zelhost
