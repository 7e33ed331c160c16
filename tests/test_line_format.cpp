// The time of one character on the wire, which the silence before each
// request and zelhost's scan bound are reckoned in.
#include <gtest/gtest.h>

#include "serial/line_format.h"

using zel::CharTimeUs;
using zel::LineSettings;

namespace {

TEST(LineFormat, CharacterTimeCountsEveryBitRoundedUp) {
    const struct {
        LineSettings line;
        uint32_t us;
    } cases[] = {
        {{9600, 8, 0, 0, 0}, 1042},   // 10 bits: 1041.67
        {{19200, 8, 0, 2, 0}, 573},   // 11 bits with parity: 572.92
        {{9600, 8, 1, 0, 0}, 1094},   // one and a half stop bits: 10.5 bits
        {{9600, 8, 2, 0, 0}, 1146},   // two stop bits
        {{115200, 7, 2, 1, 0}, 96},   // 11 bits: 95.49
        {{1200, 5, 0, 4, 0}, 6667},   // 8 bits, space parity counts
        {{100000000, 8, 0, 0, 0}, 1}, // a fraction of a microsecond is one
        {{0, 8, 0, 0, 0}, 0},         // no rate, no time
    };
    for (const auto& c : cases)
        EXPECT_EQ(CharTimeUs(c.line), c.us)
            << c.line.baudRate << " baud, " << c.line.dataBits << " data bits, stop code "
            << c.line.stopBits << ", parity code " << c.line.parity;
}

} // namespace
