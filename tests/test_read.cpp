// Read transactions: request frames, storing replies in the host's buffer,
// and the retry rules with their log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "address/parser.h"
#include "driver/operations.h"
#include "modbus/transactions.h"
#include "tests/support/fake_line.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zeltest::Bytes;
using zeltest::Call;
using zeltest::Data;
using zeltest::FakeLine;
using zeltest::LogLine;
using zeltest::Silence;
using zeltest::WithCrc;

namespace {

constexpr uint8_t kUntouched = 0xA5;

class ReadTest : public ::testing::Test, protected zeltest::LineRequest {
  protected:
    uint8_t buffer[512];

    void SetUp() override {
        zeltest::ClearLog();
        std::memset(buffer, kUntouched, sizeof buffer);
        Aim(kOpSingleRead, buffer);
        Gate(4, 0, -1, 16);
    }
    // A well-formed read reply with these data bytes.
    Bytes Reply(const Bytes& data, uint8_t station = 1, uint8_t function = 3) {
        Bytes frame = {station, function, static_cast<uint8_t>(data.size())};
        frame.insert(frame.end(), data.begin(), data.end());
        return WithCrc(frame);
    }
    bool BufferUntouched() const {
        for (uint8_t b : buffer)
            if (b != kUntouched) return false;
        return true;
    }
};

// ---------------------------------------------------------------------------
// Request frames.

struct FrameCase {
    const char* name;
    int32_t plc, slaveOverride, memoryType, address, width, count;
    uint16_t options;
    int32_t parityCheck;
    bool block;
    Bytes frame; // without the CRC
};

const FrameCase kFrames[] = {
    {"holding register", 1, 0, 4, 0, 16, 1, 0, 1, false, {0x01, 0x03, 0x00, 0x00, 0x00, 0x01}},
    {"coil", 1, 0, 0, 0x13, 1, 1, 0, 1, false, {0x01, 0x01, 0x00, 0x13, 0x00, 0x01}},
    {"input", 2, 0, 1, 7, 1, 1, 0, 1, false, {0x02, 0x02, 0x00, 0x07, 0x00, 0x01}},
    {"input register", 1, 0, 3, 9, 16, 1, 0, 1, false, {0x01, 0x04, 0x00, 0x09, 0x00, 0x01}},
    {"low byte", 1, 0, 260, 5, 16, 1, 0, 1, false, {0x01, 0x03, 0x00, 0x05, 0x00, 0x01}},
    {"high byte", 1, 0, 516, 5, 16, 1, 0, 1, false, {0x01, 0x03, 0x00, 0x05, 0x00, 0x01}},
    {"float holding at 10", 1, 0, 7, 10, 32, 1, 0, 1, false, {0x01, 0x03, 0x00, 0x14, 0x00, 0x02}},
    {"float input", 1, 0, 5, 3, 32, 1, 0, 1, false, {0x01, 0x04, 0x00, 0x06, 0x00, 0x02}},
    {"long input", 1, 0, 6, 3, 32, 1, 0, 1, false, {0x01, 0x04, 0x00, 0x06, 0x00, 0x02}},
    {"long holding, LONGADDR",
     1,
     0,
     8,
     21,
     32,
     1,
     kOptLongAddr,
     1,
     false,
     {0x01, 0x03, 0x00, 0x15, 0x00, 0x02}},
    {"odd mark without parity check",
     1,
     0,
     7,
     100007,
     32,
     1,
     0,
     0,
     false,
     {0x01, 0x03, 0x00, 0x0F, 0x00, 0x02}},
    {"mark ignored with parity check",
     1,
     0,
     4,
     100007,
     16,
     1,
     0,
     1,
     false,
     {0x01, 0x03, 0x86, 0xA7, 0x00, 0x01}},
    {"station override", 3, 7, 4, 0, 16, 1, 0, 1, false, {0x07, 0x03, 0x00, 0x00, 0x00, 0x01}},
    {"address cut to 16 bits",
     1,
     0,
     4,
     0x12345,
     16,
     1,
     0,
     1,
     false,
     {0x01, 0x03, 0x23, 0x45, 0x00, 0x01}},
    {"block of 20 coils", 1, 0, 0, 0, 1, 20, 0, 1, true, {0x01, 0x01, 0x00, 0x00, 0x00, 0x14}},
    {"block of 2000 coils", 1, 0, 0, 0, 1, 2000, 0, 1, true, {0x01, 0x01, 0x00, 0x00, 0x07, 0xD0}},
    {"block of 125 registers",
     1,
     0,
     4,
     100,
     16,
     125,
     0,
     1,
     true,
     {0x01, 0x03, 0x00, 0x64, 0x00, 0x7D}},
    {"block of 10 longs", 1, 0, 6, 2, 32, 10, 0, 1, true, {0x01, 0x04, 0x00, 0x04, 0x00, 0x14}},
    {"block of 62 floats", 1, 0, 7, 0, 32, 62, 0, 1, true, {0x01, 0x03, 0x00, 0x00, 0x00, 0x7C}},
    {"block of longs with LONGADDR",
     1,
     0,
     8,
     5,
     32,
     3,
     kOptLongAddr,
     1,
     true,
     {0x01, 0x03, 0x00, 0x05, 0x00, 0x06}},
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadFrames : public ReadTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(ReadFrames, RequestOnTheLine) {
    const FrameCase& c = GetParam();
    Gate(c.memoryType, c.address, -1, c.width, c.count);
    io.tag.plc = c.plc;
    ch.slaveOverride = c.slaveOverride;
    ch.options = c.options;
    ch.parityCheck = c.parityCheck;
    const int32_t need = ReplyDataNeeded(io, c.block ? kReadBlock : kReadSingle);
    line.Reply(Reply(Bytes(static_cast<size_t>(need), 0), c.frame[0], c.frame[1]));

    EXPECT_EQ(c.block ? BlockRead(&req) : SingleRead(&req), 0) << zeltest::LogDump();
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(zeltest::Hex(line.writes[0]), zeltest::Hex(WithCrc(c.frame)));
}

INSTANTIATE_TEST_SUITE_P(Requests, ReadFrames, ::testing::ValuesIn(kFrames));

TEST_F(ReadTest, KnownFramesWithTheirCrc) {
    line.Reply(Reply({0, 0}));
    ASSERT_EQ(SingleRead(&req), 0);
    EXPECT_EQ(line.writes[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));

    Gate(7, 10, -1, 32);
    line.Reply(Reply({0, 0, 0, 0}));
    ASSERT_EQ(SingleRead(&req), 0);
    EXPECT_EQ(line.writes[1], (Bytes{0x01, 0x03, 0x00, 0x14, 0x00, 0x02, 0x84, 0x0F}));
}

// Gate strings through the parser to the register on the line.
TEST_F(ReadTest, ParsedGatesReachTheirRegister) {
    struct Case {
        char protocol;
        uint16_t options;
        int32_t parityCheck;
        const char* gas;
        uint16_t start;
    } cases[] = {
        {'M', 0, 1, "0140010", 9},            // Modbus counts from 1
        {'J', 0, 1, "0140010", 10},           // J-BUS counts from 0
        {'M', 0, 1, "0170011", 10},           // 32-bit, odd GAS number under Modbus
        {'J', 0, 1, "0180002", 2},            // 32-bit, even under J-BUS
        {'M', 0, 0, "0170002", 1},            // marked odd register
        {'J', 0, 0, "0180003", 3},            // marked odd register under J-BUS
        {'M', kOptLongAddr, 1, "0170002", 1}, // LONGADDR: no halving
    };
    for (const Case& c : cases) {
        ch.protocol = c.protocol;
        ch.options = c.options;
        ch.parityCheck = c.parityCheck;
        ParseRequest parse{};
        parse.gas = c.gas;
        ASSERT_EQ(Parse(RulesOf(ch), parse.gas, parse.tag), Verdict::kAccepted)
            << c.gas << zeltest::LogDump();
        io.tag = parse.tag;
        line.writes.clear();
        line.Reply(
            Reply(Bytes(parse.tag.width == 32 ? 4 : 2, 0), 1, parse.tag.width == 32 ? 3 : 3));
        ASSERT_EQ(SingleRead(&req), 0) << c.gas;
        ASSERT_EQ(line.writes.size(), 1u);
        EXPECT_EQ(line.writes[0][2] << 8 | line.writes[0][3], c.start) << c.gas;
    }
}

// ---------------------------------------------------------------------------
// Storing values.

struct DecodeCase {
    const char* name;
    int32_t memoryType, bit, width, count;
    uint16_t options;
    bool block;
    Bytes data;     // data bytes of the reply
    Bytes expected; // start of the host buffer afterwards; the rest untouched
};

const DecodeCase kDecodes[] = {
    {"register", 4, -1, 16, 1, 0, false, {0xAB, 0xCD}, {0xA5, 0xA5, 0xCD, 0xAB}},
    {"high byte", 516, -1, 16, 1, 0, false, {0xAB, 0xCD}, {0xA5, 0xA5, 0xAB, 0x00}},
    {"low byte", 260, -1, 16, 1, 0, false, {0xAB, 0xCD}, {0xA5, 0xA5, 0xCD, 0x00}},
    {"bit 3 of the high byte", 516, 3, 1, 1, 0, false, {0x08, 0x00}, {0xA5, 0xA5, 0x01, 0x00}},
    {"bit 3 of the low byte", 260, 3, 1, 1, 0, false, {0x08, 0x00}, {0xA5, 0xA5, 0x00, 0x00}},
    {"register bit 15", 4, 15, 1, 1, 0, false, {0x80, 0x00}, {0xA5, 0xA5, 0x01, 0x00}},
    {"register bit 0 clear", 4, 0, 1, 1, 0, false, {0xFF, 0xFE}, {0xA5, 0xA5, 0x00, 0x00}},
    {"coil on", 0, -1, 1, 1, 0, false, {0x03}, {0xA5, 0xA5, 0x01, 0x00}},
    {"input off", 1, -1, 1, 1, 0, false, {0xFE}, {0xA5, 0xA5, 0x00, 0x00}},
    {"long", 8, -1, 32, 1, 0, false, {0x11, 0x22, 0x33, 0x44}, {0x44, 0x33, 0x22, 0x11}},
    {"long SWAP",
     8,
     -1,
     32,
     1,
     kOptSwap,
     false,
     {0x11, 0x22, 0x33, 0x44},
     {0x22, 0x11, 0x44, 0x33}},
    {"long FLOATSWAP only",
     8,
     -1,
     32,
     1,
     kOptFloatSwap,
     false,
     {0x11, 0x22, 0x33, 0x44},
     {0x44, 0x33, 0x22, 0x11}},
    {"input long SWAP",
     6,
     -1,
     32,
     1,
     kOptSwap,
     false,
     {0x11, 0x22, 0x33, 0x44},
     {0x22, 0x11, 0x44, 0x33}},
    {"float FLOATSWAP",
     7,
     -1,
     32,
     1,
     kOptFloatSwap,
     false,
     {0x11, 0x22, 0x33, 0x44},
     {0x22, 0x11, 0x44, 0x33}},
    {"float SWAP only",
     7,
     -1,
     32,
     1,
     kOptSwap,
     false,
     {0x11, 0x22, 0x33, 0x44},
     {0x44, 0x33, 0x22, 0x11}},
    {"input float both",
     5,
     -1,
     32,
     1,
     kOptSwap | kOptFloatSwap,
     false,
     {0x11, 0x22, 0x33, 0x44},
     {0x22, 0x11, 0x44, 0x33}},
    {"20 coils", 0, -1, 1, 20, 0, true, {0x12, 0x34, 0x05}, {0x12, 0x34, 0x05}},
    {"registers",
     4,
     -1,
     16,
     3,
     0,
     true,
     {0x00, 0x01, 0xAB, 0xCD, 0xFF, 0x00},
     {0x01, 0x00, 0xCD, 0xAB, 0x00, 0xFF}},
    {"high bytes", 516, -1, 16, 2, 0, true, {0xAB, 0xCD, 0x12, 0x34}, {0xAB, 0x00, 0x12, 0x00}},
    {"low bytes", 260, -1, 16, 2, 0, true, {0xAB, 0xCD, 0x12, 0x34}, {0xCD, 0x00, 0x34, 0x00}},
    {"longs SWAP",
     8,
     -1,
     32,
     2,
     kOptSwap,
     true,
     {0x11, 0x22, 0x33, 0x44, 0x01, 0x02, 0x03, 0x04},
     {0x22, 0x11, 0x44, 0x33, 0x02, 0x01, 0x04, 0x03}},
    {"floats",
     7,
     -1,
     32,
     2,
     kOptSwap,
     true,
     {0x11, 0x22, 0x33, 0x44, 0x01, 0x02, 0x03, 0x04},
     {0x44, 0x33, 0x22, 0x11, 0x04, 0x03, 0x02, 0x01}},
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadValues : public ReadTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(ReadValues, StoredInTheHostBuffer) {
    const DecodeCase& c = GetParam();
    Gate(c.memoryType, 0, c.bit, c.width, c.count);
    ch.options = c.options;
    const uint8_t function = ReadFunction(c.memoryType);
    line.Reply(Reply(c.data, 1, function));
    const IoRequest before = io;

    ASSERT_EQ(c.block ? BlockRead(&req) : SingleRead(&req), 0) << zeltest::LogDump();
    EXPECT_EQ(zeltest::Hex(Bytes(buffer, buffer + c.expected.size())), zeltest::Hex(c.expected));
    for (size_t i = c.expected.size(); i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], kUntouched) << "byte " << i;
    EXPECT_EQ(std::memcmp(&before, &io, sizeof io), 0) << "the request is left as it was";
    EXPECT_TRUE(zeltest::LogLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, ReadValues, ::testing::ValuesIn(kDecodes));

TEST_F(ReadTest, BitGateReadTwiceGivesTheSameValue) {
    Gate(516, 0, 3, 1);
    for (int i = 0; i < 2; ++i) {
        line.Reply(Reply({0x08, 0x00}));
        ASSERT_EQ(SingleRead(&req), 0);
        EXPECT_EQ(buffer[2], 1);
        EXPECT_EQ(io.tag.bit, 3);
    }
}

TEST_F(ReadTest, LargestBlocks) {
    struct Case {
        int32_t memoryType, width, count, bytes;
    } cases[] = {{0, 1, 2000, 250}, {4, 16, 125, 250}, {8, 32, 62, 248}};
    for (const Case& c : cases) {
        std::memset(buffer, kUntouched, sizeof buffer);
        Gate(c.memoryType, 0, -1, c.width, c.count);
        Bytes data(static_cast<size_t>(c.bytes));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i);
        line.Reply(Reply(data, 1, ReadFunction(c.memoryType)));
        ASSERT_EQ(BlockRead(&req), 0) << c.count;
        EXPECT_EQ(buffer[c.bytes], kUntouched);
        EXPECT_NE(buffer[c.bytes - 1], kUntouched);
    }
}

TEST_F(ReadTest, InvalidWidthStoresNothing) {
    Gate(4, 0, -1, 8);
    line.Reply(Reply({1, 2}));
    EXPECT_EQ(SingleRead(&req), 1);
    EXPECT_TRUE(BufferUntouched());
    EXPECT_EQ(zeltest::LogLines(),
              (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_SINGLE_READ_RESULT, 1, 1)}}));
}

