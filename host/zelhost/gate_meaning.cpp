#include "host/zelhost/gate_meaning.h"

#include <cstdio>

#include "address/parser.h"
#include "core/areas.h"
#include "host/zelhost/log_match.h"

namespace zelhost {
namespace {

// The elements of an area one at a time: "coil", "holding register".
std::string ElementNoun(const zel::MemoryArea& area) {
    if (area.form == zel::ValueForm::kBit)
        return area.code == zel::kMemCoils ? "coil" : "discrete input";
    return area.holding || area.writeSingle != zel::FunctionCode::kNone ? "holding register"
                                                                        : "input register";
}

std::string Range(const std::string& noun, int64_t first, int64_t count) {
    if (count <= 1) return noun + " " + std::to_string(first);
    const char* joint = count == 2 ? " and " : " to ";
    return noun + "s " + std::to_string(first) + joint + std::to_string(first + count - 1);
}

// Bytes a request carries at most: a read reply holds 250 data bytes, a
// write request 246 (the driver's limits, checked by the tests against it).
constexpr int32_t kReadBytes = 250;
constexpr int32_t kWriteBytes = 246;

} // namespace

AddressScheme SchemeFromLog(const std::vector<LogLine>& lines) {
    AddressScheme s;
    // Each summary line sets one field; the last of each kind wins.
    struct SummaryLine {
        const char* format;
        void (*set)(AddressScheme&);
    };
    static constexpr SummaryLine kSummary[] = {
        {ZEL_TXT_PROTOCOL_MODBUS, [](AddressScheme& a) { a.modbus = true; }},
        {ZEL_TXT_PROTOCOL_JBUS, [](AddressScheme& a) { a.modbus = false; }},
        {ZEL_TXT_BASE_DECIMAL, [](AddressScheme& a) { a.base = 'D'; }},
        {ZEL_TXT_BASE_LONG_DECIMAL, [](AddressScheme& a) { a.base = 'L'; }},
        {ZEL_TXT_BASE_HEXADECIMAL, [](AddressScheme& a) { a.base = 'H'; }},
        {ZEL_TXT_LONGADDR_YES, [](AddressScheme& a) { a.longAddr = true; }},
        {ZEL_TXT_LONGADDR_NO, [](AddressScheme& a) { a.longAddr = false; }},
        {ZEL_TXT_PARITY_CHECK_YES, [](AddressScheme& a) { a.parityCheck = true; }},
        {ZEL_TXT_PARITY_CHECK_NO, [](AddressScheme& a) { a.parityCheck = false; }},
        {ZEL_TXT_SWAP_YES, [](AddressScheme& a) { a.swapInt = true; }},
        {ZEL_TXT_SWAP_NO, [](AddressScheme& a) { a.swapInt = false; }},
        {ZEL_TXT_FLOATSWAP_YES, [](AddressScheme& a) { a.swapFloat = true; }},
        {ZEL_TXT_FLOATSWAP_NO, [](AddressScheme& a) { a.swapFloat = false; }},
    };
    for (const LogLine& l : lines)
        for (const SummaryLine& line : kSummary)
            if (MatchLine(line.format, l.text)) {
                line.set(s);
                break;
            }
    return s;
}

int64_t GateNumber(const zel::TagAddress& tag, const AddressScheme& scheme) {
    const zel::AddressRules rules{0, scheme.modbus ? 'M' : 'J', scheme.base, scheme.longAddr,
                                  scheme.parityCheck};
    return static_cast<int64_t>(zel::FirstRegister(rules, tag)) + (scheme.modbus ? 1 : 0);
}

std::string GateMeaning(const zel::TagAddress& tag, int32_t gateType, int32_t count,
                        const AddressScheme& scheme) {
    const zel::MemoryArea* area = zel::AreaOf(tag.memoryType);
    if (!area) return "memory type " + std::to_string(tag.memoryType);
    const int64_t first = GateNumber(tag, scheme);
    const std::string station = " of station " + std::to_string(tag.plc);
    const std::string noun = ElementNoun(*area);
    const int64_t n = count > 0 ? count : 1;
    if (area->width == 32) {
        const bool isFloat = area->form == zel::ValueForm::kFloat;
        const std::string kind = isFloat                        ? "32-bit float"
                                 : gateType == zel::kGateInt32b ? "signed 32-bit value"
                                                                : "unsigned 32-bit value";
        const bool swapped = isFloat ? scheme.swapFloat : scheme.swapInt;
        const std::string what = count > 0 ? std::to_string(n) + " " + kind + (n == 1 ? "" : "s")
                                           : (kind[0] == 'u' ? "an " : "a ") + kind;
        return what + " in " + Range(noun, first, 2 * n) + station +
               (swapped ? ", low word first" : ", high word first");
    }
    if (area->byteSelect) {
        const std::string byte = area->byteShift ? "high byte" : "low byte";
        if (count > 0) return "the " + byte + "s of " + Range(noun, first, n) + station;
        const std::string bit = tag.bit >= 0 ? "bit " + std::to_string(tag.bit) + " of " : "";
        return bit + "the " + byte + " of " + noun + " " + std::to_string(first) + station;
    }
    if (tag.bit >= 0)
        return "bit " + std::to_string(tag.bit) + " of " + noun + " " + std::to_string(first) +
               station;
    return Range(noun, first, count > 0 ? n : 1) + station;
}

std::string ElementGas(const std::string& gas, const zel::TagAddress& tag, int32_t index,
                       const AddressScheme& scheme) {
    if (gas.size() < 3) return gas;
    const zel::MemoryArea* area = zel::AreaOf(tag.memoryType);
    const int per = area ? zel::RegistersPerValue(*area) : 1;
    const int64_t number = GateNumber(tag, scheme) + static_cast<int64_t>(index) * per;
    char digits[16];
    if (scheme.base == 'H')
        std::snprintf(digits, sizeof digits, "%04llX", static_cast<long long>(number));
    else
        std::snprintf(digits, sizeof digits, scheme.base == 'L' ? "%05lld" : "%04lld",
                      static_cast<long long>(number));
    // Station and memory type as the user typed them; a block has no bit.
    return gas.substr(0, 3) + digits;
}

int32_t BlockLimit(int32_t memoryType, bool write) {
    const zel::MemoryArea* area = zel::AreaOf(memoryType);
    if (!area || (write && area->writeBlock == zel::FunctionCode::kNone)) return 0;
    return (write ? kWriteBytes : kReadBytes) * 8 / area->width;
}

std::string BlockLimitText(int32_t memoryType, bool write) {
    const zel::MemoryArea* area = zel::AreaOf(memoryType);
    const int32_t most = BlockLimit(memoryType, write);
    if (!area || most == 0) return "";
    std::string what = area->width == 32 ? std::string("32-bit values") : area->name;
    if (area->byteSelect) what = "bytes";
    return "at most " + std::to_string(most) + " " + what + " in one " + (write ? "write" : "read");
}

std::string BlockLimitsHelp(bool write) {
    const int32_t bits = (write ? kWriteBytes : kReadBytes) * 8;
    return std::to_string(bits) + (write ? " coils, " : " coils or inputs, ") +
           std::to_string(bits / 16) + " 16-bit registers or bytes, " + std::to_string(bits / 32) +
           " 32-bit values";
}

} // namespace zelhost
