// Gate address strings through operations 3 and 4 of ZelMain: the tags they
// give, every refusal with its text and level, and the first register
// computed back from a tag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "address/parser.h"
#include "core/areas.h"
#include "driver/operations.h"
#include "driver/zelmain.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zeltest::LogLine;

namespace {

constexpr int kChannel = 3;

struct Setting {
    char base = 'D';
    char protocol = 'M';
    int32_t parityCheck = 1;
    uint16_t options = 0;
};

const Setting kModbusD{};
const Setting kJbusD{'D', 'J'};
const Setting kModbusH{'H'};
const Setting kJbusH{'H', 'J'};
const Setting kModbusL{'L'};
const Setting kNoParityD{'D', 'M', 0};
const Setting kJbusNoParityD{'D', 'J', 0};
const Setting kLongAddrD{'D', 'M', 1, kOptLongAddr};

ChannelState Channel(const Setting& s) {
    ChannelState st{};
    st.channel = kChannel;
    st.base = s.base;
    st.protocol = s.protocol;
    st.parityCheck = s.parityCheck;
    st.options = s.options;
    return st;
}

// Runs operation 3 or 4 through ZelMain and returns its result; the tag and
// the log are left for the caller to inspect.
int32_t CallDriver(int32_t op, ChannelState& st, ParseRequest& parse) {
    zeltest::ClearLog();
    DriverRequest req{};
    req.state = &st;
    req.operation = op;
    req.channel = kChannel;
    req.argument = &parse;
    return ZelMain(&req);
}

ParseRequest Request(const char* gas, int32_t gateType = kGateUnsigned16, int32_t blockLength = 1) {
    ParseRequest p{};
    p.gas = gas;
    p.gateType = gateType;
    p.blockLength = blockLength;
    p.tag = {-7, -7, -7, -7, -7};
    return p;
}

std::string Prefixed(const std::string& text) {
    return "ZELMR03> " + text;
}

// --- Accepted gates -------------------------------------------------------

struct Accepted {
    Setting setting;
    const char* gas;
    TagAddress tag; // plc, memoryType, address, bit, width
};

void PrintTo(const Accepted& a, std::ostream* os) {
    *os << a.setting.base << "/" << a.setting.protocol << " '" << a.gas << "'";
}

class ParseAccepts : public ::testing::TestWithParam<Accepted> {};

// A gate type that suits the tag's area.
int32_t SuitableGate(const TagAddress& tag) {
    if (tag.bit != -1) return kGateDigital;
    switch (tag.memoryType & 0xFF) {
    case kMemCoils:
    case kMemInputs:
        return kGateDigital;
    case kMemInputFloat:
    case kMemHoldingFloat:
        return kGateFloat;
    case kMemInputLong:
    case kMemHoldingLong:
        return kGateInt32a;
    default:
        return kGateUnsigned16;
    }
}

TEST_P(ParseAccepts, FillsTagAndLogsNothing) {
    const Accepted& a = GetParam();
    ChannelState st = Channel(a.setting);
    ParseRequest p = Request(a.gas, SuitableGate(a.tag));
    // A bit of a 32-bit area passes the common step only.
    const int32_t expected = a.tag.width == 32 && a.tag.bit != -1 ? 1 : 0;
    EXPECT_EQ(CallDriver(kOpSingleAddressParser, st, p), expected) << zeltest::LogDump();
    EXPECT_EQ(p.tag.plc, a.tag.plc);
    EXPECT_EQ(p.tag.memoryType, a.tag.memoryType);
    EXPECT_EQ(p.tag.address, a.tag.address);
    EXPECT_EQ(p.tag.bit, a.tag.bit);
    EXPECT_EQ(p.tag.width, a.tag.width);
    if (expected == 0) {
        EXPECT_TRUE(zeltest::LogLines().empty()) << zeltest::LogDump();
    }
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, ParseAccepts,
                         ::testing::Values(Accepted{kModbusD, "0140010", {1, 4, 9, -1, 16}},
                                           Accepted{kModbusD, "01400105", {1, 4, 9, 5, 1}},
                                           Accepted{kJbusD, "0140010", {1, 4, 10, -1, 16}},
                                           Accepted{kModbusD, "0140010F", {1, 4, 9, 15, 1}},
                                           Accepted{kModbusD, "0100001", {1, 0, 0, -1, 1}},
                                           Accepted{kModbusD, "01L00017", {1, 260, 0, 7, 1}},
                                           Accepted{kModbusD, "01H0001", {1, 516, 0, -1, 16}},
                                           Accepted{kModbusH, "0A4001F", {10, 4, 30, -1, 16}},
                                           Accepted{kJbusH, "FF400FFF", {255, 4, 255, 15, 1}},
                                           Accepted{kModbusL, "01465535", {1, 4, 65534, -1, 16}},
                                           Accepted{kModbusL, "014655353", {1, 4, 65534, 3, 1}},
                                           Accepted{kModbusD, "0170001", {1, 7, 0, -1, 32}},
                                           Accepted{kModbusD, "0170003", {1, 7, 1, -1, 32}},
                                           Accepted{kNoParityD, "0170002", {1, 7, 100000, -1, 32}},
                                           Accepted{kLongAddrD, "0170002", {1, 7, 1, -1, 32}},
                                           Accepted{kJbusD, "0180002", {1, 8, 1, -1, 32}},
                                           Accepted{
                                               kJbusNoParityD, "0180003", {1, 8, 100001, -1, 32}},
                                           Accepted{kJbusD, "0140000", {1, 4, 0, -1, 16}}));

INSTANTIATE_TEST_SUITE_P(EdgeCases, ParseAccepts,
                         ::testing::Values(
                             // A trailing space is the same as a missing bit digit.
                             Accepted{kModbusD, "0140010 ", {1, 4, 9, -1, 16}},
                             Accepted{kModbusL, "01465535 ", {1, 4, 65534, -1, 16}},
                             // Bit digits A to F in a decimal base; bits 0 to 7 of byte types.
                             Accepted{kModbusD, "0130001A", {1, 3, 0, 10, 1}},
                             Accepted{kModbusD, "01H00010", {1, 516, 0, 0, 1}},
                             // Largest numbers of each base; 32-bit areas of every kind.
                             Accepted{kModbusD, "9949999", {99, 4, 9998, -1, 16}},
                             Accepted{kJbusH, "FF4FFFF", {255, 4, 0xFFFF, -1, 16}},
                             Accepted{kJbusD, "0150000", {1, 5, 0, -1, 32}},
                             Accepted{kModbusD, "0160009", {1, 6, 4, -1, 32}},
                             Accepted{kModbusL, "01899999", {1, 8, 49999, -1, 32}},
                             Accepted{{'L', 'M', 0}, "01800002", {1, 8, 100000, -1, 32}},
                             // LONGADDR keeps the odd number; parityCheck 0 marks it.
                             Accepted{kLongAddrD, "0180003", {1, 8, 2, -1, 32}},
                             Accepted{{'L', 'M', 0}, "01899998", {1, 8, 149998, -1, 32}},
                             // Any protocol but 'M' counts from 0.
                             Accepted{{'D', 'X'}, "0140000", {1, 4, 0, -1, 16}},
                             // A 32-bit area with a bit digit passes the common step.
                             Accepted{kModbusD, "01700013", {1, 7, 0, 3, 32}}));

// --- Refusals of the common step -----------------------------------------

struct Refused {
    Setting setting;
    const char* gas;
    int level;
    std::string text; // after the channel prefix
};

void PrintTo(const Refused& r, std::ostream* os) {
    *os << r.setting.base << "/" << r.setting.protocol << " '" << r.gas << "'";
}

class ParseRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(ParseRefuses, WritesOneLineAndReturnsOne) {
    const Refused& r = GetParam();
    for (int32_t op : {kOpSingleAddressParser, kOpBlockAddressParser}) {
        ChannelState st = Channel(r.setting);
        ParseRequest p = Request(r.gas, kGateDigital, 1);
        EXPECT_EQ(CallDriver(op, st, p), 1) << "operation " << op;
        EXPECT_EQ(zeltest::LogLines(), (std::vector<LogLine>{{r.level, Prefixed(r.text)}}))
            << "operation " << op;
    }
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, ParseRefuses,
    ::testing::Values(
        Refused{kModbusD, "0170002", 32, "Parse() 32 bit gates must have ODD address for MODBUS"},
        Refused{kJbusD, "0180003", 32, "Parse() 32 bit gates must have EVEN address for J-BUS"},
        Refused{kModbusD, "0140000", 8, "Parse() illegal addr. 0 for Modbus, '0140000 '"},
        Refused{kModbusD, "0040001", 8, "Parse() illegal PLC address, '0040001 '"},
        Refused{kModbusD, "0A40001", 8, "Parse() illegal GAS:'0A40001 ' for decimal base "},
        Refused{kModbusD, "01200001", 8, "Parse() illegal char #2, 2 in '01200001'"},
        Refused{kModbusD, "99100150", 32, "Parse() illegal GAS:'99100150'"},
        Refused{kModbusD, "01L00018", 8, "Parse() illegal bitnumber in '01L00018'"},
        Refused{kModbusD, "014001", 32, "Parse() Wrong size of gas, '014001'"},
        Refused{kModbusH, "0a40001", 8, "Parse() illegal char #1, a in '0a40001 '"},
        Refused{kModbusL, "0140001 3", 32, "Parse() illegal GAS:'0140001 3'"}));

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ParseRefuses,
    ::testing::Values(
        // Sizes: the wrong-size line shows the text as passed.
        Refused{kModbusD, "014000101", 32, "Parse() Wrong size of gas, '014000101'"},
        Refused{kModbusD, "", 32, "Parse() Wrong size of gas, ''"},
        Refused{kModbusL, "0140001", 32, "Parse() Wrong size of gas, '0140001'"},
        Refused{kModbusL, "0140000101", 32, "Parse() Wrong size of gas, '0140000101'"},
        // Base 'L': a space at position 7 then a space is a decimal fault.
        Refused{kModbusL, "0140001  ", 8, "Parse() illegal GAS:'0140001  ' for decimal base "},
        // Hexadecimal letters only in the bit digit of a decimal base.
        Refused{kModbusD, "014000A", 8, "Parse() illegal GAS:'014000A ' for decimal base "},
        Refused{kModbusH, "014000a", 8, "Parse() illegal char #6, a in '014000a '"},
        Refused{kModbusH, "0140001f", 8, "Parse() illegal char #7, f in '0140001f'"},
        Refused{kModbusD, "01 0001", 8, "Parse() illegal char #2,   in '01 0001 '"},
        Refused{kModbusD, "+140001", 8, "Parse() illegal char #0, + in '+140001 '"},
        // Station 00 in every base; address 0 under Modbus in base 'H'.
        Refused{kModbusH, "0040001", 8, "Parse() illegal PLC address, '0040001 '"},
        Refused{kModbusL, "00400001", 8, "Parse() illegal PLC address, '00400001 '"},
        Refused{kModbusH, "0140000", 8, "Parse() illegal addr. 0 for Modbus, '0140000 '"},
        // Bits: none for coils and inputs, 0 to 7 for byte types.
        Refused{kModbusD, "01000010", 32, "Parse() illegal GAS:'01000010'"},
        Refused{kModbusL, "010000013", 32, "Parse() illegal GAS:'010000013'"},
        Refused{kModbusD, "01H0001F", 8, "Parse() illegal bitnumber in '01H0001F'"},
        // The odd/even rule in base 'L' and 'H'.
        Refused{kModbusL, "01600002", 32, "Parse() 32 bit gates must have ODD address for MODBUS"},
        Refused{kJbusH, "0170001", 32, "Parse() 32 bit gates must have EVEN address for J-BUS"}));

