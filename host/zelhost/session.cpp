#include "host/zelhost/session.h"

#include <cstring>

#include <unistd.h>

#include "host/zelhost/driver_path.h"
#include "host/zelhost/failures.h"
#include "host/zelhost/host_log.h"
#include "host/zelhost/line_text.h"
#include "host/zelhost/log_match.h"
#include "host/zelhost/port_diagnosis.h"
#include "host/zelhost/trace.h"

namespace zelhost {

char LoggedBase() {
    const std::string line = LastLogLineMatching(
        {ZEL_TXT_BASE_DECIMAL, ZEL_TXT_BASE_LONG_DECIMAL, ZEL_TXT_BASE_HEXADECIMAL});
    if (MatchLine(ZEL_TXT_BASE_HEXADECIMAL, line)) return 'H';
    if (MatchLine(ZEL_TXT_BASE_LONG_DECIMAL, line)) return 'L';
    return 'D';
}

Session::~Session() {
    if (started_) End();
}

int Session::Load(const GlobalOptions& global) {
    InstallLogSink(global.logLevel);
    trace_ = global.trace;
    if (global.trace) StartTrace(stderr);
    std::string error;
    const std::string path = global.driver.empty() ? DefaultDriverPath() : global.driver;
    if (!lib_.Load(path, &error)) return Fail(kExitPort, error);
    if (zelclient::GetInfo(lib_.Entry(), info_) != 0 || info_.stateSize <= 0)
        return Fail(kExitPort, "driver '" + path + "' did not report its identity");
    return kExitOk;
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
    // The driver logs its frames only when the channel's file asks for it.
    const bool frames = trace_ || frames_;
    if (!file && (PortNeedsFile(line.port) || line.baud > 65535 || frames)) file = &ownInit_;
    if (file) {
        if (frames) file->Set("TRACE", kTraceLine);
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
    const size_t logged = CapturedLog().size();
    const int32_t rc = ColdStartIn(initDir, *channel_, open, lost);
    scheme_ =
        SchemeFromLog({CapturedLog().begin() + static_cast<long>(logged), CapturedLog().end()});
    if (!lost.empty()) return Fail(kExitPort, "cannot return to " + lost);
    started_ = true;
    if (rc != 0 && again) return kExitPort; // the caller says what it skips
    if (rc != 0) {
        const std::string said = LastLogLineMatching({ZEL_TXT_COLDSTART_PORT_FAILED});
        End();
        return Fail(kExitPort, "cannot open port '" + line.port + "': " + DiagnosePort(line.port) +
                                   (said.empty() ? "" : " (driver: " + said + ")"));
    }
    return kExitOk;
}

int Session::Start(const LineOptions& line, PrivateInit* init, bool frames) {
    frames_ = frames;
    channel_ = std::make_unique<Channel>(lib_.Entry(), line.channel, info_.stateSize);
    return StartChannel(line, init, false);
}

int Session::Restart(const LineOptions& line, PrivateInit* init) {
    if (!channel_) return Start(line, init);
    channel_->CloseCom();
    return StartChannel(line, init, true);
}

int Session::StartWithoutPort(int channel) {
    channel_ = std::make_unique<Channel>(lib_.Entry(), channel, info_.stateSize);
    zel::OpenParams open{};
    open.enabled = 0;
    open.baud = info_.baud;
    open.dataBits = info_.dataBits;
    open.stopBits = info_.stopBits;
    open.parity = info_.parity;
    open.timeout = 100;
    open_ = open;
    baud_ = open.baud;
    const size_t logged = CapturedLog().size();
    const int32_t rc = channel_->ColdStart(open);
    scheme_ =
        SchemeFromLog({CapturedLog().begin() + static_cast<long>(logged), CapturedLog().end()});
    started_ = true;
    if (rc != 0)
        return Fail(kExitPort, "the driver did not start channel " + std::to_string(channel));
    return kExitOk;
}

int Session::CheckGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate,
                       std::string* refusal) {
    return Resolve(gas, gateType, blockLength, gate, false, refusal);
}

int Session::ResolveGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate,
                         bool write) {
    return Resolve(gas, gateType, blockLength, gate, write, nullptr);
}

int Session::Resolve(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate,
                     bool write, std::string* quiet) {
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
    ReleaseLog(!quiet);
    if (rc != 0 && quiet) {
        *quiet = said;
        return kExitUsage;
    }
    if (rc != 0) {
        // The driver says only that the block is too long: say how long it may be.
        std::string limit;
        if (SaysBlockTooLong(said)) limit = BlockLimitText(gate.tag.memoryType, write);
        return Fail(kExitUsage, "gate address '" + gas + "' refused" +
                                    (said.empty() ? std::string() : ": " + said) +
                                    (limit.empty() ? "" : " (" + limit + ")"));
    }
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

} // namespace zelhost
