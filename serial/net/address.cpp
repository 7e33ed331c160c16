#include "serial/net/address.h"

#include <cctype>
#include <cstring>

namespace zel {
namespace net {
namespace {

constexpr char kRawScheme[] = "tcp://";
constexpr char kRfc2217Scheme[] = "rfc2217://";

// The scheme in any case, as the other keys of the initialization file are.
template <size_t N> bool HasScheme(const char* name, const char (&scheme)[N]) {
    if (!name) return false;
    for (size_t i = 0; i + 1 < N; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != scheme[i]) return false;
    return true;
}

} // namespace

bool IsNetworkAddress(const char* name) {
    return HasScheme(name, kRawScheme) || HasScheme(name, kRfc2217Scheme);
}

bool ParseAddress(const char* name, Address* address) {
    if (!address) return false;
    const char* rest = nullptr;
    if (HasScheme(name, kRawScheme)) {
        address->mode = Mode::kRaw;
        rest = name + sizeof kRawScheme - 1;
    } else if (HasScheme(name, kRfc2217Scheme)) {
        address->mode = Mode::kRfc2217;
        rest = name + sizeof kRfc2217Scheme - 1;
    } else {
        return false;
    }

    const char* hostStart = rest;
    const char* hostEnd = nullptr;
    const char* colon = nullptr;
    if (*rest == '[') {
        hostStart = rest + 1;
        hostEnd = std::strchr(hostStart, ']');
        if (!hostEnd || hostEnd[1] != ':') return false;
        colon = hostEnd + 1;
    } else {
        colon = std::strrchr(rest, ':');
        if (!colon) return false;
        hostEnd = colon;
        // An IPv6 address needs its brackets: its colons would be ambiguous.
        for (const char* p = hostStart; p < hostEnd; ++p)
            if (*p == ':' || *p == '/' || *p == '[' || *p == ']') return false;
    }
    const size_t hostLength = static_cast<size_t>(hostEnd - hostStart);
    if (hostLength == 0 || hostLength >= sizeof address->host) return false;

    const char* digits = colon + 1;
    if (*digits == '\0') return false;
    unsigned long port = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || p - digits >= 5) return false;
        port = port * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (port == 0 || port > 65535) return false;

    std::memcpy(address->host, hostStart, hostLength);
    address->host[hostLength] = '\0';
    address->port = static_cast<uint16_t>(port);
    return true;
}

} // namespace net
} // namespace zel
