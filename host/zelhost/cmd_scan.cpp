// zelhost scan: finds the slaves on a line. Every station of a range is
// probed at every line setting asked for with a cheap read (holding register
// 1); a value or an exception proves the station is there, a garbled reply
// that something is. The run time is bounded up front from what one silent
// station costs, measured on a line that never answers; progress goes to
// stderr, and Ctrl-C ends the scan early with what it found.
//
// In the driver's decimal address base a gate address holds stations 01..99
// only: the channel runs from a private folder whose initialization file sets
// the hexadecimal base (stations 01..FF) and the frame lines, with the other
// settings of the user's own file (RTS keying, pauses) kept.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "host/zelhost/commands.h"
#include "host/zelhost/host_log.h"
#include "host/zelhost/stop_signal.h"
#include "serial/line_format.h"

namespace zelhost {
namespace {

struct ScanOptions {
    LineOptions line;
    std::string stations = "1-247";
    std::string bauds, dataBits, parities, stopBits;
};

struct Setting {
    int baud;
    int dataBits;
    std::string parity;
    std::string stopBits;
    std::string Text() const {
        return LineText(static_cast<unsigned>(baud), static_cast<unsigned>(dataBits),
                        ParityCode(parity), StopBitsCode(stopBits));
    }
    // Wire time of one character in ms, by the driver's own rule.
    double CharMs() const {
        const zel::LineSettings line{static_cast<uint32_t>(baud), static_cast<uint16_t>(dataBits),
                                     StopBitsCode(stopBits), ParityCode(parity), 0};
        return zel::CharTimeUs(line) / 1000.0;
    }
};

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        parts.push_back(part);
    return parts;
}

bool WholeNumber(const std::string& text, long lo, long hi, long& value) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return false;
    value = std::stol(text);
    return value >= lo && value <= hi;
}

// "1-247", "1,5,10-20": sorted, each once.
bool ParseStations(const std::string& text, std::vector<int>& stations, std::string& error) {
    for (const std::string& part : Split(text)) {
        const size_t dash = part.find('-');
        long first = 0, last = 0;
        const bool ok = dash == std::string::npos
                            ? WholeNumber(part, 1, 247, first) && (last = first, true)
                            : WholeNumber(part.substr(0, dash), 1, 247, first) &&
                                  WholeNumber(part.substr(dash + 1), 1, 247, last) && first <= last;
        if (!ok) {
            error = "--stations: '" + part + "' is not a station or range of stations in 1..247";
            return false;
        }
        for (long s = first; s <= last; ++s)
            stations.push_back(static_cast<int>(s));
    }
    std::sort(stations.begin(), stations.end());
    stations.erase(std::unique(stations.begin(), stations.end()), stations.end());
    if (stations.empty()) error = "--stations: no station given";
    return !stations.empty();
}

// Every combination of the listed rates, data bits, parities and stop bits.
bool ParseSettings(const ScanOptions& o, const zel::DriverInfo& info, std::vector<Setting>& out,
                   std::string& error) {
    const std::string defParity = ParityText(info.parity, "N");
    const std::string defStop = StopBitsText(info.stopBits, "1");
    std::vector<long> bauds, dataBits;
    std::vector<std::string> parities, stops;
    for (const std::string& b : Split(o.bauds.empty() ? std::to_string(info.baud) : o.bauds)) {
        long v = 0;
        if (!WholeNumber(b, 1, 4000000, v)) {
            error = "--baud: '" + b + "' is not a rate between 1 and 4000000";
            return false;
        }
        bauds.push_back(v);
    }
    for (const std::string& d :
         Split(o.dataBits.empty() ? std::to_string(info.dataBits) : o.dataBits)) {
        long v = 0;
        if (!WholeNumber(d, 5, 8, v)) {
            error = "--data-bits: '" + d + "' is not between 5 and 8";
            return false;
        }
        dataBits.push_back(v);
    }
    for (const std::string& p : Split(o.parities.empty() ? defParity : o.parities)) {
        const std::string letter = ParityLetter(p);
        if (letter.empty()) {
            error = "--parity: '" + p + "' is not one of " + kParityChoices;
            return false;
        }
        parities.push_back(letter);
    }
    for (const std::string& s : Split(o.stopBits.empty() ? defStop : o.stopBits)) {
        const std::string why = UnavailableStopBits(s);
        if (!why.empty() || (s != "1" && s != "2" && s != "1.5")) {
            error = "--stop-bits: " + (why.empty() ? "'" + s + "' is not 1 or 2" : why);
            return false;
        }
        stops.push_back(s);
    }
    for (long b : bauds)
        for (long d : dataBits)
            for (const std::string& p : parities)
                for (const std::string& s : stops)
                    out.push_back(Setting{static_cast<int>(b), static_cast<int>(d), p, s});
    return true;
}