// ---------------------------------------------------------------------------
// Refusals before anything is sent.

TEST_F(ReadTest, ChannelNotEnabledSendsAndLogsNothing) {
    ch.portOpen = 0;
    EXPECT_EQ(SingleRead(&req), 1);
    Gate(4, 0, -1, 16, 10);
    EXPECT_EQ(BlockRead(&req), 1);
    EXPECT_TRUE(line.calls.empty());
    EXPECT_TRUE(zeltest::LogLines().empty());
}

TEST_F(ReadTest, BlockCountBeyondTheParserLimitIsRefused) {
    struct Case {
        int32_t memoryType, width, count;
    } cases[] = {{4, 16, 0},  {4, 16, -1}, {4, 16, 126},        {0, 1, 2001},
                 {8, 32, 63}, {7, 32, -5}, {4, 16, 0x7FFFFFFF}, {0, 1, 0x10000}};
    for (const Case& c : cases) {
        zeltest::ClearLog();
        Gate(c.memoryType, 0, -1, c.width, c.count);
        EXPECT_EQ(BlockRead(&req), 1) << c.count;
        EXPECT_TRUE(line.writes.empty());
        EXPECT_TRUE(BufferUntouched());
        EXPECT_EQ(zeltest::LogLines(),
                  (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_BLOCK_READ_RESULT, 1, 1)}}));
    }
}

