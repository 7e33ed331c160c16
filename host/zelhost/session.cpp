#include "host/zelhost/session.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "host/zelhost/host_log.h"
#include "host/zelhost/trace.h"
#include "serial/posix/devnames.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zelhost {

CLI::Validator NumberIn(long long lo, long long hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || !end || *end != '\0' || errno == ERANGE)
                return "'" + text + "' is not a whole number";
            if (v < lo || v > hi)
                return "'" + text + "' is not between " + std::to_string(lo) + " and " +
                       std::to_string(hi);
            return "";
        },
        std::to_string(lo) + ".." + std::to_string(hi));
}

CLI::Validator OneOf(const std::vector<std::string>& words) {
    std::string list;
    for (const std::string& w : words)
        list += (list.empty() ? "" : ", ") + w;
    return CLI::Validator(
        [words, list](std::string& text) -> std::string {
            for (const std::string& w : words)
                if (strcasecmp(w.c_str(), text.c_str()) == 0) {
                    text = w;
                    return "";
                }
            return "'" + text + "' is not one of " + list;
        },
        list);
}

std::string UnavailableStopBits(const std::string& stopBits) {
#ifdef _WIN32
    (void)stopBits;
    return "";
#else
    if (stopBits != "1.5") return "";
    return "1.5 stop bits cannot be set on a Linux serial port (termios offers 1 or 2)";
#endif
}

namespace {

CLI::Validator StopBitsCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text == "1" || text == "2") return "";
            const std::string why = UnavailableStopBits(text);
            if (!why.empty()) return why;
            return text == "1.5" ? "" : "'" + text + "' is not 1, 1.5 or 2";
        },
        "1|2");
}

} // namespace

void AddPortOptions(CLI::App* cmd, LineOptions& line) {
    cmd->add_option("--port,-p", line.port,
                    "serial port: a device path such as /dev/ttyUSB0 or /dev/pts/3, or COMn "
                    "(at most 11 characters)")
        ->required();
    cmd->add_option("--channel", line.channel, "channel number (init file ZELMRnn.INT)")
        ->capture_default_str()
        ->check(NumberIn(0, 65535));
}

void AddLineOptions(CLI::App* cmd, LineOptions& line) {
    AddPortOptions(cmd, line);
    cmd->add_option(
           "--baud,-b", line.baud,
           "baud rate (default: the driver's, 9600; the host record holds at most 65535, higher "
           "rates go in the init file's BAUD_RATE)")
        ->check(NumberIn(1, 65535));
    cmd->add_option("--data-bits", line.dataBits, "data bits (default 8)")->check(NumberIn(5, 8));
    cmd->add_option("--parity", line.parity, "parity: N, E, O, M or S (default N)")
        ->check(OneOf({"N", "E", "O", "M", "S"}));
    cmd->add_option("--stop-bits", line.stopBits,
                    "stop bits: 1 or 2 (default 1; a Linux port cannot send 1.5)")
        ->check(StopBitsCheck());
    cmd->add_option("--timeout,-t", line.timeoutMs,
                    "reply time-out in milliseconds (sent to the driver in 10 ms units)")
        ->capture_default_str()
        ->check(NumberIn(1, 2000000000));
}

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

std::string FailureText(int32_t rc, const TxnReport& report) {
    std::string text;
    if (report.outcome == TxnOutcome::kRefused)
        text = "nothing sent (result " + std::to_string(rc) + ")";
    else
        text = "result " + std::to_string(rc) + " (" + OutcomeText(report) +
               (report.sends > 1 ? ", " + std::to_string(report.sends) + " requests sent" : "") +
               ")";
    if (!report.driverSaid.empty()) text += ": " + report.driverSaid;
    return text;
}

void Note(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelhost: note: %s\n", message.c_str());
}

std::string ParityText(unsigned code, const char* unknown) {
    static const char* const kParity[] = {"N", "O", "E", "M", "S"};
    return code < 5 ? kParity[code] : unknown;
}

std::string StopBitsText(unsigned code, const char* unknown) {
    static const char* const kStop[] = {"1", "1.5", "2"};
    return code < 3 ? kStop[code] : unknown;
}

std::string LineText(unsigned baud, unsigned dataBits, unsigned parity, unsigned stopBits) {
    return std::to_string(baud) + " " + std::to_string(dataBits) + ParityText(parity) +
           StopBitsText(stopBits);
}

char LoggedBase() {
    const std::string line = LastLogLineWith("> Base =");
    if (line.find("Hexadecimal") != std::string::npos) return 'H';
    if (line.find("Long Decimal") != std::string::npos) return 'L';
    return 'D';
}

Session::~Session() {
    if (started_) End();
}

int Session::Load(const GlobalOptions& global) {
    InstallLogSink(global.logLevel);
    if (global.trace) StartTrace(stderr);
    std::string error;
    const std::string path = global.driver.empty() ? DefaultDriverPath() : global.driver;
    if (!lib_.Load(path, &error)) return Fail(kExitPort, error);
    if (zelclient::GetInfo(lib_.Entry(), info_) != 0 || info_.stateSize <= 0)
        return Fail(kExitPort, "driver '" + path + "' did not report its identity");
    return kExitOk;
}

uint16_t ParityCode(const std::string& p) {
    switch (p.empty() ? 'N' : std::toupper(static_cast<unsigned char>(p[0]))) {
    case 'O':
        return 1;
    case 'E':
        return 2;
    case 'M':
        return 3;
    case 'S':
        return 4;
    default:
        return 0;
    }
}

