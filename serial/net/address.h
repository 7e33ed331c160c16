// Addresses of network ports: a serial device server on the plant network
// that carries the line over TCP, either as raw bytes ("tcp://host:port") or
// as Telnet with the COM-port control option of RFC 2217
// ("rfc2217://host:port"), which also sets the line's rate and format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {
namespace net {

enum class Mode { kRaw, kRfc2217 };

// Room for a host name or a numeric address (an IPv6 one in brackets).
constexpr size_t kHostSize = 64;

struct Address {
    Mode mode;
    char host[kHostSize]; // without the brackets of an IPv6 address
    uint16_t port;
};

// True when `name` asks for a network port (its scheme is tcp:// or
// rfc2217://, in any case), whether or not the rest is well formed.
bool IsNetworkAddress(const char* name);

// Parses "tcp://host:port" or "rfc2217://host:port" ("[::1]:port" for an
// IPv6 address); the port is 1..65535. False for anything else.
bool ParseAddress(const char* name, Address* address);

} // namespace net
} // namespace zel
