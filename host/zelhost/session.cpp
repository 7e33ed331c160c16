#include "host/zelhost/session.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "host/zelhost/host_log.h"
#include "host/zelhost/trace.h"
#include "serial/net/address.h"
#include "serial/net/socket.h"

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
                    "serial port: a device path such as /dev/ttyUSB0 or "
                    "/dev/serial/by-id/..., COMn, or a serial device server: "
                    "tcp://HOST:PORT (raw TCP) or rfc2217://HOST:PORT (the line settings go to "
                    "the server); what does not fit the host's 11 characters goes through the "
                    "channel's init file")
        ->required();
    cmd->add_option("--channel", line.channel, "channel number (init file ZELMRnn.INT)")
        ->capture_default_str()
        ->check(NumberIn(0, 65535));
}

void AddLineOptions(CLI::App* cmd, LineOptions& line) {
    AddPortOptions(cmd, line);
    cmd->add_option(
           "--baud,-b", line.baud,
           "baud rate (default: the driver's, 9600; above 65535 it goes through the channel's "
           "init file, as BAUD_RATE)")
        ->check(NumberIn(1, 4000000));
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
    if (!lib_.Load(path, error)) return Fail(kExitPort, error);
    if (lib_.GetInfo(info_) != 0 || info_.stateSize <= 0)
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
    return LineText(static_cast<unsigned>(baud_), open_.dataBits, open_.parity, open_.stopBits);
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

std::string Session::RecordPort(const LineOptions& line) const {
    return PortNeedsFile(line.port) ? kCarriedPortName : line.port;
}

int Session::StartChannel(const LineOptions& line, PrivateInit* init, bool again) {
    if (line.port.empty()) return Fail(kExitUsage, "no port given (--port)");
    // What the host's record cannot hold goes through the init file of a
    // private folder: the caller's, or the session's own.
    PrivateInit* file = init;
    if (!file && (PortNeedsFile(line.port) || line.baud > 65535)) file = &ownInit_;
    if (file) {
        file->Carry(line.port, line.baud);
        if (!file->Empty() && !file->Write(line.channel))
            return Fail(kExitPort, "cannot write the channel's init file in a temporary folder");
    }
    const std::string initDir = file && !file->Empty() ? file->Dir() : "";

    zel::OpenParams open{};
    const std::string port = RecordPort(line);
    std::memcpy(open.portName, port.c_str(), port.size());
    open.enabled = 1;
    open.timeout = (line.timeoutMs + 9) / 10;
    // The init file's rate wins; the record gets a tenth of it, as the
    // driver writes it back.
    open.baud = static_cast<uint16_t>(line.baud > 65535 ? line.baud / 10
                                      : line.baud       ? line.baud
                                                        : info_.baud);
    open.dataBits = static_cast<uint16_t>(line.dataBits ? line.dataBits : info_.dataBits);
    open.stopBits = line.stopBits.empty() ? info_.stopBits : StopBitsCode(line.stopBits);
    open.parity = line.parity.empty() ? info_.parity : ParityCode(line.parity);

    open_ = open;
    baud_ = line.baud > 65535 ? line.baud : open.baud;
    std::string lost;
    const int32_t rc = ColdStartIn(initDir, *channel_, open, lost);
    if (!lost.empty()) return Fail(kExitPort, "cannot return to " + lost);
    started_ = true;
    if (rc != 0 && again) return kExitPort; // the caller says what it skips
    if (rc != 0) {
        const std::string said = LastLogLineWith("ColdStart()");
        End();
        return Fail(kExitPort, "cannot open port '" + line.port + "': " + DiagnosePort(line.port) +
                                   (said.empty() ? "" : " (driver: " + said + ")"));
    }
    return kExitOk;
}

int Session::Start(const LineOptions& line, PrivateInit* init) {
    channel_ = std::make_unique<Channel>(lib_, line.channel, info_.stateSize);
    return StartChannel(line, init, false);
}

int Session::Restart(const LineOptions& line, PrivateInit* init) {
    if (!channel_) return Start(line, init);
    channel_->CloseCom();
    return StartChannel(line, init, true);
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

#ifndef _WIN32
std::string DiagnosePath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "no such device";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) return "in use by another program";
    if (fd < 0) return std::string("not accessible (") + std::strerror(errno) + ")";
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (busy) return "in use by another program";
    if (!S_ISCHR(st.st_mode)) return "not a serial device";
    return "the line settings were refused";
}

// The link a COMn name goes through, as the driver looks for it.
std::string ComLink(const std::string& port) {
    unsigned n = 0;
    char rest = 0;
    if (port.size() < 4 || strncasecmp(port.c_str(), "COM", 3) != 0 ||
        std::sscanf(port.c_str() + 3, "%u%c", &n, &rest) != 1 || n < 1 || n > 256)
        return "";
    const std::string name = "/com" + std::to_string(n);
    if (const char* dir = std::getenv("ZEL_COMDIR"))
        if (*dir) return dir + name;
    struct stat st {};
    if (const char* home = std::getenv("HOME")) {
        const std::string mine = std::string(home) + "/.zelqkmr/dosdevices" + name;
        if (*home && lstat(mine.c_str(), &st) == 0) return mine;
    }
    return "/etc/zelqkmr/dosdevices" + name;
}
#endif

// Why a device server's port did not open, found by connecting to it.
std::string DiagnoseServer(const std::string& port) {
    zel::net::Address a{};
    if (!zel::net::ParseAddress(port.c_str(), &a))
        return "not a device server address (tcp://HOST:PORT or rfc2217://HOST:PORT, port "
               "1..65535)";
    const std::string where = std::string(a.host) + ":" + std::to_string(a.port);
    constexpr uint32_t kProbeMs = 3000;
    zel::net::ConnectResult result = zel::net::ConnectResult::kFailed;
    const zel::net::Socket s = zel::net::Connect(a.host, a.port, kProbeMs, &result);
    zel::net::CloseSocket(s);
    switch (result) {
    case zel::net::ConnectResult::kRefused:
        return "nothing listens at " + where + " (connection refused)";
    case zel::net::ConnectResult::kTimedOut:
        return "no answer from " + where + " within " + std::to_string(kProbeMs / 1000) + " s";
    case zel::net::ConnectResult::kNoAddress:
        return "the host name '" + std::string(a.host) + "' does not resolve";
    case zel::net::ConnectResult::kConnected:
        return a.mode == zel::net::Mode::kRfc2217
                   ? "the server at " + where +
                         " did not take RFC 2217's COM-PORT-OPTION in time (a raw TCP port, or "
                         "its device in use?)"
                   : "the server at " + where + " answers now, it did not in time before";
    default:
        return "cannot connect to " + where;
    }
}

} // namespace

std::string DiagnosePort(const std::string& port) {
    if (zel::net::IsNetworkAddress(port.c_str())) return DiagnoseServer(port);
#ifndef _WIN32
    if (!port.empty() && port[0] == '/') return DiagnosePath(port);
    const std::string link = ComLink(port);
    if (!link.empty()) {
        struct stat st {};
        if (lstat(link.c_str(), &st) != 0)
            return port + " is not mapped: no link " + link + " (see docs/serial-linux.md)";
        return "through " + link + ": " + DiagnosePath(link);
    }
    if (strcasecmp(port.c_str(), "NUL") != 0)
        return "not a device name (a path such as /dev/ttyUSB0, COMn or NUL)";
#endif
    return "the port does not open";
}

} // namespace zelhost
