// The call table of network ports, over the sockets of socket.h and the
// Telnet codec of telnet.h.
#include "serial/net/net_port.h"

#include <cstring>
#include <new>

#include "serial/net/address.h"
#include "serial/net/socket.h"
#include "serial/net/telnet.h"

namespace zel {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr size_t kInputSize = 1024;
constexpr size_t kChunk = 256;
// Sending never blocks for long (a frame is far below the socket's buffer);
// a peer that takes nothing for this long has gone.
constexpr uint32_t kSendBoundMs = kMaxConnectMs;

struct NetPort {
    net::Address address;
    net::Socket socket;
    uint32_t connectMs;
    COMMTIMEOUTS timeouts;
    DCB dcb;
    bool dcbSet;
    // The last call was a write: a query of the input queue then is not a
    // flush before a request.
    bool wroteLast;
    // A flush found input waiting: the server's buffer is purged in front
    // of the next request (RFC 2217).
    bool purgeBeforeWrite;
    net::telnet::Decoder decoder;
    uint16_t inStart;
    uint16_t inLength;
    uint8_t in[kInputSize];
};

constexpr uintptr_t kTag = kNetworkHandleTag;

NetPort* PortOf(HANDLE h) {
    if (!IsNetworkHandle(h)) return nullptr;
    return reinterpret_cast<NetPort*>(reinterpret_cast<uintptr_t>(h) & ~kTag);
}

bool Telnet(const NetPort* p) {
    return p->address.mode == net::Mode::kRfc2217;
}

void Drop(NetPort* p) {
    net::CloseSocket(p->socket);
    p->socket = net::kNoSocket;
}

// The data that has come, packed at the start of the buffer.
void Compact(NetPort* p) {
    if (p->inStart == 0) return;
    std::memmove(p->in, p->in + p->inStart, p->inLength);
    p->inStart = 0;
}

bool SendRaw(NetPort* p, const uint8_t* bytes, size_t n) {
    if (p->socket == net::kNoSocket) return false;
    if (net::SendAll(p->socket, bytes, n, kSendBoundMs)) return true;
    Drop(p);
    return false;
}

// Takes what has come without waiting. False when the connection has ended
// or failed (it is closed then); what came before stays readable.
bool Pump(NetPort* p) {
    if (p->socket == net::kNoSocket) return false;
    for (;;) {
        Compact(p);
        const size_t room = kInputSize - p->inLength;
        if (room == 0) return true; // the reader takes it first
        uint8_t raw[kInputSize];
        const long r = net::Receive(p->socket, raw, room);
        if (r == -1) return true;
        if (r <= 0) {
            Drop(p);
            return false;
        }
        const size_t n = static_cast<size_t>(r);
        if (!Telnet(p)) {
            std::memcpy(p->in + p->inLength, raw, n);
            p->inLength = static_cast<uint16_t>(p->inLength + n);
        } else {
            const size_t data = p->decoder.Feed(raw, n, p->in + p->inLength);
            p->inLength = static_cast<uint16_t>(p->inLength + data);
            if (p->decoder.replyLength() != 0) {
                const bool sent = SendRaw(p, p->decoder.reply(), p->decoder.replyLength());
                p->decoder.Sent();
                if (!sent) return false;
            }
        }
        if (n < room) return true;
    }
}

// Waits until `done` holds or `deadline` passes, taking what comes.
template <typename Done> bool AwaitServer(NetPort* p, uint64_t deadline, Done done) {
    while (!done()) {
        const uint64_t now = net::MonotonicMs();
        if (now >= deadline) return false;
        if (net::WaitReadable(p->socket, static_cast<uint32_t>(deadline - now)) < 0) return false;
        if (!Pump(p)) return false;
    }
    return true;
}

uint8_t ParityValue(BYTE parity) {
    return static_cast<uint8_t>(parity + 1); // none 1, odd 2, even 3, mark 4, space 5
}

uint8_t StopSizeValue(BYTE stopBits) {
    return stopBits == TWOSTOPBITS ? 2 : stopBits == ONE5STOPBITS ? 3 : 1;
}

// Sends the line settings and waits, up to the deadline, for the server's
// answers, so that no request goes out before the line is set. A server
// that does not answer some of them is not waited for beyond the deadline.
bool SendLineSettings(NetPort* p, uint64_t deadline) {
    const DCB& d = p->dcb;
    const uint8_t rate[4] = {
        static_cast<uint8_t>(d.BaudRate >> 24), static_cast<uint8_t>(d.BaudRate >> 16),
        static_cast<uint8_t>(d.BaudRate >> 8), static_cast<uint8_t>(d.BaudRate)};
    const uint8_t size = d.ByteSize;
    const uint8_t parity = ParityValue(d.Parity);
    const uint8_t stop = StopSizeValue(d.StopBits);
    uint8_t out[4 * 16];
    size_t k = 0;
    k += net::telnet::Command(net::telnet::kSetBaudRate, rate, sizeof rate, out + k);
    k += net::telnet::Command(net::telnet::kSetDataSize, &size, 1, out + k);
    k += net::telnet::Command(net::telnet::kSetParity, &parity, 1, out + k);
    k += net::telnet::Command(net::telnet::kSetStopSize, &stop, 1, out + k);
    p->decoder.ForgetAnswers();
    if (!SendRaw(p, out, k)) return false;
    const net::telnet::Decoder& dec = p->decoder;
    AwaitServer(p, deadline, [&dec] {
        return dec.Answered(net::telnet::kSetBaudRate) && dec.Answered(net::telnet::kSetDataSize) &&
               dec.Answered(net::telnet::kSetParity) && dec.Answered(net::telnet::kSetStopSize);
    });
    return p->socket != net::kNoSocket;
}

// What a server sends on a new connection before any request can only be
// old: the rest of a reply it held for the last connection, or a greeting.
// It is discarded until the connection has been quiet for kQuietMs (at most
// kSettleMs), so that it is never taken for the answer to the next request.
constexpr uint32_t kQuietMs = 20;
constexpr uint32_t kSettleMs = 50;

void Settle(NetPort* p) {
    const uint64_t end = net::MonotonicMs() + kSettleMs;
    while (p->socket != net::kNoSocket) {
        const uint64_t now = net::MonotonicMs();
        if (now >= end) break;
        const uint64_t left = end - now;
        if (net::WaitReadable(p->socket,
                              static_cast<uint32_t>(left < kQuietMs ? left : kQuietMs)) <= 0)
            break;
        Pump(p);
        p->inStart = p->inLength = 0;
    }
}

// Connects within `bound` ms; with RFC 2217 the server must take
// COM-PORT-OPTION within the same time, and the line settings given so far
// go to it again.
bool Connect(NetPort* p, uint32_t bound) {
    Drop(p);
    p->inStart = p->inLength = 0;
    p->decoder = net::telnet::Decoder();
    p->purgeBeforeWrite = false;
    const uint64_t deadline = net::MonotonicMs() + bound;
    net::ConnectResult result = net::ConnectResult::kFailed;
    p->socket = net::Connect(p->address.host, p->address.port, bound, &result);
    if (p->socket == net::kNoSocket) return false;
    if (!Telnet(p)) {
        Settle(p);
        return p->socket != net::kNoSocket;
    }

    uint8_t opening[net::telnet::kOpeningSize];
    if (!SendRaw(p, opening, net::telnet::Opening(opening))) return false;
    const net::telnet::Decoder& dec = p->decoder;
    if (!AwaitServer(p, deadline,
                     [&dec] { return dec.comPortAccepted() || dec.comPortRefused(); }) ||
        !p->decoder.comPortAccepted()) {
        Drop(p);
        return false;
    }
    if (p->dcbSet && !SendLineSettings(p, deadline)) return false;
    Settle(p);
    return p->socket != net::kNoSocket;
}

uint32_t ReconnectBound(const NetPort* p) {
    const DWORD replyMs = p->timeouts.ReadTotalTimeoutConstant;
    return replyMs != 0 && replyMs < p->connectMs ? replyMs : p->connectMs;
}

DWORD Take(NetPort* p, uint8_t* out, DWORD n) {
    const DWORD take = n < p->inLength ? n : p->inLength;
    std::memcpy(out, p->in + p->inStart, take);
    p->inStart = static_cast<uint16_t>(p->inStart + take);
    p->inLength = static_cast<uint16_t>(p->inLength - take);
    if (p->inLength == 0) p->inStart = 0;
    return take;
}

HANDLE ZEL_WINAPI NetCreateFileA(const char* name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    return OpenNetworkPort(name, kMaxConnectMs);
}

BOOL ZEL_WINAPI NetCloseHandle(HANDLE h) {
    NetPort* p = PortOf(h);
    if (!p) return FALSE;
    Drop(p);
    delete p;
    return TRUE;
}

BOOL ZEL_WINAPI NetGetCommState(HANDLE h, DCB* dcb) {
    NetPort* p = PortOf(h);
    if (!p || !dcb) return FALSE;
    *dcb = p->dcb;
    return TRUE;
}

// Raw TCP keeps the settings (the device server has its own); RFC 2217
// sends them to the server.
BOOL ZEL_WINAPI NetSetCommState(HANDLE h, DCB* dcb) {
    NetPort* p = PortOf(h);
    if (!p || !dcb) return FALSE;
    if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        dcb->StopBits > TWOSTOPBITS || dcb->BaudRate == 0)
        return FALSE;
    p->dcb = *dcb;
    p->dcbSet = true;
    if (!Telnet(p)) return TRUE;
    if (p->socket == net::kNoSocket) return FALSE;
    return SendLineSettings(p, net::MonotonicMs() + p->connectMs) ? TRUE : FALSE;
}

