// zelhost poll: reads gates round after round and shows a live table of
// their values (a value that could not be read again is marked stale), the
// last result and the counts of good and failed transactions, until Ctrl-C or
// --count rounds. It ends with statistics of the line, and --csv logs one
// timestamped row per round.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <sys/time.h>
#include <unistd.h>

#include "host/zelhost/commands.h"
#include "host/zelhost/host_log.h"
#include "host/zelhost/stop_signal.h"

namespace zelhost {
namespace {

struct PollOptions {
    LineOptions line;
    std::vector<std::string> gates;
    int gateType = -1;
    int intervalMs = 1000;
    long count = 0;
    bool hex = false;
    std::string csv;
};

struct Row {
    Gate gate;
    bool haveValue = false;
    uint32_t raw = 0;   // the last value read
    bool stale = false; // the last read failed: raw is older
    std::string goodAt; // when raw was read
    std::string last = "-";
    bool readThisRound = false; // false: the round was stopped before this gate
    long good = 0;
    long failed = 0;
};

// What the line did over the whole poll.
struct LineStats {
    long transactions = 0;
    long good = 0;
    long noReply = 0;
    long exception = 0;
    long garbled = 0;
    long port = 0;
    long retries = 0;
    std::vector<double> replyMs;  // from the driver's frame log, good transactions
    std::vector<double> callMs;   // the whole call, good transactions
    std::vector<double> failedMs; // the whole call, failed transactions

