// zelhost poll: reads gates round after round and shows a live table of
// their values, the last result and the counts of good and failed
// transactions, until Ctrl-C or --count rounds.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/zelhost/commands.h"
#include "host/zelhost/host_log.h"

namespace zelhost {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) {
    stopRequested = 1;
}

struct PollOptions {
    LineOptions line;
    std::vector<std::string> gates;
    int gateType = -1;
    int intervalMs = 1000;
    long count = 0;
    bool hex = false;
};

struct Row {
    Gate gate;
    std::string value = "-";
    int32_t last = -1;
    long good = 0;
    long failed = 0;
};

void SleepMs(long ms) {
    // In slices, so that Ctrl-C ends the wait soon.
    while (ms > 0 && !stopRequested) {
        const long slice = ms < 50 ? ms : 50;
        timespec ts{slice / 1000, (slice % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
        ms -= slice;
    }
}

void PrintTable(const std::vector<Row>& rows, long round, bool live) {
    if (live) std::printf("\033[H\033[2J");
    std::printf("round %ld%s\n", round, live ? "   (Ctrl-C to stop)" : "");
    std::printf("%-10s %-28s %6s %8s %8s\n", "gate", "value", "result", "good", "failed");
    for (const Row& r : rows)
        std::printf("%-10s %-28s %6s %8ld %8ld\n", r.gate.gas.c_str(), r.value.c_str(),
                    r.last < 0 ? "-" : std::to_string(r.last).c_str(), r.good, r.failed);
    std::fflush(stdout);
}

int RunPoll(const GlobalOptions& global, PollOptions& o) {
    Session session;
    if (int rc = session.Load(global)) return rc;
    if (int rc = session.Start(o.line)) return rc;
    std::vector<Row> rows(o.gates.size());
    for (size_t i = 0; i < o.gates.size(); ++i)
        if (int rc = session.ResolveGate(o.gates[i], o.gateType, 0, rows[i].gate)) return rc;

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const bool live = isatty(STDOUT_FILENO) != 0;
    long round = 0;
    while (!stopRequested && (o.count <= 0 || round < o.count)) {
        ++round;
        for (Row& r : rows) {
            if (stopRequested) break;
            ValueBuffer value(r.gate.tag, false, 1);
            r.last = session.Chan().Read(r.gate.gas.c_str(), r.gate.tag, false, 1, value.Data());
            if (r.last == 0) {
                ++r.good;
                r.value = FormatValue(r.gate.kind, value.Get(0), o.hex);
            } else {
                ++r.failed;
            }
        }
        ClearCapturedLog();
        PrintTable(rows, round, live);
        if (o.count <= 0 || round < o.count) SleepMs(o.intervalMs);
    }

    long good = 0, failed = 0;
    for (const Row& r : rows) {
        good += r.good;
        failed += r.failed;
    }
    std::printf("poll ended after %ld round(s)%s: %ld good, %ld failed transaction(s)\n", round,
                stopRequested ? " (interrupted)" : "", good, failed);
    std::fflush(stdout);
    session.End();
    return kExitOk;
}

} // namespace

Command AddPollCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<PollOptions>();
    CLI::App* cmd = app.add_subcommand("poll", "read gates again and again and show a live "
                                               "table; Ctrl-C ends with a summary");
    cmd->add_option("GAS", o->gates, "gate address strings")->required();
    AddLineOptions(cmd, o->line);
    cmd->add_option("--gate-type,-g", o->gateType,
                    "host data type of every gate (default: from the memory type)")
        ->check(CLI::Range(0, 6));
    cmd->add_option("--interval,-i", o->intervalMs, "milliseconds between rounds")
        ->capture_default_str()
        ->check(CLI::Range(0, 3600000));
    cmd->add_option("--count,-c", o->count, "stop after N rounds (default: until Ctrl-C)")
        ->check(CLI::Range(0L, 1000000000L));
    cmd->add_flag("--hex,-x", o->hex, "show values in hexadecimal");
    return Command{cmd, [&global, o] { return RunPoll(global, *o); }};
}

} // namespace zelhost
