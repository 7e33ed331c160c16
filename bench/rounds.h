// Alternating A/B rounds: the driver and libmodbus take turns on the same
// line (the order flips every pair), each round between an open and a close
// of the port, so that drift of the machine hits both alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/cases.h"
#include "bench/clients.h"
#include "bench/lines.h"

namespace zelbench {

struct RoundPlan {
    int pairs = 5;           // rounds of each master
    double seconds = 0.4;    // measuring time of one round
    int minTransactions = 5; // at least this many per round, even on a slow line
};

struct Rates {
    std::vector<double> perRound; // transactions per second
    uint64_t transactions = 0;
    uint64_t allocations = 0; // heap allocations inside the measured calls
    uint64_t logged = 0;      // calls that wrote log lines, left out of the count
};

struct CaseResult {
    const LineKind* line = nullptr;
    const CaseInfo* info = nullptr;
    Rates driver, modbus;
    std::vector<double> ratios; // driver rate / libmodbus rate, per pair
    int failures = 0;           // failed transactions and wrong values
    std::string firstFailure;
    int lost = 0; // transactions without a reply, tolerated up to kLostShare
};

// Share of transactions that may go unanswered before a case fails: on a
// busy machine the simulated PLC now and then drops a request.
constexpr double kLostShare = 0.02;

// Runs `plan.pairs` rounds of each master on one case; the clients are set
// up for the line and closed. `seq` numbers the write transactions.
CaseResult RunCase(const LineKind& line, const CaseInfo& info, Client& driver, Client& modbus,
                   const RoundPlan& plan, uint32_t* seq);

struct Summary {
    double median = 0, min = 0, max = 0;
};
Summary Summarize(std::vector<double> values);

// Transactions per second the wire allows: bits of both frames / baud, and
// `silenceChars` characters of silence per transaction on top.
double WireLimit(const LineKind& line, const CaseInfo& info, double silenceChars = 0);

// The silence a master keeps before each request: 3.5 characters.
constexpr double kRequestSilenceChars = 3.5;

} // namespace zelbench
