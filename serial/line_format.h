// The line parameters of an open and what they mean on the wire: the time a
// character takes. Stateless: zelhost compiles it in to reckon as the driver
// does.
#pragma once

#include <cstdint>

namespace zel {

// Line parameters of an open. Stop bits and parity are the platform's codes:
// stop bits 0 one, 1 one and a half, 2 two; parity 0 none, 1 odd, 2 even,
// 3 mark, 4 space. lineFlags selects DTR and RTS handling.
struct LineSettings {
    uint32_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    uint16_t lineFlags;
};

// The time a character takes at the line's rate and format (start bit, data
// bits, parity bit, stop bits, one and a half counted as such), rounded up to
// a microsecond; 0 for a rate of 0.
uint32_t CharTimeUs(const LineSettings& settings);

} // namespace zel
