#include "host/zelhost/frames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/areas.h"
#include "core/log_texts.h"
#include "host/zelhost/log_match.h"
#include "modbus/crc16.h"

namespace zelhost {
namespace {

using zel::FunctionCode;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Bytes written as two hex digits each, separated by blanks; nothing else.
bool ParseHex(const char* text, Bytes& out) {
    out.clear();
    const char* p = text;
    for (;;) {
        while (*p == ' ')
            ++p;
        if (*p == '\0') return true;
        const int hi = HexDigit(p[0]);
        const int lo = hi < 0 ? -1 : HexDigit(p[1]);
        if (lo < 0 || (p[2] != ' ' && p[2] != '\0')) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        p += 2;
    }
}

// The milliseconds of a line's "%u.%03u ms".
double Ms(const LogField& whole, const LogField& thousandths) {
    return std::strtod((whole.text + "." + thousandths.text).c_str(), nullptr);
}

unsigned Word(const Bytes& b, size_t at) {
    return static_cast<unsigned>(b[at] << 8 | b[at + 1]);
}

// How many values a frame description lists before it says how many more.
constexpr int kShownRegisters = 10;
constexpr int kShownBits = 16;

// What a read function reaches, singular and plural.
struct AreaWords {
    const char* one;
    const char* many;
};

AreaWords WordsOf(uint8_t function) {
    switch (static_cast<FunctionCode>(function)) {
    case FunctionCode::kReadCoils:
    case FunctionCode::kWriteSingleCoil:
    case FunctionCode::kWriteMultipleCoils:
        return {"coil", "coils"};
    case FunctionCode::kReadDiscreteInputs:
        return {"discrete input", "discrete inputs"};
    case FunctionCode::kReadInputRegisters:
        return {"input register", "input registers"};
    default:
        return {"holding register", "holding registers"};
    }
}

// "holding register 9" or "holding registers 0..9".
std::string Range(uint8_t function, unsigned first, unsigned quantity) {
    const AreaWords w = WordsOf(function);
    if (quantity == 1) return std::string(w.one) + " " + std::to_string(first);
    if (quantity == 0) return std::string("0 ") + w.many + " at " + std::to_string(first);
    return std::string(w.many) + " " + std::to_string(first) + ".." +
           std::to_string(first + quantity - 1);
}

// Registers from data[at], `count` of them as far as the bytes reach.
std::string RegisterList(const Bytes& b, size_t at, int count) {
    std::string text;
    int shown = 0;
    for (; shown < count && shown < kShownRegisters && at + 2 * shown + 1 < b.size(); ++shown)
        text += (shown ? " " : "") + std::to_string(Word(b, at + 2 * shown));
    if (shown < count) text += " ... (" + std::to_string(count - shown) + " more)";
    return text;
}

// Bits from data[at], least significant bit of each byte first.
std::string BitList(const Bytes& b, size_t at, int count) {
    std::string text;
    int shown = 0;
    for (; shown < count && shown < kShownBits && at + shown / 8 < b.size(); ++shown) {
        if (shown) text += ' ';
        text += ((b[at + shown / 8] >> (shown % 8)) & 1) ? '1' : '0';
    }
    if (shown < count) text += " ... (" + std::to_string(count - shown) + " more)";
    return text;
}

bool Is(uint8_t f, FunctionCode code) {
    return f == zel::Byte(code);
}

bool IsRead(uint8_t f) {
    return Is(f, FunctionCode::kReadCoils) || Is(f, FunctionCode::kReadDiscreteInputs) ||
           Is(f, FunctionCode::kReadHoldingRegisters) || Is(f, FunctionCode::kReadInputRegisters);
}

bool IsBitFunction(uint8_t f) {
    return Is(f, FunctionCode::kReadCoils) || Is(f, FunctionCode::kReadDiscreteInputs) ||
           Is(f, FunctionCode::kWriteSingleCoil) || Is(f, FunctionCode::kWriteMultipleCoils);
}

bool IsSingleWrite(uint8_t f) {
    return Is(f, FunctionCode::kWriteSingleCoil) || Is(f, FunctionCode::kWriteSingleRegister);
}

bool IsBlockWrite(uint8_t f) {
    return Is(f, FunctionCode::kWriteMultipleCoils) || Is(f, FunctionCode::kWriteMultipleRegisters);
}

std::string Hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v & 0xFFFFu);
    return text;
}