// ---------------------------------------------------------------------------
// Retries and their log lines.

TEST_F(ReadTest, SilentSlaveThreeAttempts) {
    EXPECT_EQ(SingleRead(&req), 2);
    EXPECT_EQ(line.writes.size(), 3u);
    const std::string timeout = zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0);
    EXPECT_EQ(zeltest::LogLines(),
              (std::vector<LogLine>{{8, timeout},
                                    {8, zeltest::Text(ZEL_TXT_READ_NO_REPLY, 1, 1)},
                                    {8, zeltest::Text(ZEL_TXT_READ_LENGTH, 1, 6)},
                                    {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0)},
                                    {8, timeout},
                                    {8, zeltest::Text(ZEL_TXT_READ_NO_REPLY, 1, 2)},
                                    {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 1, 0)},
                                    {8, timeout},
                                    {8, zeltest::Text(ZEL_TXT_READ_NO_REPLY, 1, 3)},
                                    {8, zeltest::Text(ZEL_TXT_SINGLE_READ_RESULT, 1, 2)}}));
    EXPECT_TRUE(BufferUntouched());
}

// Each request has left the port (drained) before its reply is awaited, so
// the time-out counts from its end, and nothing is written after the
// transaction's last reading: no request leaves after it has returned.
TEST_F(ReadTest, EveryRequestDrainsBeforeItsReplyIsAwaited) {
    EXPECT_EQ(SingleRead(&req), 2);
    std::vector<Call> order;
    for (const zeltest::CallRecord& c : line.calls)
        if (c.call == Call::Write || c.call == Call::Drain ||
            (c.call == Call::Read && c.value != 512))
            order.push_back(c.call);
    ASSERT_GE(order.size(), 9u);
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i] == Call::Write) {
            ASSERT_LT(i + 2, order.size());
            EXPECT_EQ(order[i + 1], Call::Drain) << i;
            EXPECT_EQ(order[i + 2], Call::Read) << i;
        }
    }
    EXPECT_NE(order.back(), Call::Write);
    EXPECT_NE(order.back(), Call::Drain);
}