    void Add(const TxnReport& r, double ms) {
        ++transactions;
        retries += r.retries;
        if (r.outcome != TxnOutcome::kOk) failedMs.push_back(ms);
        switch (r.outcome) {
        case TxnOutcome::kOk:
            ++good;
            if (r.replyMs >= 0) replyMs.push_back(r.replyMs);
            callMs.push_back(ms);
            break;
        case TxnOutcome::kNoReply:
            ++noReply;
            break;
        case TxnOutcome::kException:
            ++exception;
            break;
        case TxnOutcome::kGarbled:
            ++garbled;
            break;
        default:
            ++port;
            break;
        }
    }
};

// "min 9.102 ms, median 9.310 ms, max 12.001 ms"
std::string Spread(std::vector<double> ms) {
    if (ms.empty()) return "-";
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    char text[96];
    std::snprintf(text, sizeof text, "min %.3f ms, median %.3f ms, max %.3f ms", ms.front(), median,
                  ms.back());
    return text;
}

void PrintStats(const LineStats& s, const std::string& port, const Session& session,
                int timeoutMs) {
    std::printf("line %s at %s, time-out %d ms:\n", port.c_str(), session.Line().c_str(),
                timeoutMs);
    const struct {
        const char* name;
        long count;
    } counts[] = {{"transactions", s.transactions},  {"good", s.good},
                  {"no reply", s.noReply},           {"exception", s.exception},
                  {"CRC or wrong reply", s.garbled}, {"retries", s.retries}};
    // One column of labels, as wide as the longest.
    const int w = static_cast<int>(sizeof "transaction time, failed" - 1);
    for (const auto& c : counts)
        std::printf("  %-*s %8ld\n", w, c.name, c.count);
    if (s.port) std::printf("  %-*s %8ld\n", w, "port failure", s.port);
    // Only a good transaction has a reply time; the time of the whole call
    // is counted for good and failed ones apart, as a failed one waits out
    // its time-outs.
    std::printf("  %-*s %s\n", w, "reply time, good",
                s.replyMs.empty() && !s.callMs.empty() ? "not logged by this driver"
                                                       : Spread(s.replyMs).c_str());
    std::printf("  %-*s %s\n", w, "transaction time, good", Spread(s.callMs).c_str());
    std::printf("  %-*s %s\n", w, "transaction time, failed", Spread(s.failedMs).c_str());
}

void SleepMs(long ms) {
    // In slices, so that Ctrl-C ends the wait soon.
    while (ms > 0 && !StopRequested()) {
        const long slice = ms < 50 ? ms : 50;
        timespec ts{slice / 1000, (slice % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
        ms -= slice;
    }
}

// Local time: "2026-12-08 14:03:07.512" with `date`, else "14:03:07".
std::string Stamp(bool date) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[40];
    strftime(text, sizeof text, date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    std::string stamp = text;
    if (date) {
        std::snprintf(text, sizeof text, ".%03ld", static_cast<long>(now.tv_usec / 1000));
        stamp += text;
    }
    return stamp;
}

std::string ValueText(const Row& r, bool hex) {
    if (!r.haveValue) return "-";
    std::string text = FormatValue(r.gate.kind, r.raw, hex);
    if (r.stale) text += " (stale since " + r.goodAt + ")";
    return text;
}

void PrintTable(const std::vector<Row>& rows, long round, bool live, bool hex) {
    if (live) std::printf("\033[H\033[2J");
    if (live)
        std::printf("round %ld   %s   (Ctrl-C to stop)\n", round, Stamp(false).c_str());
    else
        std::printf("round %ld\n", round);
    // Each column is as wide as its widest entry.
    int gateWidth = 10, width = 5, resultWidth = 11;
    for (const Row& r : rows) {
        gateWidth = std::max(gateWidth, static_cast<int>(r.gate.gas.size()));
        width = std::max(width, static_cast<int>(ValueText(r, hex).size()));
        resultWidth = std::max(resultWidth, static_cast<int>(r.last.size()));
    }
    std::printf("%-*s %-*s  %-*s %8s %8s\n", gateWidth, "gate", width, "value", resultWidth,
                "last result", "good", "failed");
    for (const Row& r : rows)
        std::printf("%-*s %-*s  %-*s %8ld %8ld\n", gateWidth, r.gate.gas.c_str(), width,
                    ValueText(r, hex).c_str(), resultWidth, r.last.c_str(), r.good, r.failed);
    std::fflush(stdout);
}

// One row per round: the time, the round, then each gate's value (empty
// when this round's read failed) and result (both empty for a gate the
// round did not read: it was stopped first).
class CsvLog {
  public:
    bool Open(const std::string& path, const std::vector<Row>& rows) {
        file_ = std::fopen(path.c_str(), "w");
        if (!file_) return false;
        std::fprintf(file_, "time,round");
        for (const Row& r : rows)
            std::fprintf(file_, ",%s,%s result", r.gate.gas.c_str(), r.gate.gas.c_str());
        std::fprintf(file_, "\n");
        std::fflush(file_);
        return true;
    }
    void Write(const std::string& stamp, long round, const std::vector<Row>& rows, bool hex) {
        if (!file_) return;
        std::fprintf(file_, "%s,%ld", stamp.c_str(), round);
        for (const Row& r : rows) {
            const bool fresh = r.readThisRound && r.haveValue && !r.stale;
            std::fprintf(file_, ",%s,%s", fresh ? FormatPlain(r.gate.kind, r.raw, hex).c_str() : "",
                         r.readThisRound ? r.last.c_str() : "");
        }
        std::fprintf(file_, "\n");
        // Flushed every round: a poll left running overnight and killed keeps its rows.
        std::fflush(file_);
    }
    ~CsvLog() {
        if (file_) std::fclose(file_);
    }

  private:
    FILE* file_ = nullptr;
};

int RunPoll(const GlobalOptions& global, PollOptions& o) {
    Session session;
    if (int rc = session.Load(global)) return rc;
    // The statistics read the reply times from the driver's frame lines.
    if (int rc = session.Start(o.line, nullptr, true)) return rc;
    std::vector<Gate> gates;
    if (int rc = session.ResolveGates(o.gates, o.gateType, 0, gates)) return rc;
    std::vector<Row> rows(gates.size());
    for (size_t i = 0; i < gates.size(); ++i)
        rows[i].gate = gates[i];
    CsvLog csv;
    if (!o.csv.empty() && !csv.Open(o.csv, rows))
        return Fail(kExitUsage, "cannot write the CSV file '" + o.csv + "'");

    CatchStopSignals();

    const bool live = isatty(STDOUT_FILENO) != 0;
    LineStats stats;
    long round = 0;
    while (!StopRequested() && (o.count <= 0 || round < o.count)) {
        ++round;
        const std::string roundStamp = Stamp(true);
        for (Row& r : rows)
            r.readThisRound = false;
        for (Row& r : rows) {
            if (StopRequested()) break;
            r.readThisRound = true;
            ValueBuffer value(r.gate.tag, false, 1);
            ClearCapturedLog();
            const double started = SteadyMs();
            const int32_t rc =
                session.Chan().Read(r.gate.gas.c_str(), r.gate.tag, false, 1, value.Data());
            const TxnReport report = ReportTransaction(CapturedLog(), rc);
            stats.Add(report, SteadyMs() - started);
            r.last = OutcomeText(report);
            if (rc == 0) {
                ++r.good;
                r.haveValue = true;
                r.stale = false;
                r.raw = value.Get(0);
                r.goodAt = roundStamp.substr(11, 8);
            } else {
                ++r.failed;
                r.stale = r.haveValue;
            }
        }
        ClearCapturedLog();
        csv.Write(roundStamp, round, rows, o.hex);
        // Once stopped, the last table goes below the notice instead of over it.
        PrintTable(rows, round, live && !StopRequested(), o.hex);
        if (o.count <= 0 || round < o.count) SleepMs(o.intervalMs);
    }

    // Every read is one transaction of the statistics.
    const long good = stats.good;
    const long failed = stats.transactions - stats.good;
    PrintStats(stats, o.line.port, session, o.line.timeoutMs);
    std::printf("poll ended after %ld round(s)%s: %ld good, %ld failed transaction(s)\n", round,
                StopRequested() ? " (interrupted)" : "", good, failed);
    std::fflush(stdout);
    session.End();
    return failed > 0 ? kExitFailed : kExitOk;
}

} // namespace

Command AddPollCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<PollOptions>();
    CLI::App* cmd = app.add_subcommand("poll", "read gates again and again and show a live "
                                               "table; Ctrl-C ends with statistics of the line");
    cmd->add_option("GAS", o->gates, "gate address strings")->required();
    AddLineOptions(cmd, o->line);
    cmd->add_option("--gate-type,-g", o->gateType,
                    "host data type of every gate (default: from the memory type)")
        ->check(NumberIn(0, 6));
    cmd->add_option("--interval,-i", o->intervalMs, "milliseconds between rounds")
        ->capture_default_str()
        ->check(NumberIn(0, 3600000));
    cmd->add_option("--count,-c", o->count, "stop after N rounds (default: until Ctrl-C)")
        ->check(NumberIn(0, 1000000000));
    cmd->add_flag("--hex,-x", o->hex, "show values in hexadecimal");
    cmd->add_option("--csv", o->csv,
                    "write one row per round to this file: time, round, then each gate's value "
                    "(empty when the read failed) and result");
    return Command{cmd, [&global, o] { return RunPoll(global, *o); }};
}

} // namespace zelhost
