#include "host/zelhost/session.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "host/zelhost/host_log.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zelhost {

void AddLineOptions(CLI::App* cmd, LineOptions& line) {
    cmd->add_option("--port,-p", line.port,
                    "serial port: a device path such as /dev/ttyUSB0 or /dev/pts/3, or COMn "
                    "(at most 11 characters)")
        ->required();
    cmd->add_option("--channel", line.channel, "channel number (init file ZELMRnn.INT)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    cmd->add_option(
           "--baud,-b", line.baud,
           "baud rate (default: the driver's, 9600; the host record holds at most 65535, higher "
           "rates go in the init file's BAUD_RATE)")
        ->check(CLI::Range(1, 65535));
    cmd->add_option("--data-bits", line.dataBits, "data bits (default 8)")->check(CLI::Range(5, 8));
    cmd->add_option("--parity", line.parity, "parity: N, E, O, M or S (default N)")
        ->check(CLI::IsMember({"N", "E", "O", "M", "S"}, CLI::ignore_case));
    cmd->add_option("--stop-bits", line.stopBits, "stop bits: 1, 1.5 or 2 (default 1)")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    cmd->add_option("--timeout,-t", line.timeoutMs,
                    "reply time-out in milliseconds (sent to the driver in 10 ms units)")
        ->capture_default_str()
        ->check(CLI::Range(1, 2000000000));
}

int Fail(int code, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zelhost: error: %s\n", message.c_str());
    return code;
}

Session::~Session() {
    if (started_) End();
}

int Session::Load(const GlobalOptions& global) {
    InstallLogSink(global.logLevel);
    std::string error;
    const std::string path = global.driver.empty() ? DefaultDriverPath() : global.driver;
    if (!lib_.Load(path, error)) return Fail(kExitPort, error);
    if (lib_.GetInfo(info_) != 0 || info_.stateSize <= 0)
        return Fail(kExitPort, "driver '" + path + "' did not report its identity");
    return kExitOk;
}

namespace {

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

} // namespace

int Session::Start(const LineOptions& line) {
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

    channel_ = std::make_unique<Channel>(lib_, line.channel, info_.stateSize);
    const int32_t rc = channel_->ColdStart(open);
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

} // namespace

std::string DiagnosePort(const std::string& port) {
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