uint16_t StopBitsCode(const std::string& s) {
    return s == "1.5" ? 1 : s == "2" ? 2 : 0;
}

std::string Session::Line() const {
    return LineText(open_.baud, open_.dataBits, open_.parity, open_.stopBits);
}

int32_t ColdStartIn(const std::string& initDir, Channel& channel, zel::OpenParams& open,
                    std::string& lost) {
    lost.clear();
    char here[4096] = {};
    const bool moved = !initDir.empty() && getcwd(here, sizeof here) && chdir(initDir.c_str()) == 0;
    const int32_t rc = channel.ColdStart(open);
    if (moved && chdir(here) != 0) lost = here;
    return rc;
}

int Session::Start(const LineOptions& line, const std::string& initDir) {
    if (line.port.empty()) return Fail(kExitUsage, "no port given (--port)");
    if (line.port.size() > 11)
        return Fail(kExitUsage, "port name '" + line.port +
                                    "' is longer than 11 characters; use a shorter path "
                                    "(a symbolic link) or a COMn name");
    zel::OpenParams open{};
    std::memcpy(open.portName, line.port.c_str(), line.port.size());
    open.enabled = 1;
    open.timeout = (line.timeoutMs + 9) / 10;
    open.baud = static_cast<uint16_t>(line.baud ? line.baud : info_.baud);
    open.dataBits = static_cast<uint16_t>(line.dataBits ? line.dataBits : info_.dataBits);
    open.stopBits = line.stopBits.empty() ? info_.stopBits : StopBitsCode(line.stopBits);
    open.parity = line.parity.empty() ? info_.parity : ParityCode(line.parity);

    open_ = open;
    channel_ = std::make_unique<Channel>(lib_.Entry(), line.channel, info_.stateSize);
    std::string lost;
    const int32_t rc = ColdStartIn(initDir, *channel_, open, lost);
    if (!lost.empty()) return Fail(kExitPort, "cannot return to " + lost);
    started_ = true;
    if (rc != 0) {
        const std::string said = LastLogLineWith("ColdStart()");
        End();
        return Fail(kExitPort, "cannot open port '" + line.port + "': " + DiagnosePort(line.port) +
                                   (said.empty() ? "" : " (driver: " + said + ")"));
    }
    return kExitOk;
}

int Session::ResolveGate(const std::string& gas, int32_t gateType, int32_t blockLength,
                         Gate& gate) {
    gate.gas = gas;
    const bool chosen = gateType >= 0;
    int32_t type = chosen ? gateType : GateTypeForAddress(gas);
    if (type < 0) type = zel::kGateUnsigned16;
    HoldLog();
    int32_t rc = channel_->Parse(gas.c_str(), type, blockLength, gate.tag);
    // The parser fills the whole tag before it checks the gate type: a bit
    // number found there makes the gate digital.
    if (rc != 0 && !chosen && blockLength < 1 && gate.tag.bit >= 0 && type != zel::kGateDigital) {
        ReleaseLog(false);
        HoldLog();
        type = zel::kGateDigital;
        rc = channel_->Parse(gas.c_str(), type, blockLength, gate.tag);
    }
    const std::string said = LastLogLine();
    ReleaseLog(true);
    if (rc != 0)
        return Fail(kExitUsage, "gate address '" + gas + "' refused" +
                                    (said.empty() ? std::string() : ": " + said));
    gate.gateType = type;
    gate.kind = KindOf(gate.tag, type);
    return kExitOk;
}

int Session::ResolveGates(const std::vector<std::string>& gases, int32_t gateType,
                          int32_t blockLength, std::vector<Gate>& gates) {
    gates.assign(gases.size(), Gate{});
    int exitCode = kExitOk;
    for (size_t i = 0; i < gases.size(); ++i)
        if (int rc = ResolveGate(gases[i], gateType, blockLength, gates[i])) exitCode = rc;
    return exitCode;
}

int32_t Session::End() {
    if (!started_) return 0;
    started_ = false;
    return channel_->EndZel();
}

namespace {

std::string DiagnosePath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "no such device";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) return "in use by another program";
    if (fd < 0) return std::string("not accessible (") + std::strerror(errno) + ")";
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    const bool terminal = isatty(fd) != 0;
    close(fd);
    if (busy) return "in use by another program";
    if (!S_ISCHR(st.st_mode) || !terminal) return "not a serial device";
    return "the line settings were refused";
}

} // namespace

std::string DiagnosePort(const std::string& port) {
    // The name as the driver resolves it.
    char path[4096];
    switch (zel::posixcomm::ResolveDevice(port.c_str(), path, sizeof path)) {
    case zel::posixcomm::DeviceKind::kUnknown:
        return "not a device name (a path such as /dev/ttyUSB0, COMn or NUL)";
    case zel::posixcomm::DeviceKind::kNull:
        // Only "NUL" itself opens without line settings.
        if (port != "NUL") return "the null device, which opens as \"NUL\" only";
        return "the port does not open";
    case zel::posixcomm::DeviceKind::kPath:
        break;
    }
    if (port[0] == '/') return DiagnosePath(port);
    struct stat st {};
    if (lstat(path, &st) != 0)
        return port + " is not mapped: no link " + path + " (see docs/serial-linux.md)";
    return "through " + std::string(path) + ": " + DiagnosePath(path);
}

} // namespace zelhost
