// Byte-level helpers shared by the request builders and the reply decoder:
// little-endian access to the host's value buffers and the word order of
// 32-bit values on the line.
#pragma once

#include <cstdint>

#include "core/areas.h"
#include "core/channel.h"

namespace zel {

inline uint16_t LoadLe16(const void* at) {
    const uint8_t* p = static_cast<const uint8_t*>(at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const void* at) {
    const uint8_t* p = static_cast<const uint8_t*>(at);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe16(void* at, uint16_t v) {
    uint8_t* p = static_cast<uint8_t*>(at);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(void* at, uint32_t v) {
    uint8_t* p = static_cast<uint8_t*>(at);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void StoreBe16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}

// True when the first register of a 32-bit value holds its low word: SWAP
// acts on the unsigned-long areas, FLOATSWAP on the floating-point areas.
inline bool LowWordFirst(const MemoryArea* area, uint16_t options) {
    if (!area) return false;
    switch (area->swap) {
    case WordSwap::kInteger:
        return (options & kOptSwap) != 0;
    case WordSwap::kFloat:
        return (options & kOptFloatSwap) != 0;
    default:
        return false;
    }
}

// The 32-bit value of four data bytes in line order.
inline uint32_t JoinWords(const uint8_t* d, bool lowFirst) {
    const uint32_t first = (static_cast<uint32_t>(d[0]) << 8) | d[1];
    const uint32_t second = (static_cast<uint32_t>(d[2]) << 8) | d[3];
    return lowFirst ? (second << 16) | first : (first << 16) | second;
}

// The four data bytes of a 32-bit value in line order.
inline void SplitWords(uint32_t v, bool lowFirst, uint8_t* d) {
    const uint16_t high = static_cast<uint16_t>(v >> 16);
    const uint16_t low = static_cast<uint16_t>(v);
    StoreBe16(d, lowFirst ? low : high);
    StoreBe16(d + 2, lowFirst ? high : low);
}

// A register reduced to the byte that a byte-selector area names.
inline uint16_t SelectByte(uint16_t reg, const MemoryArea* area) {
    if (!area || !area->byteSelect) return reg;
    return static_cast<uint16_t>((reg >> area->byteShift) & 0xFF);
}

// A register with the byte that a byte-selector area names replaced by the
// low byte of `value`; the other byte keeps its value.
inline uint16_t ReplaceByte(uint16_t reg, const MemoryArea& area, uint32_t value) {
    const uint16_t mask = static_cast<uint16_t>(0xFFu << area.byteShift);
    return static_cast<uint16_t>((reg & ~mask) | ((value & 0xFFu) << area.byteShift));
}

// The bit number within the register of bit `bit` of a gate: the high byte's
// bits sit 8 higher.
inline int32_t RegisterBitNumber(const MemoryArea* area, int32_t bit) {
    return area && area->byteSelect ? bit + area->byteShift : bit;
}

// Bit `n` of a 16-bit register, 0 for numbers outside 0..15.
inline uint16_t RegisterBit(uint16_t reg, int32_t n) {
    return (n >= 0 && n < 16) ? static_cast<uint16_t>((reg >> n) & 1) : 0;
}

} // namespace zel
