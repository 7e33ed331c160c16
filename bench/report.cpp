#include "bench/report.h"

#include <modbus/modbus-version.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "tools/procs/tool_procs.h"

namespace zelbench {
namespace {

std::string Thousands(double v) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.0f", v);
    std::string s = digits, out;
    const size_t lead = s.size() % 3;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i != 0 && (i + 3 - lead) % 3 == 0) out += ',';
        out += s[i];
    }
    return out;
}

std::string Fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// A rate as "median (min–max)".
std::string Spread(const std::vector<double>& values) {
    const Summary s = Summarize(values);
    return Thousands(s.median) + " (" + Thousands(s.min) + "–" + Thousands(s.max) + ")";
}

std::string RatioSpread(const std::vector<double>& values) {
    const Summary s = Summarize(values);
    return "**" + Fixed(s.median, 2) + "** (" + Fixed(s.min, 2) + "–" + Fixed(s.max, 2) + ")";
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos) return line.substr(colon + 2);
        }
    }
    return "unknown processor";
}

std::string Machine() {
    utsname u{};
    uname(&u);
    std::ostringstream s;
    s << CpuModel() << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << u.release << " "
      << u.machine;
    return s.str();
}

std::string DateUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

} // namespace

double AllocationsPerTransaction(const std::vector<CaseResult>& results, const std::string& key,
                                 bool driver) {
    uint64_t allocations = 0, transactions = 0;
    for (const CaseResult& r : results) {
        if (key != r.info->key) continue;
        const Rates& rates = driver ? r.driver : r.modbus;
        allocations += rates.allocations;
        transactions += rates.transactions;
    }
    return transactions ? static_cast<double>(allocations) / static_cast<double>(transactions) : 0;
}

void PrintQuickLine(const CaseResult& r, const char* first, const char* second) {
    const Summary d = Summarize(r.driver.perRound);
    const Summary m = Summarize(r.modbus.perRound);
    const Summary ratio = Summarize(r.ratios);
    const double allocs = r.driver.transactions ? static_cast<double>(r.driver.allocations) /
                                                      static_cast<double>(r.driver.transactions)
                                                : 0;
    const double wire = WireLimit(*r.line, *r.info, 0);
    std::printf("%-10s %-11s %s %8.0f tx/s  %s %8.0f tx/s  ratio %.3f%s  "
                "heap allocations/tx %.2f%s%s\n",
                r.info->key, r.line->key, first, d.median, second, m.median, ratio.median,
                wire > 0 ? ("  of wire " + std::to_string(d.median / wire).substr(0, 5) + " / " +
                            std::to_string(m.median / wire).substr(0, 5))
                               .c_str()
                         : "",
                allocs, r.lost ? ("  unanswered " + std::to_string(r.lost)).c_str() : "",
                r.failures ? "  FAILED" : "");
    std::fflush(stdout);
}

