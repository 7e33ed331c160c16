#include "host/zelhost/gate_values.h"

#include "core/areas.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zelhost {

int32_t GateTypeForAddress(const std::string& gas) {
    if (gas.size() < 3) return -1;
    const zel::MemoryArea* area = zel::AreaOfChar(gas[2]);
    return area ? zel::DefaultGateType(*area) : -1;
}

ValueKind KindOf(const zel::TagAddress& tag, int32_t gateType) {
    if (tag.width == 1) return ValueKind::Bit;
    const zel::MemoryArea* area = zel::AreaOf(tag.memoryType);
    const zel::ValueForm form = area ? area->form : zel::ValueForm::kRegister;
    if (tag.width == 32) {
        if (form == zel::ValueForm::kFloat) return ValueKind::Float;
        return gateType == zel::kGateInt32b ? ValueKind::Signed32 : ValueKind::Unsigned32;
    }
    if (form == zel::ValueForm::kByte) return ValueKind::Byte;
    return (gateType == zel::kGateInt16a || gateType == zel::kGateInt16b) ? ValueKind::Signed16
                                                                          : ValueKind::Unsigned16;
}

const char* KindName(ValueKind kind) {
    switch (kind) {
    case ValueKind::Bit:
        return "bit: 0 or 1";
    case ValueKind::Unsigned16:
        return "unsigned 16-bit: 0..65535";
    case ValueKind::Signed16:
        return "signed 16-bit: -32768..32767";
    case ValueKind::Byte:
        return "byte: 0..255";
    case ValueKind::Float:
        return "32-bit float";
    case ValueKind::Unsigned32:
        return "unsigned 32-bit: 0..4294967295";
    case ValueKind::Signed32:
        return "signed 32-bit: -2147483648..2147483647";
    }
    return "";
}

ValueBuffer::ValueBuffer(const zel::TagAddress& tag, bool block, int32_t count)
    : width_(tag.width), block_(block), count_(block ? count : 1) {
    size_t size = 4;
    if (block_) {
        const size_t n = count_ > 0 ? static_cast<size_t>(count_) : 0;
        size = width_ == 1 ? (n + 7) / 8 : width_ == 32 ? 4 * n : 2 * n;
        if (size < 4) size = 4;
    }
    bytes_.assign(size, 0);
}

// The host buffers are little-endian; values are assembled byte by byte so
// that the layout does not depend on the machine running zelhost.
uint32_t ValueBuffer::Get(int32_t i) const {
    const uint8_t* b = bytes_.data();
    if (!block_) {
        if (width_ == 32) return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return b[2] | b[3] << 8;
    }
    if (width_ == 1) return (b[i / 8] >> (i % 8)) & 1u;
    if (width_ == 32) {
        b += 4 * i;
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    b += 2 * i;
    return b[0] | b[1] << 8;
}

void ValueBuffer::Set(int32_t i, uint32_t raw) {
    uint8_t* b = bytes_.data();
    if (!block_) {
        if (width_ == 32) {
            for (int k = 0; k < 4; ++k)
                b[k] = static_cast<uint8_t>(raw >> (8 * k));
        } else {
            b[2] = static_cast<uint8_t>(raw);
            b[3] = static_cast<uint8_t>(raw >> 8);
        }
        return;
    }
    if (width_ == 1) {
        const uint8_t mask = static_cast<uint8_t>(1u << (i % 8));
        b[i / 8] = static_cast<uint8_t>(raw ? (b[i / 8] | mask) : (b[i / 8] & ~mask));
    } else if (width_ == 32) {
        for (int k = 0; k < 4; ++k)
            b[4 * i + k] = static_cast<uint8_t>(raw >> (8 * k));
    } else {
        b[2 * i] = static_cast<uint8_t>(raw);
        b[2 * i + 1] = static_cast<uint8_t>(raw >> 8);
    }
}

namespace {

// The shortest decimal text that reads back as `f`.
std::string ShortestFloat(float f) {
    char text[48];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
        if (std::strtof(text, nullptr) == f) break;
    }
    return text;
}

float FloatOf(uint32_t raw) {
    float f;
    std::memcpy(&f, &raw, sizeof f);
    return f;
}

} // namespace

std::string FormatPlain(ValueKind kind, uint32_t raw, bool hex) {
    switch (hex ? ValueKind::Unsigned32 : kind) {
    case ValueKind::Signed16:
        return std::to_string(static_cast<int16_t>(raw & 0xFFFFu));
    case ValueKind::Signed32:
        return std::to_string(static_cast<int32_t>(raw));
    case ValueKind::Float:
        return ShortestFloat(FloatOf(raw));
    default:
        return hex ? FormatValue(kind, raw, true) : std::to_string(raw);
    }
}

