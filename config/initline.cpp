// Matching of one initialization-file line against the known settings.
//
// Every setting but BAUD_RATE is matched with its scanf format on the
// upper-cased line: the key must start in the first column (only
// PARITY_ADDR_CHECKING may be indented), blanks around '=' are optional, and
// whatever follows the converted part is ignored.
#include "config/initline.h"

#include <cstring>

#include "driver/hostlib.h"

namespace zel {

namespace {

enum class YesNo { kYes, kNo, kInvalid };

// "YES" needs all three characters; "NO" only the first two.
YesNo ReadYesNo(int converted, const char (&c)[3]) {
    if (converted == 3 && c[0] == 'Y' && c[1] == 'E' && c[2] == 'S') return YesNo::kYes;
    if (c[0] == 'N' && c[1] == 'O') return YesNo::kNo;
    return YesNo::kInvalid;
}

bool YesNoMatched(int converted) {
    return converted == 2 || converted == 3;
}

bool IsValueChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// BAUD_RATE: the value runs from after the line's first '=' to the end of
// what was read. Its characters but the last (the line feed) must be digits
// or capital hexadecimal letters, else the override is dropped (999); the
// number read is its leading decimal digits, none leaving the value alone.
void ApplyBaudRate(const char* line) {
    const char* value = std::strchr(line, '=') + 1;
    const size_t length = std::strlen(value);
    for (size_t i = 0; i + 1 < length; ++i) {
        if (!IsValueChar(value[i])) {
            baudOverride = kNoBaudOverride;
            return;
        }
    }
    unsigned baud = 0;
    if (std::sscanf(value, "%ul", &baud) >= 1) baudOverride = baud;
}

void UpperCase(char* line) {
    for (; *line; ++line)
        if (*line >= 'a' && *line <= 'z') *line = static_cast<char>(*line - 'a' + 'A');
}

void LogIllegalFormat(int ch, const char* check) {
    ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal format of Int File:", ch);
    ZEL_LOG(kLogEvent, check, ch);
}

// The four yes/no settings that keep their flag in `options` or a field of
// their own; true when the line was one of them.
bool ApplyYesNoSetting(ChannelState& state, const char* line) {
    const int ch = state.channel;
    char c[3] = {};
    int n = std::sscanf(line, "SWAP = %1c%1c%1c", &c[0], &c[1], &c[2]);
    if (YesNoMatched(n)) {
        const YesNo v = ReadYesNo(n, c);
        if (v == YesNo::kYes) {
            state.options |= kOptSwap;
        } else {
            state.options &= static_cast<uint16_t>(~kOptSwap);
            if (v == YesNo::kInvalid)
                LogIllegalFormat(ch,
                                 "ZELMR%02d> Check for SWAP = in your int file. Assuming NO swap");
        }
        return true;
    }
    n = std::sscanf(line, "FLOATSWAP = %1c%1c%1c", &c[0], &c[1], &c[2]);
    if (YesNoMatched(n)) {
        const YesNo v = ReadYesNo(n, c);
        if (v == YesNo::kYes) {
            state.options |= kOptFloatSwap;
        } else {
            state.options &= static_cast<uint16_t>(~kOptFloatSwap);
            if (v == YesNo::kInvalid)
                LogIllegalFormat(
                    ch, "ZELMR%02d> Check for FLOATSWAP = in your int file. Assuming NO swap");
        }
        return true;
    }
    n = std::sscanf(line, "LONGADDR = %1c%1c%1c", &c[0], &c[1], &c[2]);
    if (YesNoMatched(n)) {
        const YesNo v = ReadYesNo(n, c);
        if (v == YesNo::kYes) {
            state.options |= kOptLongAddr;
        } else {
            state.options &= static_cast<uint16_t>(~kOptLongAddr);
            if (v == YesNo::kInvalid)
                LogIllegalFormat(
                    ch, "ZELMR%02d> Check for LONGADDR = in your int file. Assuming NO switching");
        }
        return true;
    }
    n = std::sscanf(line, "RTSCTS = %1c%1c%1c", &c[0], &c[1], &c[2]);
    if (YesNoMatched(n)) {
        const YesNo v = ReadYesNo(n, c);
        state.rtsControl = v == YesNo::kYes ? 1 : 0;
        if (v == YesNo::kInvalid)
            LogIllegalFormat(
                ch, "ZELMR%02d> Check for RTSCTS = in your int file. Assuming NO switching");
        return true;
    }
    return false;
}

} // namespace

bool ReadInitLine(std::FILE* file, char* buffer, size_t size) {
    size_t n = 0;
    while (n + 1 < size) {
        int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, file);
        }
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    if (std::ferror(file)) return false;
    return n > 0;
}

void ApplyInitLine(ChannelState& state, char* line, int lineNumber) {
    const int ch = state.channel;

    if (std::strstr(line, "BAUD_RATE=")) {
        ApplyBaudRate(line);
        return;
    }

    UpperCase(line);

    int slave = 0;
    if (std::sscanf(line, "SLAVE = %2d", &slave) == 1) {
        state.slaveOverride = slave;
        return;
    }

    char protocol = 0;
    char base = 0;
    if (std::sscanf(line, "BUS = %1c , %1c", &protocol, &base) == 2) {
        if ((protocol == 'M' || protocol == 'J') && (base == 'D' || base == 'H' || base == 'L')) {
            state.protocol = protocol;
            state.base = base;
        } else {
            ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal format of Int File! - ", ch);
            ZEL_LOG(kLogEvent, "ZELMR%02d> Default values used: Protocol=Modbus Base=Decimal", ch);
            state.protocol = 'M';
            state.base = 'D';
        }
        return;
    }

    if (ApplyYesNoSetting(state, line)) return;

    unsigned number = 0;
    if (std::sscanf(line, "IFG_MS = %u", &number) == 1) {
        state.ifgMs = static_cast<uint16_t>(number & 0xFFFFu);
        return;
    }
    if (std::sscanf(line, "IFG = %u", &number) == 1) {
        state.ifgLoops = static_cast<uint16_t>(number & 0xFFFFu);
        return;
    }

    char c[3] = {};
    const int n = std::sscanf(line, " PARITY_ADDR_CHECKING = %1c%1c%1c", &c[0], &c[1], &c[2]);
    if (YesNoMatched(n)) {
        const YesNo v = ReadYesNo(n, c);
        state.parityCheck = v == YesNo::kNo ? 0 : 1;
        if (v == YesNo::kInvalid)
            LogIllegalFormat(ch, "ZELMR%02d> Check for PARITY_ADDR_CHECKING = in your int file. "
                                 "Assuming Parity Checking enabled");
        return;
    }

    ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal line %d in Int File", ch, lineNumber);
}

} // namespace zel
