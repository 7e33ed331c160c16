// Calls into the host's library: logging and the version query.
//
// The library is bound by its own name at first use and only ever from that
// library: no other definition of these names (glibc exports an err(3) that
// exits the process) can be reached. When the library is missing, logging is
// silent and the version query answers 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

using HostErrFn = int (*)(int level, const char* format, ...);

struct HostLibrary {
    HostErrFn err;
    int (*mkClient)(const char* name, int a, int b, unsigned char* clientId);
    int (*getVersion)(unsigned char clientId, unsigned short* version, char* text);
    int (*rmClient)(unsigned char clientId);
};

// The bound host library; entries that could not be bound are harmless stubs.
const HostLibrary& Host();

// Asks the host for its version number under the client name "ZelMrBr%02d"
// with the given thread number; 0 when the host does not answer.
uint16_t QueryHostVersion(unsigned long threadId);

// Bytes as the conversation lines show them: "01 03 00 2A", upper-case
// hexadecimal, one blank between bytes. Writes at most size - 1 characters
// (whole bytes only) and returns `out`.
const char* HexBytes(const uint8_t* bytes, size_t count, char* out, size_t size);

// Room for the hexadecimal form of the longest frame.
constexpr size_t kHexFrameSize = 3 * 260 + 1;

// Log levels used by the driver.
enum : int { kLogDetail = 0, kLogTrace = 8, kLogEvent = 32 };

// Never called: lets the compiler check a log call's format and arguments.
[[gnu::format(printf, 1, 2)]] inline void CheckLogFormat(const char*, ...) {}

} // namespace zel

// Logs through the host's err() with the format and arguments unchanged. The
// format must be a literal; the compiler checks the arguments against it.
#define ZEL_LOG(level, ...)                                                                        \
    ((void)(false && (::zel::CheckLogFormat(__VA_ARGS__), true)),                                  \
     ::zel::Host().err((level), __VA_ARGS__))
