#include "browse/browse_logic.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace zel {

const char kBrowseMissingValue[] = "missing value!";

namespace {

bool AllDigits(const char* text, size_t length, bool hex) {
    for (size_t i = 0; i < length; ++i) {
        const int c = static_cast<unsigned char>(text[i]);
        if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
    }
    return true;
}

// Exactly `length` digits of the base's kind.
bool IsNumber(const char* text, size_t length, bool hex) {
    return std::strlen(text) == length && AllDigits(text, length, hex);
}

bool Empty(const char* text) {
    return text == nullptr || text[0] == '\0';
}

// Copies at most `count` characters of `from`, stopping at its end; returns
// the number copied.
size_t CopyPiece(char* to, const char* from, size_t count) {
    size_t n = 0;
    while (n < count && from[n] != '\0') {
        to[n] = from[n];
        ++n;
    }
    return n;
}

} // namespace

const char* CheckBrowseFields(char base, const char* plc, const char* memoryType,
                              const char* address, const char* bit) {
    if (Empty(plc) || Empty(memoryType) || Empty(address) || Empty(bit)) return kBrowseMissingValue;
    switch (base) {
    case 'H':
        if (!IsNumber(address, 4, true)) return "Wrong address! (4 hexadecimal digits)";
        if (!IsNumber(plc, 2, true)) return "Wrong PLC number! (2 hexadecimal digits)";
        return nullptr;
    case 'L':
        if (!IsNumber(address, 5, false)) return "Wrong address! (5 decimal digits)";
        break;
    default:
        if (!IsNumber(address, 4, false)) return "Wrong address! (4 decimal digits)";
        break;
    }
    if (!IsNumber(plc, 2, false)) return "Wrong PLC number! (2 decimal digits)";
    return nullptr;
}

void StepPlcNumber(char base, const char* text, bool lineDown, char* out, size_t outSize) {
    const bool hex = base == 'H';
    const int most = hex ? 255 : 99;
    size_t length = 0;
    while (text && length < 2 && text[length] != '\0')
        ++length;
    int value = 1;
    if (length >= 1 && AllDigits(text, length, hex)) {
        char digits[3] = {};
        std::memcpy(digits, text, length);
        unsigned read = 1;
        if (hex) {
            std::sscanf(digits, "%X", &read);
            value = static_cast<int>(read);
        } else {
            std::sscanf(digits, "%d", &value);
        }
    }
    if (lineDown) {
        value = value - 1 < 1 ? 1 : value - 1;
    } else {
        value = value + 1 > most ? most : value + 1;
    }
    // value is 1..255 here.
    if (hex)
        std::snprintf(out, outSize, "%02X", static_cast<unsigned>(value));
    else
        std::snprintf(out, outSize, "%02d", value);
}

void ComposeGas(char base, const char* plc, const char* memoryType, const char* address,
                const char* bit, char* output) {
    size_t at = CopyPiece(output, plc, 2);
    at += CopyPiece(output + at, memoryType, 1);
    at += CopyPiece(output + at, address, base == 'L' ? 5 : 4);
    if (bit[0] != 'N') at += CopyPiece(output + at, bit, 1);
    output[at] = '\0';
}

} // namespace zel