// The scan's own lines of the channel's initialization file: the
// hexadecimal base, in which a gate address holds stations up to 0xFF,
// neither a station override nor the user's baud rate, and the frame lines,
// which give each answer's reply time and the requests a silent station
// costs.
void ScanKeys(PrivateInit& init) {
    init.Set("BUS", "BUS = M,H");
    init.Set("SLAVE", "");
    init.Set("BAUD_RATE", "");
    init.Set("TRACE", kTraceLine);
}

// The gate address of holding register 1 of a station in the hexadecimal base.
std::string ProbeGas(int station) {
    char gas[16];
    std::snprintf(gas, sizeof gas, "%02X40001", station);
    return gas;
}

// What one silent station costs the driver (its attempts, time-outs and
// the reply window it waits out): a probe on a pseudo-terminal that nobody
// answers.
// -1 when no such line can be had.
double MeasureSilentStation(Session& session, const LineOptions& line, PrivateInit& init,
                            int& requests) {
    int master = -1, slave = -1;
    char name[64] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return -1;
    double ms = -1;
    // The probe's channel opens its own line, not the one the file may carry.
    init.Carry(name, line.baud);
    if (std::strlen(name) <= 11 && init.Write(line.channel)) {
        Channel probe(session.Library().Entry(), line.channel, session.Info().stateSize);
        zel::OpenParams open = session.Opened();
        std::memset(open.portName, 0, sizeof open.portName);
        std::memcpy(open.portName, name, std::strlen(name));
        std::string lost;
        const int32_t started = ColdStartIn(init.Dir(), probe, open, lost);
        zel::TagAddress tag{};
        if (lost.empty() && started == 0 &&
            probe.Parse(ProbeGas(1).c_str(), zel::kGateUnsigned16, 0, tag) == 0) {
            // Probes follow each other back to back: the second one pays
            // the reply window the first left, as every probe of the scan
            // but the first does.
            uint8_t cell[4] = {};
            int32_t rc = probe.Read(ProbeGas(1).c_str(), tag, false, 1, cell);
            ClearCapturedLog();
            const double t0 = SteadyMs();
            if (rc != 0) rc = probe.Read(ProbeGas(1).c_str(), tag, false, 1, cell);
            ms = SteadyMs() - t0;
            const TxnReport report = ReportTransaction(CapturedLog(), rc);
            requests = report.sends > 0 ? report.sends : 1 + report.retries;
            if (rc == 0) ms = -1; // something answered on a line of our own
        }
        if (started == 0) probe.CloseCom();
    }
    close(master);
    close(slave);
    init.Carry(line.port, line.baud);
    if (!init.Write(line.channel)) return -1;
    return ms;
}

// "2 min 5 s", "12.3 s"
std::string Duration(double ms) {
    char text[48];
    if (ms < 60000)
        std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
    else
        std::snprintf(text, sizeof text, "%ld min %ld s", static_cast<long>(ms / 60000),
                      static_cast<long>(ms / 1000) % 60);
    return text;
}

// A rate above 65535 needs the init file, and so a new start of the channel.
bool Reopen(Session& session, LineOptions& line, const Setting& s, PrivateInit& init) {
    line.baud = s.baud;
    line.dataBits = s.dataBits;
    line.parity = s.parity;
    line.stopBits = s.stopBits;
    if (s.baud > 65535) return session.Restart(line, &init) == kExitOk;
    session.Chan().CloseCom();
    zel::ChangeParams change{};
    const std::string port = session.RecordPort(line);
    std::memcpy(change.portName, port.c_str(), port.size());
    change.timeout = (line.timeoutMs + 9) / 10;
    change.baud = static_cast<uint16_t>(s.baud);
    change.dataBits = static_cast<uint16_t>(s.dataBits);
    change.stopBits = StopBitsCode(s.stopBits);
    change.parity = ParityCode(s.parity);
    return session.Chan().ChangeParams(change) == 0;
}

// What a scan will do, settled before the first probe: the stations, the
// line settings, what one silent station costs and the bound of the run.
struct ScanPlan {
    std::vector<int> stations;
    std::vector<Setting> settings;
    LineOptions line; // the channel's line, at the first setting
    double silentMs = -1;
    int requests = 3; // requests a silent station costs
    double boundMs = 0;

    // What one probe may cost at setting `s`: a silent station's attempts
    // and the wire time of their requests (8 bytes each).
    double ProbeMs(const Setting& s) const {
        constexpr double kSlackMs = 5;
        return silentMs + requests * (8 * s.CharMs() + kSlackMs);
    }
};

// What the probes found.
struct ScanFindings {
    long probes = 0;
    long garbled = 0;
    std::vector<std::pair<int, std::string>> found; // station, the settings it answered at
    bool outOfTime = false;
    int exitCode = kExitOk;
};

