// Sending a request and receiving its reply piece by piece.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "core/log.h"
#include "modbus/transport.h"
#include "serial/serial.h"
#include "tests/support/fake_line.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zeltest::Bytes;
using zeltest::Call;
using zeltest::CallRecord;
using zeltest::Data;
using zeltest::FakeLine;
using zeltest::LogLine;
using zeltest::Piece;
using zeltest::Silence;
using zeltest::WithCrc;

namespace {

// The reception results by the numbers the tables below are written in.
int Code(RxResult r) {
    switch (r) {
    case RxResult::kOk:
        return 0;
    case RxResult::kException:
        return 1;
    case RxResult::kTimeout:
        return 2;
    case RxResult::kWrong:
        return 3;
    }
    return -1;
}
} // namespace

namespace zeltest {
void PrintTo(const CallRecord& c, std::ostream* os) {
    static const char* const names[] = {"Write", "Read",  "SetRts", "ClearRts", "ClearCommError",
                                        "Sleep", "Other", "Drain",  "Pause"};
    *os << names[static_cast<int>(c.call)] << "(" << c.value << ")";
}
} // namespace zeltest

namespace {

class SendTest : public ::testing::Test {
  protected:
    FakeLine line;
    ChannelState ch = zeltest::ChannelOn(line);
    uint8_t frame[8] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0xEE, 0xEE};

    void SetUp() override { zeltest::ClearLog(); }

    // The calls from the first RTS or write call on, after the input flush.
    std::vector<CallRecord> CallsAfterFlush() {
        auto first = line.calls.begin();
        while (first != line.calls.end() && first->call != Call::SetRts &&
               first->call != Call::Write && first->call != Call::Pause)
            ++first;
        return std::vector<CallRecord>(first, line.calls.end());
    }
};