// The verdict on the length and CRC of a frame of `expected` bytes (0:
// unknown, the whole reception is taken as the frame).
std::string LengthAndCrc(const Bytes& b, size_t expected, bool& complete, bool& crcOk) {
    complete = false;
    crcOk = false;
    if (expected == 0) expected = b.size();
    if (b.size() < expected || expected < 4)
        return "incomplete: " + std::to_string(b.size()) + " of " +
               (expected < 4 ? std::string("at least 4") : std::to_string(expected)) + " bytes";
    complete = true;
    const unsigned carried = b[expected - 2] | b[expected - 1] << 8;
    const unsigned computed = zel::Crc16(b.data(), static_cast<int32_t>(expected - 2));
    crcOk = carried == computed;
    // Both in the order they go on the wire, low byte first.
    const Bytes wire = {static_cast<uint8_t>(computed), static_cast<uint8_t>(computed >> 8)};
    std::string text = crcOk ? "CRC ok"
                             : "CRC wrong (the frame has " + HexBytes(b, expected - 2, 2) +
                                   ", its bytes give " + HexBytes(wire) + ")";
    if (b.size() > expected)
        text += ", " + std::to_string(b.size() - expected) + " more byte(s) after the frame";
    return text;
}

void Join(std::string& text, const std::string& part) {
    if (part.empty()) return;
    text += text.empty() ? part : ", " + part;
}

// The verdict on a frame of `expected` bytes (0: unknown) and what else is
// wrong with it; good when nothing is.
void Judge(FrameMeaning& m, const Bytes& b, size_t expected, const std::string& problems) {
    bool crcOk = false;
    m.verdict = LengthAndCrc(b, expected, m.complete, crcOk);
    Join(m.verdict, problems);
    m.good = m.complete && crcOk && problems.empty() && (expected == 0 || b.size() == expected);
}

} // namespace

bool ParseFrameLine(const std::string& line, FrameLine& frame) {
    frame = FrameLine{};
    LogFields f;
    if (MatchLine(ZEL_TXT_SEND_FRAME, line, &f)) {
        frame.event = FrameEvent::kSent;
        return ParseHex(f[1].text.c_str(), frame.bytes);
    }
    if (MatchLine(ZEL_TXT_RECEIVE_FRAME, line, &f)) {
        frame.event = FrameEvent::kReceived;
        frame.ms = Ms(f[1], f[2]);
        return ParseHex(f[3].text.c_str(), frame.bytes);
    }
    // One line per flush: how many bytes, when, and with frame lines on, which.
    if (MatchLine(ZEL_TXT_DRAIN_BYTES, line, &f)) {
        frame.event = FrameEvent::kDiscarded;
        frame.ms = Ms(f[2], f[3]);
        return ParseHex(f[4].text.c_str(), frame.bytes);
    }
    if (MatchLine(ZEL_TXT_LATE_BYTES, line)) {
        frame.event = FrameEvent::kLateNote;
        return true;
    }
    return false;
}

std::string HexBytes(const Bytes& bytes, size_t from, size_t count) {
    std::string text;
    char hex[4];
    for (size_t i = from; i < bytes.size() && i - from < count; ++i) {
        std::snprintf(hex, sizeof hex, i == from ? "%02X" : " %02X", bytes[i]);
        text += hex;
    }
    return text;
}

const char* ExceptionName(int code) {
    return zel::ExceptionOf(code).standardName;
}