BOOL ZEL_WINAPI NetGetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    NetPort* p = PortOf(h);
    if (!p || !t) return FALSE;
    *t = p->timeouts;
    return TRUE;
}

BOOL ZEL_WINAPI NetSetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    NetPort* p = PortOf(h);
    if (!p || !t) return FALSE;
    p->timeouts = *t;
    return TRUE;
}

BOOL ZEL_WINAPI NetSetupComm(HANDLE h, DWORD, DWORD) {
    return PortOf(h) ? TRUE : FALSE;
}

// The input queue is what has come; nothing waits to be sent once a write
// has returned.
BOOL ZEL_WINAPI NetClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    NetPort* p = PortOf(h);
    if (!p) return FALSE;
    Pump(p);
    if (errors) *errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = p->inLength;
    }
    if (p->inLength != 0 && !p->wroteLast && Telnet(p)) p->purgeBeforeWrite = true;
    return TRUE;
}

BOOL ZEL_WINAPI NetEscapeCommFunction(HANDLE h, DWORD func) {
    NetPort* p = PortOf(h);
    if (!p || !Telnet(p)) return FALSE; // raw TCP has no modem lines
    uint8_t value = 0;
    switch (func) {
    case SETRTS:
        value = net::telnet::kControlRtsOn;
        break;
    case CLRRTS:
        value = net::telnet::kControlRtsOff;
        break;
    case SETDTR:
        value = net::telnet::kControlDtrOn;
        break;
    case CLRDTR:
        value = net::telnet::kControlDtrOff;
        break;
    default:
        return FALSE;
    }
    uint8_t out[8];
    const size_t n = net::telnet::Command(net::telnet::kSetControl, &value, 1, out);
    return SendRaw(p, out, n) ? TRUE : FALSE;
}