TEST_F(SendTest, AppendsCrcLowByteFirstAndWritesEightBytes) {
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(line.writes[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(frame[6], 0x84);
    EXPECT_EQ(frame[7], 0x0A);
    EXPECT_TRUE(zeltest::LogLines().empty());
}

TEST_F(SendTest, InterFrameGap) {
    struct Case {
        uint16_t ms, loops;
        std::vector<CallRecord> sleeps;
    } cases[] = {
        {20, 5, {{Call::Sleep, 20}}}, // milliseconds win over loops
        {0, 5, {}},
        {0, 0, {}},
        {1, 0, {{Call::Sleep, 1}}},
    };
    for (const Case& c : cases) {
        line.calls.clear();
        ch.ifgMs = c.ms;
        ch.ifgLoops = c.loops;
        ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
        EXPECT_EQ(line.CallsOf(Call::Sleep), c.sleeps) << c.ms << " ms, " << c.loops << " loops";
        // After a gap, what came during it is discarded; without one the
        // transaction's own flush has just run.
        const bool gap = c.ms != 0 || c.loops != 0;
        EXPECT_EQ(line.calls.front().call, c.ms  ? Call::Sleep
                                           : gap ? Call::ClearCommError
                                                 : Call::Write);
        EXPECT_EQ(line.CallsOf(Call::ClearCommError).size(), gap ? 1u : 0u);
    }
}

TEST_F(SendTest, BusyLoopGapReallyRuns) {
    // 6.5 million passes of a counter in memory cannot take less than a
    // millisecond on any processor; an optimised-away loop takes nothing.
    ch.ifgLoops = 65535;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, std::chrono::milliseconds(1));
    EXPECT_TRUE(line.CallsOf(Call::Sleep).empty());
}

// Every request is drained from the port before its reply is awaited.
TEST_F(SendTest, NoRtsCallsWithoutRtsControl) {
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    EXPECT_EQ(CallsAfterFlush(), (std::vector<CallRecord>{{Call::Write, 8}, {Call::Drain, 0}}));
}

TEST_F(SendTest, RtsRaisedAroundTheWriteUntilTheQueueIsEmpty) {
    ch.rtsControl = 1;
    line.outQueue = {8, 3};
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    EXPECT_EQ(CallsAfterFlush(), (std::vector<CallRecord>{{Call::SetRts, SETRTS},
                                                          {Call::Write, 8},
                                                          {Call::Drain, 0},
                                                          {Call::ClearCommError, 0},
                                                          {Call::Sleep, 1},
                                                          {Call::ClearCommError, 0},
                                                          {Call::Sleep, 1},
                                                          {Call::ClearCommError, 0},
                                                          {Call::ClearRts, CLRRTS}}));
    EXPECT_TRUE(zeltest::LogLines().empty());
}

// RTS falls after the last stop bit whatever the drain tells: no sooner than
// the frame's wire time and one character after the write began, and no
// sooner than the drain's return. A USB adapter's drain returns at once, a
// UART's once the transmitter is empty; a drain later than the wire time
// itself sets the moment.
TEST(WriteRequestRts, FallsAtTheWireTimeOrTheDrainWhicheverIsLater) {
    constexpr uint64_t kChar = 1042; // 10 bits at 9600 baud, rounded up
    struct Drain {
        const char* what;
        int64_t extraChars; // the drain's return after the write, in characters past the frame
    } drains[] = {{"returns at once (USB adapter)", -1}, // -1: no time at all
                  {"returns with the last stop bit (UART)", 0},
                  {"returns three characters late", 3}};
    for (uint32_t count : {1u, 8u, 40u, 255u}) {
        for (const Drain& d : drains) {
            FakeLine line;
            LineState state{0, 0, 0, static_cast<uint32_t>(kChar)};
            line.drainUs = d.extraChars < 0 ? 0 : (count + d.extraChars) * kChar;
            const std::vector<uint8_t> bytes(count, 0x55);
            const KeyedWrite w = WriteRequest(line.Handle(), bytes.data(), count, true, state);
            const std::string what = std::to_string(count) + " bytes, drain " + d.what;
            EXPECT_EQ(w.write, SerialResult::kOk) << what;
            const uint64_t wire = (count + 1) * kChar;
            const uint64_t want = line.drainUs > wire ? line.drainUs : wire;
            EXPECT_EQ(line.rtsLoweredAtUs - line.writeAtUs, want) << what;
            // A deadline, not a fixed pause: only what is left of it is waited.
            std::vector<CallRecord> calls{{Call::SetRts, SETRTS},
                                          {Call::Write, count},
                                          {Call::Drain, 0},
                                          {Call::ClearCommError, 0}};
            if (want > line.drainUs)
                calls.push_back({Call::Pause, static_cast<uint32_t>(want - line.drainUs)});
            calls.push_back({Call::ClearRts, CLRRTS});
            EXPECT_EQ(line.calls, calls) << what;
            EXPECT_EQ(state.requestSentUs, line.clockUs) << what;
        }
    }
}

// Before the request the line keeps 3.5 characters of silence after the
// last byte on it; a port whose kernel keys RTS (RS-485 mode) is left to it,
// with no RTS call and no wait.
TEST_F(SendTest, RequestsFollowSilenceAndKernelKeyedPortsAreLeftAlone) {
    struct Case {
        const char* what;
        bool keyedByDevice;
        uint64_t sinceLast; // microseconds since the last byte on the line
        std::vector<CallRecord> calls;
    } cases[] = {
        {"a reply ended 1 ms ago",
         false,
         1000,
         {{Call::Pause, 3647 - 1000},
          {Call::SetRts, SETRTS},
          {Call::Write, 8},
          {Call::Drain, 0},
          {Call::ClearCommError, 0},
          {Call::Pause, 9 * 1042},
          {Call::ClearRts, CLRRTS}}},
        {"kernel RS-485 mode, line long silent",
         true,
         100000,
         {{Call::Write, 8}, {Call::Drain, 0}}},
    };
    for (const Case& c : cases) {
        line.calls.clear();
        ch.rtsControl = 1;
        ch.line.charTimeUs = 1042;
        ch.line.lastActivityUs = line.clockUs - c.sinceLast;
        line.rtsKeyedByDevice = c.keyedByDevice;
        ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent) << c.what;
        EXPECT_EQ(CallsAfterFlush(), c.calls) << c.what;
        EXPECT_EQ(ch.line.requestSentUs, line.clockUs) << c.what;
    }
}

TEST_F(SendTest, RtsFaultsAreLoggedAndSendingGoesOn) {
    ch.rtsControl = 1;
    line.failEscape = true;
    line.failClearCommError = true;
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    EXPECT_EQ(line.writes.size(), 1u);
    // The failed queue query ends the wait at once: no sleep before CLRRTS.
    EXPECT_EQ(CallsAfterFlush(), (std::vector<CallRecord>{{Call::SetRts, SETRTS},
                                                          {Call::Write, 8},
                                                          {Call::Drain, 0},
                                                          {Call::ClearCommError, 0},
                                                          {Call::ClearRts, CLRRTS}}));
    EXPECT_EQ(zeltest::LogLines(),
              (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_SEND_RTS_FAILED, 1)},
                                    {8, zeltest::Text(ZEL_TXT_SEND_QUEUE_FAILED, 1)},
                                    {8, zeltest::Text(ZEL_TXT_SEND_RTS_FAILED, 1)}}));
}

