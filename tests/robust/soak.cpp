// Soak: thousands of mixed transactions through the line emulator against
// the simulated PLC at 115200 baud, with seeded faults on the line (flipped
// and lost bytes, held-back and split frames, noise before frames) and a
// PLC that now and then stops answering for a while.
//
// Every transaction must either succeed with the value the PLC holds, or
// fail with a code of the driver, within its time budget. The PLC's memory
// is known (tools/simplc_patterns.h); in the region the soak writes to, a
// model keeps every value a register may hold after failed writes (a write
// whose echo was lost may or may not have taken place).
//
// ZEL_SOAK_TRANSACTIONS sets the length (default 300), ZEL_SOAK_SEED the
// faults' seed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/channel.h"
#include "tests/support/host_channel.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zeltest::HostChannel;
namespace sim = zel::sim;

namespace {

constexpr int kWriteBase = 6000; // registers and coils 6000..6199 are written
constexpr int kWriteSize = 200;
constexpr int kReadOnlyEnd = 5900;
constexpr int32_t kTimeout = 5; // reply time-out, 10 ms units
// The worst a transaction may take: six attempts of a read (three plus three
// after wrong replies) and three of the write behind a read-modify-write,
// each with its flushes and up to three reads of the full time-out.
constexpr double kBudgetSeconds = 6.0;

long EnvNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

std::string Gas(char type, int reg, int bit = -1) {
    char text[16];
    std::snprintf(text, sizeof text, "01%c%04d", type, reg + 1);
    std::string gas = text;
    if (bit >= 0) gas += "0123456789ABCDEF"[bit];
    return gas;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}

// What the PLC may hold in the region the soak writes to.
struct Model {
    std::vector<std::set<uint16_t>> regs;
    std::vector<std::set<bool>> coils;
    Model() : regs(kWriteSize), coils(kWriteSize) {
        for (int i = 0; i < kWriteSize; ++i) {
            regs[i] = {sim::HoldingAt(kWriteBase + i)};
            coils[i] = {sim::CoilAt(kWriteBase + i)};
        }
    }
    // After a write: exactly `now` when it succeeded, else one more choice.
    template <typename T> static void Wrote(std::set<T>& cell, const std::set<T>& now, bool ok) {
        if (ok)
            cell = now;
        else
            cell.insert(now.begin(), now.end());
    }
};

struct Outcome {
    int counts[3] = {};
    double slowest = 0;
};

class Soak {
  public:
    Soak(HostChannel& ch, zeltools::PlcLine& line, unsigned seed)
        : ch_(ch), line_(line), rng_(seed) {}

