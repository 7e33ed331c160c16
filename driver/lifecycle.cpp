// Starting, restarting, releasing, reacquiring, reconfiguring and stopping a
// channel and its serial port.
#include "driver/lifecycle.h"

#include <cstring>

#include "config/initfile.h"
#include "core/log.h"
#include "core/log_texts.h"
#include "driver/operations.h"
#include "driver/results.h"
#include "modbus/demotion.h"
#include "serial/serial.h"

namespace zel {
namespace {

constexpr uint16_t kDefaultLineFlags = 0x0303; // DTR and RTS raised while open

int Ch(const ChannelState& ch) {
    return static_cast<int>(ch.channel);
}

// Copies a 12-byte host name up to its terminator; at most 11 characters
// are kept, so the result is always terminated.
void CopyName(char (&dst)[12], const char (&src)[12]) {
    char name[12] = {};
    for (size_t i = 0; i < sizeof name - 1 && src[i]; ++i)
        name[i] = src[i];
    std::memcpy(dst, name, sizeof name);
}

// Stores a freshly opened handle. A device that opens more than once (the
// null device) can hand out a second handle while the first is still held;
// the first one is closed then rather than leaked.
void StorePort(ChannelState& ch, void* handle) {
    if (ch.port && ch.port != handle) CloseComPort(ch.port);
    ch.port = handle;
}

void SettingsFromHost(PortSettings& s, const OpenParams& p) {
    CopyName(s.name, p.portName);
    s.baud = p.baud;
    s.dataBits = p.dataBits;
    s.stopBits = p.stopBits;
    s.parity = p.parity;
    s.lineFlags = kDefaultLineFlags;
}

// The reply time-out in milliseconds, as SetReadTimeout applies it: 0 and
// below stand for the open-time 1000 ms.
uint32_t ReplyTimeoutMs(int32_t timeout) {
    return timeout > 0 ? static_cast<uint32_t>(timeout) * 10u : 1000u;
}

} // namespace

// A channel whose initialization file gave the rate opens at that rate,
// whatever other channels (or a browse) read since; the host's record only
// holds a tenth of it, cut to 16 bits. A port the file names is opened
// instead of the host's; the host's name stays in portSettings and in the
// lines that show it.
void* OpenChannelPort(ChannelState& channel, const PortSettings& settings) {
    void* handle = nullptr;
    // The block may hold anything: never read past the name's 12 bytes.
    char name[sizeof settings.name];
    std::memcpy(name, settings.name, sizeof name);
    name[sizeof name - 1] = '\0';
    char address[sizeof channel.portAddress];
    std::memcpy(address, channel.portAddress, sizeof address);
    address[sizeof address - 1] = '\0';
    const bool filePort = address[0] != '\0';
    const char* device = filePort ? address : name;

    const bool fromFile = channel.rateFromFile != 0;
    LineSettings line{fromFile ? channel.fileBaudRate : settings.baud, settings.dataBits,
                      settings.stopBits, settings.parity, settings.lineFlags};
    // Connecting to a device server takes no longer than a reply may.
    line.connectTimeoutMs = ReplyTimeoutMs(channel.timeout);
    const SerialResult rc = fromFile ? OpenComPortInit(device, line, channel.channel, &handle)
                                     : OpenComPort(device, line, &handle);
    if (filePort) {
        if (rc == SerialResult::kOk)
            ZEL_LOG(kLogEvent, ZEL_TXT_FILE_PORT_OPENED, Ch(channel), device, name);
        else
            ZEL_LOG(kLogEvent, ZEL_TXT_FILE_PORT_FAILED, Ch(channel), device, name);
    }
    if (rc != SerialResult::kOk) return nullptr;
    StartLine(channel.line, device, line);
    if (channel.rtsControl != 0) ReleaseRts(handle);
    if (KindOfPort(device) == PortKind::kRawTcp)
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> Raw TCP port '%s': the device server keeps its own line settings (%u "
                "baud, %u data bits, parity code %u, stop-bits code %u not sent)",
                Ch(channel), device, static_cast<unsigned>(line.baudRate),
                static_cast<unsigned>(line.dataBits), static_cast<unsigned>(line.parity),
                static_cast<unsigned>(line.stopBits));
    if (fromFile)
        ZEL_LOG(kLogEvent, ZEL_TXT_FILE_RATE, Ch(channel), static_cast<int>(channel.fileBaudRate));
    // A USB adapter holds what it receives until its latency timer runs out:
    // up to 16 ms more for every piece of a reply.
    if (channel.lowLatency != 0) {
        const LatencyMode mode = UseLowLatency(handle);
        if (mode == LatencyMode::kSet)
            ZEL_LOG(kLogEvent, ZEL_TXT_LOW_LATENCY_SET, Ch(channel), name);
        else if (mode == LatencyMode::kAlreadyOn)
            ZEL_LOG(kLogEvent, ZEL_TXT_LOW_LATENCY_ON, Ch(channel), name);
    }
    return handle;
}

int32_t ColdStart(DriverRequest* req) {
    ChannelState* ch = StateOf(req);
    auto* params = static_cast<OpenParams*>(req->argument);
    if (!ch || !params) return kCommFailure;

    ch->channel = static_cast<uint16_t>(req->channel & 0xFFFF);
    ZEL_LOG(kLogEvent, "ZELMR>:version compiled on " __DATE__ " at time " __TIME__);

    ch->base = 'D';
    ch->protocol = 'M';
    ch->rtsControl = 0;
    ch->ifgLoops = 0;
    ch->ifgMs = 0;
    ch->portOpen = params->enabled;
    ch->timeout = params->timeout;
    ch->port = nullptr;
    ch->slaveOverride = 0;
    ch->reserved0 = 0;

    InitSettings file;
    file.protocol = ch->protocol;
    file.rtsControl = ch->rtsControl;
    file.slaveOverride = ch->slaveOverride;
    file.baudRate = kNoBaudRate;
    ReadInitFile(req->channel, file);
    ch->protocol = file.protocol;
    ch->base = file.base;
    ch->options = file.options;
    ch->ifgLoops = file.ifgLoops;
    ch->ifgMs = file.ifgMs;
    ch->rtsControl = file.rtsControl;
    ch->slaveOverride = file.slaveOverride;
    ch->parityCheck = file.parityCheck;
    ch->traceFrames = file.traceFrames;
    ch->rateFromFile = file.baudRate != kNoBaudRate ? 1 : 0;
    ch->fileBaudRate = file.baudRate;
    static_assert(sizeof ch->portAddress == sizeof file.port, "the file's port fits the block");
    std::memcpy(ch->portAddress, file.port, sizeof ch->portAddress);
    ch->portAddress[sizeof ch->portAddress - 1] = '\0';
    ch->lowLatency = file.lowLatency;
    ch->demoteAfter = file.demoteAfter;
    ch->demoteSeconds = file.demoteSeconds;
    ForgetStations(*ch);

    if (ch->rateFromFile) params->baud = static_cast<uint16_t>(file.baudRate / 10u);

    // A disabled channel gets its port settings too, so that a later
    // WarmStart or ReOpenCom opens the port the host named.
    SettingsFromHost(ch->portSettings, *params);
    // The block may hold anything before its first start; later opens keep
    // the reply window an earlier transaction left.
    ch->line.replyWindowEndUs = 0;
    if (ch->portOpen == 0) return kOk;

    void* handle = OpenChannelPort(*ch, ch->portSettings);
    if (!handle) {
        ZEL_LOG(kLogEvent, ZEL_TXT_COLDSTART_PORT_FAILED, Ch(*ch));
        return kCommFailure;
    }
    ch->port = handle;
    ZEL_LOG(kLogEvent, ZEL_TXT_INSTALLED, Ch(*ch));
    SetReadTimeout(ch->port, ch->timeout);
    return kOk;
}

int32_t WarmStart(DriverRequest* req) {
    ChannelState* ch = StateOf(req);
    if (!ch) return kCommFailure;
    uint16_t plcAddr = 0;
    if (req->argument) std::memcpy(&plcAddr, req->argument, sizeof plcAddr);
    ZEL_LOG(kLogEvent, "%02d> ZELMR: WarmStart() called for PLC Addr %d", Ch(*ch),
            static_cast<int>(plcAddr));

    if (ch->portOpen != 0 && ch->port) {
        ZEL_LOG(kLogTrace, "%02d> ZELMR: WarmStart(). Closing COM '%s'", Ch(*ch),
                ch->portSettings.name);
        const int32_t rc = CloseCom(req);
        if (rc != kOk)
            ZEL_LOG(kLogEvent, "%02d> ZELMR: WarmStart(). CloseCom() returned with rc %d", Ch(*ch),
                    static_cast<int>(rc));
    }

    if (!ch->port) {
        ZEL_LOG(kLogTrace, "%02d> ZELMR: WarmStart(). Opening COM '%s'", Ch(*ch),
                ch->portSettings.name);
        if (void* handle = OpenChannelPort(*ch, ch->portSettings)) {
            ch->port = handle;
            ch->portOpen = 1;
            SetReadTimeout(ch->port, ch->timeout);
        }
    }

    ZEL_LOG(kLogTrace, "%02d> ZELMR: WarmStart() returned", Ch(*ch));
    return kOk;
}

int32_t EndZel(DriverRequest* req) {
    driverEnded = 1;
    ChannelState* ch = StateOf(req);
    if (!ch) return CloseCom(req);
    const int32_t rc = CloseCom(req);
    if (rc != kOk) ZEL_LOG(kLogEvent, ZEL_TXT_END_CLOSE_FAILED, Ch(*ch));
    ZEL_LOG(kLogTrace, ZEL_TXT_END, Ch(*ch));
    return rc;
}

int32_t CloseCom(DriverRequest* req) {
    ChannelState* ch = StateOf(req);
    if (!ch) return kCommFailure;
    if (!ch->port) return kOk;
    const int32_t rc = ToHost(CloseComPort(ch->port));
    if (rc != kOk) return rc;
    ch->port = nullptr;
    ch->portOpen = 0;
    return kOk;
}

int32_t ReOpenCom(DriverRequest* req) {
    ChannelState* ch = StateOf(req);
    if (!ch) return kCommFailure;
    void* handle = OpenChannelPort(*ch, ch->portSettings);
    if (!handle) return kCommFailure;
    StorePort(*ch, handle);
    ch->portOpen = 1;
    return kOk;
}

int32_t ChangeZelParams(DriverRequest* req) {
    ChannelState* ch = StateOf(req);
    const auto* params = static_cast<const ChangeParams*>(req->argument);
    if (!ch || !params) return kCommFailure;

    if (params->timeout != 0 && params->timeout != -1) ch->timeout = params->timeout;

    char name[12];
    CopyName(name, params->portName);
    if (std::strncmp(name, ch->portSettings.name, sizeof name) != 0 && ch->port) CloseCom(req);
    std::memcpy(ch->portSettings.name, name, sizeof name);

    if (params->baud != 0) {
        // The host's rate is the rate itself: the file's no longer applies.
        ch->rateFromFile = 0;
        ch->portSettings.baud = params->baud;
        ch->portSettings.dataBits = params->dataBits;
        ch->portSettings.stopBits = params->stopBits;
        ch->portSettings.parity = params->parity;
    }

    void* handle = OpenChannelPort(*ch, ch->portSettings);
    if (!handle) {
        ZEL_LOG(kLogEvent, ZEL_TXT_CHANGE_PORT_FAILED, Ch(*ch));
        return kCommFailure;
    }
    StorePort(*ch, handle);
    SetReadTimeout(ch->port, ch->timeout);
    ch->portOpen = 1;
    return kOk;
}

} // namespace zel