TEST_F(SendTest, OutputQueueThatNeverDrainsDoesNotHangTheCaller) {
    ch.rtsControl = 1;
    line.outQueue.assign(50000, 1);
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    EXPECT_EQ(line.calls.back().call, Call::ClearRts);
    EXPECT_EQ(line.CallsOf(Call::Sleep).size(), 10000u);
}

TEST_F(SendTest, FailedOrShortWriteGivesTwoAndStillLowersRts) {
    for (bool shortWrite : {false, true}) {
        line.calls.clear();
        zeltest::ClearLog();
        ch.rtsControl = 1;
        (shortWrite ? line.shortWrites : line.failWrites) = 1;
        EXPECT_EQ(Send(ch, frame, 6), SendResult::kNotSent);
        EXPECT_EQ(line.calls.back().call, Call::ClearRts);
        EXPECT_EQ(zeltest::LogLines(),
                  (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_SEND_FAILED, 1)}}));
    }
}

TEST_F(SendTest, InputThatCameDuringTheGapIsDiscardedBeforeWriting) {
    ch.ifgMs = 2;
    line.Pending({0x55, 0x66, 0x77});
    ASSERT_EQ(Send(ch, frame, 6), SendResult::kSent);
    EXPECT_EQ(line.InputLeft(), 0u);
}

// The conversation's hexadecimal form, cut to whole bytes where it does not fit.
TEST(FrameLog, HexBytesFitTheirBuffer) {
    const uint8_t bytes[] = {0x01, 0xAB, 0xFF, 0x00};
    struct Case {
        size_t count, size;
        const char* text;
    } cases[] = {{0, 8, ""},  {4, 13, "01 AB FF 00"}, {4, 12, "01 AB FF"}, {4, 4, "01"}, {4, 3, ""},
                 {1, 4, "01"}};
    for (const Case& c : cases) {
        char out[16];
        std::memset(out, '#', sizeof out);
        EXPECT_STREQ(HexBytes(bytes, c.count, out, c.size), c.text) << c.count << " " << c.size;
        EXPECT_EQ(out[c.size], '#') << "nothing written beyond the buffer";
    }
}

// ---------------------------------------------------------------------------

struct ReceiveCase {
    const char* name;
    int32_t slaveOverride;
    int32_t plc;
    int32_t writeMode; // 1: the reply awaited is a write's echo
    uint8_t function;  // of the request
    std::vector<Piece> reply;
    int result;
    int32_t length;
    std::vector<LogLine> log;
    std::vector<uint32_t> reads; // byte counts asked for, in order
};

void PrintTo(const ReceiveCase& c, std::ostream* os) {
    *os << c.name;
}

Bytes Crc(Bytes b) {
    return WithCrc(std::move(b));
}

