#include "host/zelhost/failures.h"

#include <cmath>
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

namespace {

// "result 2 (no reply, 3 requests sent)", or "nothing sent (result 1)".
std::string ResultText(int32_t rc, const TxnReport& report) {
    if (report.outcome == TxnOutcome::kRefused)
        return "nothing sent (result " + std::to_string(rc) + ")";
    return "result " + std::to_string(rc) + " (" + OutcomeText(report) +
           (report.sends > 1 ? ", " + std::to_string(report.sends) + " requests sent" : "") + ")";
}

} // namespace

std::string FailureText(int32_t rc, const TxnReport& report) {
    std::string text = ResultText(rc, report);
    if (!report.driverSaid.empty()) text += ": " + report.driverSaid;
    return text;
}

int SuggestedTimeoutMs(int timeoutMs, double lateMs) {
    // The late bytes' time counts from the last request: an answer to an
    // earlier one took longer still. Half as much again leaves room.
    const double measured = 1.5 * lateMs;
    const double doubled = 2.0 * timeoutMs;
    const double want = measured > doubled ? measured : doubled;
    const int ms = static_cast<int>(std::ceil(want / 100.0 - 1e-9)) * 100;
    return ms < 100 ? 100 : ms;
}

std::string FailureText(int32_t rc, const TxnReport& report, const TxnTarget& target) {
    std::string text = ResultText(rc, report);
    const int station = report.station >= 0 ? report.station : target.station;
    std::string where;
    if (station >= 0) where += " from station " + std::to_string(station);
    if (!target.line.empty()) where += " at " + target.line;
    if (target.timeoutMs > 0)
        where += (where.empty() ? " " : ", ") + std::string("time-out ") +
                 std::to_string(target.timeoutMs) + " ms";
    text += where;
    if (!report.driverSaid.empty()) text += ": " + report.driverSaid;
    if (report.lateBytes > 0 && target.timeoutMs > 0)
        text += "; the slave answers after the time-out: try -t " +
                std::to_string(SuggestedTimeoutMs(target.timeoutMs, report.lateMs));
    return text;
}

void Note(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelhost: note: %s\n", message.c_str());
}

} // namespace zelhost
