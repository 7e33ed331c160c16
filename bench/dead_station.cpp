#include "bench/dead_station.h"

#include <chrono>
#include <cstdio>

#include "tools/simplc_patterns.h"

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Fail(DeadStationResult* r, const Client& client, const std::string& what) {
    if (r->failures++ == 0) r->firstFailure = std::string(client.name()) + ": " + what;
}

// `rounds` rounds over the ten stations, the port open throughout.
void Rounds(Client& client, int rounds, RoundTimes* times, DeadStationResult* r) {
    std::string error;
    if (!client.Open(&error)) {
        Fail(r, client, error);
        return;
    }
    for (int n = 0; n < rounds; ++n) {
        const Clock::time_point start = Clock::now();
        double dead = 0;
        for (int station = 1; station <= kRoundStations; ++station) {
            const Clock::time_point one = Clock::now();
            const int rc = client.ReadStation(station);
            if (station == kDeadStation) {
                dead = MsSince(one);
                if (rc == 0) Fail(r, client, "the dead station answered");
            } else if (rc != 0) {
                Fail(r, client, "station " + std::to_string(station) + ": " + client.LastError());
            } else if (!client.CheckStationRead()) {
                Fail(r, client, "station " + std::to_string(station) + ": wrong value");
            }
        }
        times->round.push_back(MsSince(start));
        times->dead.push_back(dead);
    }
    client.Close();
}

} // namespace

DeadStationResult RunDeadStationRounds(const LineKind& kind, Client& driver, Client& modbus,
                                       int rounds, std::string* error) {
    DeadStationResult r;
    r.line = &kind;
    std::vector<int> alive;
    for (int station = 1; station <= kRoundStations; ++station)
        if (station != kDeadStation) alive.push_back(station);
    std::unique_ptr<RunningLine> line = RunningLine::Start(kind, error, alive);
    if (!line) return r;
    const LineParams params{line->port(), kind.baud, kind.parity};

    driver.ConfigureRound(kRoundTimeoutMs, "");
    if (driver.Setup(params, error)) Rounds(driver, rounds, &r.driver, &r);

    driver.ConfigureRound(kRoundTimeoutMs, "DEMOTE = " + std::to_string(kDemoteAfter) + ", " +
                                               std::to_string(kDemoteSeconds) + "\n");
    if (!driver.Setup(params, error)) {
        driver.ConfigureRound(0, "");
        return r;
    }
    RoundTimes all;
    Rounds(driver, kDemoteAfter + rounds, &all, &r);
    for (size_t n = 0; n < all.round.size(); ++n) {
        RoundTimes& part = n < static_cast<size_t>(kDemoteAfter) ? r.demoting : r.demoted;
        part.round.push_back(all.round[n]);
        part.dead.push_back(all.dead[n]);
    }
    for (double dead : r.demoted.dead)
        if (dead >= kRoundTimeoutMs)
            Fail(&r, driver,
                 "the demoted station cost " + std::to_string(dead) + " ms, a time-out or more");

    modbus.ConfigureRound(kRoundTimeoutMs, "");
    if (modbus.Setup(params, error)) Rounds(modbus, rounds, &r.modbus, &r);
    // The other cases run with each master's own settings.
    driver.ConfigureRound(0, "");
    modbus.ConfigureRound(0, "");
    return r;
}

void PrintDeadStationLine(const DeadStationResult& r) {
    auto median = [](const std::vector<double>& v) { return Summarize(v).median; };
    std::printf("deadround  %-11s round ms: driver %.1f (dead %.1f), with DEMOTE %.1f (dead %.2f) "
                "after %d rounds of %.1f, libmodbus %.1f (dead %.1f)%s\n",
                r.line->key, median(r.driver.round), median(r.driver.dead), median(r.demoted.round),
                median(r.demoted.dead), kDemoteAfter, median(r.demoting.round),
                median(r.modbus.round), median(r.modbus.dead), r.failures ? "  FAILED" : "");
    std::fflush(stdout);
}

} // namespace zelbench
