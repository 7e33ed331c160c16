// The few socket operations a network port needs, on BSD sockets (Linux) or
// Winsock (Windows, loaded the first time a channel asks for a network port,
// so that a driver that never opens one does not need it). Every wait is
// bounded by the caller's time; nothing here waits without a limit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {
namespace net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

enum class ConnectResult {
    kConnected,
    kRefused,   // the server answered: nothing listens there
    kTimedOut,  // no answer within the time given
    kNoAddress, // the host name does not resolve
    kNoSockets, // the platform's sockets are not available
    kFailed,    // anything else
};

// Connects to host:port (a name or a numeric address), waiting at most
// `timeoutMs` in all. The socket is non-blocking, sends without delay
// (TCP_NODELAY) and keeps the connection alive while idle (keepalive).
Socket Connect(const char* host, uint16_t port, uint32_t timeoutMs, ConnectResult* result);

// Waits at most `ms` for the socket to have something to read (data, or
// the end of the connection). 1: ready, 0: nothing came, -1: failure.
int WaitReadable(Socket s, uint32_t ms);

// What is there now: >0 bytes read, 0 the peer closed, -1 nothing waiting,
// -2 the connection failed (reset).
long Receive(Socket s, uint8_t* buffer, size_t n);

// Sends every byte within `timeoutMs`; false when the connection failed or
// the peer took nothing for that long.
bool SendAll(Socket s, const uint8_t* bytes, size_t n, uint32_t timeoutMs);

void CloseSocket(Socket s);

// Milliseconds of a monotonic clock.
uint64_t MonotonicMs();

} // namespace net
} // namespace zel
