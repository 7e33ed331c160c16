// The entry point: dispatch of operation codes, the ended state, and the
// driver's identity.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/channel.h"
#include "driver/operations.h"
#include "driver/zelmain.h"

using namespace zel;

namespace {

DriverRequest Request(int32_t op, void* argument = nullptr, void* state = nullptr) {
    DriverRequest req{};
    req.state = state;
    req.operation = op;
    req.channel = 1;
    req.argument = argument;
    return req;
}

TEST(Dispatch, EmptySlotsAndCodesOutOfRangeGiveTwo) {
    for (int32_t op : {0, 8, 9, 17, 18, -1, 1000}) {
        DriverRequest req = Request(op);
        DriverRequest before = req;
        EXPECT_EQ(ZelMain(&req), 2) << "operation " << op;
        EXPECT_EQ(std::memcmp(&req, &before, sizeof req), 0);
    }
}

TEST(Dispatch, GetZelInfoBeforeAnyStart) {
    DriverInfo info;
    std::memset(&info, 0xAB, sizeof info);
    DriverRequest req = Request(kOpGetZelInfo, &info);
    ASSERT_EQ(ZelMain(&req), 0);
    EXPECT_EQ(info.kind, 80);
    EXPECT_STREQ(info.name, "Modicon Modbus");
    EXPECT_STREQ(info.description, "ModBus/J-BUS (RTU protocol) 32 Bit driver Installed.\n");
    EXPECT_EQ(info.stateSize, 1272);
    EXPECT_EQ(info.four, 4);
    EXPECT_EQ(info.baud, 9600);
    EXPECT_EQ(info.dataBits, 8);
    EXPECT_EQ(info.stopBits, 0);
    EXPECT_EQ(info.parity, 0);
    EXPECT_EQ(info.version, 0x00870023);
}

// A request without its channel block or its argument record is refused with
// the operation's own code, and nothing is touched.
TEST(Dispatch, MissingRecordsAreRefusedNotFollowed) {
    alignas(8) unsigned char block[kChannelStateSize] = {};
    ChannelState& ch = *reinterpret_cast<ChannelState*>(block);
    ch.portOpen = 1; // an open channel: the value operations would otherwise go ahead
    ch.port = nullptr;
    uint8_t cell[4] = {};
    IoRequest io{};
    io.tag = TagAddress{1, 4, 0, -1, 16};
    io.count = 1;
    io.data = cell;
    ParseRequest parse{};
    parse.gas = "0140001";
    struct Case {
        int32_t op;
        bool withState;
        void* argument;
        int32_t result;
    } cases[] = {
        {kOpGetZelInfo, false, nullptr, 2},
        {kOpColdStart, true, nullptr, 2},
        {kOpColdStart, false, &io, 2},
        {kOpWarmStart, false, &io, 2},
        {kOpSingleAddressParser, false, &parse, 1},
        {kOpSingleAddressParser, true, nullptr, 1},
        {kOpBlockAddressParser, false, &parse, 1},
        {kOpBlockAddressParser, true, nullptr, 1},
        {kOpSingleRead, false, &io, 1},
        {kOpSingleRead, true, nullptr, 1},
        {kOpBlockRead, false, &io, 1},
        {kOpBlockRead, true, nullptr, 1},
        {kOpSingleWrite, false, &io, 1},
        {kOpSingleWrite, true, nullptr, 1},
        {kOpBlockWrite, false, &io, 1},
        {kOpBlockWrite, true, nullptr, 1},
        {kOpCloseCom, false, nullptr, 2},
        {kOpReOpenCom, false, nullptr, 2},
        {kOpChangeZelParams, true, nullptr, 2},
        {kOpChangeZelParams, false, &io, 2},
        {kOpBrowseAddress, true, nullptr, 53},
    };
    const std::vector<unsigned char> before(block, block + sizeof block);
    for (const Case& c : cases) {
        DriverRequest req = Request(c.op, c.argument, c.withState ? block : nullptr);
        EXPECT_EQ(ZelMain(&req), c.result) << "operation " << c.op;
        EXPECT_EQ(std::vector<unsigned char>(block, block + sizeof block), before)
            << "operation " << c.op;
        EXPECT_EQ(cell[0] | cell[1] | cell[2] | cell[3], 0) << "operation " << c.op;
    }
    // EndZel without a block answers as CloseCom does, and ends the driver.
    DriverRequest end = Request(kOpEndZel);
    EXPECT_EQ(ZelMain(&end), 2);
    EXPECT_EQ(driverEnded, 1);
}

TEST(Dispatch, AfterEndZelEveryCodeOfEveryChannelGivesZero) {
    alignas(8) unsigned char block[kChannelStateSize] = {};
    DriverRequest end = Request(kOpEndZel, nullptr, block);
    ZelMain(&end);
    ASSERT_EQ(driverEnded, 1);
    for (int32_t op = -1; op <= 18; ++op) {
        // Nothing may be looked at: null state and argument must not matter.
        DriverRequest req = Request(op);
        req.channel = op + 7;
        EXPECT_EQ(ZelMain(&req), 0) << "operation " << op;
    }
}

} // namespace