// The check of the character set must stop at the first bad position.
TEST(Parse, ReportsTheFirstIllegalCharacterOnly) {
    ChannelState st = Channel(kModbusD);
    ParseRequest p = Request("0x2y001");
    EXPECT_EQ(CallDriver(kOpSingleAddressParser, st, p), 1);
    EXPECT_EQ(zeltest::LogLines(),
              (std::vector<LogLine>{{8, Prefixed("Parse() illegal char #1, x in '0x2y001 '")}}));
}

// However long the host's text, it is only measured and printed, never copied.
TEST(Parse, LongHostTextIsRefusedAsWrongSize) {
    const std::string gas(100000, '1');
    ChannelState st = Channel(kModbusL);
    ParseRequest p = Request(gas.c_str());
    EXPECT_EQ(CallDriver(kOpSingleAddressParser, st, p), 1);
    ASSERT_EQ(zeltest::LogLines().size(), 1u);
    // The stand-in host cuts long lines; the start is what matters here.
    const std::string start = Prefixed("Parse() Wrong size of gas, '") + gas.substr(0, 100);
    EXPECT_EQ(zeltest::LogLines()[0].text.compare(0, start.size(), start), 0);
}

TEST(Parse, NullTextIsRefusedAsEmpty) {
    ChannelState st = Channel(kModbusD);
    ParseRequest p = Request(nullptr);
    EXPECT_EQ(CallDriver(kOpBlockAddressParser, st, p), 1);
    EXPECT_TRUE(zeltest::Logged(Prefixed("Parse() Wrong size of gas, ''"), 32));
}