    void Run(long transactions) {
        for (long n = 0; n < transactions; ++n) {
            // The PLC stops answering for a dozen requests now and then.
            if (n % 600 == 300 || n % 600 == 312) {
                ASSERT_TRUE(line_.plc.ToggleSilence());
            }
            One();
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    void Report() const {
        std::printf("%-18s %7s %7s %7s %9s\n", "transaction", "ok", "code 1", "code 2", "slowest");
        int total[3] = {};
        for (const auto& [name, o] : outcomes_) {
            std::printf("%-18s %7d %7d %7d %8.3fs\n", name.c_str(), o.counts[0], o.counts[1],
                        o.counts[2], o.slowest);
            for (int i = 0; i < 3; ++i)
                total[i] += o.counts[i];
        }
        std::printf("%-18s %7d %7d %7d\n", "all", total[0], total[1], total[2]);
        std::printf("wrong values: %d, over budget: %d, other codes: %d\n", wrongValues_,
                    overBudget_, otherCodes_);
    }

    int wrongValues() const { return wrongValues_; }
    int overBudget() const { return overBudget_; }
    int otherCodes() const { return otherCodes_; }

  private:
    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    TagAddress Tag(const std::string& gas, int32_t gateType, int32_t blockLength = 0) {
        TagAddress tag{};
        EXPECT_EQ(ch_.Parse(gas, gateType, &tag, blockLength), 0) << gas;
        return tag;
    }

    // Times one driver call and files its result.
    template <typename F> int32_t Timed(const std::string& name, F call) {
        const auto start = std::chrono::steady_clock::now();
        const int32_t rc = call();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Outcome& o = outcomes_[name];
        if (rc >= 0 && rc <= 2)
            ++o.counts[rc];
        else
            ++otherCodes_;
        if (s > o.slowest) o.slowest = s;
        if (verbose_)
            std::fprintf(stderr, "[soak] %.6f %s rc %d in %.3f s\n",
                         std::chrono::duration<double>(start - epoch_).count(), name.c_str(), rc,
                         s);
        if (s > kBudgetSeconds) {
            ++overBudget_;
            ADD_FAILURE() << name << " took " << s << " s";
        }
        return rc;
    }

    void Wrong(const std::string& what) {
        std::fprintf(stderr, "[soak] wrong value: %s\n", what.c_str());
        if (++wrongValues_ <= 10) ADD_FAILURE() << "wrong value: " << what;
    }

    void One() {
        const int kind = Pick(0, 99);
        if (kind < 22)
            SingleRead();
        else if (kind < 40)
            BlockRead();
        else if (kind < 50)
            ReadWriteRegion();
        else if (kind < 72)
            SingleWrite();
        else if (kind < 84)
            BlockWrite();
        else
            BitRead();
    }

    void SingleRead() {
        static const char kTypes[] = {'0', '1', '3', '4', '5', '6', '7', '8', 'L', 'H'};
        const char type = kTypes[Pick(0, 9)];
        int reg = Pick(0, kReadOnlyEnd);
        int32_t gate = kGateUnsigned16;
        if (type == '0' || type == '1') gate = kGateDigital;
        if (type == '5' || type == '7') gate = kGateFloat;
        if (type == '6' || type == '8') gate = kGateInt32a;
        if (type >= '5' && type <= '8') reg &= ~1;
        const TagAddress tag = Tag(Gas(type, reg), gate);
        uint32_t v = 0;
        if (Timed(std::string("read single ") + type, [&] { return ch_.ReadSingle(tag, &v); }) != 0)
            return;
        uint32_t want = 0;
        const unsigned r = static_cast<unsigned>(reg);
        switch (type) {
        case '0':
            want = sim::CoilAt(r);
            break;
        case '1':
            want = sim::InputAt(r);
            break;
        case '3':
            want = sim::InputRegisterAt(r);
            break;
        case '4':
            want = sim::HoldingAt(r);
            break;
        case '5':
        case '6':
            want = (uint32_t{sim::InputRegisterAt(r)} << 16) | sim::InputRegisterAt(r + 1);
            break;
        case '7':
        case '8':
            want = (uint32_t{sim::HoldingAt(r)} << 16) | sim::HoldingAt(r + 1);
            break;
        case 'L':
            want = sim::HoldingAt(r) & 0xFF;
            break;
        case 'H':
            want = sim::HoldingAt(r) >> 8;
            break;
        }
        if (v != want)
            Wrong(Gas(type, reg) + " read " + std::to_string(v) + ", PLC holds " +
                  std::to_string(want));
    }

    void BitRead() {
        const int reg = Pick(0, kReadOnlyEnd);
        const int bit = Pick(0, 15);
        const TagAddress tag = Tag(Gas('4', reg, bit), kGateDigital);
        uint32_t v = 0;
        if (Timed("read bit", [&] { return ch_.ReadSingle(tag, &v); }) != 0) return;
        const uint32_t want = (sim::HoldingAt(static_cast<unsigned>(reg)) >> bit) & 1u;
        if (v != want) Wrong(Gas('4', reg, bit) + " read " + std::to_string(v));
    }

    void BlockRead() {
        static const char kTypes[] = {'0', '1', '3', '4', '6', '7'};
        const char type = kTypes[Pick(0, 5)];
        const bool bits = type == '0' || type == '1';
        const bool wide = type == '6' || type == '7';
        const int count = bits ? Pick(1, 240) : wide ? Pick(1, 16) : Pick(1, 32);
        int reg = Pick(0, kReadOnlyEnd - 2 * count);
        if (wide) reg &= ~1;
        const TagAddress tag = Tag(Gas(type, reg), kGateUnsigned16, count);
        std::vector<uint8_t> out;
        if (Timed(std::string("read block ") + type,
                  [&] { return ch_.ReadBlock(tag, count, &out); }) != 0)
            return;
        for (int i = 0; i < count; ++i) {
            const unsigned r = static_cast<unsigned>(reg + i);
            uint32_t got = 0, want = 0;
            if (bits) {
                got = (out[i / 8] >> (i % 8)) & 1;
                want = type == '0' ? sim::CoilAt(r) : sim::InputAt(r);
            } else if (wide) {
                const unsigned p = static_cast<unsigned>(reg + 2 * i);
                got = Le32(&out[4 * i]);
                want = type == '6'
                           ? (uint32_t{sim::InputRegisterAt(p)} << 16) | sim::InputRegisterAt(p + 1)
                           : (uint32_t{sim::HoldingAt(p)} << 16) | sim::HoldingAt(p + 1);
            } else {
                got = Le16(&out[2 * i]);
                want = type == '3' ? sim::InputRegisterAt(r) : sim::HoldingAt(r);
            }
            if (got != want) {
                Wrong(Gas(type, reg) + " block of " + std::to_string(count) + ", element " +
                      std::to_string(i) + " read " + std::to_string(got) + ", PLC holds " +
                      std::to_string(want));
                return;
            }
        }
    }

    void ReadWriteRegion() {
        const bool coils = Pick(0, 1) == 0;
        const int count = Pick(1, coils ? 200 : 100);
        const int first = Pick(0, kWriteSize - count);
        const TagAddress tag =
            Tag(Gas(coils ? '0' : '4', kWriteBase + first), kGateUnsigned16, count);
        std::vector<uint8_t> out;
        if (Timed(coils ? "read back coils" : "read back regs",
                  [&] { return ch_.ReadBlock(tag, count, &out); }) != 0)
            return;
        for (int i = 0; i < count; ++i) {
            const int at = first + i;
            bool fits;
            uint32_t got;
            if (coils) {
                got = (out[i / 8] >> (i % 8)) & 1;
                fits = model_.coils[at].count(got != 0) > 0;
            } else {
                got = Le16(&out[2 * i]);
                fits = model_.regs[at].count(static_cast<uint16_t>(got)) > 0;
            }
            if (!fits) {
                Wrong(std::string(coils ? "coil " : "register ") + std::to_string(kWriteBase + at) +
                      " read " + std::to_string(got) + ", never written");
                return;
            }
        }
    }

    void SingleWrite() {
        const int kind = Pick(0, 4);
        int at = Pick(0, kWriteSize - 2);
        const uint16_t value = static_cast<uint16_t>(Pick(0, 0xFFFF));
        if (kind == 0) { // a register
            const TagAddress tag = Tag(Gas('4', kWriteBase + at), kGateUnsigned16);
            const bool ok = Timed("write reg", [&] { return ch_.WriteSingle(tag, value); }) == 0;
            Model::Wrote(model_.regs[at], {value}, ok);
        } else if (kind == 1) { // a coil
            const bool on = value & 1;
            const TagAddress tag = Tag(Gas('0', kWriteBase + at), kGateDigital);
            const bool ok = Timed("write coil", [&] { return ch_.WriteSingle(tag, on); }) == 0;
            Model::Wrote(model_.coils[at], {on}, ok);
        } else if (kind == 2) { // a bit of a register, read, merged and written
            const int bit = Pick(0, 15);
            const bool on = value & 1;
            const TagAddress tag = Tag(Gas('4', kWriteBase + at, bit), kGateDigital);
            const bool ok = Timed("write bit", [&] { return ch_.WriteSingle(tag, on); }) == 0;
            std::set<uint16_t> merged;
            for (uint16_t c : model_.regs[at])
                merged.insert(static_cast<uint16_t>(on ? c | (1u << bit) : c & ~(1u << bit)));
            Model::Wrote(model_.regs[at], merged, ok);
        } else if (kind == 3) { // the low byte of a register
            const TagAddress tag = Tag(Gas('L', kWriteBase + at), kGateUnsigned16);
            const bool ok =
                Timed("write low byte", [&] { return ch_.WriteSingle(tag, value); }) == 0;
            std::set<uint16_t> merged;
            for (uint16_t c : model_.regs[at])
                merged.insert(static_cast<uint16_t>((c & 0xFF00) | (value & 0xFF)));
            Model::Wrote(model_.regs[at], merged, ok);
        } else { // a 32-bit value over two registers
            at &= ~1;
            const uint32_t v = (uint32_t{value} << 16) | static_cast<uint16_t>(Pick(0, 0xFFFF));
            const TagAddress tag = Tag(Gas('8', kWriteBase + at), kGateInt32a);
            const bool ok = Timed("write long", [&] { return ch_.WriteSingle(tag, v); }) == 0;
            Model::Wrote(model_.regs[at], {static_cast<uint16_t>(v >> 16)}, ok);
            Model::Wrote(model_.regs[at + 1], {static_cast<uint16_t>(v)}, ok);
        }
    }

    void BlockWrite() {
        const bool coils = Pick(0, 1) == 0;
        const int count = Pick(1, coils ? 100 : 40);
        const int first = Pick(0, kWriteSize - count);
        const TagAddress tag =
            Tag(Gas(coils ? '0' : '4', kWriteBase + first), kGateUnsigned16, count);
        std::vector<uint8_t> values(HostChannel::BlockBytes(tag, count));
        for (uint8_t& b : values)
            b = static_cast<uint8_t>(Pick(0, 255));
        const bool ok = Timed(coils ? "write coils" : "write regs",
                              [&] { return ch_.WriteBlock(tag, count, values); }) == 0;
        for (int i = 0; i < count; ++i) {
            if (coils)
                Model::Wrote(model_.coils[first + i], {((values[i / 8] >> (i % 8)) & 1) != 0}, ok);
            else
                Model::Wrote(model_.regs[first + i], {Le16(&values[2 * i])}, ok);
        }
    }

    HostChannel& ch_;
    zeltools::PlcLine& line_;
    std::mt19937 rng_;
    const bool verbose_ = std::getenv("ZEL_SOAK_TRACE") != nullptr;
    const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
    Model model_;
    std::map<std::string, Outcome> outcomes_;
    int wrongValues_ = 0;
    int overBudget_ = 0;
    int otherCodes_ = 0;
};

TEST(Soak, MixedTransactionsOnAFaultyLine) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
    const long transactions = EnvNumber("ZEL_SOAK_TRANSACTIONS", 300);
    const long seed = EnvNumber("ZEL_SOAK_SEED", 11);

    zeltools::LineEmuOptions lo;
    lo.baud = 115200;
    lo.extra = {"--seed",         std::to_string(seed),
                "--corrupt",      "0.01",
                "--drop",         "0.002",
                "--delay-p",      "0.01",
                "--delay-ms",     "30",
                "--split-p",      "0.01",
                "--split-gap-ms", "5",
                "--noise-p",      "0.01"};
    if (const char* trace = std::getenv("ZEL_SOAK_TRACE"))
        lo.extra.insert(lo.extra.end(), {"--trace", trace});
    zeltools::SimPlcOptions po;
    po.extra = {"--frame-gap-ms", "2"};
    std::string error;
    auto line = zeltools::PlcLine::Start(lo, po, &error);
    ASSERT_TRUE(line) << error;

    // The line's speed comes from the channel's initialization file, as a
    // host's 16-bit baud field cannot hold 115200.
    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("ZELMR01.INT", "BAUD_RATE=115200\n"));
    char home[4096];
    ASSERT_NE(getcwd(home, sizeof home), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    HostChannel ch(1);
    const int32_t started = ch.Start(line->port(), kTimeout);
    ASSERT_EQ(chdir(home), 0);
    ASSERT_EQ(started, 0);

    std::printf("soak: %ld transactions, seed %ld, 115200 baud, reply time-out %d ms\n",
                transactions, seed, kTimeout * 10);
    const auto start = std::chrono::steady_clock::now();
    Soak soak(ch, *line, static_cast<unsigned>(seed));
    soak.Run(transactions);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    soak.Report();
    std::printf("soak: %.1f s\n", took);
    EXPECT_EQ(soak.wrongValues(), 0);
    EXPECT_EQ(soak.overBudget(), 0);
    EXPECT_EQ(soak.otherCodes(), 0);
}

} // namespace