bool WriteMarkdown(const Report& report, const std::string& path) {
    std::ofstream out(path);
    if (!out) return false;
    out << "# Benchmark: the driver against libmodbus's RTU master\n\n";
    out << "Made by `zelbench` on " << DateUtc() << ", " << Machine() << "; libmodbus "
        << LIBMODBUS_VERSION_STRING << ".\n\n";
    out << "- Unpaced line: the simulated PLC directly on a pseudo-terminal (no relay). "
           "Paced lines: the line emulator between master and PLC, every byte taking its wire "
           "time.\n";
    out << "- Every figure is the median of the rounds per master (" << report.plan.pairs
        << " on the unpaced line, " << report.pacedPairs
        << " on a paced one; min–max in brackets); the masters "
           "alternate round by round "
           "(the order flips every pair) and the port is closed between rounds. The ratio "
           "driver / libmodbus is taken within each pair of rounds.\n";
    out << "- Wire limit: baud / ((request + reply bytes) × bits per character), 11 bits for "
           "8E1, 10 for 8N1. With the silence: 3.5 characters more per transaction, the "
           "silence the driver keeps before each request (libmodbus keeps none).\n";
    if (!report.note.empty()) out << "- " << report.note << "\n";
    out << "\n## Throughput\n\n";
    out << "| Line | Case | Driver tx/s | libmodbus tx/s | Driver µs/tx | libmodbus µs/tx | "
           "Driver / libmodbus | Wire limit tx/s | Driver / wire | libmodbus / wire | "
           "Wire + silence tx/s | Driver / (wire + silence) |\n";
    out << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const CaseResult& r : report.results) {
        const Summary d = Summarize(r.driver.perRound);
        const Summary m = Summarize(r.modbus.perRound);
        const double wire = WireLimit(*r.line, *r.info);
        const double quiet = WireLimit(*r.line, *r.info, kRequestSilenceChars);
        out << "| " << r.line->title << " | " << r.info->title << " | " << Spread(r.driver.perRound)
            << " | " << Spread(r.modbus.perRound) << " | "
            << (d.median > 0 ? Fixed(1e6 / d.median, 0) : "-") << " | "
            << (m.median > 0 ? Fixed(1e6 / m.median, 0) : "-") << " | " << RatioSpread(r.ratios)
            << " | " << (wire > 0 ? Fixed(wire, 1) : "-") << " | "
            << (wire > 0 ? Fixed(d.median / wire, 3) : "-") << " | "
            << (wire > 0 ? Fixed(m.median / wire, 3) : "-") << " | "
            << (quiet > 0 ? Fixed(quiet, 1) : "-") << " | "
            << (quiet > 0 ? Fixed(d.median / quiet, 3) : "-") << " |";
        if (r.lost) out << " " << r.lost << " unanswered;";
        if (r.driver.logged) out << " " << r.driver.logged << " driver calls with log lines;";
        if (r.failures) out << " FAILED: " << r.firstFailure;
        out << "\n";
    }
    if (!report.cpu.empty()) {
        out << "\n## CPU and heap\n\n";
        out << "User-space instructions inside one call (callgrind, collecting only inside the "
               "call, on the unpaced line); heap allocations counted by an interposed malloc "
               "inside the calls, over every line (driver calls that wrote log lines, i.e. "
               "retries, are left out: the host's logging is not the driver's path).\n\n";
        out << "| Case | Driver instructions/tx | libmodbus instructions/tx | Driver / libmodbus | "
               "Driver heap allocations/tx | libmodbus heap allocations/tx |\n";
        out << "|---|---:|---:|---:|---:|---:|\n";
        for (const CaseInfo& c : kCases) {
            auto it = report.cpu.find(c.key);
            if (it == report.cpu.end()) continue;
            const CpuFigures& f = it->second;
            out << "| " << c.title << " | " << (f.driver >= 0 ? Thousands(f.driver) : "-") << " | "
                << (f.modbus >= 0 ? Thousands(f.modbus) : "-") << " | "
                << (f.driver > 0 && f.modbus > 0 ? "**" + Fixed(f.driver / f.modbus, 2) + "**"
                                                 : "-")
                << " | " << Fixed(AllocationsPerTransaction(report.results, c.key, true), 2)
                << " | " << Fixed(AllocationsPerTransaction(report.results, c.key, false), 2)
                << " |\n";
        }
    }
    if (!report.deadRounds.empty()) {
        out << "\n## A round of " << kRoundStations << " stations, one of them dead\n\n";
        out << "One holding register read from each of stations 1 to " << kRoundStations
            << " in turn; station " << kDeadStation << " never answers. Reply time-out "
            << kRoundTimeoutMs
            << " ms for both masters. The driver makes three attempts, and the next "
               "station's read first waits out the dead one's reply window; with `DEMOTE = "
            << kDemoteAfter << ", " << kDemoteSeconds << "` it demotes the station after "
            << kDemoteAfter
            << " rounds (shown apart) and then answers its request at once until its next try "
               "after "
            << kDemoteSeconds
            << " s, which costs what a round without DEMOTE costs. libmodbus makes one attempt. "
               "Milliseconds, median (min–max) of the rounds.\n\n";
        out << "| Line | Driver round | its dead station | Driver round with DEMOTE, demoted | "
               "its dead station | rounds until demoted | libmodbus round | its dead station "
               "|\n";
        out << "|---|---:|---:|---:|---:|---:|---:|---:|\n";
        auto ms = [](const std::vector<double>& v, int decimals) {
            const Summary s = Summarize(v);
            return Fixed(s.median, decimals) + " (" + Fixed(s.min, decimals) + "–" +
                   Fixed(s.max, decimals) + ")";
        };
        for (const DeadStationResult& r : report.deadRounds) {
            out << "| " << r.line->title << " | " << ms(r.driver.round, 1) << " | "
                << ms(r.driver.dead, 1) << " | " << ms(r.demoted.round, 1) << " | "
                << ms(r.demoted.dead, 2) << " | " << ms(r.demoting.round, 1) << " | "
                << ms(r.modbus.round, 1) << " | " << ms(r.modbus.dead, 1) << " |";
            if (r.failures) out << " FAILED: " << r.firstFailure;
            out << "\n";
        }
    }
    return static_cast<bool>(out);
}