// Loads the driver, starts the channel from the private folder, measures a
// silent station and announces the plan on stderr; an exit code.
int PlanScan(const GlobalOptions& global, const ScanOptions& o, Session& session, PrivateInit& init,
             ScanPlan& plan) {
    std::string error;
    if (!ParseStations(o.stations, plan.stations, error)) return Fail(kExitUsage, error);
    // Ctrl-C ends the scan between two probes, also while it prepares, so
    // that the private folder is removed.
    // On a terminal the notice first erases the progress line it cuts into.
    CatchStopSignals(isatty(STDERR_FILENO) ? "\r\033[Kzelhost: stopping after the current probe\n"
                                           : "zelhost: stopping after the current probe\n");
    if (int rc = session.Load(global)) return rc;
    if (!ParseSettings(o, session.Info(), plan.settings, error)) return Fail(kExitUsage, error);

    std::string kept;
    ScanKeys(init);
    if (!init.Write(o.line.channel, &kept))
        return Fail(kExitPort, "cannot create a temporary folder for the channel's init file");
    LineOptions& line = plan.line;
    line = o.line;
    line.baud = plan.settings[0].baud;
    line.dataBits = plan.settings[0].dataBits;
    line.parity = plan.settings[0].parity;
    line.stopBits = plan.settings[0].stopBits;
    if (int rc = session.Start(line, &init)) return rc;
    if (LoggedBase() != 'H')
        return Fail(kExitPort, "the driver did not take the hexadecimal base from " + init.Dir());

    plan.silentMs = MeasureSilentStation(session, line, init, plan.requests);
    if (plan.silentMs < 0)
        return Fail(kExitPort, "cannot measure what a silent station costs (no pseudo-terminal)");
    // A setting change reopens the port.
    constexpr double kReopenMs = 200;
    std::string settingList;
    for (const Setting& s : plan.settings) {
        plan.boundMs += static_cast<double>(plan.stations.size()) * plan.ProbeMs(s) + kReopenMs;
        settingList += (settingList.empty() ? "" : ", ") + s.Text();
    }
    // Room for a machine that is busier than while the cost was measured.
    plan.boundMs = plan.boundMs * 1.1 + 1000;
    const std::string range =
        plan.stations.size() == 1
            ? "station " + std::to_string(plan.stations[0])
            : std::to_string(plan.stations.size()) + " stations (" + o.stations + ")";
    std::fprintf(stderr,
                 "zelhost: scanning %s: %s at %zu line setting(s) (%s), reading holding register 1 "
                 "with a %d ms time-out%s\n"
                 "zelhost: a silent station costs %.0f ms (%d requests, measured): at most %s; "
                 "Ctrl-C stops early\n",
                 o.line.port.c_str(), range.c_str(), plan.settings.size(), settingList.c_str(),
                 o.line.timeoutMs, kept.empty() ? "" : (", settings of " + kept + " kept").c_str(),
                 plan.silentMs, plan.requests, Duration(plan.boundMs).c_str());
    return kExitOk;
}

