// Parse: the common check of a gate address string (GAS) and its conversion
// into a TagAddress (the way back, FirstRegister, is in first_register.cpp).
//
// The GAS has a fixed layout (station, memory type, element, bit), so every
// number is converted by hand from its fixed positions of a bounded working
// copy; nothing ever reads past that copy, whatever the host passed.
#include "address/parser.h"

#include <cstring>

#include "core/areas.h"
#include "core/log.h"

namespace zel {

namespace {

constexpr int kMaxGasLength = 9; // base 'L'

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBitChars[] = "0123456789ABCDEF ";
constexpr int kMemoryPosition = 2;

bool InSet(char c, const char* set) {
    return c != '\0' && std::strchr(set, c) != nullptr;
}

// Characters allowed at each position of a GAS, base 'L' using all nine; the
// memory-type position takes the characters of the memory areas.
bool Allowed(int position, char c) {
    if (position == kMemoryPosition) return c != '\0' && AreaOfChar(c) != nullptr;
    return InSet(c, position < 7 ? kHexDigits : kBitChars);
}

bool IsDecimal(char c) {
    return c >= '0' && c <= '9';
}

int DigitValue(char c, int radix) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < radix ? v : -1;
}

// Reads at most `width` digits of `radix` from `text` (stopping at the first
// other character, the terminator included) like a "%0<width>d" or "%0<width>x"
// conversion over characters already checked to hold no blanks or signs.
// Returns false when not a single digit was read.
bool ConvertField(const char* text, int width, int radix, int32_t* value) {
    int32_t result = 0;
    int digits = 0;
    for (; digits < width; ++digits) {
        const int d = DigitValue(text[digits], radix);
        if (d < 0) break;
        result = result * radix + d;
    }
    if (digits == 0) return false;
    *value = result;
    return true;
}

// Length of a NUL-terminated text, counted no further than `limit`.
size_t BoundedLength(const char* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != '\0')
        ++n;
    return n;
}

} // namespace

Verdict Parse(const AddressRules& rules, const char* text, TagAddress& tag) {
    const int ch = rules.channel;
    const bool modbus = rules.protocol == 'M';
    const char base = rules.base;
    const bool decimalBase = base == 'D' || base == 'L';
    const int length = base == 'L' ? 9 : 8;
    const int last = length - 1;

    // A null text from the host is treated as an empty GAS.
    const char* gas = text ? text : "";
    const size_t given = BoundedLength(gas, kMaxGasLength + 1);
    if (given != static_cast<size_t>(length) && given != static_cast<size_t>(length - 1)) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> Parse() Wrong size of gas, '%s'", ch, gas);
        return Verdict::kRefused;
    }

    // Working copy, padded with a space when the bit digit was left off.
    char copy[kMaxGasLength + 1] = {};
    std::memcpy(copy, gas, given);
    if (given < static_cast<size_t>(length)) copy[given] = ' ';

    for (int i = 0; i < length; ++i) {
        if (!Allowed(i, copy[i])) {
            ZEL_LOG(kLogTrace, "ZELMR%02d> Parse() illegal char #%u, %c in '%s'", ch,
                    static_cast<unsigned>(i), copy[i], copy);
            return Verdict::kRefused;
        }
    }

    if (base == 'L' && copy[7] == ' ' && copy[8] != ' ') {
        ZEL_LOG(kLogEvent, "ZELMR%02d> Parse() illegal GAS:'%s'", ch, copy);
        return Verdict::kRefused;
    }

    // Coils and inputs take no bit number.
    const MemoryArea& area = *AreaOfChar(copy[kMemoryPosition]);
    if (!area.takesBit && copy[last] != ' ') {
        ZEL_LOG(kLogEvent, "ZELMR%02d> Parse() illegal GAS:'%s'", ch, copy);
        return Verdict::kRefused;
    }

    if (decimalBase) {
        for (int i = 0; i < last; ++i) {
            // The memory-type character may be a letter.
            if (!IsDecimal(copy[i]) && i != kMemoryPosition) {
                ZEL_LOG(kLogTrace, "ZELMR%02d> Parse() illegal GAS:'%s' for decimal base ", ch,
                        copy);
                return Verdict::kRefused;
            }
        }
    }

    const int radix = base == 'H' ? 16 : 10;
    int32_t plc = 0;
    if (!ConvertField(copy, 2, radix, &plc) || plc <= 0) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Parse() illegal PLC address, '%s'", ch, copy);
        return Verdict::kRefused;
    }
    tag.plc = plc;

    int32_t element = 0;
    const int elementWidth = base == 'L' ? 5 : 4;
    if (!ConvertField(copy + 3, elementWidth, radix, &element) || element < 0) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Parse() illegal address, '%s'", ch, copy);
        return Verdict::kRefused;
    }
    if (modbus && element == 0) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> Parse() illegal addr. 0 for Modbus, '%s'", ch, copy);
        return Verdict::kRefused;
    }
    // Modbus counts elements from 1, J-BUS from 0; the tag holds the
    // zero-based number.
    if (modbus) --element;
    tag.address = element;

    tag.memoryType = area.code;

    tag.bit = -1;
    int32_t bit = -1;
    if (copy[last] != ' ') {
        if (!ConvertField(copy + last, 1, 16, &bit) || (area.byteSelect && bit > 7)) {
            ZEL_LOG(kLogTrace, "ZELMR%02d> Parse() illegal bitnumber in '%s'", ch, copy);
            return Verdict::kRefused;
        }
        tag.bit = bit;
    }

    tag.width = 16;
    if (area.width == 32) {
        tag.width = 32;
        if (rules.longAddr) return Verdict::kAccepted;
        // A 32-bit value occupies registers r and r + 1: the tag keeps r / 2,
        // or, when odd starts are allowed, (r - 1) / 2 marked by +100000.
        const int32_t r = tag.address;
        if (r % 2 == 0) {
            tag.address = r / 2;
        } else if (rules.parityCheck) {
            if (modbus)
                ZEL_LOG(kLogEvent,
                        "ZELMR%02d> Parse() 32 bit gates must have ODD address for MODBUS", ch);
            else
                ZEL_LOG(kLogEvent,
                        "ZELMR%02d> Parse() 32 bit gates must have EVEN address for J-BUS", ch);
            return Verdict::kRefused;
        } else {
            tag.address = (r - 1) / 2 + kOddMark;
        }
    } else if (area.width == 1 || bit != -1) {
        tag.width = 1;
    }
    return Verdict::kAccepted;
}

} // namespace zel
