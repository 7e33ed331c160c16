// Gate address strings through the two gate operations (3 and 4) on channels
// of every base, protocol and option, with any gate type and block length.
//
// Input: three setting bytes, the block length, then the GAS itself.
//   byte 0: base (D, H, L, or any byte), byte 1: flags, byte 2: gate type.
// Beyond "no crash", an accepted gate must describe what its text says: a
// sane tag whose first register on the wire is the element of the text.
#include <cstdint>
#include <memory>

#include "address/parser.h"
#include "core/areas.h"
#include "driver/operations.h"
#include "core/channel.h"
#include "fuzz/fuzz_common.h"

using namespace zel;
using zelfuzz::Block;

namespace {

enum : uint8_t {
    kFlagJbus = 0x01,
    kFlagLongAddr = 0x02,
    kFlagNoParityCheck = 0x04,
    kFlagBlock = 0x08,
    kFlagNullGas = 0x10,
    kFlagWideLength = 0x20,
};

bool IsMemoryType(int32_t m) {
    switch (m) {
    case kMemCoils:
    case kMemInputs:
    case kMemInputRegs:
    case kMemHoldingRegs:
    case kMemInputFloat:
    case kMemInputLong:
    case kMemHoldingFloat:
    case kMemHoldingLong:
    case kMemLowByte:
    case kMemHighByte:
        return true;
    default:
        return false;
    }
}

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The element number written in an accepted GAS, read on its own here.
int32_t ElementOf(const char* gas, char base) {
    const int radix = base == 'H' ? 16 : 10;
    const int width = base == 'L' ? 5 : 4;
    int32_t v = 0;
    for (int i = 0; i < width; ++i)
        v = v * radix + Digit(gas[3 + i]);
    return v;
}

void CheckAccepted(const ChannelState& ch, const ParseRequest& p, const char* gas, bool block) {
    const TagAddress& t = p.tag;
    const size_t length = std::strlen(gas);
    const size_t full = ch.base == 'L' ? 9 : 8;
    ZELFUZZ_CHECK(length == full || length == full - 1, "accepted GAS of length %zu", length);
    ZELFUZZ_CHECK(t.plc >= 1 && t.plc <= 255, "station %d", t.plc);
    ZELFUZZ_CHECK(IsMemoryType(t.memoryType), "memory type %d", t.memoryType);
    const bool byteType = t.memoryType == kMemLowByte || t.memoryType == kMemHighByte;
    ZELFUZZ_CHECK(t.bit >= -1 && t.bit <= (byteType ? 7 : 15), "bit %d", t.bit);
    const bool wide = t.memoryType >= kMemInputFloat && t.memoryType <= kMemHoldingLong;
    const bool oneBit = t.memoryType == kMemCoils || t.memoryType == kMemInputs || t.bit != -1;
    ZELFUZZ_CHECK(t.width == (wide     ? 32
                              : oneBit ? 1
                                       : 16),
                  "width %d for type %d bit %d", t.width, t.memoryType, t.bit);
    if (wide) ZELFUZZ_CHECK(t.bit == -1, "bit %d on a 32-bit gate", t.bit);

    // Only for the bases a channel can have: any other byte reads like 'H'
    // for the lengths but not for the digits.
    if (ch.base == 'D' || ch.base == 'H' || ch.base == 'L') {
        const int32_t first = ElementOf(gas, ch.base) - (ch.protocol == 'M' ? 1 : 0);
        ZELFUZZ_CHECK(first >= 0, "register %d", first);
        ZELFUZZ_CHECK(FirstRegister(RulesOf(ch), t) == first, "GAS '%s' gives register %d, tag %d",
                      gas, first, FirstRegister(RulesOf(ch), t));
        if (wide && !(ch.options & kOptLongAddr) && ch.parityCheck)
            ZELFUZZ_CHECK(first % 2 == 0, "odd 32-bit start %d accepted with the check on", first);
    }
    if (block) {
        ZELFUZZ_CHECK(t.bit == -1, "block with bit %d", t.bit);
        if (p.blockLength > 0)
            ZELFUZZ_CHECK(static_cast<int64_t>(p.blockLength) * t.width <= 250 * 8,
                          "block of %d x %d bits", p.blockLength, t.width);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zelfuzz::QuietHostLog();
    zelfuzz::Reader in(data, size);

    const uint8_t baseByte = in.Byte();
    const uint8_t flags = in.Byte();
    const uint8_t gateByte = in.Byte();
    int32_t blockLength = static_cast<int16_t>(in.U16());
    if (flags & kFlagWideLength) blockLength = static_cast<int32_t>(in.U32());

    Block state(sizeof(ChannelState));
    std::memset(state.data(), 0, state.size());
    ChannelState& ch = *state.As<ChannelState>();
    static const char kBases[] = {'D', 'H', 'L'};
    ch.base = baseByte < 0xF0 ? kBases[baseByte % 3] : static_cast<char>(baseByte);
    ch.protocol = (flags & kFlagJbus) ? 'J' : 'M';
    ch.options = (flags & kFlagLongAddr) ? kOptLongAddr : 0;
    ch.parityCheck = (flags & kFlagNoParityCheck) ? 0 : 1;
    ch.channel = 1;
    Block stateBefore(state.size());
    std::memcpy(stateBefore.data(), state.data(), state.size());

    const uint8_t* text = nullptr;
    const size_t length = in.Take(in.Left(), &text);
    std::unique_ptr<Block> gas(zelfuzz::NewString(text, length));

    Block parseBlock(sizeof(ParseRequest));
    std::memset(parseBlock.data(), 0x5A, parseBlock.size());
    ParseRequest& p = *parseBlock.As<ParseRequest>();
    p.gas = (flags & kFlagNullGas) ? nullptr : reinterpret_cast<const char*>(gas->data());
    p.reserved = 0;
    p.gateType = gateByte < 0xC0 ? gateByte % 8 : static_cast<int8_t>(gateByte);
    p.blockLength = blockLength;
    const ParseRequest given = p;

    const bool block = (flags & kFlagBlock) != 0;
    DriverRequest req{};
    req.state = &ch;
    req.operation = block ? kOpBlockAddressParser : kOpSingleAddressParser;
    req.channel = 1;
    req.argument = &p;
    const int32_t rc = Dispatch(&req);

    ZELFUZZ_CHECK(rc == kOk || rc == kRefused, "result %d", rc);
    ZELFUZZ_CHECK(std::memcmp(state.data(), stateBefore.data(), state.size()) == 0,
                  "the channel changed");
    ZELFUZZ_CHECK(p.gas == given.gas && p.gateType == given.gateType &&
                      p.blockLength == given.blockLength,
                  "the request's own fields changed");
    if (rc == kOk) {
        ZELFUZZ_CHECK(p.gas != nullptr, "a missing GAS accepted");
        CheckAccepted(ch, p, p.gas, block);
        ZELFUZZ_CHECK(zelfuzz::HostLogCount() == 0, "an accepted gate logged %d lines",
                      zelfuzz::HostLogCount());
    } else {
        ZELFUZZ_CHECK(zelfuzz::HostLogCount() >= 1, "a refusal without a log line");
    }
    return 0;
}