// Reads with the Windows time-out rules, as the serial tables do: a total
// time-out of multiplier x n + constant, an interval time-out once a byte has
// come, MAXDWORD interval with zero totals for "what is there, now", and
// MAXDWORD interval and multiplier for "return with the first bytes". All
// zero would wait without limit; here it waits kMaxConnectMs at most.
BOOL ZEL_WINAPI NetReadFile(HANDLE h, void* buf, DWORD n, DWORD* got, void*) {
    if (got) *got = 0;
    NetPort* p = PortOf(h);
    if (!p) return FALSE;
    p->wroteLast = false;
    auto* bytes = static_cast<uint8_t*>(buf);
    const COMMTIMEOUTS& t = p->timeouts;
    const bool immediate = t.ReadIntervalTimeout == kMaxDword &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const bool firstBytes =
        t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword;
    uint64_t total = firstBytes ? t.ReadTotalTimeoutConstant
                                : static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * n +
                                      t.ReadTotalTimeoutConstant;
    if (total == 0 && !immediate) total = kMaxConnectMs;
    const uint64_t interval = t.ReadIntervalTimeout == kMaxDword ? 0 : t.ReadIntervalTimeout;

    const uint64_t start = net::MonotonicMs();
    uint64_t lastByte = start;
    DWORD have = Take(p, bytes, n);
    bool open = true;
    while (have < n) {
        open = Pump(p);
        const DWORD more = Take(p, bytes + have, n - have);
        if (more != 0) {
            have += more;
            lastByte = net::MonotonicMs();
            continue;
        }
        if (!open || immediate || (firstBytes && have > 0)) break;
        const uint64_t now = net::MonotonicMs();
        if (now >= start + total) break;
        uint64_t wait = start + total - now;
        if (interval != 0 && have > 0) {
            if (now >= lastByte + interval) break;
            if (lastByte + interval - now < wait) wait = lastByte + interval - now;
        }
        if (net::WaitReadable(p->socket, static_cast<uint32_t>(wait)) < 0) break;
    }
    if (got) *got = have;
    return have != 0 || open ? TRUE : FALSE;
}

