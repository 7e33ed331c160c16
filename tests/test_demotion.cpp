// Dead stations on a multi-drop line (DEMOTE = N, S): demoted after N
// transactions without a byte of reply, answered at once without the line
// for S seconds, then probed; any reply restores them. On the fake line with
// its own clock, and against the simulated PLC with one station removed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "driver/operations.h"
#include "modbus/transactions.h"
#include "tests/support/fake_line.h"
#include "tests/support/host_channel.h"
#include "tests/support/kavlog.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zeltest::Bytes;
using zeltest::Data;
using zeltest::LogLine;
using zeltest::Silence;
using zeltest::WithCrc;

namespace {

constexpr uint64_t kSecondUs = 1000000;

class DemotionTest : public ::testing::Test, protected zeltest::LineRequest {
  protected:
    uint8_t cell[4] = {};

    void SetUp() override {
        zeltest::ClearLog();
        Aim(kOpSingleRead, cell);
        Gate(4, 0, -1, 16);
        ch.demoteAfter = 3;
        ch.demoteSeconds = 30;
    }
    // One read of holding register 0 of `station`; how many frames it wrote.
    TxnResult Read(uint8_t station, size_t* frames = nullptr) {
        io.tag.plc = station;
        const size_t before = line.writes.size();
        const TxnResult rc = ReadSingle(ch, io);
        if (frames) *frames = line.writes.size() - before;
        return rc;
    }
    static Bytes Value(uint8_t station) { return WithCrc({station, 0x03, 0x02, 0x12, 0x34}); }
    bool Said(const std::string& text, int level) {
        return zeltest::Logged("ZELMR01> " + text, level);
    }
};

TEST_F(DemotionTest, DemotedAnsweredWithoutTheLineProbedAndRestored) {
    size_t frames = 0;
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
        EXPECT_EQ(frames, 3u) << "transaction " << n << ": three attempts on the line";
    }
    EXPECT_TRUE(Said("Station 1 demoted after 3 transactions without a reply: its requests are "
                     "answered at once for 30 s",
                     32))
        << zeltest::LogDump();

    // For 30 s: answered at once, nothing on the line, one line each.
    const size_t callsBefore = line.calls.size();
    zeltest::ClearLog();
    EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
    line.clockUs += 29 * kSecondUs;
    EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
    EXPECT_EQ(line.calls.size(), callsBefore) << "no call reached the port";
    EXPECT_TRUE(Said("Station 1 demoted: request answered without trying, next try in 30 s", 8));
    EXPECT_TRUE(Said("Station 1 demoted: request answered without trying, next try in 1 s", 8));

    // Then one request goes out; silence demotes the station for 30 s more.
    line.clockUs += kSecondUs;
    EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
    EXPECT_EQ(frames, 3u) << "the probe";
    EXPECT_TRUE(Said("Station 1 still without a reply: demoted for 30 s more", 32));
    EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
    EXPECT_EQ(frames, 0u);

    // The next probe is answered: the station is back, for good.
    line.clockUs += 30 * kSecondUs;
    line.Reply(Value(1));
    EXPECT_EQ(Read(1, &frames), TxnResult::kOk);
    EXPECT_EQ(cell[2], 0x34);
    EXPECT_TRUE(Said("Station 1 replies again: no longer demoted", 32));
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
        EXPECT_EQ(frames, 3u) << "counted afresh from the reply on";
    }
}

// Only silence counts: a station that sends anything at all after a
// request is alive, whatever the bytes are worth.
TEST_F(DemotionTest, AnyReplyKeepsTheStation) {
    struct Case {
        const char* what;
        std::vector<zeltest::Piece> reply;
    } cases[] = {
        {"a value", {Data(Value(1))}},
        {"an exception", {Data(WithCrc({0x01, 0x83, 0x02}))}},
        {"a bad CRC", {Data({0x01, 0x03, 0x02, 0x12, 0x34, 0x00, 0x00})}},
        {"half a reply", {Data({0x01, 0x03, 0x02})}},
        {"another station's reply", {Data(Value(7))}},
        {"a late reply", {Silence(), Data(Value(1))}},
    };
    ch.demoteAfter = 2;
    for (const Case& c : cases) {
        ch.watched[0] = StationWatch{};
        EXPECT_EQ(Read(1), TxnResult::kCommFailure) << c.what;
        line.ReplyPieces(c.reply);
        Read(1);
        size_t frames = 0;
        EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure) << c.what;
        EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure) << c.what;
        EXPECT_EQ(frames, 3u) << c.what << ": two silent transactions since the reply, not three";
        EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure) << c.what;
        EXPECT_EQ(frames, 0u) << c.what << ": demoted only now";
    }
}

TEST_F(DemotionTest, WithoutTheKeyEveryRequestGoesToTheLine) {
    ch.demoteAfter = 0;
    for (int n = 0; n < 6; ++n) {
        size_t frames = 0;
        EXPECT_EQ(Read(1, &frames), TxnResult::kCommFailure);
        EXPECT_EQ(frames, 3u);
    }
    for (const LogLine& l : zeltest::LogLines())
        EXPECT_EQ(l.text.find("Station 1"), std::string::npos) << l.text;
}

