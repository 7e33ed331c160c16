// The driver's log: every line goes to the host library's err() with a
// level, through ZEL_LOG, whose format the compiler checks; and the bytes of
// frames as the conversation lines show them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/host_library.h"

namespace zel {

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
