// Late and missed replies, noisy lines and a quiet log. A value the driver
// returns is the value of the register asked for, and a write it reports
// done was made, whatever a slave that misses requests, drops them while
// busy or answers late (within twice the reply time-out) does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.h"
#include "driver/operations.h"
#include "tests/support/fake_line.h"
#include "tests/support/host_channel.h"
#include "tests/support/kavlog.h"
#include "tests/support/pty.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zeltest::Bytes;
using zeltest::Call;
using zeltest::WithCrc;
using Clock = std::chrono::steady_clock;

namespace {

#define REQUIRE_TOOLS()                                                                            \
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR

std::string Gas(int reg) {
    char text[16];
    std::snprintf(text, sizeof text, "014%04d", reg + 1);
    return text;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int Count(const std::string& part) {
    int n = 0;
    for (const KavRecEntry& e : zeltest::HostCalls())
        n += e.kind == KAVREC_ERR && std::strstr(e.text, part.c_str()) != nullptr;
    return n;
}

// A channel on a simulated PLC that behaves as `plcOptions` say.
struct SlowPlc {
    std::optional<zeltools::SimPlc> plc;
    zeltest::HostChannel ch{1};
    bool Start(const std::vector<std::string>& plcOptions, int32_t timeout, std::string* error) {
        zeltools::SimPlcOptions po;
        po.extra = plcOptions;
        plc = zeltools::SimPlc::Start(po, error);
        return plc && ch.Start(plc->device, timeout) == 0;
    }
    TagAddress Tag(int reg) {
        TagAddress tag{};
        EXPECT_EQ(ch.Parse(Gas(reg), kGateUnsigned16, &tag), 0);
        return tag;
    }
};

// The slave misses two requests, then answers every request 150 ms late
// (the time-out is 100 ms). The first read fails; the late answer to its
// last request must not be taken for the next read's.
TEST(LateReplies, MissedThenLateSlaveGivesEachReadItsOwnValue) {
    REQUIRE_TOOLS();
    SlowPlc s;
    std::string error;
    ASSERT_TRUE(s.Start({"--miss-first", "2", "--reply-delay-ms", "150"}, 10, &error)) << error;
    uint32_t v = 0;
    auto start = Clock::now();
    EXPECT_EQ(s.ch.ReadSingle(s.Tag(0), &v), kCommFailure);
    const double failedMs = MsSince(start);
    v = 0;
    start = Clock::now();
    const int32_t rc = s.ch.ReadSingle(s.Tag(2), &v);
    const double nextMs = MsSince(start);
    std::printf("missed, then 150 ms late: the failed read took %.0f ms, the next one %.0f ms\n",
                failedMs, nextMs);
    ASSERT_EQ(rc, 0) << zeltest::LogDump();
    EXPECT_EQ(v, sim::HoldingAt(2)) << "register 0 holds 0x" << std::hex << sim::HoldingAt(0);
}

// A host that closes and reopens the port after a failed read, or changes
// its parameters, still has the late answer to that read kept apart from
// the next one's: the reply window outlives the port's handle.
TEST(LateReplies, AReopenedPortStillWaitsOutTheReplyWindow) {
    REQUIRE_TOOLS();
    struct Case {
        const char* what;
        bool change; // ChangeZelParams rather than ReOpenCom
    } cases[] = {{"CloseCom, then ReOpenCom", false}, {"CloseCom, then ChangeZelParams", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SlowPlc s;
        std::string error;
        ASSERT_TRUE(s.Start({"--miss-first", "2", "--reply-delay-ms", "150"}, 10, &error)) << error;
        uint32_t v = 0;
        EXPECT_EQ(s.ch.ReadSingle(s.Tag(0), &v), kCommFailure);
        ASSERT_EQ(s.ch.Call(kOpCloseCom), 0);
        if (c.change) {
            ChangeParams change{};
            std::strncpy(change.portName, s.plc->device.c_str(), sizeof change.portName - 1);
            change.timeout = 10;
            ASSERT_EQ(s.ch.Call(kOpChangeZelParams, &change), 0);
        } else {
            ASSERT_EQ(s.ch.Call(kOpReOpenCom), 0);
        }
        v = 0;
        const int32_t rc = s.ch.ReadSingle(s.Tag(2), &v);
        ASSERT_EQ(rc, 0) << zeltest::LogDump();
        EXPECT_EQ(v, sim::HoldingAt(2)) << "register 0 holds 0x" << std::hex << sim::HoldingAt(0);
    }
}

// The same slave, dropping what arrives while it is busy answering. The
// late echo of the first write must not pass for the second's.
TEST(LateReplies, BusySlaveNeverHasAWriteReportedDoneThatItDidNotMake) {
    REQUIRE_TOOLS();
    SlowPlc s;
    std::string error;
    ASSERT_TRUE(
        s.Start({"--miss-first", "2", "--reply-delay-ms", "150", "--busy-drops"}, 10, &error))
        << error;
    const int32_t first = s.ch.WriteSingle(s.Tag(0), 5);
    const int32_t second = s.ch.WriteSingle(s.Tag(2), 7);
    std::printf("busy slave: writes gave %d and %d\n", first, second);
    uint32_t v = 0;
    ASSERT_EQ(s.ch.ReadSingle(s.Tag(2), &v), 0) << zeltest::LogDump();
    if (second == 0) {
        EXPECT_EQ(v, 7u) << "reported done, not made";
    }
    EXPECT_EQ(second, 0) << zeltest::LogDump();
}

// A line that never falls quiet (a byte every 2 ms): every flush ends at its
// bound with one line, and the read fails within its attempts' time-outs
// and flush bounds.
TEST(LateReplies, BabblingLineFailsAReadWithinItsBound) {
    zeltest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    zeltest::HostChannel ch(1);
    ASSERT_EQ(ch.Start(pty.slavePath(), 10), 0); // 100 ms
    TagAddress tag{};
    ASSERT_EQ(ch.Parse(Gas(0), kGateUnsigned16, &tag), 0);
    std::atomic<bool> stop{false};
    std::thread babbler([&] {
        for (int i = 0; i < 5000 && !stop; ++i) {
            pty.Send("\x55", 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    zeltest::ClearLog();
    uint32_t v = 0;
    const auto start = Clock::now();
    const int32_t rc = ch.ReadSingle(tag, &v);
    const double ms = MsSince(start);
    stop = true;
    babbler.join();
    const int drains = Count("> Drain() discarded ");
    const int attempts = 1 + Count("> DoRead() : sRetry=");
    std::printf("babbling line: the read gave %d after %.0f ms, %d attempts, %d flush lines\n", rc,
                ms, attempts, drains);
    EXPECT_NE(rc, 0);
    // At most six attempts (three more after wrong replies), each within
    // one time-out and one flush bound.
    EXPECT_LE(attempts, 6);
    EXPECT_LT(ms, attempts * (100.0 + 50.0));
    // One line per flush: the one before each attempt and the request's own.
    EXPECT_GE(drains, 1);
    EXPECT_LE(drains, 2 * attempts);
}

// A good transaction logs nothing; with TRACE = YES in the channel's file it
// logs the request and the reply.
TEST(LateReplies, FrameLinesOnlyWhenAsked) {
    REQUIRE_TOOLS();
    std::string error;
    auto plc = zeltools::SimPlc::Start({}, &error);
    ASSERT_TRUE(plc) << error;
    for (bool trace : {false, true}) {
        zeltest::ScratchDir dir;
        ASSERT_TRUE(dir.Write("ZELMR01.INT", trace ? "TRACE = YES\n" : "SWAP = NO\n"));
        char old[4096];
        ASSERT_NE(getcwd(old, sizeof old), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        zeltest::HostChannel ch(1);
        const int32_t started = ch.Start(plc->device, 100);
        ASSERT_EQ(chdir(old), 0);
        ASSERT_EQ(started, 0);
        TagAddress tag{};
        ASSERT_EQ(ch.Parse(Gas(4), kGateUnsigned16, &tag), 0);
        zeltest::ClearLog();
        uint32_t v = 0;
        ASSERT_EQ(ch.ReadSingle(tag, &v), 0);
        EXPECT_EQ(v, sim::HoldingAt(4));
        const std::vector<zeltest::LogLine> frames = zeltest::ConversationLines();
        EXPECT_TRUE(zeltest::LogLines().empty()) << zeltest::LogDump();
        if (!trace) {
            EXPECT_TRUE(frames.empty()) << zeltest::LogDump();
            continue;
        }
        ASSERT_EQ(frames.size(), 2u) << zeltest::LogDump();
        EXPECT_EQ(frames[0], (zeltest::LogLine{0, zeltest::Text(ZEL_TXT_SEND_FRAME, 1,
                                                                "01 03 00 04 00 01 C5 CB")}));
        EXPECT_EQ(frames[1].text.rfind("ZELMR01> Receive() frame after ", 0), 0u) << frames[1].text;
    }
}

// ---------------------------------------------------------------------------
// At the platform boundary: echoes, flushed bytes, refused memory types.

class ScriptedSlave : public ::testing::Test, protected zeltest::LineRequest {
  protected:
    uint8_t cell[4] = {};
    void SetUp() override { zeltest::ClearLog(); }
};

// The echo of a write repeats its address and value (5, 6) or its address
// and quantity (15, 16); any other echo is a wrong reply, retried, and
// result 1 when every attempt got one.
TEST_F(ScriptedSlave, WriteEchoesAreCompared) {
    struct Case {
        const char* what;
        int32_t operation, memoryType, width, count;
        std::vector<Bytes> echoes; // without CRC; the rest go unanswered
        int32_t result;
        int wrongEchoes;
    } cases[] = {
        {"register: the echo of another register",
         kOpSingleWrite,
         4,
         16,
         1,
         {{1, 6, 0, 0, 0, 5}, {1, 6, 0, 0, 0, 5}, {1, 6, 0, 0, 0, 5}},
         kRefused,
         3},
        {"register: another value",
         kOpSingleWrite,
         4,
         16,
         1,
         {{1, 6, 0, 2, 0, 8}},
         kCommFailure,
         1},
        {"register: a wrong echo, then the right one",
         kOpSingleWrite,
         4,
         16,
         1,
         {{1, 6, 0, 0, 0, 5}, {1, 6, 0, 2, 0, 7}},
         kOk,
         1},
        {"coil: off echoed for on", kOpSingleWrite, 0, 1, 1, {{1, 5, 0, 2, 0, 0}}, kCommFailure, 1},
        {"coil", kOpSingleWrite, 0, 1, 1, {{1, 5, 0, 2, 0xFF, 0}}, kOk, 0},
        {"block of registers: another quantity",
         kOpBlockWrite,
         4,
         16,
         3,
         {{1, 16, 0, 2, 0, 2}, {1, 16, 0, 2, 0, 2}, {1, 16, 0, 2, 0, 2}},
         kRefused,
         3},
        {"block of registers", kOpBlockWrite, 4, 16, 3, {{1, 16, 0, 2, 0, 3}}, kOk, 0},
        {"block of coils: another address",
         kOpBlockWrite,
         0,
         1,
         9,
         {{1, 15, 0, 3, 0, 9}},
         kCommFailure,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zeltest::ClearLog();
        uint8_t values[8] = {};
        values[2] = c.width == 1 ? 1 : 7; // single cells: the value in bytes 2..3
        values[0] = 7;
        Aim(c.operation, values);
        Gate(c.memoryType, 2, -1, c.width, c.count);
        for (const Bytes& e : c.echoes)
            line.Reply(WithCrc(e));
        EXPECT_EQ(Dispatch(&req), c.result) << zeltest::LogDump();
        EXPECT_EQ(Count("> DoWrite() wrong echo "), c.wrongEchoes) << zeltest::LogDump();
        line.writes.clear();
        ch.line.replyWindowEndUs = 0;
    }
}

// Bytes a flush discards are traffic on the line: the request keeps the
// 3.5 characters of silence after them.
TEST_F(ScriptedSlave, FlushedBytesAreLineTraffic) {
    ch.line.charTimeUs = 1042; // 9600 8N1
    for (bool stale : {false, true}) {
        SCOPED_TRACE(stale ? "stale bytes waiting" : "a quiet line");
        line.calls.clear();
        ch.line.lastActivityUs = line.clockUs - 100000; // the last reply ended long ago
        if (stale) line.Pending({0x55, 0x66, 0x77});
        line.Reply(WithCrc({1, 3, 2, 0x12, 0x34}));
        Aim(kOpSingleRead, cell);
        Gate(4, 0, -1, 16);
        ASSERT_EQ(Dispatch(&req), 0) << zeltest::LogDump();
        const std::vector<zeltest::CallRecord> pauses = line.CallsOf(Call::Pause);
        if (stale) {
            ASSERT_EQ(pauses.size(), 1u);
            EXPECT_EQ(pauses[0].value, 3647u);
            EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_DRAIN, 1, 3u, 0u, 0u), 8));
        } else {
            EXPECT_TRUE(pauses.empty());
        }
    }
}

// A memory-type code outside the table is refused before anything is sent.
TEST_F(ScriptedSlave, UnknownMemoryTypesAreRefusedBeforeSending) {
    struct Case {
        int32_t operation;
        const char* name;
    } cases[] = {{kOpSingleRead, "SingleRead"},
                 {kOpBlockRead, "BlockRead"},
                 {kOpSingleWrite, "SingleWrite"},
                 {kOpBlockWrite, "BlockWrite"}};
    for (int32_t memoryType : {2, 9, 0x1FF}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " of memory type " + std::to_string(memoryType));
            zeltest::ClearLog();
            uint8_t values[8] = {};
            Aim(c.operation, values);
            Gate(memoryType, 0, 3, 16, 2);
            EXPECT_EQ(Dispatch(&req), kRefused);
            EXPECT_TRUE(line.writes.empty());
            EXPECT_TRUE(zeltest::Logged("ZELMR01> " + std::string(c.name) +
                                            "() unknown memory type " + std::to_string(memoryType) +
                                            ", nothing sent",
                                        32))
                << zeltest::LogDump();
        }
    }
}

// ---------------------------------------------------------------------------
// Reads and writes over several registers against a slave that misses
// requests, drops what comes while it is busy and answers up to just under
// twice the time-out late: no wrong value, no write reported done that was
// not made. ZEL_SEED repeats a run.

constexpr int kTimeoutUnits = 4; // 40 ms
constexpr int kRegisters = 6;
constexpr int kFirstRegister = 100;
constexpr int kTransactions = 500;

// What a register may hold: the value last seen or written for certain,
// or that of a write that failed since (it may have been made all the same).
struct RegisterModel {
    uint16_t known;
    std::set<uint16_t> maybe;
    bool Allows(uint16_t v) const { return v == known || maybe.count(v) != 0; }
    void Now(uint16_t v) {
        known = v;
        maybe.clear();
    }
};

TEST(LateReplies, RandomTimingNeverGivesAWrongValueOrAFalseWrite) {
    REQUIRE_TOOLS();
    const char* given = std::getenv("ZEL_SEED");
    const unsigned seed =
        given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
              : static_cast<unsigned>(Clock::now().time_since_epoch().count() % 1000000007);
    SCOPED_TRACE("seed " + std::to_string(seed) +
                 " (run again with ZEL_SEED=" + std::to_string(seed) + ")");
    std::printf("seed %u\n", seed);
    // Answers within 2 x 40 ms less a margin for a busy machine's wake-ups;
    // the PLC drops an answer it could not send in time.
    SlowPlc s;
    std::string error;
    ASSERT_TRUE(
        s.Start({"--seed", std::to_string(seed), "--miss-p", "0.15", "--busy-drops",
                 "--reply-delay-ms", "0", "--reply-delay-max-ms", "65", "--reply-limit-ms", "67"},
                kTimeoutUnits, &error))
        << error;
    std::vector<TagAddress> tags;
    std::vector<RegisterModel> model;
    for (int r = 0; r < kRegisters; ++r) {
        tags.push_back(s.Tag(kFirstRegister + r));
        model.push_back({static_cast<uint16_t>(sim::HoldingAt(kFirstRegister + r)), {}});
    }
    std::mt19937 random(seed);
    uint16_t nextValue = 0x8000;
    int wrong = 0, good = 0, writes = 0, reads = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kTransactions; ++i) {
        const int r = static_cast<int>(random() % kRegisters);
        if (random() % 5 < 2) {
            const uint16_t v = nextValue++;
            ++writes;
            if (s.ch.WriteSingle(tags[r], v) == 0) {
                ++good;
                model[r].Now(v);
            } else {
                model[r].maybe.insert(v);
            }
            continue;
        }
        ++reads;
        uint32_t v = 0;
        if (s.ch.ReadSingle(tags[r], &v) != 0) continue;
        ++good;
        if (!model[r].Allows(static_cast<uint16_t>(v))) {
            ++wrong;
            ADD_FAILURE() << "transaction " << i << ": register " << kFirstRegister + r
                          << " read as 0x" << std::hex << v << ", it holds 0x" << model[r].known;
        }
        model[r].Now(static_cast<uint16_t>(v));
    }
    // Every write reported done shows in the register, unless a later write
    // may have changed it.
    int unchecked = 0;
    for (int r = 0; r < kRegisters; ++r) {
        uint32_t v = 0;
        int32_t rc = 1;
        for (int tries = 0; tries < 20 && rc != 0; ++tries)
            rc = s.ch.ReadSingle(tags[r], &v);
        if (rc != 0) {
            ++unchecked;
            continue;
        }
        EXPECT_TRUE(model[r].Allows(static_cast<uint16_t>(v)))
            << "register " << kFirstRegister + r << " holds 0x" << std::hex << v
            << ", the last write reported done was 0x" << model[r].known;
    }
    const double seconds = MsSince(start) / 1000;
    std::printf("random timing: %d transactions (%d reads, %d writes) in %.1f s, %d good, %d "
                "wrong values; %d registers not read back\n",
                kTransactions, reads, writes, seconds, good, wrong, unchecked);
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(good, kTransactions / 2) << "the driver still gets through";
    EXPECT_EQ(unchecked, 0);
}

} // namespace