FrameMeaning DescribeRequest(const Bytes& r) {
    FrameMeaning m;
    if (r.empty()) {
        m.what = "nothing";
        m.verdict = "empty request";
        return m;
    }
    m.station = r[0];
    size_t expected = 0;
    const uint8_t f = r.size() > 1 ? r[1] : 0;
    if (r.size() < 6) {
        m.what = r.size() > 1 ? "function " + std::to_string(f) : "a station byte";
    } else if (IsRead(f)) {
        expected = 8;
        m.what = "read " + Range(f, Word(r, 2), Word(r, 4));
    } else if (Is(f, FunctionCode::kWriteSingleCoil)) {
        expected = 8;
        const unsigned v = Word(r, 4);
        m.what = "write " + Range(f, Word(r, 2), 1) + " = " +
                 (v == 0xFF00 ? "ON"
                  : v == 0    ? "OFF"
                              : "invalid value 0x" + Hex4(v));
    } else if (Is(f, FunctionCode::kWriteSingleRegister)) {
        expected = 8;
        m.what = "write " + Range(f, Word(r, 2), 1) + " = " + std::to_string(Word(r, 4));
    } else if (IsBlockWrite(f) && r.size() >= 7) {
        const int quantity = static_cast<int>(Word(r, 4));
        expected = 9 + static_cast<size_t>(r[6]);
        m.what = "write " + Range(f, Word(r, 2), static_cast<unsigned>(quantity)) + ": " +
                 (IsBitFunction(f) ? BitList(r, 7, quantity) : RegisterList(r, 7, quantity));
    } else {
        m.what = "function " + std::to_string(f);
    }
    Judge(m, r, expected, "");
    return m;
}

FrameMeaning DescribeReply(const Bytes& request, const Bytes& b) {
    FrameMeaning m;
    if (b.empty()) {
        m.what = "nothing";
        m.verdict = "no bytes";
        return m;
    }
    m.station = b[0];
    const bool known = request.size() >= 6;
    const uint8_t asked = known ? request[1] : 0;
    std::string problems;
    if (known && b[0] != request[0])
        Join(problems, "from station " + std::to_string(b[0]) + ", the request went to " +
                           std::to_string(request[0]));
    if (b.size() < 2) {
        m.what = "a station byte";
        m.verdict = "incomplete: 1 byte";
        Join(m.verdict, problems);
        return m;
    }
    const uint8_t f = b[1];
    size_t expected = 0;
    if (f & zel::kExceptionFlag) {
        m.exception = true;
        expected = 5;
        const uint8_t base = static_cast<uint8_t>(f & ~zel::kExceptionFlag);
        if (b.size() >= 3) {
            m.exceptionCode = b[2];
            const std::string name = ExceptionName(b[2]);
            m.what = "exception " + std::to_string(b[2]) + (name.empty() ? "" : " " + name);
        } else {
            m.what = "exception";
        }
        if (known && base != asked)
            Join(problems, "to function " + std::to_string(base) + ", the request was function " +
                               std::to_string(asked));
    } else if (known && f != asked) {
        m.what = "function " + std::to_string(f);
        Join(problems, "the request was function " + std::to_string(asked));
    } else if (IsRead(f)) {
        if (b.size() >= 3) {
            const int count = b[2];
            expected = 5 + static_cast<size_t>(count);
            const int quantity = known ? static_cast<int>(Word(request, 4)) : -1;
            if (IsBitFunction(f)) {
                const int bits =
                    quantity >= 0 && (quantity + 7) / 8 == count ? quantity : 8 * count;
                m.what = "reply " + std::to_string(bits) + " " +
                         (bits == 1 ? WordsOf(f).one : WordsOf(f).many) + ": " +
                         BitList(b, 3, bits);
            } else {
                const int regs = count / 2;
                m.what = "reply " + std::to_string(regs) +
                         (regs == 1 ? " register" : " registers") +
                         (regs ? ": " + RegisterList(b, 3, regs) : std::string());
            }
            const int needed = quantity < 0       ? -1
                               : IsBitFunction(f) ? (quantity + 7) / 8
                                                  : 2 * quantity;
            if (needed >= 0 && count != needed)
                Join(problems, std::to_string(count) + " data bytes, the request asked for " +
                                   std::to_string(needed));
        } else {
            m.what = "reply to function " + std::to_string(f);
        }
    } else if (IsSingleWrite(f) || IsBlockWrite(f)) {
        expected = 8;
        if (b.size() >= 6) {
            if (IsSingleWrite(f)) {
                const Bytes echo(b.begin(), b.begin() + 6);
                m.what = "echo: " + DescribeRequest(echo).what;
            } else {
                m.what = "echo: wrote " + Range(f, Word(b, 2), Word(b, 4));
            }
            if (known && !std::equal(b.begin() + 2, b.begin() + 6, request.begin() + 2))
                Join(problems, "the echo differs from the request");
        } else {
            m.what = "echo of function " + std::to_string(f);
        }
    } else {
        m.what = "function " + std::to_string(f);
    }
    Judge(m, b, expected, problems);
    return m;
}

} // namespace zelhost
