// The two gate operations: SingleAddressParser pairs a parsed gate with the
// host's data type, BlockAddressParser checks a block's size and range.
#include <cstdint>
#include <initializer_list>

#include "address/parser.h"
#include "driver/hostlib.h"
#include "driver/operations.h"

namespace zel {

namespace {

// Largest block payload of one transaction, in bytes.
constexpr double kMaxBlockBytes = 250.0;

// Largest element number a GAS can write in each base.
uint32_t BaseMaximum(char base) {
    if (base == 'H') return 0xFFFF;
    if (base == 'L') return 99999;
    return 9999;
}

bool IsOneOf(int32_t value, std::initializer_list<int32_t> set) {
    for (int32_t v : set)
        if (v == value) return true;
    return false;
}

// The operations' common first step: the channel and parse record of the
// request, with its GAS parsed into parse->tag. kOk or the result to return.
int32_t ParseGate(DriverRequest* req, ChannelState*& channel, ParseRequest*& parse) {
    channel = StateOf(req);
    parse = static_cast<ParseRequest*>(req->argument);
    if (!channel || !parse) return kRefused;
    return Parse(*channel, *parse);
}

} // namespace

int32_t SingleAddressParser(DriverRequest* req) {
    ChannelState* channel = nullptr;
    ParseRequest* parse = nullptr;
    if (const int32_t result = ParseGate(req, channel, parse); result != kOk) return result;

    const int ch = channel->channel;
    const TagAddress& tag = parse->tag;
    const int32_t gate = parse->gateType;

    if (gate == kGateDigital && tag.width == 32) {
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> SingleParse() no digital gates allowed from long memory area", ch);
        return kRefused;
    }
    if (tag.bit != -1) {
        if (gate == kGateDigital) return kOk;
        ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be DIGITAL", ch);
        return kRefused;
    }

    switch (tag.memoryType & 0xFF) {
    case kMemCoils:
    case kMemInputs:
        if (gate != kGateDigital) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be DIGITAL", ch);
            return kRefused;
        }
        break;
    case kMemInputRegs:
    case kMemHoldingRegs: // also the two byte types
        if (!IsOneOf(gate, {kGateUnsigned16, kGateInt16a, kGateInt16b})) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be 16-bit INTEGER", ch);
            return kRefused;
        }
        if ((tag.memoryType == kMemLowByte || tag.memoryType == kMemHighByte) &&
            gate != kGateUnsigned16) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be UNSIGNED 16", ch);
            return kRefused;
        }
        break;
    case kMemInputFloat:
    case kMemHoldingFloat:
        if (gate != kGateFloat) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be FLOAT", ch);
            return kRefused;
        }
        break;
    case kMemInputLong:
    case kMemHoldingLong:
        if (!IsOneOf(gate, {kGateInt32a, kGateInt32b})) {
            ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be 32-bit INTEGER", ch);
            return kRefused;
        }
        break;
    default:
        break;
    }
    return kOk;
}

int32_t BlockAddressParser(DriverRequest* req) {
    ChannelState* channel = nullptr;
    ParseRequest* parse = nullptr;
    if (const int32_t result = ParseGate(req, channel, parse); result != kOk) return result;

    const int ch = channel->channel;
    const TagAddress& tag = parse->tag;
    const int32_t length = parse->blockLength;

    if (tag.bit != -1) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockParse() no spec. digital gates as block!", ch);
        return kRefused;
    }
    // An empty or negative length passes here as it always has (hosts may
    // keep such gates configured); the block transactions refuse to send it.
    // 64-bit product: a huge length must not wrap round to a small size.
    const int64_t bits = static_cast<int64_t>(length) * tag.width;
    if (static_cast<double>(bits) / 8.0 > kMaxBlockBytes) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockParse(): Block length is too long", ch);
        return kRefused;
    }

    const bool pairs = tag.width == 32 && !(channel->options & kOptLongAddr);
    // Unsigned: doubling a huge length must not overflow.
    const uint32_t registers = static_cast<uint32_t>(length) * (pairs ? 2u : 1u);
    // Back to the numbering of the GAS: 1-based under Modbus.
    const uint32_t start =
        static_cast<uint32_t>(FirstRegister(*channel, tag)) + (channel->protocol == 'M' ? 1u : 0u);
    const uint32_t end = start + registers - 1u;
    if (end > BaseMaximum(channel->base)) {
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> BlockAddressParser(): Block length is too long, the start address + "
                "the block length is overlapping the maximum adress that can be reached",
                ch);
        return kRefused;
    }
    return kOk;
}

} // namespace zel
