#include "modbus/crc16.h"

namespace zel {
namespace {

// Slicing by eight: table[k][b] is the CRC register after byte b followed by
// k zero bytes, so eight bytes take eight look-ups instead of 64 shifts.
struct CrcTables {
    uint16_t t[8][256];
};

constexpr CrcTables MakeTables() {
    CrcTables x{};
    for (int b = 0; b < 256; ++b) {
        uint16_t crc = static_cast<uint16_t>(b);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
        x.t[0][b] = crc;
    }
    for (int k = 1; k < 8; ++k)
        for (int b = 0; b < 256; ++b)
            x.t[k][b] = static_cast<uint16_t>((x.t[k - 1][b] >> 8) ^ x.t[0][x.t[k - 1][b] & 0xFF]);
    return x;
}

constexpr CrcTables kTables = MakeTables();

} // namespace

uint16_t Crc16(const uint8_t* bytes, int32_t length) {
    const auto& t = kTables.t;
    uint32_t crc = 0xFFFF;
    for (; length >= 8; length -= 8, bytes += 8) {
        crc ^= static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8);
        crc = t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][bytes[2]] ^ t[4][bytes[3]] ^ t[3][bytes[4]] ^
              t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
    }
    // The short frames of single values end here: two bytes per look-up pair.
    for (; length >= 2; length -= 2, bytes += 2) {
        crc ^= static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8);
        crc = t[1][crc & 0xFF] ^ t[0][crc >> 8];
    }
    if (length > 0) crc = (crc >> 8) ^ t[0][(crc ^ *bytes) & 0xFF];
    return static_cast<uint16_t>(crc);
}

} // namespace zel
