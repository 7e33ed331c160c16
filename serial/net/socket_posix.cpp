// Network port sockets on Linux.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "serial/net/socket.h"

namespace zel {
namespace net {
namespace {

// A peer that goes away while the line is idle is noticed within about
// 10 + 3 x 5 seconds instead of the system's two hours.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;

void Tune(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
}

int PollFor(int fd, short events, uint64_t ms) {
    struct pollfd p = {fd, events, 0};
    const int timeout = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    for (;;) {
        const int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue; // bounded again below by the caller
        if (r <= 0) return r;
        return p.revents;
    }
}

// One address: the connect runs without blocking and is waited for.
ConnectResult TryOne(const struct addrinfo* ai, uint64_t deadline, int* out) {
    const int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return ConnectResult::kFailed;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        const ConnectResult r =
            errno == ECONNREFUSED ? ConnectResult::kRefused : ConnectResult::kFailed;
        close(fd);
        return r;
    }
    for (;;) {
        const uint64_t now = MonotonicMs();
        if (now >= deadline) break;
        const int ev = PollFor(fd, POLLOUT, deadline - now);
        if (ev < 0) break;
        if (ev == 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0) {
            Tune(fd);
            *out = fd;
            return ConnectResult::kConnected;
        }
        close(fd);
        return error == ECONNREFUSED ? ConnectResult::kRefused : ConnectResult::kFailed;
    }
    close(fd);
    return ConnectResult::kTimedOut;
}

} // namespace

uint64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

Socket Connect(const char* host, uint16_t port, uint32_t timeoutMs, ConnectResult* result) {
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* list = nullptr;
    // A numeric address never reaches the resolver.
    hints.ai_flags |= AI_NUMERICHOST;
    int rc = getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        hints.ai_flags &= ~AI_NUMERICHOST;
        rc = getaddrinfo(host, service, &hints, &list);
    }
    if (rc != 0 || !list) {
        *result = ConnectResult::kNoAddress;
        return kNoSocket;
    }
    *result = ConnectResult::kFailed;
    for (const struct addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = -1;
        *result = TryOne(ai, deadline, &fd);
        if (*result == ConnectResult::kConnected) {
            freeaddrinfo(list);
            return fd;
        }
        if (MonotonicMs() >= deadline) break;
    }
    freeaddrinfo(list);
    return kNoSocket;
}

int WaitReadable(Socket s, uint32_t ms) {
    const int ev = PollFor(static_cast<int>(s), POLLIN, ms);
    if (ev < 0) return -1;
    return ev == 0 ? 0 : 1;
}

long Receive(Socket s, uint8_t* buffer, size_t n) {
    for (;;) {
        const ssize_t r = recv(static_cast<int>(s), buffer, n, MSG_DONTWAIT);
        if (r >= 0) return static_cast<long>(r);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
    }
}

bool SendAll(Socket s, const uint8_t* bytes, size_t n, uint32_t timeoutMs) {
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    size_t done = 0;
    while (done < n) {
        // MSG_NOSIGNAL: a peer that has gone makes the call fail, not SIGPIPE
        // end the host.
        const ssize_t r =
            send(static_cast<int>(s), bytes + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const uint64_t now = MonotonicMs();
            if (now >= deadline) return false;
            const int ev = PollFor(static_cast<int>(s), POLLOUT, deadline - now);
            if (ev < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) return false;
            continue;
        }
        return false;
    }
    return true;
}

void CloseSocket(Socket s) {
    if (s != kNoSocket) close(static_cast<int>(s));
}

} // namespace net
} // namespace zel
