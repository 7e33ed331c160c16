// The CRC-16 of Modbus RTU: known frames, and the sliced routine against the
// bit-by-bit definition.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "modbus/crc16.h"
#include "tests/support/fake_line.h"

using namespace zel;
using zeltest::Bytes;

namespace {

uint16_t BitwiseCrc(const uint8_t* bytes, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
    }
    return crc;
}

TEST(Crc16, KnownValues) {
    struct Case {
        Bytes bytes;
        uint16_t crc;
    } cases[] = {
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x4B37},
        {{}, 0xFFFF},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x0A84},
        {{0x01, 0x03, 0x00, 0x14, 0x00, 0x02}, 0x0F84},
        {{0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}, 0x8B4E},
        {{0x01, 0x06, 0x00, 0x01, 0x00, 0x03}, 0x0B98},
        {{0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44}, 0xA542},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Crc16(c.bytes.data(), static_cast<int32_t>(c.bytes.size())), c.crc)
            << zeltest::Hex(c.bytes);
    const uint8_t any[2] = {1, 2};
    EXPECT_EQ(Crc16(any, -5), 0xFFFF);
}

TEST(Crc16Sliced, MatchesTheBitwiseDefinitionForEveryLengthAndAlignment) {
    std::vector<uint8_t> data(320);
    uint32_t x = 12345;
    for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    for (size_t offset = 0; offset < 8; ++offset)
        for (size_t length = 0; length + offset <= 300; ++length)
            ASSERT_EQ(Crc16(data.data() + offset, static_cast<int32_t>(length)),
                      BitwiseCrc(data.data() + offset, length))
                << "offset " << offset << " length " << length;
}

} // namespace
