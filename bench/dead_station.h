// "A round of 10 stations, one of them dead": a host polls one holding
// register of each of ten stations on one line, station 5 never answers.
// Timed for the driver as it comes, for the driver with DEMOTE, and for
// libmodbus, which makes one attempt per request and so pays one time-out
// per dead station.
#pragma once

#include <string>
#include <vector>

#include "bench/clients.h"
#include "bench/lines.h"
#include "bench/rounds.h"

namespace zelbench {

constexpr int kRoundStations = 10;
constexpr int kDeadStation = 5;
constexpr int kRoundTimeoutMs = 200;
// DEMOTE = 3, 30: demoted after three silent transactions, tried again after
// 30 s, beyond the measured rounds.
constexpr int kDemoteAfter = 3;
constexpr int kDemoteSeconds = 30;

// One master's rounds: the whole round and the dead station's share, in ms.
struct RoundTimes {
    std::vector<double> round, dead;
};

struct DeadStationResult {
    const LineKind* line = nullptr;
    RoundTimes driver;   // without DEMOTE
    RoundTimes demoting; // with DEMOTE: the rounds until the station is demoted
    RoundTimes demoted;  // with DEMOTE: the rounds after that
    RoundTimes modbus;
    int failures = 0;
    std::string firstFailure;
};

// Starts the line with a PLC for every station but the dead one, runs
// `rounds` rounds of each, and checks every value read, that the dead
// station fails, and that once demoted it costs less than one time-out.
DeadStationResult RunDeadStationRounds(const LineKind& kind, Client& driver, Client& modbus,
                                       int rounds, std::string* error);

void PrintDeadStationLine(const DeadStationResult& r);

} // namespace zelbench