// Each station of the line is judged on its own, by the station its
// requests go to (SLAVE's, when set), reads and writes alike; as many
// silent stations as the channel block has room for are kept track of at
// once, and a further one is polled as without the key.
TEST_F(DemotionTest, EachStationOnItsOwnReadsAndWritesAlike) {
    ch.demoteAfter = 1;
    constexpr uint8_t kBeyond = kWatchedStations + 1;
    for (uint8_t s = 1; s <= kBeyond; ++s)
        Read(s);
    size_t frames = 0;
    for (uint8_t s = 1; s < kBeyond; ++s) {
        EXPECT_EQ(Read(s, &frames), TxnResult::kCommFailure);
        EXPECT_EQ(frames, 0u) << "station " << int(s);
    }
    EXPECT_EQ(Read(kBeyond, &frames), TxnResult::kCommFailure);
    EXPECT_EQ(frames, 3u) << "no room left for station " << int(kBeyond);
    line.Reply(Value(kBeyond + 1));
    EXPECT_EQ(Read(kBeyond + 1, &frames), TxnResult::kOk)
        << "a station that answers is not held up";

    // A write to a demoted station is answered at once too.
    uint8_t value[4] = {0, 0, 0x12, 0x34};
    io.data = value;
    io.tag.plc = 3;
    const size_t before = line.writes.size();
    EXPECT_EQ(WriteSingle(ch, io), TxnResult::kCommFailure);
    EXPECT_EQ(line.writes.size(), before);

    // With SLAVE, the override is the station.
    io.data = cell;
    ch.slaveOverride = 4;
    EXPECT_EQ(Read(20, &frames), TxnResult::kCommFailure);
    EXPECT_EQ(frames, 0u) << "station 4 is demoted, whatever the gate says";
}

// ---------------------------------------------------------------------------
// Against the simulated PLC at 19200 baud 8E1, on a line where station 2 is
// missing: stations 1 and 3 answer throughout, station 2 is demoted and
// costs nothing until its probe, and is back once a PLC answers for it.

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(DemotionOnThePlc, OneStationMissingFromTheLine) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "the test peers are not built";
    zeltools::LineEmuOptions lo;
    lo.baud = 19200;
    lo.format = "8E1";
    zeltools::SimPlcOptions po;
    po.moreStations = {3};
    std::string error;
    auto line = zeltools::PlcLine::Start(lo, po, &error);
    ASSERT_TRUE(line) << error;

    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("ZELMR01.INT", "DEMOTE = 2, 2\n"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    zeltest::HostChannel ch;
    OpenParams p{};
    std::strncpy(p.portName, line->port().c_str(), sizeof p.portName - 1);
    p.enabled = 1;
    p.timeout = 10; // 100 ms
    p.baud = 19200;
    p.dataBits = 8;
    p.parity = 2;
    const int32_t started = ch.Start(p);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(started, kOk) << zeltest::LogDump();
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_DEMOTION, 1, 2u, 2u), 32));

    TagAddress gates[3];
    for (int s = 0; s < 3; ++s)
        ASSERT_EQ(ch.Parse("0" + std::to_string(s + 1) + "40010", 0, &gates[s]), kOk);
    // A round over the three stations; the time station 2 took.
    auto round = [&](int32_t* rc2) {
        uint32_t value = 0;
        EXPECT_EQ(ch.ReadSingle(gates[0], &value), kOk);
        EXPECT_EQ(value, sim::HoldingAt(9));
        const auto start = Clock::now();
        *rc2 = ch.ReadSingle(gates[1], &value);
        const double ms = MsSince(start);
        EXPECT_EQ(ch.ReadSingle(gates[2], &value), kOk);
        EXPECT_EQ(value, sim::HoldingAt(9));
        return ms;
    };
    int32_t rc = 0;
    for (int n = 0; n < 2; ++n) {
        EXPECT_GE(round(&rc), 300.0) << "three time-outs before demotion";
        EXPECT_EQ(rc, kCommFailure);
    }
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_DEMOTED, 1, 2u, 2u, 2u), 32));
    EXPECT_LT(round(&rc), 100.0) << "less than one time-out once demoted";
    EXPECT_EQ(rc, kCommFailure);

    // Station 2 comes onto the line; after its time the probe finds it.
    line->plc.proc.Stop();
    zeltools::SimPlcOptions back;
    back.device = line->line.b;
    back.moreStations = {2, 3};
    auto plc = zeltools::SimPlc::Start(back, &error);
    ASSERT_TRUE(plc) << error;
    EXPECT_LT(round(&rc), 100.0) << "still demoted";
    usleep(2100 * 1000);
    zeltest::ClearLog();
    uint32_t value = 0;
    EXPECT_EQ(ch.ReadSingle(gates[1], &value), kOk) << zeltest::LogDump();
    EXPECT_EQ(value, sim::HoldingAt(9));
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_DEMOTED_ENDS, 1, 2u), 32));
}

} // namespace
