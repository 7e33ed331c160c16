// Gate address strings (GAS): checking them and turning them into
// TagAddress values for one value or for a block.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "core/records.h"

namespace zel {

// What a channel's settings say about its gate addresses.
struct AddressRules {
    uint16_t channel; // for the log prefix
    char protocol;    // 'M' Modbus (numbers from 1); anything else J-BUS (from 0)
    char base;        // 'D', 'H' or 'L'
    bool longAddr;    // 32-bit addresses name their first register
    bool parityCheck; // 32-bit gates must start on an odd (Modbus) or even (J-BUS) number
};

inline AddressRules RulesOf(const ChannelState& ch) {
    return AddressRules{ch.channel, ch.protocol, ch.base, (ch.options & kOptLongAddr) != 0,
                        ch.parityCheck != 0};
}

enum class Verdict { kAccepted, kRefused };

// Checks `gas` against the rules and fills `tag`. A refusal writes one log
// line; `tag` may then be partly written.
Verdict Parse(const AddressRules& rules, const char* gas, TagAddress& tag);

// A parsed gate for one value of the host's data type `gateType`.
Verdict CheckSingleGate(const AddressRules& rules, const TagAddress& tag, int32_t gateType);

// A parsed gate as the first of `blockLength` consecutive values.
Verdict CheckBlock(const AddressRules& rules, const TagAddress& tag, int32_t blockLength);

// The mark the parser adds to an odd 32-bit address when the parity rule is
// off: the halved address alone could not tell it from the even one below.
constexpr int32_t kOddMark = 100000;

// The first register on the wire of a parsed tag: undoes the halving of
// 32-bit addresses and the +100000 mark of odd ones (not cut to 16 bits).
// Stateless and without log lines, so that tools compile it in and number
// gates as the driver does.
int32_t FirstRegister(const AddressRules& rules, const TagAddress& tag);

} // namespace zel
