// zelbench: the driver against libmodbus's RTU master on the same lines and
// the same simulated PLC, in alternating rounds; throughput, the ratio to the
// wire limit, instructions and heap allocations per transaction.
#include <CLI/CLI.hpp>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/cpu.h"
#include "bench/lines.h"
#include "bench/report.h"
#include "bench/rounds.h"
#include "host/kavpro/kavprorec.h"
#include "tools/procs/tool_procs.h"

namespace zelbench {
namespace {

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

std::string SelfPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    return self;
}

bool Selected(const std::vector<std::string>& wanted, const char* key) {
    if (wanted.empty()) return true;
    for (const std::string& w : wanted)
        if (w == key) return true;
    return false;
}

// A working directory of its own: the driver reads its channel's
// initialization file from there.
class WorkDir {
  public:
    WorkDir() {
        char templ[] = "/tmp/zelbench.XXXXXX";
        if (mkdtemp(templ)) {
            path_ = templ;
            if (chdir(path_.c_str()) != 0) path_.clear();
        }
    }
    ~WorkDir() {
        if (path_.empty()) return;
        std::remove((path_ + "/ZELMR01.INT").c_str());
        if (chdir("/") == 0) rmdir(path_.c_str());
    }
    bool ok() const { return !path_.empty(); }