// --- Gate types of SingleAddressParser -----------------------------------

struct GateCase {
    const char* gas;
    int32_t gateType;
    const char* message; // nullptr: accepted
};

void PrintTo(const GateCase& g, std::ostream* os) {
    *os << "'" << g.gas << "' type " << g.gateType;
}

class SingleGateType : public ::testing::TestWithParam<GateCase> {};

TEST_P(SingleGateType, PairsAreaWithGateType) {
    const GateCase& g = GetParam();
    ChannelState st = Channel(kModbusD);
    ParseRequest p = Request(g.gas, g.gateType);
    const int32_t result = CallDriver(kOpSingleAddressParser, st, p);
    if (!g.message) {
        EXPECT_EQ(result, 0) << zeltest::LogDump();
        EXPECT_TRUE(zeltest::LogLines().empty()) << zeltest::LogDump();
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(
            zeltest::LogLines(),
            (std::vector<LogLine>{{32, Prefixed(std::string("SingleParse() ") + g.message)}}));
    }
}

const char kDigital[] = "gate type should be DIGITAL";
const char kInt16[] = "gate type should be 16-bit INTEGER";
const char kUnsigned16[] = "gate type should be UNSIGNED 16";
const char kFloat[] = "gate type should be FLOAT";
const char kInt32[] = "gate type should be 32-bit INTEGER";
const char kNoLongDigital[] = "no digital gates allowed from long memory area";

