#include "core/log.h"

#include <cstring>

namespace zel {
namespace {

// "XX " and a spare byte for every byte value: a byte takes one 4-byte copy.
struct HexTable {
    char text[256][4];
};

constexpr HexTable MakeHexTable() {
    constexpr char kDigits[] = "0123456789ABCDEF";
    HexTable t{};
    for (int b = 0; b < 256; ++b) {
        t.text[b][0] = kDigits[b >> 4];
        t.text[b][1] = kDigits[b & 0xF];
        t.text[b][2] = ' ';
        t.text[b][3] = ' ';
    }
    return t;
}

constexpr HexTable kHex = MakeHexTable();

} // namespace

// Every frame is logged on the I/O path, so a byte costs one 4-byte copy
// (its fourth byte is overwritten by the next); the blank after the last byte
// becomes the terminator.
const char* HexBytes(const uint8_t* bytes, size_t count, char* out, size_t size) {
    if (size == 0) return out;
    const size_t fit = (size - 1) / 3; // whole bytes whose 4-byte copy fits
    const size_t n = count < fit ? count : fit;
    for (size_t i = 0; i < n; ++i)
        std::memcpy(out + 3 * i, kHex.text[bytes[i]], 4);
    out[n == 0 ? 0 : 3 * n - 1] = '\0';
    return out;
}

} // namespace zel