  private:
    std::string path_;
};

struct Options {
    bool quick = false;
    std::string out;
    std::string plot;
    std::string driverPath = ZEL_DRIVER_PATH;
    std::vector<std::string> lines, cases;
    int pairs = 0;
    double roundMs = 0;
    bool noCpu = false;
    bool log = false;
    int cpuCount = 200;
    // The callgrind worker.
    bool worker = false;
    std::string impl, caseKey, port;
};

int Run(const Options& o) {
    if (!zeltools::ToolsAvailable()) {
        std::fprintf(stderr,
                     "zelbench: the simulated PLC and the line emulator are not built in %s\n",
                     zeltools::ToolPath("").c_str());
        return 2;
    }
    const std::string self = SelfPath();
    const std::string out = Absolute(o.out);
    std::string plot = Absolute(o.plot);
    if (plot.empty() && out.size() > 3 && out.substr(out.size() - 3) == ".md")
        plot = out.substr(0, out.size() - 3) + ".png";
    WorkDir work;
    if (!work.ok()) {
        std::fprintf(stderr, "zelbench: no working directory\n");
        return 2;
    }

    std::string error;
    std::unique_ptr<Client> driver = MakeDriverClient(o.driverPath, &error);
    if (!driver) {
        std::fprintf(stderr, "zelbench: %s\n", error.c_str());
        return 2;
    }
    std::unique_ptr<Client> modbus = MakeModbusClient();

    Report report;
    // Unpaced rounds are short and many: the load of a shared machine swings
    // within seconds, and finely interleaved rounds see the same swings.
    const int unpacedPairs = o.pairs > 0 ? o.pairs : (o.quick ? 5 : 11);
    const int pacedPairs = o.pairs > 0 ? o.pairs : 5;
    report.plan.pairs = unpacedPairs;
    report.pacedPairs = pacedPairs;
    const double roundSeconds = (o.roundMs > 0 ? o.roundMs : (o.quick ? 100 : 200)) / 1000.0;
    std::vector<std::string> lines = o.lines;
    if (lines.empty() && o.quick) lines = {"unpaced"};
    const bool cpu = !o.quick && !o.noCpu;
    int failures = 0;
    uint32_t seq = 1;

    for (const LineKind& kind : kLines) {
        if (!Selected(lines, kind.key)) continue;
        // Lines through a device server only when asked for by name: they
        // compare the driver with itself, not with libmodbus (which has no
        // RTU over TCP).
        if (*kind.via && lines.empty()) continue;
        std::unique_ptr<RunningLine> line = RunningLine::Start(kind, &error);
        if (!line) {
            std::fprintf(stderr, "zelbench: line %s: %s\n", kind.key, error.c_str());
            return 2;
        }
        const LineParams params{line->port(), kind.baud, kind.parity};
        std::unique_ptr<Client> network;
        if (*kind.via) {
            network = MakeDriverClient(o.driverPath, &error);
            if (!network || !network->Setup({line->address(), kind.baud, kind.parity}, &error) ||
                !driver->Setup(params, &error)) {
                std::fprintf(stderr, "zelbench: line %s: %s\n", kind.key, error.c_str());
                return 2;
            }
        } else if (!driver->Setup(params, &error) || !modbus->Setup(params, &error)) {
            std::fprintf(stderr, "zelbench: line %s: %s\n", kind.key, error.c_str());
            return 2;
        }
        RoundPlan plan = report.plan;
        plan.pairs = kind.baud > 0 ? pacedPairs : unpacedPairs;
        // A paced round lasts at least a second and a few transactions.
        plan.seconds = kind.baud > 0 ? std::max(roundSeconds, 1.0) : roundSeconds;
        plan.minTransactions = kind.baud > 0 ? 6 : 20;
        for (const CaseInfo& c : kCases) {
            if (!Selected(o.cases, c.key)) continue;
            // Through a device server the driver is measured against itself
            // on the line's own pty.
            CaseResult r = network ? RunCase(kind, c, *network, *driver, plan, &seq)
                                   : RunCase(kind, c, *driver, *modbus, plan, &seq);
            if (network)
                PrintQuickLine(r, kind.via, "pty");
            else
                PrintQuickLine(r);

            if (r.failures) {
                std::fprintf(stderr, "zelbench: %s on %s: %d failures, first: %s\n", c.key,
                             kind.key, r.failures, r.firstFailure.c_str());
                failures += r.failures;
            }
            // The tables compare with libmodbus: lines through a device
            // server are printed only.
            if (!network) report.results.push_back(std::move(r));
        }
        if (network) continue;
        if (kind.baud > 0 && Selected(o.cases, "deadround")) {
            DeadStationResult r =
                RunDeadStationRounds(kind, *driver, *modbus, o.pairs > 0 ? o.pairs : 8, &error);
            if (r.driver.round.empty() && r.failures == 0) {
                std::fprintf(stderr, "zelbench: deadround on %s: %s\n", kind.key, error.c_str());
                return 2;
            }
            PrintDeadStationLine(r);
            if (r.failures) {
                std::fprintf(stderr, "zelbench: deadround on %s: %d failures, first: %s\n",
                             kind.key, r.failures, r.firstFailure.c_str());
                failures += r.failures;
            }
            report.deadRounds.push_back(std::move(r));
        }
        if (cpu && kind.baud == 0) {
            if (!ValgrindAvailable()) {
                std::fprintf(stderr, "zelbench: valgrind not found, no instruction counts\n");
            } else {
                for (const CaseInfo& c : kCases) {
                    if (!Selected(o.cases, c.key)) continue;
                    CpuFigures f;
                    WorkerArgs w{"driver", c.key, line->port(), o.driverPath, o.cpuCount};
                    f.driver = MeasureInstructions(self, w, &error);
                    if (f.driver < 0) {
                        std::fprintf(stderr, "zelbench: %s\n", error.c_str());
                        ++failures;
                    }
                    w.impl = "libmodbus";
                    f.modbus = MeasureInstructions(self, w, &error);
                    if (f.modbus < 0) {
                        std::fprintf(stderr, "zelbench: %s\n", error.c_str());
                        ++failures;
                    }
                    std::printf("%-10s instructions/tx  driver %.0f  libmodbus %.0f  ratio %.3f\n",
                                c.key, f.driver, f.modbus,
                                f.modbus > 0 ? f.driver / f.modbus : 0.0);
                    std::fflush(stdout);
                    report.cpu[c.key] = f;
                }
            }
        }
    }

    // The driver must not allocate on its I/O path.
    for (const CaseInfo& c : kCases) {
        const double a = AllocationsPerTransaction(report.results, c.key, true);
        if (a > 0) {
            std::fprintf(stderr, "zelbench: the driver allocated %.2f times per %s transaction\n",
                         a, c.key);
            ++failures;
        }
    }

    if (!out.empty()) {
        report.note = "Instructions: valgrind --tool=callgrind --toggle-collect on the function "
                      "that makes the call (perf counts no instructions on this machine).";
        if (!WriteMarkdown(report, out)) {
            std::fprintf(stderr, "zelbench: cannot write %s\n", out.c_str());
            return 2;
        }
        std::printf("table: %s\n", out.c_str());
        if (!plot.empty()) {
            if (WritePlot(report, plot, &error))
                std::printf("plot: %s\n", plot.c_str());
            else
                std::fprintf(stderr, "zelbench: plot: %s\n", error.c_str());
        }
    }
    if (failures) std::fprintf(stderr, "zelbench: %d failures\n", failures);
    return failures ? 1 : 0;
}

} // namespace
} // namespace zelbench