// Probes one station at the setting in force and prints a line when
// something answered; false when the scan cannot go on.
bool ProbeStation(Session& session, int station, const Setting& s, bool progress, ScanFindings& f) {
    const std::string gas = ProbeGas(station);
    zel::TagAddress tag{};
    if (session.Chan().Parse(gas.c_str(), zel::kGateUnsigned16, 0, tag) != 0) {
        f.exitCode = Fail(kExitUsage, "the driver refused the probe's gate address " + gas);
        return false;
    }
    uint8_t cell[4] = {};
    ClearCapturedLog();
    const int32_t rc = session.Chan().Read(gas.c_str(), tag, false, 1, cell);
    const TxnReport report = ReportTransaction(CapturedLog(), rc);
    ++f.probes;
    std::string answer;
    switch (report.outcome) {
    case TxnOutcome::kOk: {
        answer = "holding register 1 = " + std::to_string(cell[2] | cell[3] << 8);
        if (report.replyMs >= 0) {
            char ms[48];
            std::snprintf(ms, sizeof ms, " (reply after %.3f ms)", report.replyMs);
            answer += ms;
        }
        break;
    }
    case TxnOutcome::kException:
        answer = OutcomeText(report);
        break;
    case TxnOutcome::kGarbled:
        answer = "garbled reply (CRC or wrong reply): something answered, perhaps at "
                 "other line settings";
        break;
    case TxnOutcome::kPort:
    case TxnOutcome::kRefused:
        f.exitCode =
            Fail(ExitCodeFor(report.outcome), "probing station " + std::to_string(station) +
                                                  " failed: " + FailureText(rc, report));
        return false;
    case TxnOutcome::kNoReply:
        break;
    }
    if (answer.empty()) return true;
    if (report.outcome == TxnOutcome::kGarbled) {
        ++f.garbled;
    } else {
        auto it = std::find_if(f.found.begin(), f.found.end(),
                               [station](const auto& found) { return found.first == station; });
        if (it == f.found.end())
            f.found.emplace_back(station, s.Text());
        else
            it->second += ", " + s.Text();
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    std::printf("%8d %-12s %s\n", station, s.Text().c_str(), answer.c_str());
    std::fflush(stdout);
    return true;
}

// Every station at every setting, within the plan's bound and until Ctrl-C.
void RunProbes(Session& session, const ScanPlan& plan, PrivateInit& init, double start,
               ScanFindings& f) {
    const bool progress = isatty(STDERR_FILENO) != 0;
    std::printf("%-8s %-12s %s\n", "station", "line", "answer");
    std::fflush(stdout);
    const std::vector<int>& stations = plan.stations;
    LineOptions line = plan.line; // at the setting in force
    for (size_t si = 0; si < plan.settings.size() && !StopRequested() && !f.outOfTime; ++si) {
        const Setting& s = plan.settings[si];
        if (si > 0 && !Reopen(session, line, s, init)) {
            Note("the port refused " + s.Text() + "; skipped");
            continue;
        }
        if (!progress) std::fprintf(stderr, "zelhost: scanning at %s\n", s.Text().c_str());
        for (size_t k = 0; k < stations.size() && !StopRequested(); ++k) {
            const double elapsed = SteadyMs() - start;
            if (elapsed + plan.ProbeMs(s) > plan.boundMs) {
                f.outOfTime = true;
                break;
            }
            if (progress)
                std::fprintf(stderr,
                             "\r\033[K%s: station %d (%zu of %zu), %zu found, %s of at most %s",
                             s.Text().c_str(), stations[k], k + 1, stations.size(), f.found.size(),
                             Duration(elapsed).c_str(), Duration(plan.boundMs).c_str());
            if (!ProbeStation(session, stations[k], s, progress, f)) {
                SetStopRequested(true);
                break;
            }
        }
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
}

// The closing line: how the scan ended, who answered at which settings; the
// exit code.
int SummarizeScan(const ScanPlan& plan, ScanFindings& f, double tookMs) {
    std::sort(f.found.begin(), f.found.end());
    std::string list;
    for (const auto& found : f.found)
        list += (list.empty() ? ": " : "; ") + std::to_string(found.first) + " at " + found.second;
    std::printf("scan %s after %s (bound %s), %ld probe(s): %zu station(s) answered%s%s\n",
                StopRequested() && f.exitCode == kExitOk ? "interrupted"
                : f.outOfTime                            ? "stopped at its time bound"
                                                         : "ended",
                Duration(tookMs).c_str(), Duration(plan.boundMs).c_str(), f.probes, f.found.size(),
                list.c_str(),
                f.garbled ? (", " + std::to_string(f.garbled) + " garbled reply(ies)").c_str()
                          : "");
    std::fflush(stdout);
    if (f.exitCode != kExitOk) return f.exitCode;
    return f.found.empty() ? kExitFailed : kExitOk;
}

int RunScan(const GlobalOptions& global, ScanOptions& o) {
    Session session;
    PrivateInit init;
    ScanPlan plan;
    if (int rc = PlanScan(global, o, session, init, plan)) return rc;
    const double start = SteadyMs();
    ScanFindings findings;
    RunProbes(session, plan, init, start, findings);
    ClearCapturedLog();
    session.End();
    return SummarizeScan(plan, findings, SteadyMs() - start);
}

} // namespace

Command AddScanCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<ScanOptions>();
    o->line.timeoutMs = 100;
    CLI::App* cmd = app.add_subcommand(
        "scan", "find the slaves on a line: probe stations at one or more line settings with a "
                "cheap read and list who answered (Ctrl-C ends early)");
    AddPortOptions(cmd, o->line);
    cmd->add_option("--stations,-s", o->stations, "stations to probe: 1-247, 1,5,10-20")
        ->capture_default_str();
    cmd->add_option("--baud,-b", o->bauds,
                    "baud rates, e.g. 9600,19200 (default: the driver's, 9600)");
    cmd->add_option("--data-bits", o->dataBits, "data bits, e.g. 8 or 7,8 (default 8)");
    cmd->add_option("--parity", o->parities, "parities, e.g. E,N or even,none (default N)");
    cmd->add_option("--stop-bits", o->stopBits, "stop bits, e.g. 1,2 (default 1)");
    cmd->add_option("--timeout,-t", o->line.timeoutMs,
                    "reply time-out in milliseconds; short, for every silent station costs "
                    "the driver's attempts")
        ->capture_default_str()
        ->check(NumberIn(10, 60000));
    return Command{cmd, [&global, o] { return RunScan(global, *o); }};
}

} // namespace zelhost
