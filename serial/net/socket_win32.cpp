// Network port sockets on Windows: Winsock, loaded from ws2_32.dll the first
// time a channel opens a network port, so that the driver's import table
// stays as it is and a host that never uses a network port never loads it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstdio>

#include "serial/net/socket.h"

namespace zel {
namespace net {
namespace {

struct Winsock {
    decltype(&::WSAStartup) startup;
    decltype(&::socket) socket;
    decltype(&::closesocket) closesocket;
    decltype(&::connect) connect;
    decltype(&::select) select;
    decltype(&::recv) recv;
    decltype(&::send) send;
    decltype(&::setsockopt) setsockopt;
    decltype(&::getsockopt) getsockopt;
    decltype(&::ioctlsocket) ioctlsocket;
    decltype(&::getaddrinfo) getaddrinfo;
    decltype(&::freeaddrinfo) freeaddrinfo;
    decltype(&::WSAGetLastError) lastError;
    decltype(&::WSAIoctl) ioctl;
};

// 0: not tried yet, 1: loaded, -1: not available. Opens run on the host's
// thread that starts channels; they do not overlap.
int g_state = 0;
Winsock g_ws = {};

template <typename Fn> bool Bind(HMODULE module, const char* name, Fn* fn) {
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return *fn != nullptr;
}

const Winsock* Sockets() {
    if (g_state == 0) {
        g_state = -1;
        HMODULE m = ::LoadLibraryA("ws2_32.dll");
        Winsock w = {};
        if (m && Bind(m, "WSAStartup", &w.startup) && Bind(m, "socket", &w.socket) &&
            Bind(m, "closesocket", &w.closesocket) && Bind(m, "connect", &w.connect) &&
            Bind(m, "select", &w.select) && Bind(m, "recv", &w.recv) && Bind(m, "send", &w.send) &&
            Bind(m, "setsockopt", &w.setsockopt) && Bind(m, "getsockopt", &w.getsockopt) &&
            Bind(m, "ioctlsocket", &w.ioctlsocket) && Bind(m, "getaddrinfo", &w.getaddrinfo) &&
            Bind(m, "freeaddrinfo", &w.freeaddrinfo) && Bind(m, "WSAGetLastError", &w.lastError) &&
            Bind(m, "WSAIoctl", &w.ioctl)) {
            WSADATA data;
            if (w.startup(MAKEWORD(2, 2), &data) == 0) {
                g_ws = w;
                g_state = 1;
            }
        }
    }
    return g_state == 1 ? &g_ws : nullptr;
}

SOCKET Raw(Socket s) {
    return static_cast<SOCKET>(s);
}

// A peer that goes away while the line is idle is noticed within about
// 10 + 10 x 1 seconds (Windows probes ten times) instead of two hours.
void Tune(const Winsock& ws, SOCKET s) {
    BOOL on = TRUE;
    ws.setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    ws.setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    struct tcp_keepalive keep = {1, 10000, 1000};
    DWORD returned = 0;
    ws.ioctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
}

// 1 ready, 0 time-out, -1 failure; `write` waits to write (or a connect to
// end), otherwise to read.
int Select(const Winsock& ws, SOCKET s, bool write, uint64_t ms) {
    fd_set set, failed;
    FD_ZERO(&set);
    FD_ZERO(&failed);
    FD_SET(s, &set);
    FD_SET(s, &failed);
    struct timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000u);
    tv.tv_usec = static_cast<long>(ms % 1000u) * 1000L;
    const int r = ws.select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &tv);
    if (r < 0) return -1;
    if (r == 0) return 0;
    return 1;
}

ConnectResult TryOne(const Winsock& ws, const struct addrinfo* ai, uint64_t deadline, SOCKET* out) {
    SOCKET s = ws.socket(ai->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return ConnectResult::kFailed;
    u_long nonBlocking = 1;
    ws.ioctlsocket(s, FIONBIO, &nonBlocking);
    if (ws.connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
        const int error = ws.lastError();
        if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) {
            ws.closesocket(s);
            return error == WSAECONNREFUSED ? ConnectResult::kRefused : ConnectResult::kFailed;
        }
    }
    for (;;) {
        const uint64_t now = MonotonicMs();
        if (now >= deadline) break;
        const int r = Select(ws, s, true, deadline - now);
        if (r < 0) break;
        if (r == 0) continue;
        int error = 0;
        int length = sizeof error;
        if (ws.getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            error = ws.lastError();
        if (error == 0) {
            Tune(ws, s);
            *out = s;
            return ConnectResult::kConnected;
        }
        ws.closesocket(s);
        return error == WSAECONNREFUSED ? ConnectResult::kRefused : ConnectResult::kFailed;
    }
    ws.closesocket(s);
    return ConnectResult::kTimedOut;
}

} // namespace

uint64_t MonotonicMs() {
    LARGE_INTEGER count, frequency;
    if (!::QueryPerformanceCounter(&count) || !::QueryPerformanceFrequency(&frequency) ||
        frequency.QuadPart <= 0)
        return 0;
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    return c / f * 1000u + c % f * 1000u / f;
}

Socket Connect(const char* host, uint16_t port, uint32_t timeoutMs, ConnectResult* result) {
    const Winsock* ws = Sockets();
    if (!ws) {
        *result = ConnectResult::kNoSockets;
        return kNoSocket;
    }
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo* list = nullptr;
    // A numeric address never reaches the resolver.
    int rc = ws->getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        hints.ai_flags = 0;
        rc = ws->getaddrinfo(host, service, &hints, &list);
    }
    if (rc != 0 || !list) {
        *result = ConnectResult::kNoAddress;
        return kNoSocket;
    }
    *result = ConnectResult::kFailed;
    for (const struct addrinfo* ai = list; ai; ai = ai->ai_next) {
        SOCKET s = INVALID_SOCKET;
        *result = TryOne(*ws, ai, deadline, &s);
        if (*result == ConnectResult::kConnected) {
            ws->freeaddrinfo(list);
            return static_cast<Socket>(s);
        }
        if (MonotonicMs() >= deadline) break;
    }
    ws->freeaddrinfo(list);
    return kNoSocket;
}

int WaitReadable(Socket s, uint32_t ms) {
    const Winsock* ws = Sockets();
    if (!ws || s == kNoSocket) return -1;
    return Select(*ws, Raw(s), false, ms);
}

long Receive(Socket s, uint8_t* buffer, size_t n) {
    const Winsock* ws = Sockets();
    if (!ws || s == kNoSocket) return -2;
    const int r = ws->recv(Raw(s), reinterpret_cast<char*>(buffer), static_cast<int>(n), 0);
    if (r >= 0) return r;
    return ws->lastError() == WSAEWOULDBLOCK ? -1 : -2;
}

bool SendAll(Socket s, const uint8_t* bytes, size_t n, uint32_t timeoutMs) {
    const Winsock* ws = Sockets();
    if (!ws || s == kNoSocket) return false;
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    size_t done = 0;
    while (done < n) {
        const int r = ws->send(Raw(s), reinterpret_cast<const char*>(bytes + done),
                               static_cast<int>(n - done), 0);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && ws->lastError() == WSAEWOULDBLOCK) {
            const uint64_t now = MonotonicMs();
            if (now >= deadline || Select(*ws, Raw(s), true, deadline - now) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

void CloseSocket(Socket s) {
    const Winsock* ws = Sockets();
    if (ws && s != kNoSocket) ws->closesocket(Raw(s));
}

} // namespace net
} // namespace zel
