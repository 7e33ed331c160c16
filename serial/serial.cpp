// Serial port access on top of the kernel32-shaped call table `zel::comm`.
#include "serial/serial.h"

#include <cstring>

#include "core/log.h"
#include "core/log_texts.h"
#include "serial/comm_api.h"
#include "serial/net/address.h"
#include "serial/net/net_port.h"

namespace zel {
namespace {

constexpr DWORD kOpenReadTimeoutMs = 1000;
constexpr int32_t kDefaultTimeoutUnits = 100; // the open-time 1000 ms
constexpr DWORD kQueueSize = 1200;
constexpr DWORD kFlushChunk = 512;
// Discards end by time; this many reads end one whose clock stands still.
constexpr int kMaxDiscardReads = 32;
// The largest multiple of 10 ms that a DWORD time-out can hold.
constexpr uint64_t kMaxTimeoutMs = 4294967290u;
// Upper bound of the 1 ms polls for an empty output queue before RTS is
// lowered: enough for the longest frame at 300 baud, so that a queue that
// never drains cannot hold the caller's thread for ever.
constexpr int kMaxRtsPolls = 10000;

// The call table of an open port: a network port's own, or the serial table
// in force.
const CommApi& CommOf(HANDLE h) {
    return IsNetworkHandle(h) ? NetworkComm() : comm;
}

DWORD DtrControlFor(uint16_t lineFlags) {
    if (lineFlags & 0x0101) return DTR_CONTROL_ENABLE;
    if (lineFlags & 0x8000) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControlFor(uint16_t lineFlags) {
    if (lineFlags & 0x0202) return RTS_CONTROL_ENABLE;
    if (lineFlags & 0x1000) return RTS_CONTROL_HANDSHAKE;
    if (lineFlags & 0x2000) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

void ApplyLineSettings(DCB& dcb, const LineSettings& s) {
    dcb.BaudRate = s.baudRate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DtrControlFor(s.lineFlags);
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RtsControlFor(s.lineFlags);
    dcb.fAbortOnError = 0;
    dcb.ByteSize = static_cast<BYTE>(s.dataBits & 0xFF);
    dcb.Parity = static_cast<BYTE>(s.parity & 0xFF);
    dcb.StopBits = static_cast<BYTE>(s.stopBits & 0xFF);
    dcb.ErrorChar = static_cast<char>(0xFC);
}

// Both openers. `channel` is set only for the opener that logs a refusal of
// the line settings.
SerialResult OpenPort(const char* name, const LineSettings& line, const uint16_t* channel,
                      void** handle) {
    *handle = nullptr;
    if (!name) return SerialResult::kNotOpened;
    HANDLE h = net::IsNetworkAddress(name)
                   ? OpenNetworkPort(name, line.connectTimeoutMs)
                   : comm.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return SerialResult::kNotOpened;
    if (std::strcmp(name, "NUL") == 0) {
        *handle = h;
        return SerialResult::kOk;
    }

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!CommOf(h).GetCommState(h, &dcb)) {
        CommOf(h).CloseHandle(h);
        return SerialResult::kNoSettings;
    }

    COMMTIMEOUTS timeouts{0, 0, kOpenReadTimeoutMs, 0, 0};
    if (!CommOf(h).SetCommTimeouts(h, &timeouts)) {
        CommOf(h).CloseHandle(h);
        return SerialResult::kNotOpened;
    }

    ApplyLineSettings(dcb, line);
    if (!CommOf(h).SetCommState(h, &dcb)) {
        if (channel) ZEL_LOG(kLogEvent, ZEL_TXT_FILE_SETTINGS_REFUSED, static_cast<int>(*channel));
        CommOf(h).CloseHandle(h);
        return SerialResult::kRefused;
    }

    CommOf(h).SetupComm(h, kQueueSize, kQueueSize);
    *handle = h;
    return SerialResult::kOk;
}

} // namespace

SerialResult OpenComPort(const char* name, const LineSettings& line, void** handle) {
    return OpenPort(name, line, nullptr, handle);
}

SerialResult OpenComPortInit(const char* name, const LineSettings& line, uint16_t channel,
                             void** handle) {
    return OpenPort(name, line, &channel, handle);
}

PortKind KindOfPort(const char* name) {
    net::Address address;
    if (!net::ParseAddress(name, &address)) return PortKind::kSerial;
    return address.mode == net::Mode::kRaw ? PortKind::kRawTcp : PortKind::kRfc2217;
}

SerialResult CloseComPort(void* handle) {
    return CommOf(handle).CloseHandle(handle) ? SerialResult::kOk : SerialResult::kIoFailed;
}

LatencyMode UseLowLatency(void* handle) {
    return CommOf(handle).EnterLowLatency(handle);
}

// A time-out of 0 or below would make every read wait without limit (and
// would make a flush leave its 50 ms behind); it stands for the open-time
// default of 1000 ms instead.
int SetReadTimeout(void* handle, int32_t timeout) {
    COMMTIMEOUTS t;
    if (!CommOf(handle).GetCommTimeouts(handle, &t)) return 0;
    const int32_t units = timeout > 0 ? timeout : kDefaultTimeoutUnits;
    uint64_t ms = static_cast<uint64_t>(units) * 10u;
    if (ms > kMaxTimeoutMs) ms = kMaxTimeoutMs;
    const DWORD previous = t.ReadTotalTimeoutConstant;
    if (ms != previous) {
        t.ReadTotalTimeoutConstant = static_cast<DWORD>(ms);
        if (!CommOf(handle).SetCommTimeouts(handle, &t)) return 0;
    }
    return static_cast<int>(previous / 10u);
}

namespace {

// Copies what still fits of `bytes` behind the bytes `d` has kept.
void Keep(Discarded& d, const uint8_t* bytes, uint32_t n, uint8_t* keep, uint32_t keepSize) {
    for (uint32_t i = 0; i < n && d.kept < keepSize; ++i)
        keep[d.kept++] = bytes[i];
}

// Reads and discards until `untilUs`, or, with `quietMs`, until a read of
// that long brings nothing. Each read waits for the rest of its span at
// most, so that the discard never runs past `untilUs`.
Discarded Discard(void* handle, LineState* line, uint64_t untilUs, uint32_t quietMs, uint8_t* keep,
                  uint32_t keepSize) {
    Discarded d{false, 0, 0};
    COMMTIMEOUTS saved;
    // Where the time-outs cannot be read they cannot be put back either:
    // one read with the port's own time-out.
    const bool own = CommOf(handle).GetCommTimeouts(handle, &saved) != FALSE;
    uint8_t scratch[kFlushChunk];
    for (int reads = 0; reads < kMaxDiscardReads; ++reads) {
        if (own) {
            const uint64_t now = NowUs();
            if (now >= untilUs && reads > 0) break;
            uint64_t ms = now < untilUs ? (untilUs - now + 999u) / 1000u : 1u;
            if (quietMs != 0 && ms > quietMs) ms = quietMs;
            COMMTIMEOUTS t = saved;
            t.ReadIntervalTimeout = 0;
            t.ReadTotalTimeoutMultiplier = 0;
            t.ReadTotalTimeoutConstant = static_cast<DWORD>(ms);
            CommOf(handle).SetCommTimeouts(handle, &t);
        }
        DWORD got = 0;
        if (!CommOf(handle).ReadFile(handle, scratch, kFlushChunk, &got, nullptr)) {
            d.readFailed = true;
            break;
        }
        if (got == 0) break;
        d.count += got;
        Keep(d, scratch, got, keep, keepSize);
        if (line) NoteTraffic(*line);
        if (!own) break;
    }
    if (own) CommOf(handle).SetCommTimeouts(handle, &saved);
    return d;
}

bool NothingWaits(void* handle) {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    return CommOf(handle).ClearCommError(handle, &errors, &stat) && stat.cbInQue == 0;
}

} // namespace

Discarded FlushLine(void* handle, LineState* line, uint32_t boundMs, bool awaitQuiet, uint8_t* keep,
                    uint32_t keepSize) {
    if (!awaitQuiet && NothingWaits(handle)) return Discarded{false, 0, 0};
    const uint32_t quiet = boundMs < kQuietMs ? boundMs : kQuietMs;
    return Discard(handle, line, NowUs() + 1000u * static_cast<uint64_t>(boundMs),
                   quiet != 0 ? quiet : 1u, keep, keepSize);
}

Discarded DiscardUntil(void* handle, LineState* line, uint64_t untilUs, uint8_t* keep,
                       uint32_t keepSize) {
    return Discard(handle, line, untilUs, 0, keep, keepSize);
}

Discarded DiscardWaiting(void* handle, LineState* line, uint8_t* keep, uint32_t keepSize) {
    Discarded d{false, 0, 0};
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    if (!CommOf(handle).ClearCommError(handle, &errors, &stat) || stat.cbInQue == 0) return d;
    // What waits is read at once, whatever the read time-out.
    uint8_t scratch[kFlushChunk];
    DWORD left = stat.cbInQue;
    for (int reads = 0; reads < kMaxDiscardReads && left != 0; ++reads) {
        DWORD got = 0;
        if (!CommOf(handle).ReadFile(handle, scratch, left < kFlushChunk ? left : kFlushChunk, &got,
                                     nullptr)) {
            d.readFailed = true;
            break;
        }
        if (got == 0) break;
        d.count += got;
        Keep(d, scratch, got, keep, keepSize);
        left = got < left ? left - got : 0;
    }
    if (line && d.count != 0) NoteTraffic(*line);
    return d;
}

bool FlushInput(void* handle, LineState* line) {
    return !FlushLine(handle, line, kFlushBoundMs, false).readFailed;
}

SerialResult WritePort(void* handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
    DWORD put = 0;
    if (!CommOf(handle).WriteFile(handle, bytes, count, &put, nullptr))
        return SerialResult::kIoFailed;
    if (written) *written = put;
    return put == count ? SerialResult::kOk : SerialResult::kShort;
}

SerialResult ReadPort(void* handle, uint8_t* buffer, uint16_t count, uint32_t* got) {
    if (got) *got = 0;
    DWORD n = 0;
    if (!CommOf(handle).ReadFile(handle, buffer, count, &n, nullptr))
        return SerialResult::kIoFailed;
    if (n == 0) return SerialResult::kIoFailed;
    if (got) *got = n;
    return SerialResult::kOk;
}

void NoteTraffic(LineState& line) {
    line.lastActivityUs = NowUs();
}

void InterFrameGap(uint16_t ms, uint16_t loops) {
    if (ms != 0) {
        comm.Sleep(ms);
    } else if (loops != 0) {
        // The passes are the gap: the volatile counter keeps the loop alive.
        const uint32_t passes = static_cast<uint32_t>(loops) * 100u;
        for (volatile uint32_t i = 0; i < passes;)
            i = i + 1;
    }
}

void StartLine(LineState& line, const char* name, const LineSettings& settings) {
    line.lastActivityUs = 0;
    line.requestSentUs = 0;
    // The reply window is kept: a late answer to a request sent before a
    // reopen still arrives on the line after it. The null device has no
    // line; a device server keeps its own line's timing, and the silence
    // before a request would only delay it.
    const bool noLine = name && (std::strcmp(name, "NUL") == 0 || net::IsNetworkAddress(name));
    line.charTimeUs = noLine ? 0 : CharTimeUs(settings);
}

uint64_t NowUs() {
    LARGE_INTEGER count, frequency;
    if (!comm.QueryPerformanceCounter(&count) || !comm.QueryPerformanceFrequency(&frequency) ||
        frequency.QuadPart <= 0 || count.QuadPart < 0)
        return 0;
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    return c / f * 1000000u + c % f * 1000000u / f;
}

void ReleaseRts(void* handle) {
    CommOf(handle).EscapeCommFunction(handle, CLRRTS);
}

uint32_t SilentIntervalUs(const LineState& line) {
    return (7u * line.charTimeUs + 1u) / 2u;
}

namespace {

// Pauses until the monotonic clock reaches `deadline`.
void WaitUntil(uint64_t deadline) {
    const uint64_t now = NowUs();
    if (now != 0 && now < deadline) comm.SleepMicroseconds(static_cast<DWORD>(deadline - now));
}

} // namespace

KeyedWrite WriteRequest(void* handle, const uint8_t* bytes, uint32_t count, bool keyRts,
                        LineState& line) {
    // Slaves that frame by silence would take a request that follows the
    // last reply too closely for that reply's tail.
    // One clock reading serves the silence and the write's start, unless a
    // pause or an RTS ioctl came between them.
    uint64_t now = NowUs();
    if (line.charTimeUs != 0 && line.lastActivityUs != 0) {
        const uint64_t quietAt = line.lastActivityUs + SilentIntervalUs(line);
        if (now != 0 && now < quietAt) {
            comm.SleepMicroseconds(static_cast<DWORD>(quietAt - now));
            now = NowUs();
        }
    }

    KeyedWrite done{SerialResult::kOk, false, false, false};
    // A device that keys RTS itself does so with the UART's own timing.
    const bool byHand = keyRts && !CommOf(handle).RtsKeyedByDevice(handle);
    if (byHand) done.raiseFailed = !CommOf(handle).EscapeCommFunction(handle, SETRTS);
    const uint64_t started = byHand ? NowUs() : now;
    uint32_t written = 0;
    done.write = WritePort(handle, bytes, count, &written);
    // The request leaves before its reply is waited for: the reply time-out
    // counts from its end, and nothing is left to leave after a time-out.
    CommOf(handle).FlushFileBuffers(handle);
    if (byHand) {
        for (int polls = 0; polls < kMaxRtsPolls; ++polls) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!CommOf(handle).ClearCommError(handle, &errors, &stat)) {
                done.queueQueryFailed = true;
                break;
            }
            if (stat.cbOutQue == 0) break;
            comm.Sleep(1);
        }
        // The drain and the queue tell when the bytes left the driver, not
        // when the last stop bit left the wire: a USB adapter's drain returns
        // once the bytes are on the bus, a Windows driver's once a FIFO took
        // them. The frame cannot have left before its wire time, counted
        // from the write's start with one character to spare.
        if (started != 0 && line.charTimeUs != 0)
            WaitUntil(started + (static_cast<uint64_t>(count) + 1u) * line.charTimeUs);
        done.lowerFailed = !CommOf(handle).EscapeCommFunction(handle, CLRRTS);
    }
    line.requestSentUs = line.lastActivityUs = NowUs();
    return done;
}

} // namespace zel