TEST_F(ReadTest, WrongStationEveryTimeFourAttempts) {
    for (int i = 0; i < 6; ++i)
        line.Reply(Reply({0, 1}, 2));
    EXPECT_EQ(SingleRead(&req), 1);
    EXPECT_EQ(line.writes.size(), 4u);
    const LogLine wrong{8, zeltest::Text(ZEL_TXT_RX_WRONG_PLC, 1, 0x2, 0x1)};
    EXPECT_EQ(zeltest::LogLines(),
              (std::vector<LogLine>{wrong,
                                    {8, zeltest::Text(ZEL_TXT_READ_LENGTH, 1, 6)},
                                    {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0)},
                                    {8, zeltest::Text(ZEL_TXT_READ_WRONG, 1, 3)},
                                    wrong,
                                    {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0)},
                                    {8, zeltest::Text(ZEL_TXT_READ_WRONG, 1, 2)},
                                    wrong,
                                    {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0)},
                                    {8, zeltest::Text(ZEL_TXT_READ_WRONG, 1, 1)},
                                    wrong,
                                    {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0)},
                                    {8, zeltest::Text(ZEL_TXT_SINGLE_READ_RESULT, 1, 1)}}));
}

TEST_F(ReadTest, WrongReplyOnTheLastChargedAttemptEndsTheTransaction) {
    line.NoReply();
    line.NoReply();
    line.Reply(Reply({0, 1}, 1, 4)); // another function
    line.Reply(Reply({0, 1}));       // would succeed, never asked for
    EXPECT_EQ(SingleRead(&req), 1);
    EXPECT_EQ(line.writes.size(), 3u);
    EXPECT_FALSE(zeltest::Logged(zeltest::Text(ZEL_TXT_READ_WRONG, 1, 3)));
    EXPECT_EQ(zeltest::LogLines().back(),
              (LogLine{8, zeltest::Text(ZEL_TXT_SINGLE_READ_RESULT, 1, 1)}));
    EXPECT_TRUE(BufferUntouched());
}