// A port whose connection has gone connects again first, within the reply
// time-out (at most kMaxConnectMs).
BOOL ZEL_WINAPI NetWriteFile(HANDLE h, const void* buf, DWORD n, DWORD* put, void*) {
    if (put) *put = 0;
    NetPort* p = PortOf(h);
    if (!p) return FALSE;
    if (p->socket == net::kNoSocket && !Connect(p, ReconnectBound(p))) return FALSE;
    p->wroteLast = true;
    const auto* bytes = static_cast<const uint8_t*>(buf);
    uint8_t out[2 * kChunk + 16];
    DWORD done = 0;
    while (done < n) {
        size_t k = 0;
        if (p->purgeBeforeWrite) {
            const uint8_t purge = net::telnet::kPurgeReceiveBuffer;
            k = net::telnet::Command(net::telnet::kPurgeData, &purge, 1, out);
            p->purgeBeforeWrite = false;
        }
        const DWORD piece = n - done < kChunk ? n - done : static_cast<DWORD>(kChunk);
        if (Telnet(p)) {
            k += net::telnet::Escape(bytes + done, piece, out + k);
        } else {
            std::memcpy(out + k, bytes + done, piece);
            k += piece;
        }
        if (!SendRaw(p, out, k)) return done != 0 ? TRUE : FALSE;
        done += piece;
        if (put) *put = done;
    }
    return TRUE;
}

void ZEL_WINAPI NetSleep(DWORD ms) {
    PlatformComm().Sleep(ms);
}

// What was written is with the server: nothing to wait for.
BOOL ZEL_WINAPI NetFlushFileBuffers(HANDLE h) {
    return PortOf(h) ? TRUE : FALSE;
}

BOOL ZEL_WINAPI NetQueryPerformanceCounter(LARGE_INTEGER* count) {
    return PlatformComm().QueryPerformanceCounter(count);
}

BOOL ZEL_WINAPI NetQueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    return PlatformComm().QueryPerformanceFrequency(frequency);
}

void NetSleepMicroseconds(DWORD us) {
    PlatformComm().SleepMicroseconds(us);
}

// The server keys its own line: RTS goes to it as a control request, or not
// at all over raw TCP.
BOOL NetRtsKeyedByDevice(HANDLE) {
    return FALSE;
}

// A latency timer is the server's business, out of reach of the connection.
LatencyMode NetEnterLowLatency(HANDLE) {
    return LatencyMode::kUnavailable;
}

constexpr CommApi kNetwork = {
    .CreateFileA = NetCreateFileA,
    .CloseHandle = NetCloseHandle,
    .GetCommState = NetGetCommState,
    .SetCommState = NetSetCommState,
    .GetCommTimeouts = NetGetCommTimeouts,
    .SetCommTimeouts = NetSetCommTimeouts,
    .SetupComm = NetSetupComm,
    .ClearCommError = NetClearCommError,
    .EscapeCommFunction = NetEscapeCommFunction,
    .ReadFile = NetReadFile,
    .WriteFile = NetWriteFile,
    .Sleep = NetSleep,
    .FlushFileBuffers = NetFlushFileBuffers,
    .QueryPerformanceCounter = NetQueryPerformanceCounter,
    .QueryPerformanceFrequency = NetQueryPerformanceFrequency,
    .SleepMicroseconds = NetSleepMicroseconds,
    .RtsKeyedByDevice = NetRtsKeyedByDevice,
    .EnterLowLatency = NetEnterLowLatency,
};

} // namespace

HANDLE OpenNetworkPort(const char* name, uint32_t connectMs) {
    net::Address address;
    if (!net::ParseAddress(name, &address)) return INVALID_HANDLE_VALUE;
    NetPort* p = new (std::nothrow) NetPort{};
    if (!p) return INVALID_HANDLE_VALUE;
    p->address = address;
    p->socket = net::kNoSocket;
    p->connectMs = connectMs == 0 || connectMs > kMaxConnectMs ? kMaxConnectMs : connectMs;
    p->dcb.DCBlength = sizeof(DCB);
    p->dcb.BaudRate = 9600;
    p->dcb.fBinary = 1;
    p->dcb.ByteSize = 8;
    if (!Connect(p, p->connectMs)) {
        delete p;
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(p) | kTag);
}

const CommApi& NetworkComm() {
    return kNetwork;
}

} // namespace zel
