#include "bench/rounds.h"

#include <algorithm>
#include <chrono>

#include "bench/alloc_counter.h"

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;

void Fail(CaseResult* result, const Client& client, const std::string& what) {
    if (result->failures++ == 0) result->firstFailure = std::string(client.name()) + ": " + what;
}

// One round of one master; returns its rate (0 when it could not run).
double Round(const CaseInfo& info, Client& client, const RoundPlan& plan, uint32_t* seq,
             Rates* rates, CaseResult* result) {
    std::string error;
    if (!client.Open(&error)) {
        Fail(result, client, error);
        return 0;
    }
    if (!client.Prepare(info.id, &error)) {
        Fail(result, client, error);
        client.Close();
        return 0;
    }
    // One transaction before the clock starts, for both alike.
    client.Stage((*seq)++);
    if (client.Io() != 0)
        Fail(result, client,
             std::string(info.key) + ": first transaction failed: " + client.LastError());

    uint32_t lastGood = 0;
    int n = 0;
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    while (n < plan.minTransactions || elapsed < plan.seconds) {
        client.Stage(*seq);
        StartCountingAllocations();
        const int rc = client.Io();
        const uint64_t allocations = StopCountingAllocations();
        if (client.LastLogged())
            ++rates->logged;
        else
            rates->allocations += allocations;
        if (rc != 0 && client.LastTimedOut())
            ++result->lost;
        else if (rc != 0)
            Fail(result, client,
                 std::string(info.key) + ": transaction " + std::to_string(n) +
                     " failed: " + client.LastError());
        else if (!info.write && !client.CheckRead())
            Fail(result, client, std::string(info.key) + ": wrong values read");
        if (rc == 0) lastGood = *seq;
        ++*seq;
        ++n;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    // A write without a reply may still have been carried out.
    if (info.write && lastGood != 0 && !client.CheckWritten(lastGood) &&
        (lastGood == *seq - 1 || !client.CheckWritten(*seq - 1)))
        Fail(result, client, std::string(info.key) + ": the written values did not arrive");
    client.Close();
    rates->transactions += static_cast<uint64_t>(n);
    const double rate = elapsed > 0 ? n / elapsed : 0;
    rates->perRound.push_back(rate);
    return rate;
}

} // namespace

CaseResult RunCase(const LineKind& line, const CaseInfo& info, Client& driver, Client& modbus,
                   const RoundPlan& plan, uint32_t* seq) {
    CaseResult result;
    result.line = &line;
    result.info = &info;
    for (int pair = 0; pair < plan.pairs; ++pair) {
        double a = 0, b = 0;
        if (pair % 2 == 0) {
            a = Round(info, driver, plan, seq, &result.driver, &result);
            b = Round(info, modbus, plan, seq, &result.modbus, &result);
        } else {
            b = Round(info, modbus, plan, seq, &result.modbus, &result);
            a = Round(info, driver, plan, seq, &result.driver, &result);
        }
        if (a > 0 && b > 0) result.ratios.push_back(a / b);
    }
    const uint64_t all = result.driver.transactions + result.modbus.transactions;
    if (result.lost > 0 && result.lost > kLostShare * static_cast<double>(all))
        Fail(&result, driver,
             std::string(info.key) + ": " + std::to_string(result.lost) +
                 " transactions without a reply (either master)");
    return result;
}

Summary Summarize(std::vector<double> values) {
    Summary s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

double WireLimit(const LineKind& line, const CaseInfo& info, double silenceChars) {
    if (line.baud == 0) return 0;
    const double chars = static_cast<double>(info.requestBytes + info.replyBytes) + silenceChars;
    return static_cast<double>(line.baud) / (chars * line.bitsPerChar);
}

} // namespace zelbench