TEST_F(ReadTest, WrongReplyDoesNotUseUpTheChargedAttempts) {
    // silence, another function, silence, silence: four attempts, three of
    // them charged, the last result stands.
    line.NoReply();
    line.Reply(Reply({0, 1}, 1, 4));
    line.NoReply();
    line.NoReply();
    line.Reply(Reply({0, 1})); // never asked for
    EXPECT_EQ(SingleRead(&req), 2);
    EXPECT_EQ(line.writes.size(), 4u);
    const std::vector<LogLine> log = zeltest::LogLines();
    const std::vector<LogLine> tail(log.end() - 8, log.end());
    EXPECT_EQ(tail, (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 1, 2)},
                                          {8, zeltest::Text(ZEL_TXT_READ_WRONG, 1, 3)},
                                          {8, zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0)},
                                          {8, zeltest::Text(ZEL_TXT_READ_NO_REPLY, 1, 2)},
                                          {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 1, 0)},
                                          {8, zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0)},
                                          {8, zeltest::Text(ZEL_TXT_READ_NO_REPLY, 1, 3)},
                                          {8, zeltest::Text(ZEL_TXT_SINGLE_READ_RESULT, 1, 2)}}))
        << zeltest::LogDump();
}

TEST_F(ReadTest, LenLineOnlyOnceAndNothingOnImmediateSuccess) {
    line.Reply(Reply({0x12, 0x34}));
    ASSERT_EQ(SingleRead(&req), 0);
    EXPECT_TRUE(zeltest::LogLines().empty());

    line.NoReply();
    line.NoReply();
    line.Reply(Reply({0x12, 0x34}));
    ASSERT_EQ(SingleRead(&req), 0);
    int lenLines = 0;
    for (const LogLine& l : zeltest::LogLines())
        lenLines += l.text == zeltest::Text(ZEL_TXT_READ_LENGTH, 1, 6);
    EXPECT_EQ(lenLines, 1);
}