int main(int argc, char** argv) {
    zelbench::Options o;
    CLI::App app{"zelbench: the driver against libmodbus's RTU master on the simulated PLC.\n"
                 "Prints one line per case and line; the full run also writes a Markdown table "
                 "and a PNG plot."};
    app.add_flag("--quick", o.quick,
                 "Unpaced line only, short rounds, no instruction counts (under a minute)");
    app.add_option("--out", o.out,
                   "Markdown table to write (full run default: " ZEL_SOURCE_DIR
                   "/bench/results.md)");
    app.add_option("--plot", o.plot, "PNG plot to write (default: the table's name with .png)");
    app.add_option("--driver", o.driverPath, "Driver library to load")->capture_default_str();
    app.add_option("--lines", o.lines,
                   "Lines to measure: unpaced, 19200-8E1, 115200-8N1; through ser2net (the "
                   "driver against itself on the pty): 19200-8E1-raw, 19200-8E1-rfc2217, "
                   "115200-8N1-raw, 115200-8N1-rfc2217")
        ->delimiter(',');
    app.add_option("--cases", o.cases,
                   "Cases: read1, read125, coils2000, write1, float, write123, deadround (paced "
                   "lines only: a round of 10 stations, one of them dead)")
        ->delimiter(',');
    app.add_option("--pairs", o.pairs,
                   "Rounds of each master (default 11 unpaced, 5 paced; quick 5)");
    app.add_option("--round-ms", o.roundMs, "Measuring time of an unpaced round (200, quick 100)");
    app.add_flag("--no-cpu", o.noCpu, "Leave out the instruction counts");
    app.add_flag("--log", o.log, "Print the driver's log lines on stderr");
    app.add_option("--cpu-count", o.cpuCount, "Transactions counted under callgrind")
        ->capture_default_str();
    auto* worker = app.add_flag("--cpu-worker", o.worker, "Internal: the callgrind worker");
    app.add_option("--impl", o.impl, "Internal: worker's master (driver, libmodbus)");
    app.add_option("--case", o.caseKey, "Internal: worker's case");
    app.add_option("--port", o.port, "Internal: worker's port");
    worker->group("Internal");
    CLI11_PARSE(app, argc, argv);
    KavRecSetPrint(o.log ? 1 : 0);
    // Like a host that shows no conversation: the frames the driver logs at
    // level 0 are dropped by the host library, unformatted.
    if (!o.log) KavRecSetMinLevel(1);

    if (o.worker) {
        zelbench::WorkerArgs w{o.impl, o.caseKey, o.port, o.driverPath, o.cpuCount};
        return zelbench::RunCpuWorker(w);
    }
    if (!o.quick && o.out.empty()) o.out = ZEL_SOURCE_DIR "/bench/results.md";
    return zelbench::Run(o);
}