std::string FormatValue(ValueKind kind, uint32_t raw, bool hex) {
    char text[64];
    const int hexDigits = kind == ValueKind::Bit                                           ? 1
                          : kind == ValueKind::Byte                                        ? 2
                          : (kind == ValueKind::Unsigned16 || kind == ValueKind::Signed16) ? 4
                                                                                           : 8;
    if (hex) {
        std::snprintf(text, sizeof text, "0x%0*X", hexDigits, raw);
        return text;
    }
    switch (kind) {
    case ValueKind::Bit:
    case ValueKind::Byte:
        std::snprintf(text, sizeof text, "%u", raw);
        break;
    case ValueKind::Unsigned16:
    case ValueKind::Signed16: {
        const unsigned u = raw & 0xFFFFu;
        const int s = u >= 0x8000u ? static_cast<int>(u) - 0x10000 : static_cast<int>(u);
        if (u < 0x8000u)
            std::snprintf(text, sizeof text, "%u", u);
        else if (kind == ValueKind::Unsigned16)
            std::snprintf(text, sizeof text, "%u (signed %d)", u, s);
        else
            std::snprintf(text, sizeof text, "%d (unsigned %u)", s, u);
        break;
    }
    case ValueKind::Unsigned32:
    case ValueKind::Signed32: {
        const long long s = raw >= 0x80000000u ? static_cast<long long>(raw) - 0x100000000LL
                                               : static_cast<long long>(raw);
        if (raw < 0x80000000u)
            std::snprintf(text, sizeof text, "%u", raw);
        else if (kind == ValueKind::Unsigned32)
            std::snprintf(text, sizeof text, "%u (signed %lld)", raw, s);
        else
            std::snprintf(text, sizeof text, "%lld (unsigned %u)", s, raw);
        break;
    }
    case ValueKind::Float:
        return ShortestFloat(FloatOf(raw));
    }
    return text;
}

namespace {

// A whole decimal number, or hexadecimal with a 0x prefix, with an optional
// sign; nothing else may follow.
bool ParseInteger(const std::string& text, long long& value) {
    if (text.empty()) return false;
    const char* s = text.c_str();
    const char* digits = (s[0] == '-' || s[0] == '+') ? s + 1 : s;
    const bool isHex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (!(isHex ? std::isxdigit(static_cast<unsigned char>(digits[2]))
                : std::isdigit(static_cast<unsigned char>(digits[0]))))
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(s, &end, isHex ? 16 : 10);
    return errno == 0 && end && *end == '\0';
}

} // namespace

bool ParseValue(ValueKind kind, const std::string& text, uint32_t& raw, std::string& error,
                std::string* note) {
    const std::string doesNotFit =
        "value '" + text + "' does not fit the gate (" + KindName(kind) + ")";
    if (note) note->clear();
    if (kind == ValueKind::Float) {
        errno = 0;
        char* end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        if (text.empty() || !end || *end != '\0' || std::isnan(d)) {
            error = "value '" + text + "' is not a number";
            return false;
        }
        // Halfway between the largest float and the next power of two: from
        // there on a value rounds to infinity.
        const double limit = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
        if (std::isinf(d) || std::fabs(d) >= limit) {
            error = doesNotFit + ": the largest float is " + ShortestFloat(FLT_MAX);
            return false;
        }
        // Below the range of a double strtod reports ERANGE: a value that
        // rounds to 0 all the same.
        const bool underflow = errno == ERANGE && std::fabs(d) < 1.0;
        const float f = static_cast<float>(d);
        std::memcpy(&raw, &f, sizeof raw);
        if (note && f == 0.0f && (d != 0.0 || underflow))
            *note = "value '" + text + "' is smaller than the smallest float (" +
                    ShortestFloat(std::numeric_limits<float>::denorm_min()) +
                    ") and is written as 0";
        else if (note && std::strtod(ShortestFloat(f).c_str(), nullptr) != d)
            *note = "value '" + text + "' is written as " + ShortestFloat(f) +
                    ", the nearest 32-bit float";
        return true;
    }
    long long v = 0;
    if (!ParseInteger(text, v)) {
        error = "value '" + text + "' is not a whole number";
        return false;
    }
    long long lo = 0, hi = 0;
    switch (kind) {
    case ValueKind::Bit:
        hi = 1;
        break;
    case ValueKind::Byte:
        hi = 0xFF;
        break;
    case ValueKind::Unsigned16:
        hi = 0xFFFF;
        break;
    case ValueKind::Signed16:
        lo = -0x8000;
        hi = 0x7FFF;
        break;
    case ValueKind::Unsigned32:
        hi = 0xFFFFFFFFLL;
        break;
    case ValueKind::Signed32:
        lo = -0x80000000LL;
        hi = 0x7FFFFFFF;
        break;
    case ValueKind::Float:
        break;
    }
    if (v < lo || v > hi) {
        error = doesNotFit;
        return false;
    }
    raw = static_cast<uint32_t>(v) & (kind == ValueKind::Signed16 ? 0xFFFFu : 0xFFFFFFFFu);
    return true;
}

} // namespace zelhost
