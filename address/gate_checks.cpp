// The checks of a parsed gate: a single gate against the host's data type,
// a block against its size and the address range of the base.
#include <cstdint>

#include "address/parser.h"
#include "core/areas.h"
#include "core/log.h"
#include "core/log_texts.h"

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

bool Admits(uint8_t mask, int32_t gateType) {
    return gateType >= 0 && gateType < 8 && (mask & (1u << gateType)) != 0;
}

Verdict RefuseGateType(int ch, const char* expected) {
    ZEL_LOG(kLogEvent, "ZELMR%02d> SingleParse() gate type should be %s", ch, expected);
    return Verdict::kRefused;
}

} // namespace

Verdict CheckSingleGate(const AddressRules& rules, const TagAddress& tag, int32_t gateType) {
    const int ch = rules.channel;
    if (gateType == kGateDigital && tag.width == 32) {
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> SingleParse() no digital gates allowed from long memory area", ch);
        return Verdict::kRefused;
    }
    if (tag.bit != -1)
        return gateType == kGateDigital ? Verdict::kAccepted : RefuseGateType(ch, "DIGITAL");

    const MemoryArea* area = AreaOf(tag.memoryType);
    if (!area) return Verdict::kAccepted;
    for (const GateRule& rule : area->rules)
        if (rule.admits && !Admits(rule.admits, gateType)) return RefuseGateType(ch, rule.expected);
    return Verdict::kAccepted;
}

Verdict CheckBlock(const AddressRules& rules, const TagAddress& tag, int32_t length) {
    const int ch = rules.channel;
    if (tag.bit != -1) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockParse() no spec. digital gates as block!", ch);
        return Verdict::kRefused;
    }
    // An empty or negative length passes here as it always has (hosts may
    // keep such gates configured); the block transactions refuse to send it.
    // 64-bit product: a huge length must not wrap round to a small size.
    const int64_t bits = static_cast<int64_t>(length) * tag.width;
    if (static_cast<double>(bits) / 8.0 > kMaxBlockBytes) {
        ZEL_LOG(kLogEvent, ZEL_TXT_BLOCK_PARSE_TOO_LONG, ch);
        return Verdict::kRefused;
    }

    const bool pairs = tag.width == 32 && !rules.longAddr;
    // Unsigned: doubling a huge length must not overflow.
    const uint32_t registers = static_cast<uint32_t>(length) * (pairs ? 2u : 1u);
    // Back to the numbering of the GAS: 1-based under Modbus.
    const uint32_t start =
        static_cast<uint32_t>(FirstRegister(rules, tag)) + (rules.protocol == 'M' ? 1u : 0u);
    const uint32_t end = start + registers - 1u;
    if (end > BaseMaximum(rules.base)) {
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> BlockAddressParser(): Block length is too long, the start address + "
                "the block length is overlapping the maximum adress that can be reached",
                ch);
        return Verdict::kRefused;
    }
    return Verdict::kAccepted;
}

} // namespace zel
