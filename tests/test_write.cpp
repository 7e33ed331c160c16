// Write transactions: request frames, read-modify-write of bits and bytes,
// block limits and the retry rules with their log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/operations.h"
#include "modbus/transactions.h"
#include "tests/support/fake_line.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zeltest::Bytes;
using zeltest::FakeLine;
using zeltest::LogLine;
using zeltest::WithCrc;

namespace {

class WriteTest : public ::testing::Test, protected zeltest::LineRequest {
  protected:
    uint8_t buffer[1024] = {};

    void SetUp() override {
        zeltest::ClearLog();
        Aim(kOpSingleWrite, buffer);
        Gate(4, 0, -1, 16);
    }
    void Cell16(uint16_t v) {
        std::memset(buffer, 0xEE, 2); // bytes 0..1 are not the value
        buffer[2] = static_cast<uint8_t>(v);
        buffer[3] = static_cast<uint8_t>(v >> 8);
    }
    void Cell32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            buffer[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    // The echo a slave sends for a write request (its first six bytes).
    static Bytes Echo(const Bytes& request) {
        return WithCrc(Bytes(request.begin(), request.begin() + 6));
    }
    void EchoNext(const Bytes& request) { line.Reply(Echo(request)); }
    static Bytes ReadReply(uint16_t reg) {
        return WithCrc(
            {0x01, 0x03, 0x02, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)});
    }
};

// ---------------------------------------------------------------------------
// Single writes.

struct SingleCase {
    const char* name;
    int32_t plc, slaveOverride, memoryType, address, width;
    uint16_t options;
    uint32_t value;
    Bytes frame; // without the CRC
};

const SingleCase kSingles[] = {
    {"coil on", 0x11, 0, 0, 0xAC, 1, 0, 1, {0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}},
    {"coil with value 5", 1, 0, 0, 2, 1, 0, 5, {0x01, 0x05, 0x00, 0x02, 0xFF, 0x00}},
    {"coil off", 1, 0, 0, 2, 1, 0, 0, {0x01, 0x05, 0x00, 0x02, 0x00, 0x00}},
    {"register", 1, 0, 4, 1, 16, 0, 3, {0x01, 0x06, 0x00, 0x01, 0x00, 0x03}},
    {"register full value", 1, 0, 4, 0x1234, 16, 0, 0xBEEF, {0x01, 0x06, 0x12, 0x34, 0xBE, 0xEF}},
    {"station override", 3, 7, 4, 1, 16, 0, 3, {0x07, 0x06, 0x00, 0x01, 0x00, 0x03}},
    {"long",
     1,
     0,
     8,
     10,
     32,
     0,
     0x11223344,
     {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44}},
    {"long SWAP",
     1,
     0,
     8,
     10,
     32,
     kOptSwap,
     0x11223344,
     {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x33, 0x44, 0x11, 0x22}},
    {"long FLOATSWAP only",
     1,
     0,
     8,
     10,
     32,
     kOptFloatSwap,
     0x11223344,
     {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44}},
    {"float SWAP only",
     1,
     0,
     7,
     10,
     32,
     kOptSwap,
     0x11223344,
     {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44}},
    {"float FLOATSWAP",
     1,
     0,
     7,
     10,
     32,
     kOptFloatSwap,
     0x11223344,
     {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x33, 0x44, 0x11, 0x22}},
    {"long LONGADDR",
     1,
     0,
     8,
     21,
     32,
     kOptLongAddr,
     0x01020304,
     {0x01, 0x10, 0x00, 0x15, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04}},
};

void PrintTo(const SingleCase& c, std::ostream* os) {
    *os << c.name;
}

class SingleWrites : public WriteTest, public ::testing::WithParamInterface<SingleCase> {};

TEST_P(SingleWrites, FrameOnTheLine) {
    const SingleCase& c = GetParam();
    Gate(c.memoryType, c.address, -1, c.width);
    io.tag.plc = c.plc;
    ch.slaveOverride = c.slaveOverride;
    ch.options = c.options;
    if (c.width == 32)
        Cell32(c.value);
    else
        Cell16(static_cast<uint16_t>(c.value));
    EchoNext(c.frame);

    EXPECT_EQ(SingleWrite(&req), 0) << zeltest::LogDump();
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(zeltest::Hex(line.writes[0]), zeltest::Hex(WithCrc(c.frame)));
    EXPECT_TRUE(zeltest::LogLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Values, SingleWrites, ::testing::ValuesIn(kSingles));

TEST_F(WriteTest, KnownFramesWithTheirCrc) {
    Gate(0, 0xAC, -1, 1);
    io.tag.plc = 0x11;
    Cell16(1);
    line.Reply(WithCrc({0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}));
    ASSERT_EQ(SingleWrite(&req), 0);
    Gate(4, 1, -1, 16);
    Cell16(3);
    line.Reply({0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B});
    ASSERT_EQ(SingleWrite(&req), 0);
    Gate(8, 10, -1, 32);
    Cell32(0x11223344);
    line.Reply(WithCrc({0x01, 0x10, 0x00, 0x14, 0x00, 0x02}));
    ASSERT_EQ(SingleWrite(&req), 0);
    ASSERT_EQ(line.writes.size(), 3u);
    EXPECT_EQ(zeltest::Hex(line.writes[0]), "11 05 00 AC FF 00 4E 8B");
    EXPECT_EQ(zeltest::Hex(line.writes[1]), "01 06 00 01 00 03 98 0B");
    EXPECT_EQ(zeltest::Hex(line.writes[2]), "01 10 00 14 00 02 04 11 22 33 44 42 A5");
}

// Bits and bytes of a holding register: read, merge, write back.
TEST_F(WriteTest, ReadModifyWrite) {
    struct Case {
        const char* name;
        int32_t memoryType, bit, width;
        uint16_t current, value, written;
    } cases[] = {
        {"set bit 3", 4, 3, 1, 0x00F0, 1, 0x00F8},
        {"clear bit 3", 4, 3, 1, 0x00FF, 0, 0x00F7},
        {"bit 15", 4, 15, 1, 0x0000, 1, 0x8000},
        {"low byte", 260, -1, 16, 0xABCD, 0x12, 0xAB12},
        {"high byte", 516, -1, 16, 0xABCD, 0x12, 0x12CD},
        {"low byte keeps only the value's low byte", 260, -1, 16, 0xABCD, 0x3412, 0xAB12},
        {"bit 2 of the high byte", 516, 2, 1, 0x0000, 1, 0x0400},
        {"bit 2 of the low byte", 260, 2, 1, 0xFFFF, 0, 0xFFFB},
        // Any non-zero value sets the one bit; the neighbours stay as read.
        {"value 2 sets bit 3 only", 4, 3, 1, 0x0000, 2, 0x0008},
        {"value 0xFFFF sets bit 0 only", 4, 0, 1, 0x1000, 0xFFFF, 0x1001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.writes.clear();
        Gate(c.memoryType, 0x21, c.bit, c.width);
        Cell16(c.value);
        const IoRequest before = io;
        const uint8_t cellBefore[4] = {buffer[0], buffer[1], buffer[2], buffer[3]};
        const Bytes write = {0x01,
                             0x06,
                             0x00,
                             0x21,
                             static_cast<uint8_t>(c.written >> 8),
                             static_cast<uint8_t>(c.written)};
        line.Reply(ReadReply(c.current));
        EchoNext(write);

        ASSERT_EQ(SingleWrite(&req), 0) << zeltest::LogDump();
        ASSERT_EQ(line.writes.size(), 2u);
        EXPECT_EQ(zeltest::Hex(line.writes[0]),
                  zeltest::Hex(WithCrc({0x01, 0x03, 0x00, 0x21, 0x00, 0x01})));
        EXPECT_EQ(zeltest::Hex(line.writes[1]), zeltest::Hex(WithCrc(write)));
        EXPECT_EQ(std::memcmp(&before, &io, sizeof io), 0) << "the request is left as it was";
        EXPECT_EQ(std::memcmp(cellBefore, buffer, 4), 0) << "the host's cell is left as it was";
    }
}

TEST_F(WriteTest, SameBitGateWrittenTwiceAddressesTheSameBit) {
    Gate(516, 0, 2, 1);
    Cell16(1);
    for (int i = 0; i < 2; ++i) {
        line.Reply(ReadReply(0x0000));
        EchoNext({0x01, 0x06, 0x00, 0x00, 0x04, 0x00});
        ASSERT_EQ(SingleWrite(&req), 0);
    }
    ASSERT_EQ(line.writes.size(), 4u);
    EXPECT_EQ(line.writes[1], line.writes[3]);
    EXPECT_EQ(line.writes[3][4], 0x04);
}

TEST_F(WriteTest, FailedReadOfTheRegisterWritesNothing) {
    Gate(260, 0, -1, 16);
    Cell16(0x12);
    EXPECT_EQ(SingleWrite(&req), 2);
    EXPECT_EQ(line.writes.size(), 3u) << "three read attempts";
    for (const Bytes& w : line.writes)
        EXPECT_EQ(w[1], 0x03);
    const std::vector<LogLine> log = zeltest::LogLines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], (LogLine{8, zeltest::Text(ZEL_TXT_SINGLE_READ_RESULT, 1, 2)}));
    EXPECT_EQ(log.back(), (LogLine{8, zeltest::Text(ZEL_TXT_SINGLE_WRITE_READ_FAILED, 1, 2)}));
}

TEST_F(WriteTest, SingleWriteRefusals) {
    struct Case {
        int32_t portOpen, memoryType, width;
        std::vector<LogLine> log;
    } cases[] = {
        {0, 4, 16, {}},
        {0, 3, 16, {}}, // not enabled wins over the input area
        {1, 1, 1, {{8, zeltest::Text(ZEL_TXT_SINGLE_WRITE_INPUT, 1)}}},
        {1, 3, 16, {{8, zeltest::Text(ZEL_TXT_SINGLE_WRITE_INPUT, 1)}}},
        {1, 5, 32, {{8, zeltest::Text(ZEL_TXT_SINGLE_WRITE_INPUT, 1)}}},
        {1, 6, 32, {{8, zeltest::Text(ZEL_TXT_SINGLE_WRITE_INPUT, 1)}}},
        // No such area: nothing to write, and nothing is read first.
        {1, 2, 16, {{32, zeltest::Text(ZEL_TXT_UNKNOWN_AREA, 1, "SingleWrite", 2)}}},
    };
    for (const Case& c : cases) {
        zeltest::ClearLog();
        ch.portOpen = c.portOpen;
        Gate(c.memoryType, 0, -1, c.width);
        EXPECT_EQ(SingleWrite(&req), 1) << c.memoryType;
        EXPECT_TRUE(line.writes.empty());
        EXPECT_EQ(zeltest::LogLines(), c.log);
    }
}

// ---------------------------------------------------------------------------
// Block writes.

TEST_F(WriteTest, BlockFrames) {
    struct Case {
        const char* name;
        int32_t memoryType, width, count, address;
        uint16_t options;
        Bytes values; // host buffer
        Bytes frame;  // without the CRC
    } cases[] = {
        {"10 coils",
         0,
         1,
         10,
         0x13,
         0,
         {0xCD, 0x01},
         {0x01, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}},
        {"registers",
         4,
         16,
         2,
         1,
         0,
         {0x34, 0x12, 0xCD, 0xAB},
         {0x01, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x12, 0x34, 0xAB, 0xCD}},
        {"longs",
         8,
         32,
         2,
         10,
         0,
         {0x44, 0x33, 0x22, 0x11, 0x04, 0x03, 0x02, 0x01},
         {0x01, 0x10, 0x00, 0x14, 0x00, 0x04, 0x08, 0x11, 0x22, 0x33, 0x44, 1, 2, 3, 4}},
        {"longs SWAP",
         8,
         32,
         1,
         10,
         kOptSwap,
         {0x44, 0x33, 0x22, 0x11},
         {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x33, 0x44, 0x11, 0x22}},
        {"floats SWAP only",
         7,
         32,
         1,
         10,
         kOptSwap,
         {0x44, 0x33, 0x22, 0x11},
         {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44}},
        {"floats FLOATSWAP",
         7,
         32,
         1,
         10,
         kOptFloatSwap,
         {0x44, 0x33, 0x22, 0x11},
         {0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x33, 0x44, 0x11, 0x22}},
        {"count 0", 4, 16, 0, 1, 0, {}, {0x01, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.writes.clear();
        Gate(c.memoryType, c.address, -1, c.width, c.count);
        ch.options = c.options;
        if (!c.values.empty()) std::memcpy(buffer, c.values.data(), c.values.size());
        EchoNext(c.frame);
        EXPECT_EQ(BlockWrite(&req), 0) << zeltest::LogDump();
        ASSERT_EQ(line.writes.size(), 1u);
        EXPECT_EQ(zeltest::Hex(line.writes[0]), zeltest::Hex(WithCrc(c.frame)));
    }
}

// A block of byte gates reads its registers first and writes each back with
// only the gate's byte replaced; a failed read writes nothing.
TEST_F(WriteTest, BlockOfByteGatesIsMerged) {
    struct Case {
        int32_t memoryType;
        uint16_t current, value, written;
    } cases[] = {{260, 0xABCD, 0x1234, 0xAB34}, {516, 0xABCD, 0x1234, 0x34CD}};
    for (const Case& c : cases) {
        line.writes.clear();
        Gate(c.memoryType, 1, -1, 16, 1);
        buffer[0] = static_cast<uint8_t>(c.value);
        buffer[1] = static_cast<uint8_t>(c.value >> 8);
        line.Reply(ReadReply(c.current));
        const Bytes write{0x01,
                          0x10,
                          0x00,
                          0x01,
                          0x00,
                          0x01,
                          0x02,
                          static_cast<uint8_t>(c.written >> 8),
                          static_cast<uint8_t>(c.written)};
        EchoNext(write);
        EXPECT_EQ(BlockWrite(&req), 0) << zeltest::LogDump();
        ASSERT_EQ(line.writes.size(), 2u);
        EXPECT_EQ(zeltest::Hex(line.writes[0]), zeltest::Hex(WithCrc({1, 3, 0, 1, 0, 1})));
        EXPECT_EQ(zeltest::Hex(line.writes[1]), zeltest::Hex(WithCrc(write)));
    }

    line.writes.clear();
    zeltest::ClearLog();
    EXPECT_EQ(BlockWrite(&req), 2); // the register read gets no answer
    for (const Bytes& w : line.writes)
        EXPECT_EQ(w[1], 3) << "only reads went out";
    EXPECT_EQ(zeltest::LogLines().back(),
              (LogLine{32, zeltest::Text(ZEL_TXT_BLOCK_WRITE_MERGE_FAILED, 1, 2)}));
}

TEST_F(WriteTest, BlockSizeLimits) {
    struct Case {
        int32_t memoryType, width, count;
        bool accepted;
    } cases[] = {
        {4, 16, 123, true},  {0, 1, 1968, true}, {8, 32, 61, true},          {4, 16, 124, false},
        {0, 1, 1969, false}, {8, 32, 62, false}, {4, 16, 0x7FFFFFFF, false},
    };
    for (const Case& c : cases) {
        zeltest::ClearLog();
        line.writes.clear();
        Gate(c.memoryType, 0, -1, c.width, c.count);
        const int64_t count = c.count;
        const int64_t bytes = c.width == 1 ? (count + 7) / 8 : count * (c.width / 8);
        // The echo repeats the address and the quantity in registers or coils.
        const uint16_t quantity = static_cast<uint16_t>(c.width == 32 ? 2 * c.count : c.count);
        if (c.accepted)
            line.Reply(
                WithCrc({0x01, static_cast<uint8_t>(c.width == 1 ? 15 : 16), 0, 0,
                         static_cast<uint8_t>(quantity >> 8), static_cast<uint8_t>(quantity)}));
        EXPECT_EQ(BlockWrite(&req), c.accepted ? 0 : 1) << c.count;
        if (c.accepted) {
            ASSERT_EQ(line.writes.size(), 1u);
            EXPECT_EQ(line.writes[0].size(), static_cast<size_t>(bytes + 9));
            EXPECT_EQ(line.writes[0][6], bytes);
        } else {
            EXPECT_TRUE(line.writes.empty());
            EXPECT_EQ(zeltest::LogLines(),
                      (std::vector<LogLine>{{32, zeltest::Text(ZEL_TXT_BLOCK_WRITE_TOO_LONG, 1)}}));
        }
    }
}

TEST_F(WriteTest, BlockRefusals) {
    struct Case {
        int32_t memoryType, width, count;
        std::vector<LogLine> log;
    } cases[] = {
        {4, 16, -1, {}},
        {0, 1, -1000, {}},
        {4, 8, 2, {}}, // no such width
        {1, 1, 8, {{32, zeltest::Text(ZEL_TXT_BLOCK_WRITE_INPUT, 1)}}},
        {3, 16, 2, {{32, zeltest::Text(ZEL_TXT_BLOCK_WRITE_INPUT, 1)}}},
        {5, 32, 2, {{32, zeltest::Text(ZEL_TXT_BLOCK_WRITE_INPUT, 1)}}},
        {6, 32, 2, {{32, zeltest::Text(ZEL_TXT_BLOCK_WRITE_INPUT, 1)}}},
    };
    for (const Case& c : cases) {
        zeltest::ClearLog();
        Gate(c.memoryType, 0, -1, c.width, c.count);
        EXPECT_EQ(BlockWrite(&req), 1) << c.memoryType << " " << c.count;
        EXPECT_TRUE(line.writes.empty());
        EXPECT_EQ(zeltest::LogLines(), c.log);
    }
}

TEST_F(WriteTest, BlockWriteRunsEvenWhenTheChannelIsNotEnabled) {
    ch.portOpen = 0;
    Gate(4, 0, -1, 16, 1);
    line.Reply(WithCrc({0x01, 0x10, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(BlockWrite(&req), 0);
    EXPECT_EQ(line.writes.size(), 1u);
}

// ---------------------------------------------------------------------------
// Retries.

TEST_F(WriteTest, SilentSlaveThreeAttempts) {
    Cell16(3);
    EXPECT_EQ(SingleWrite(&req), 2);
    EXPECT_EQ(line.writes.size(), 3u);
    const LogLine timeout{8, zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0)};
    const LogLine inReply{0, zeltest::Text(ZEL_TXT_WRITE_BAD_REPLY, 1)};
    EXPECT_EQ(zeltest::LogLines(),
              (std::vector<LogLine>{timeout,
                                    inReply,
                                    {32, zeltest::Text(ZEL_TXT_WRITE_NO_REPLY, 1, 0)},
                                    {0, zeltest::Text(ZEL_TXT_WRITE_RETRY, 1, 1)},
                                    timeout,
                                    inReply,
                                    {32, zeltest::Text(ZEL_TXT_WRITE_NO_REPLY, 1, 1)},
                                    {0, zeltest::Text(ZEL_TXT_WRITE_RETRY, 1, 2)},
                                    timeout,
                                    inReply,
                                    {32, zeltest::Text(ZEL_TXT_WRITE_NO_REPLY, 1, 2)},
                                    {8, zeltest::Text(ZEL_TXT_WRITE_RESULT, 1, 2u)}}));
}

enum class Fault { BadCrc, SoftException, HardException, WrongStation, OtherFunction };

Bytes FaultyReply(Fault f, uint8_t fn) {
    const uint8_t exception = static_cast<uint8_t>(fn | 0x80);
    switch (f) {
    case Fault::BadCrc:
        return {0x01, fn, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
    case Fault::SoftException:
        return WithCrc({0x01, exception, 0x01});
    case Fault::HardException:
        return WithCrc({0x01, exception, 0x02});
    case Fault::WrongStation:
        return WithCrc({0x02, fn, 0x00, 0x00, 0x00, 0x03});
    case Fault::OtherFunction:
        return WithCrc({0x01, static_cast<uint8_t>(fn == 6 ? 16 : 6), 0x00, 0x00, 0x00, 0x03});
    }
    return {};
}

// Every attempt fails the same way: three attempts, result 1, and the lines
// of each attempt ("#" stands for the attempt number, "@" for the function
// byte of the reply in hexadecimal).
TEST_F(WriteTest, PersistentFaults) {
    const LogLine inReply{0, zeltest::Text(ZEL_TXT_WRITE_BAD_REPLY, 1)};
    struct Case {
        Fault fault;
        std::vector<LogLine> perAttempt;
    } cases[] = {
        {Fault::BadCrc,
         {{0, zeltest::Text(ZEL_TXT_WRITE_CRC_DETAIL, 1)},
          {32, "ZELMR01> DoWrite() error in crc, retry #"}}},
        {Fault::SoftException,
         {{32, zeltest::Text(ZEL_TXT_WRITE_EXCEPTION, 1)}, {0, "ZELMR01> reply buff1 = @"}}},
        {Fault::HardException, {inReply, {32, "ZELMR01> DoWrite() receive error, retry #"}}},
        {Fault::WrongStation, {inReply, {0, zeltest::Text(ZEL_TXT_WRITE_WRONG, 1)}}},
        {Fault::OtherFunction, {inReply, {0, zeltest::Text(ZEL_TXT_WRITE_WRONG, 1)}}},
    };
    for (bool block : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(static_cast<int>(c.fault)) + (block ? " block" : ""));
            FakeLine fresh;
            ch.port = fresh.Handle();
            zeltest::ClearLog();
            Gate(4, 0, -1, 16);
            Cell16(3);
            const uint8_t fn = block ? 16 : 6;
            for (int i = 0; i < 4; ++i)
                fresh.Reply(FaultyReply(c.fault, fn));

            EXPECT_EQ(block ? BlockWrite(&req) : SingleWrite(&req), 1);
            EXPECT_EQ(fresh.writes.size(), 3u);
            for (int attempt = 0; attempt < 3; ++attempt) {
                if (attempt) {
                    EXPECT_TRUE(zeltest::Logged(
                        "ZELMR01> , Do write, retry " + std::to_string(attempt), 0));
                }
                for (const LogLine& l : c.perAttempt) {
                    std::string text = l.text;
                    if (text.back() == '#') text.back() = static_cast<char>('0' + attempt);
                    if (text.back() == '@') text.replace(text.size() - 1, 1, block ? "90" : "86");
                    EXPECT_TRUE(zeltest::Logged(text, l.level)) << text << "\n"
                                                                << zeltest::LogDump();
                }
            }
            EXPECT_EQ(zeltest::LogLines().back(),
                      (LogLine{block ? 32 : 8, zeltest::Text(ZEL_TXT_WRITE_RESULT, 1, 1u)}));
        }
    }
}

TEST_F(WriteTest, SecondAttemptSucceeds) {
    Cell16(3);
    line.NoReply();
    EchoNext({0x01, 0x06, 0x00, 0x00, 0x00, 0x03});
    EXPECT_EQ(SingleWrite(&req), 0);
    EXPECT_EQ(line.writes.size(), 2u);
    EXPECT_EQ(zeltest::LogLines().back(), (LogLine{0, zeltest::Text(ZEL_TXT_WRITE_RETRY, 1, 1)}));
}

TEST_F(WriteTest, UnsentFrameIsRetriedWithoutAwaitingAReply) {
    Cell16(3);
    line.failWrites = -1;
    EXPECT_EQ(SingleWrite(&req), 2);
    int unsent = 0;
    for (const LogLine& l : zeltest::LogLines())
        unsent += l == LogLine{8, zeltest::Text(ZEL_TXT_SEND_FAILED, 1)};
    EXPECT_EQ(unsent, 3);
    for (int retry = 0; retry < 3; ++retry)
        EXPECT_TRUE(zeltest::Logged(
            "ZELMR01> DoWrite() error sending request, retry " + std::to_string(retry), 32));
    // As DoRead: a request that did not go out is not waited for.
    EXPECT_FALSE(zeltest::Logged(zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0), 8));
    EXPECT_FALSE(zeltest::Logged(zeltest::Text(ZEL_TXT_WRITE_BAD_REPLY, 1), 0));
}

TEST_F(WriteTest, FlushAttemptsFollowTheTimeout) {
    ch.timeout = 10;
    line.failFlushReads = -1;
    Cell16(3);
    EchoNext({0x01, 0x06, 0x00, 0x00, 0x00, 0x03});
    ASSERT_EQ(SingleWrite(&req), 0);
    int n = 0;
    for (const LogLine& l : zeltest::LogLines())
        n += l == LogLine{8, zeltest::Text(ZEL_TXT_WRITE_FLUSH_FAILED, 1)};
    EXPECT_EQ(n, 2);
}

} // namespace