TEST_F(ReadTest, GarbageBeforeTheReplyIsFlushedAndTheRetrySucceeds) {
    Bytes garbage = {0xFF, 0x00, 0x13};
    Bytes good = Reply({0x12, 0x34});
    garbage.insert(garbage.end(), good.begin(), good.end());
    line.Reply(garbage);
    line.Reply(good);
    ASSERT_EQ(SingleRead(&req), 0) << zeltest::LogDump();
    EXPECT_EQ(buffer[2], 0x34);
    EXPECT_EQ(buffer[3], 0x12);
    EXPECT_EQ(line.writes.size(), 2u);
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_READ_WRONG, 1, 3)));
}

TEST_F(ReadTest, StaleInputIsDiscardedBeforeTheRequest) {
    line.Pending(Reply({0x99, 0x99}));
    line.Reply(Reply({0x12, 0x34}));
    ASSERT_EQ(SingleRead(&req), 0);
    EXPECT_EQ(buffer[2], 0x34);
    EXPECT_EQ(line.writes.size(), 1u);
}

// Faults that end every attempt, each with the host buffer left alone.
TEST_F(ReadTest, PersistentFaults) {
    struct Case {
        const char* name;
        Bytes reply;
        int result;
        std::vector<std::string> perAttempt; // lines of one attempt, after Receive's
        size_t attempts;
    } cases[] = {
        {"bad CRC",
         {0x01, 0x03, 0x02, 0x12, 0x34, 0x00, 0x00},
         1,
         {"DoRead() crc error, retry "},
         3},
        {"exception 2",
         WithCrc({0x01, 0x83, 0x02}),
         1,
         {"DoRead() error reading reply, retry "},
         3},
        {"exception 4",
         WithCrc({0x01, 0x83, 0x04}),
         1,
         {"DoRead() error reading reply, retry "},
         3},
        {"exception 1", WithCrc({0x01, 0x83, 0x01}), 1, {"DoRead() received 0x80 error code"}, 3},
        {"exception 11", WithCrc({0x01, 0x83, 0x0B}), 1, {"DoRead() received 0x80 error code"}, 3},
        {"exception 6 with bad CRC",
         {0x01, 0x83, 0x06, 0x00, 0x00},
         1,
         {"DoRead() crc error, retry "},
         3},
        {"short data", {0x01, 0x03, 0x04, 1, 2, 3}, 1, {}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLine fresh;
        ch.port = fresh.Handle();
        zeltest::ClearLog();
        for (int i = 0; i < 6; ++i)
            fresh.Reply(c.reply);
        EXPECT_EQ(SingleRead(&req), c.result);
        EXPECT_EQ(fresh.writes.size(), c.attempts);
        EXPECT_TRUE(BufferUntouched());
        for (const std::string& line : c.perAttempt) {
            if (line.back() == ' ') {
                for (int retry = 1; retry <= 3; ++retry)
                    EXPECT_TRUE(zeltest::Logged("ZELMR01> " + line + std::to_string(retry), 8))
                        << zeltest::LogDump();
            } else {
                int n = 0;
                for (const LogLine& l : zeltest::LogLines())
                    n += l.text == "ZELMR01> " + line;
                EXPECT_EQ(n, 3);
            }
        }
        EXPECT_EQ(zeltest::LogLines().back(),
                  (LogLine{8, "ZELMR01> SingleRead() , ret val is " + std::to_string(c.result)}));
    }
}

TEST_F(ReadTest, ReplyWithFewerDataBytesThanRequestedIsAWrongReply) {
    // A good CRC around too few data bytes: never decoded, retried on the
    // wrong-reply budget (one charged attempt and three more), result 1.
    Gate(4, 0, -1, 16, 10);
    for (int i = 0; i < 4; ++i)
        line.Reply(Reply({0, 1, 0, 2, 0, 3, 0, 4}));
    EXPECT_EQ(BlockRead(&req), 1);
    EXPECT_EQ(line.writes.size(), 4u);
    EXPECT_TRUE(BufferUntouched());
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_READ_TOO_SHORT, 1, 8, 20), 8))
        << zeltest::LogDump();
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_READ_WRONG, 1, 1)));

    // The same for single values: a bit of a register needs the register,
    // a 32-bit value four bytes.
    zeltest::ClearLog();
    Gate(4, 0, 3, 1);
    for (int i = 0; i < 4; ++i)
        line.Reply(Reply({0xFF}));
    EXPECT_EQ(SingleRead(&req), 1);
    EXPECT_TRUE(BufferUntouched());
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_READ_TOO_SHORT, 1, 1, 2)));

    zeltest::ClearLog();
    Gate(8, 0, -1, 32);
    line.Reply(Reply({0x11, 0x22}));
    line.Reply(Reply({0x11, 0x22, 0x33, 0x44}));
    ASSERT_EQ(SingleRead(&req), 0);
    EXPECT_EQ(zeltest::Hex(Bytes(buffer, buffer + 4)), "44 33 22 11");
}