const ReceiveCase kReceiveCases[] = {
    {"read reply",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B})},
     0,
     7,
     {},
     {2, 1, 4}},
    {"write echo",
     0,
     1,
     1,
     6,
     {Data({0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B})},
     0,
     8,
     {},
     {2, 6}},
    {"write echo whose third byte looks like a byte count",
     0,
     1,
     1,
     16,
     {Data(Crc({0x01, 0x10, 0x00, 0x14, 0x00, 0x02})), Data({0xAA, 0xBB})},
     0,
     8,
     {},
     {2, 6}},
    {"byte count zero", 0, 1, 0, 3, {Data(Crc({0x01, 0x03, 0x00}))}, 0, 5, {}, {2, 1, 2}},
    {"silence", 0, 1, 0, 3, {}, 2, 0, {{8, zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0)}}, {2}},
    {"wrong station",
     0,
     1,
     0,
     3,
     {Data(Crc({0x02, 0x03, 0x02, 0x00, 0x01}))},
     3,
     0,
     {{8, zeltest::Text(ZEL_TXT_RX_WRONG_PLC, 1, 0x2, 0x1)}},
     {2}},
    {"wrong lone station byte",
     0,
     0x1F,
     0,
     3,
     {Data({0x2A}), Silence()},
     3,
     0,
     {{8, zeltest::Text(ZEL_TXT_RX_WRONG_PLC, 1, 0x2a, 0x1F)}},
     {2}},
    {"garbage before the reply",
     0,
     1,
     0,
     3,
     {Data({0xFF}), Data(Crc({0x01, 0x03, 0x02, 0x00, 0x01}))},
     3,
     0,
     {{8, zeltest::Text(ZEL_TXT_RX_WRONG_PLC, 1, 0xff, 0x1)}},
     {2}},
    {"override accepts its station whatever the gate's",
     17,
     1,
     0,
     3,
     {Data(Crc({0x11, 0x03, 0x02, 0x00, 0x01}))},
     0,
     7,
     {},
     {2, 1, 4}},
    {"override refuses the gate's station",
     17,
     1,
     0,
     3,
     {Data(Crc({0x01, 0x03, 0x02, 0x00, 0x01}))},
     3,
     0,
     {{8, zeltest::Text(ZEL_TXT_RX_WRONG_SLAVE, 1, 0x1, 0x11)}},
     {2}},
    {"lone station byte",
     0,
     1,
     0,
     3,
     {Data({0x01}), Silence()},
     3,
     0,
     {{8, zeltest::Text(ZEL_TXT_RX_SHORT_HEADER, 1, 1)},
      {8, zeltest::Text(ZEL_TXT_RX_ONLY_PLC, 1, 0x1, 0x1)}},
     {2}},
    {"lone station byte with override",
     17,
     1,
     0,
     3,
     {Data({0x11}), Silence()},
     3,
     0,
     {{8, zeltest::Text(ZEL_TXT_RX_SHORT_HEADER, 1, 1)},
      {8, zeltest::Text(ZEL_TXT_RX_ONLY_SLAVE, 1, 0x11, 0x11)}},
     {2}},
    {"other function",
     0,
     1,
     0,
     3,
     {Data(Crc({0x01, 0x04, 0x02, 0x00, 0x01}))},
     3,
     2,
     {{8, zeltest::Text(ZEL_TXT_RX_OTHER_FUNCTION, 1)}},
     {2}},
    {"byte count missing",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x03}), Silence()},
     2,
     2,
     {{8, zeltest::Text(ZEL_TXT_RX_NO_COUNT, 1, 0)}},
     {2, 1}},
    {"data missing",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x03, 0x04}), Silence()},
     2,
     3,
     {{8, zeltest::Text(ZEL_TXT_RX_NO_DATA, 1, 0)}},
     {2, 1, 6}},
    {"data short",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x03, 0x04, 1, 2, 3, 4, 5}), Silence()},
     3,
     8,
     {{8, zeltest::Text(ZEL_TXT_RX_SHORT_DATA, 1, 6, 5)}},
     {2, 1, 6}},
    {"write echo short",
     0,
     1,
     1,
     6,
     {Data({0x01, 0x06, 0, 1, 0}), Silence()},
     3,
     5,
     {{8, zeltest::Text(ZEL_TXT_RX_SHORT_DATA, 1, 6, 3)}},
     {2, 6}},
    {"exception code 2",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x83, 0x02, 0xC0, 0xF1})},
     1,
     5,
     {{8, zeltest::Text(ZEL_TXT_RX_EXCEPTION, 1, ExceptionOf(2).logText)},
      {32, zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0140001", 1, "Illegal Data Address")}},
     {2, 3}},
    {"exception for another function",
     0,
     1,
     0,
     3,
     {Data(Crc({0x01, 0x84, 0x06}))},
     0,
     5,
     {{8, zeltest::Text(ZEL_TXT_RX_EXCEPTION_OTHER_FUNCTION, 1)},
      {8, zeltest::Text(ZEL_TXT_RX_EXCEPTION, 1, ExceptionOf(6).logText)},
      {32, zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0140001", 1, "Busy, rejected message")}},
     {2, 3}},
    {"exception tail missing",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x83}), Silence()},
     2,
     2,
     {{8, zeltest::Text(ZEL_TXT_RX_NO_EXCEPTION_TAIL, 1, 0)}},
     {2, 3}},
    {"exception tail short",
     0,
     1,
     0,
     3,
     {Data({0x01, 0x83, 0x02}), Silence()},
     3,
     2,
     {{8, zeltest::Text(ZEL_TXT_RX_SHORT_EXCEPTION_TAIL, 1, 1)}},
     {2, 3}},
    {"exception in write mode",
     0,
     1,
     1,
     6,
     {Data(Crc({0x01, 0x86, 0x03}))},
     1,
     5,
     {{8, zeltest::Text(ZEL_TXT_RX_EXCEPTION, 1, ExceptionOf(3).logText)},
      {32, zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0140001", 1, "Illegal Data Value")}},
     {2, 3}},
};

class ReceiveTest : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(ReceiveTest, PiecesResultLengthAndLog) {
    const ReceiveCase& c = GetParam();
    zeltest::ClearLog();
    FakeLine line;
    ChannelState ch = zeltest::ChannelOn(line);
    ch.slaveOverride = c.slaveOverride;
    ch.requestFrame[0] = static_cast<uint8_t>(c.plc);
    ch.requestFrame[1] = c.function;
    IoRequest req{};
    req.gas = "0140001";
    req.tag = {c.plc, 4, 0, -1, 16};
    req.count = 1;

    line.ReplyPieces(c.reply);
    uint8_t request[1] = {0};
    line.DoWrite(request, 1, nullptr); // releases the answer
    line.calls.clear();

    int32_t length = -1;
    const ReplyShape shape = c.writeMode == 1 ? ReplyShape::kWriteEcho : ReplyShape::kRead;
    EXPECT_EQ(Code(Receive(req, ch, ch.replyFrame, &length, shape)), c.result);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(zeltest::LogLines(), c.log);
    std::vector<uint32_t> reads;
    for (const CallRecord& r : line.CallsOf(Call::Read))
        reads.push_back(r.value);
    EXPECT_EQ(reads, c.reads);
}

INSTANTIATE_TEST_SUITE_P(Replies, ReceiveTest, ::testing::ValuesIn(kReceiveCases),
                         [](const ::testing::TestParamInfo<ReceiveCase>& info) {
                             std::string n;
                             for (const char* p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// Every code as the shared table (core/log_texts.h) says: its two lines and
// whether the reception fails. The texts' spelling: test_log_texts.cpp.
TEST(ReceiveExceptions, EveryCodeHasItsTextAndResult) {
    for (int code = 0; code < 256; ++code) {
        const ExceptionCode& e = ExceptionOf(code);
        zeltest::ClearLog();
        FakeLine line;
        ChannelState ch = zeltest::ChannelOn(line);
        ch.requestFrame[1] = 3;
        IoRequest req{};
        req.gas = "0130010";
        req.tag = {1, 3, 9, -1, 16};
        req.count = 7;
        line.Reply(WithCrc({0x01, 0x83, static_cast<uint8_t>(code)}));
        line.DoWrite("", 0, nullptr);
        int32_t length = 0;
        EXPECT_EQ(Code(Receive(req, ch, ch.replyFrame, &length, ReplyShape::kRead)),
                  e.failsReception ? 1 : 0)
            << code;
        EXPECT_EQ(length, 5);
        const std::string second =
            (code == 4 || code == 5)
                ? zeltest::Text(ZEL_TXT_RX_EXCEPTION_GATE, 1, "0130010", 7, e.driverText)
                : zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0130010", 7, e.driverText);
        EXPECT_EQ(zeltest::LogLines(),
                  (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_RX_EXCEPTION, 1, e.logText)},
                                        {32, second}}))
            << code;
    }
}

TEST(ReceiveLimits, LongestReplyStaysInsideTheReplyBuffer) {
    FakeLine line;
    ChannelState ch = zeltest::ChannelOn(line);
    ch.requestFrame[1] = 3;
    std::memset(ch.replyFrame, 0xEE, sizeof ch.replyFrame);
    IoRequest req{};
    req.tag = {1, 4, 0, -1, 16};
    Bytes reply = {0x01, 0x03, 0xFF};
    for (int i = 0; i < 255; ++i)
        reply.push_back(static_cast<uint8_t>(i));
    // A slave that keeps talking past its frame: the extra bytes stay unread.
    reply = WithCrc(reply);
    reply.resize(reply.size() + 400, 0x77);
    line.Reply(reply);
    line.DoWrite("", 0, nullptr);
    int32_t length = 0;
    ASSERT_EQ(Receive(req, ch, ch.replyFrame, &length, ReplyShape::kRead), RxResult::kOk);
    EXPECT_EQ(length, 260);
    for (size_t i = 260; i < sizeof ch.replyFrame; ++i)
        ASSERT_EQ(ch.replyFrame[i], 0xEE) << i;
}

} // namespace