INSTANTIATE_TEST_SUITE_P(Table, SingleGateType,
                         ::testing::Values(
                             // Coils and inputs: digital only.
                             GateCase{"0100001", 6, nullptr}, GateCase{"0110001", 6, nullptr},
                             GateCase{"0100001", 0, kDigital}, GateCase{"0110001", 3, kDigital},
                             // Registers: the three 16-bit types.
                             GateCase{"0130001", 0, nullptr}, GateCase{"0140001", 1, nullptr},
                             GateCase{"0140001", 2, nullptr}, GateCase{"0140001", 3, kInt16},
                             GateCase{"0130001", 6, kInt16}, GateCase{"0140001", 4, kInt16},
                             // Byte types: unsigned 16 only, with the 16-bit message first.
                             GateCase{"01L0001", 0, nullptr}, GateCase{"01H0001", 0, nullptr},
                             GateCase{"01L0001", 3, kInt16}, GateCase{"01H0001", 1, kUnsigned16},
                             GateCase{"01L0001", 2, kUnsigned16},
                             // 32-bit areas.
                             GateCase{"0150001", 3, nullptr}, GateCase{"0170001", 3, nullptr},
                             GateCase{"0150001", 4, kFloat}, GateCase{"0160001", 4, nullptr},
                             GateCase{"0180001", 5, nullptr}, GateCase{"0180001", 3, kInt32},
                             GateCase{"0160001", 6, kNoLongDigital},
                             // Bits: digital only; a bit of a 32-bit area never.
                             GateCase{"01400015", 6, nullptr}, GateCase{"01L00017", 6, nullptr},
                             GateCase{"01400015", 0, kDigital},
                             GateCase{"01700013", 6, kNoLongDigital},
                             GateCase{"01700013", 3, kDigital}));

// --- Size and range of BlockAddressParser --------------------------------

struct BlockCase {
    Setting setting;
    const char* gas;
    int32_t length;
    const char* message; // nullptr: accepted
};

void PrintTo(const BlockCase& b, std::ostream* os) {
    *os << b.setting.base << "/" << b.setting.protocol << " '" << b.gas << "' x" << b.length;
}

class BlockParser : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockParser, ChecksSizeAndRange) {
    const BlockCase& b = GetParam();
    ChannelState st = Channel(b.setting);
    ParseRequest p = Request(b.gas, kGateUnsigned16, b.length);
    const int32_t result = CallDriver(kOpBlockAddressParser, st, p);
    if (!b.message) {
        EXPECT_EQ(result, 0) << zeltest::LogDump();
        EXPECT_TRUE(zeltest::LogLines().empty()) << zeltest::LogDump();
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(zeltest::LogLines(), (std::vector<LogLine>{{32, Prefixed(b.message)}}));
    }
}

const char kTooLong[] = "BlockParse(): Block length is too long";
const char kOverlap[] = "BlockAddressParser(): Block length is too long, the start address + the "
                        "block length is overlapping the maximum adress that can be reached";
