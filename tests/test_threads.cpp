// Two channels on two ports, each driven from a thread of its own at the
// same time: every value comes back right on both. (Run under the thread
// sanitizer by scripts/test-extra.sh.) One channel from two threads at once
// is the host's fault and not tried here.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/channel.h"
#include "tests/support/host_channel.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zeltest::HostChannel;
namespace sim = zel::sim;

namespace {

struct Tally {
    int ok = 0;
    int failed = 0;
    int wrong = 0;
};

std::string Gas(int station, char type, int reg) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d%c%04d", station, type, reg + 1);
    return text;
}

// Reads and writes on one channel; `base` keeps the written registers of
// the two threads apart (each has a PLC of its own anyway).
void Drive(HostChannel* ch, int station, int base, int rounds, Tally* t) {
    for (int i = 0; i < rounds; ++i) {
        const int reg = (i * 37) % 4000;
        TagAddress tag{};
        uint32_t v = 0;
        if (ch->Parse(Gas(station, '4', reg), kGateUnsigned16, &tag) != 0) {
            ++t->wrong;
            continue;
        }
        if (ch->ReadSingle(tag, &v) != 0) {
            ++t->failed;
        } else {
            ++t->ok;
            if (v != sim::HoldingAt(reg)) ++t->wrong;
        }

        const int count = 1 + i % 20;
        if (ch->Parse(Gas(station, '3', reg), kGateUnsigned16, &tag, count) != 0) {
            ++t->wrong;
            continue;
        }
        std::vector<uint8_t> block;
        if (ch->ReadBlock(tag, count, &block) != 0) {
            ++t->failed;
        } else {
            ++t->ok;
            for (int k = 0; k < count; ++k) {
                const uint16_t got = static_cast<uint16_t>(block[2 * k] | (block[2 * k + 1] << 8));
                if (got != sim::InputRegisterAt(reg + k)) ++t->wrong;
            }
        }

        const int wreg = base + i % 50;
        const uint16_t value = static_cast<uint16_t>(i * 7919 + station);
        if (ch->Parse(Gas(station, '4', wreg), kGateUnsigned16, &tag) != 0) {
            ++t->wrong;
            continue;
        }
        if (ch->WriteSingle(tag, value) != 0 || ch->ReadSingle(tag, &v) != 0) {
            ++t->failed;
        } else {
            ++t->ok;
            if (v != value) ++t->wrong;
        }
    }
}

TEST(Threads, TwoChannelsOnTwoPortsAtOnce) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
    std::string error;
    zeltools::SimPlcOptions o1, o2;
    o1.station = 1;
    o2.station = 2;
    auto plc1 = zeltools::SimPlc::Start(o1, &error);
    ASSERT_TRUE(plc1) << error;
    auto plc2 = zeltools::SimPlc::Start(o2, &error);
    ASSERT_TRUE(plc2) << error;

    HostChannel ch1(1), ch2(2);
    ASSERT_EQ(ch1.Start(plc1->device, 100), 0);
    ASSERT_EQ(ch2.Start(plc2->device, 100), 0);

    constexpr int kRounds = 150;
    Tally t1, t2;
    std::thread a(Drive, &ch1, 1, 6000, kRounds, &t1);
    std::thread b(Drive, &ch2, 2, 7000, kRounds, &t2);
    a.join();
    b.join();

    EXPECT_EQ(t1.wrong, 0);
    EXPECT_EQ(t2.wrong, 0);
    EXPECT_EQ(t1.failed, 0);
    EXPECT_EQ(t2.failed, 0);
    EXPECT_EQ(t1.ok, 3 * kRounds);
    EXPECT_EQ(t2.ok, 3 * kRounds);
}

} // namespace
