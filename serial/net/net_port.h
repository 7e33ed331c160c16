// Network ports: a serial line behind a device server, reached over TCP
// (raw or RFC 2217, see address.h), with the same call table as a serial
// port. What the table does for a network port:
//   - open: connects without blocking, waiting at most the bound it is
//     given (never more than kMaxConnectMs); RFC 2217 negotiates
//     COM-PORT-OPTION within the same bound;
//   - line settings: raw TCP keeps them (the server has its own); RFC 2217
//     sends rate, data size, parity and stop size to the server;
//   - RTS and DTR: RFC 2217 SET-CONTROL, never waiting for its answer (a
//     server in front of a pseudo-terminal sends none); raw TCP has no
//     modem lines and refuses, as a pseudo-terminal does;
//   - reads honour the read time-outs; writes go out at once (no delay);
//     the drain has nothing to wait for; the input queue is what has come;
//   - a connection that fails or ends makes reads fail at once; the next
//     write connects again within the bound.
#pragma once

#include <cstdint>

#include "serial/comm_api.h"

namespace zel {

// The longest a network port waits for its connection, in milliseconds.
constexpr uint32_t kMaxConnectMs = 3000;

// A network handle is the port's address with its lowest bit set: kernel32
// handles, the POSIX table's ports and every object of ours are aligned,
// so the bit tells a network port from any other.
constexpr uintptr_t kNetworkHandleTag = 1;

// True for a handle that OpenNetworkPort returned. Inline: every call on a
// port asks it.
inline bool IsNetworkHandle(HANDLE h) {
    return h != INVALID_HANDLE_VALUE && (reinterpret_cast<uintptr_t>(h) & kNetworkHandleTag) != 0;
}

// Opens the network port `name` ("tcp://host:port" or
// "rfc2217://host:port"), waiting at most `connectMs` (0 or more than
// kMaxConnectMs: kMaxConnectMs) for the connection and, with RFC 2217, for
// the server to take COM-PORT-OPTION. INVALID_HANDLE_VALUE when it fails.
HANDLE OpenNetworkPort(const char* name, uint32_t connectMs);

// The call table of network ports (CreateFileA opens with kMaxConnectMs).
const CommApi& NetworkComm();

} // namespace zel