const char kBitBlock[] = "BlockParse() no spec. digital gates as block!";

INSTANTIATE_TEST_SUITE_P(BlockExamples, BlockParser,
                         ::testing::Values(BlockCase{kModbusD, "0140001", 125, nullptr},
                                           BlockCase{kModbusD, "0140001", 126, kTooLong},
                                           BlockCase{kModbusD, "0100001", 2000, nullptr},
                                           BlockCase{kModbusD, "0100001", 2001, kTooLong},
                                           BlockCase{kModbusD, "0170001", 62, nullptr},
                                           BlockCase{kModbusD, "0170001", 63, kTooLong},
                                           BlockCase{kModbusD, "0149990", 10, nullptr},
                                           BlockCase{kModbusD, "0149990", 11, kOverlap},
                                           BlockCase{kModbusD, "0179991", 4, nullptr},
                                           BlockCase{kModbusD, "0179991", 5, kOverlap},
                                           BlockCase{kModbusH, "014FFF0", 16, nullptr},
                                           BlockCase{kModbusH, "014FFF0", 17, kOverlap}));

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, BlockParser,
    ::testing::Values(
        BlockCase{kModbusD, "01400015", 1, kBitBlock},
        // J-BUS counts from 0: the last element is still 9999.
        BlockCase{kJbusD, "0149990", 10, nullptr}, BlockCase{kJbusD, "0149990", 11, kOverlap},
        // Base 'L' reaches 99999; LONGADDR counts a value as one register.
        BlockCase{kModbusL, "01499990", 10, nullptr}, BlockCase{kModbusL, "01499990", 11, kOverlap},
        BlockCase{kLongAddrD, "0179991", 9, nullptr},
        BlockCase{kLongAddrD, "0179991", 10, kOverlap},
        // An odd start marked by +100000 is computed back correctly.
        BlockCase{kNoParityD, "0179990", 5, nullptr}, BlockCase{kNoParityD, "0179990", 6, kOverlap},
        // Empty and negative lengths pass the parser (the transactions refuse
        // them); a length whose size product would wrap in 32 bits does not.
        BlockCase{kModbusD, "0140100", 0, nullptr}, BlockCase{kModbusD, "0140100", -5, nullptr},
        BlockCase{kModbusD, "0140001", 0x10000000, kTooLong},
        BlockCase{kModbusD, "0170001", 0x08000000, kTooLong}));

// --- First register of a tag ---------------------------------------------

TEST(FirstRegister, UndoesEveryEncoding) {
    struct Case {
        Setting setting;
        TagAddress tag;
        int32_t first;
    };
    const Case cases[] = {
        {kModbusD, {1, 4, 9, -1, 16}, 9},            // plain register
        {kModbusD, {1, 7, 4995, -1, 32}, 9990},      // halved
        {kNoParityD, {1, 7, 100000, -1, 32}, 1},     // odd start marked
        {kNoParityD, {1, 8, 149999, -1, 32}, 99999}, // largest in base 'L'
        {kNoParityD, {1, 7, 4995, -1, 32}, 9990},    // even start, no mark
        {kLongAddrD, {1, 7, 9991, -1, 32}, 9991},    // LONGADDR: as is
        {kModbusD, {1, 7, 100000, -1, 32}, 200000},  // checking on: never a mark
        {kNoParityD, {1, 4, 100000, -1, 16}, 1},     // the mark wins for any width
    };
    for (const Case& c : cases) {
        ChannelState st = Channel(c.setting);
        EXPECT_EQ(FirstRegister(RulesOf(st), c.tag), c.first) << "address " << c.tag.address;
    }
}

// Every accepted 32-bit gate of base 'L' leads back to its own register.
TEST(FirstRegister, RoundTripsEveryOddAndEvenStart) {
    for (const Setting& s : {Setting{'L', 'M', 0}, Setting{'L', 'J', 0}, Setting{'L', 'M', 1, 8}}) {
        ChannelState st = Channel(s);
        for (int number = 1; number <= 99999; number += 7) {
            char gas[10];
            std::snprintf(gas, sizeof gas, "017%05d", number);
            ParseRequest p = Request(gas);
            ASSERT_EQ(Parse(RulesOf(st), p.gas, p.tag), Verdict::kAccepted) << gas;
            const int32_t r = s.protocol == 'M' ? number - 1 : number;
            ASSERT_EQ(FirstRegister(RulesOf(st), p.tag), r) << gas;
        }
    }
}

} // namespace