bool WritePlot(const Report& report, const std::string& path, std::string* error) {
    char dir[] = "/tmp/zelbench-plot.XXXXXX";
    if (!mkdtemp(dir)) {
        *error = "mkdtemp failed";
        return false;
    }
    const std::string script = std::string(dir) + "/plot.gp";
    std::ofstream gp(script);
    gp << "set terminal pngcairo size 1100,1350 font 'sans,10'\n"
       << "set output '" << path << "'\n"
       << "set datafile separator tab\n"
       << "set datafile missing '-'\n"
       << "set style data histograms\n"
       << "set style histogram clustered gap 1\n"
       << "set style fill solid 0.85 border -1\n"
       << "set logscale y\n"
       << "set yrange [1:*]\n"
       << "set grid ytics\n"
       << "set xtics font ',8'\n"
       << "set key top right\n"
       << "set ylabel 'transactions per second (log)'\n"
       << "set multiplot layout " << kLineCount
       << ",1 title 'Throughput by case and line: the driver, libmodbus and the wire limit "
          "(median of rounds)'\n";
    std::vector<std::string> files;
    for (int l = 0; l < kLineCount; ++l) {
        const LineKind& line = kLines[l];
        std::ostringstream rows;
        int count = 0;
        for (const CaseResult& r : report.results) {
            if (r.line != &line) continue;
            const double wire = WireLimit(line, *r.info);
            rows << r.info->title << "\t" << Summarize(r.driver.perRound).median << "\t"
                 << Summarize(r.modbus.perRound).median << "\t"
                 << (wire > 0 ? std::to_string(wire) : "-") << "\n";
            ++count;
        }
        if (count == 0) continue;
        const std::string data = std::string(dir) + "/line" + std::to_string(l) + ".tsv";
        std::ofstream(data) << rows.str();
        files.push_back(data);
        gp << "set title '" << line.title << "'\n"
           << "plot '" << data << "' using 2:xtic(1) title 'driver' lc rgb '#1f77b4', '' using 3 "
           << "title 'libmodbus' lc rgb '#ff7f0e'"
           << (line.baud > 0 ? ", '' using 4 title 'wire limit' lc rgb '#999999'" : "") << "\n";
    }
    gp << "unset multiplot\n";
    gp.close();
    std::string output;
    zeltools::ToolProc proc;
    bool ok = proc.Spawn("/usr/bin/gnuplot", {script}, error);
    if (ok) {
        std::string line;
        while (proc.ReadLine(&line, 30000)) {
        }
        for (int i = 0; i < 3000 && proc.Running(); ++i)
            usleep(10000);
        const int status = proc.Stop(1000);
        ok = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok) *error = "gnuplot failed";
    }
    for (const std::string& f : files)
        std::remove(f.c_str());
    std::remove(script.c_str());
    rmdir(dir);
    return ok;
}

} // namespace zelbench
