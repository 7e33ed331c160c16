// Faults that fuzzing and the soak found, kept from coming back: replies
// that do not fit the request are never decoded, a disturbed line is drained
// with a bound, and extreme block lengths are handled without overflow.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "driver/operations.h"
#include "serial/serial.h"
#include "tests/support/fake_line.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zeltest::Bytes;
using zeltest::FakeLine;
using zeltest::WithCrc;

namespace {

constexpr uint8_t kUntouched = 0xA5;

class MisfitReplies : public ::testing::Test, protected zeltest::LineRequest {
  protected:
    uint8_t cell[4];

    void SetUp() override {
        std::memset(cell, kUntouched, sizeof cell);
        Aim(kOpSingleRead, cell);
        io.gas = "0140001";
        io.count = 1;
    }
};

// Each case: a reply that does not fit the request, then the right one. The
// value must come from the right one.
struct MisfitCase {
    const char* name;
    TagAddress tag;
    Bytes misfit; // without CRC
    Bytes right;  // without CRC
    uint16_t value;
};

const MisfitCase kMisfits[] = {
    // Decoding a register bit from one data byte would take the other half
    // of the register from the CRC.
    {"bit gate, one data byte", {1, 4, 0, 3, 1}, {1, 3, 1, 0x08}, {1, 3, 2, 0x00, 0x08}, 1},
    {"bit gate of the high byte, one data byte",
     {1, 516, 0, 3, 1},
     {1, 3, 1, 0x00},
     {1, 3, 2, 0x08, 0x00},
     1},
    // A late answer to an earlier, larger request.
    {"register, four data bytes",
     {1, 4, 0, -1, 16},
     {1, 3, 4, 0xDE, 0xAD, 0xBE, 0xEF},
     {1, 3, 2, 0x12, 0x34},
     0x1234},
    {"coil, two data bytes", {1, 0, 0, -1, 1}, {1, 1, 2, 0x01, 0x00}, {1, 1, 1, 0x00}, 0},
};

TEST_F(MisfitReplies, MisfitReplyIsRetriedNotDecoded) {
    for (const MisfitCase& c : kMisfits) {
        SCOPED_TRACE(c.name);
        std::memset(cell, kUntouched, sizeof cell);
        io.tag = c.tag;
        line.Reply(WithCrc(c.misfit));
        line.Reply(WithCrc(c.right));
        ASSERT_EQ(SingleRead(&req), 0) << zeltest::LogDump();
        EXPECT_EQ(cell[2] | (cell[3] << 8), c.value);
    }
}

TEST_F(MisfitReplies, OnlyMisfitsMeanFailureWithTheBufferUntouched) {
    io.tag = {1, 4, 0, -1, 16};
    for (int i = 0; i < 6; ++i)
        line.Reply(WithCrc({1, 3, 4, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(SingleRead(&req), kRefused);
    for (uint8_t b : cell)
        EXPECT_EQ(b, kUntouched);
}

// A line that never falls quiet holds the drain only for a bounded number of
// reads, and the port's reply time-out is put back afterwards.
TEST_F(MisfitReplies, DrainIsBoundedAndKeepsTheTimeOut) {
    line.timeouts.ReadTotalTimeoutConstant = 1000;
    for (int i = 0; i < 1000; ++i)
        line.Pending(Bytes(256, 0x55));
    FlushLine(ch.port, &ch.line, kFlushBoundMs, true);
    EXPECT_GT(line.InputLeft(), 0u) << "stops even though input keeps coming";
    EXPECT_LE(line.CallsOf(zeltest::Call::Read).size(), 60u);
    EXPECT_EQ(line.timeouts.ReadTotalTimeoutConstant, 1000u);

    FakeLine quiet;
    ChannelState q = zeltest::ChannelOn(quiet);
    quiet.Pending(Bytes(10, 0x55));
    FlushLine(q.port, &q.line, kFlushBoundMs, true);
    EXPECT_EQ(quiet.InputLeft(), 0u);
}

// Block lengths a host may hand over, however odd: a result, never an
// overflow (the sanitizer build stops on one).
TEST(BlockLengths, ExtremeLengthsOfThirtyTwoBitGates) {
    ChannelState ch{};
    ch.protocol = 'M';
    ch.base = 'D';
    ch.parityCheck = 1;
    ch.channel = 1;
    for (int32_t length : {INT32_MIN, -1246415616, -1, 0, 1, 62, 63, INT32_MAX}) {
        ParseRequest p{};
        p.gas = "0170001";
        p.gateType = kGateFloat;
        p.blockLength = length;
        DriverRequest req{};
        req.state = &ch;
        req.operation = kOpBlockAddressParser;
        req.argument = &p;
        const int32_t rc = Dispatch(&req);
        EXPECT_TRUE(rc == kOk || rc == kRefused) << length;
        if (length == 62) {
            EXPECT_EQ(rc, kOk);
        }
        if (length == 63 || length == INT32_MAX) {
            EXPECT_EQ(rc, kRefused) << length;
        }
    }
}

} // namespace