TEST_F(ReadTest, SendFailureRetriedThreeTimes) {
    line.failWrites = -1;
    EXPECT_EQ(SingleRead(&req), 2);
    for (int retry = 1; retry <= 3; ++retry)
        EXPECT_TRUE(zeltest::Logged("ZELMR01> DoRead() error sending request, retry " +
                                    std::to_string(retry)));
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_SEND_FAILED, 1)));
    EXPECT_TRUE(BufferUntouched());
}

TEST_F(ReadTest, FlushAttemptsFollowTheTimeout) {
    struct Case {
        int32_t timeout;
        int linesPerAttempt;
    } cases[] = {{3, 1}, {5, 1}, {20, 4}, {100, 20}};
    for (const Case& c : cases) {
        zeltest::ClearLog();
        ch.timeout = c.timeout;
        line.failFlushReads = -1;
        line.Reply(Reply({0x12, 0x34}));
        ASSERT_EQ(SingleRead(&req), 0) << "the attempt goes on after an incomplete flush";
        int n = 0;
        for (const LogLine& l : zeltest::LogLines())
            n += l == LogLine{8, zeltest::Text(ZEL_TXT_READ_FLUSH_FAILED, 1)};
        EXPECT_EQ(n, c.linesPerAttempt) << "timeout " << c.timeout;
    }
}

} // namespace
