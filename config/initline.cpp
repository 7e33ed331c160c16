// Matching of one initialization-file line against the known settings.
//
// Every setting but BAUD_RATE is matched with its scanf format on the
// upper-cased line: the key must start in the first column (only
// PARITY_ADDR_CHECKING may be indented), blanks around '=' are optional, and
// whatever follows the converted part is ignored.
#include "config/initline.h"

#include <cctype>
#include <cstring>

#include "core/channel.h"
#include "core/log.h"
#include "serial/net/address.h"

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
void ApplyBaudRate(InitSettings& settings, const char* line) {
    const char* value = std::strchr(line, '=') + 1;
    const size_t length = std::strlen(value);
    for (size_t i = 0; i + 1 < length; ++i) {
        if (!IsValueChar(value[i])) {
            settings.baudRate = kNoBaudRate;
            return;
        }
    }
    unsigned baud = 0;
    if (std::sscanf(value, "%ul", &baud) >= 1) settings.baudRate = baud;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// PORT: the key in any case from the first column, blanks around '='
// optional. Its value (a device path or a device server's address) is taken
// as written, case and all, up to the end of the line without the blanks
// behind it. False when the line is not a PORT line.
bool IsPortLine(const char* line, const char** value, size_t* length) {
    static constexpr char kKey[] = "PORT";
    for (size_t i = 0; i + 1 < sizeof kKey; ++i)
        if (std::toupper(static_cast<unsigned char>(line[i])) != kKey[i]) return false;
    const char* p = line + sizeof kKey - 1;
    while (IsBlank(*p))
        ++p;
    if (*p != '=') return false;
    ++p;
    while (IsBlank(*p))
        ++p;
    const char* end = p + std::strlen(p);
    while (end > p && (IsBlank(end[-1]) || end[-1] == '\n' || end[-1] == '\r'))
        --end;
    *value = p;
    *length = static_cast<size_t>(end - p);
    return true;
}

// An empty value, one that does not fit (a cut path would open another
// device), one whose line did not fit the line buffer, and a network
// address that does not parse are refused, and the host's name stays.
void ApplyPort(InitSettings& settings, uint16_t ch, const char* line, const char* value,
               size_t length) {
    const size_t lineLength = std::strlen(line);
    const bool whole = lineLength + 1 < kInitLineSize || line[lineLength - 1] == '\n';
    char port[kPortAddressSize] = {};
    bool valid = whole && length != 0 && length < sizeof port;
    if (valid) {
        std::memcpy(port, value, length);
        net::Address address;
        valid = !net::IsNetworkAddress(port) || net::ParseAddress(port, &address);
    }
    if (!valid) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal format of Int File:", ch);
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> Check for PORT = in your int file. Assuming the host's port name", ch);
        settings.port[0] = '\0';
        return;
    }
    std::memcpy(settings.port, port, sizeof port);
}

void UpperCase(char* line) {
    for (; *line; ++line)
        if (*line >= 'a' && *line <= 'z') *line = static_cast<char>(*line - 'a' + 'A');
}

// A yes/no setting: its key, what YES and NO do, and what the second line
// of an invalid value says is assumed.
struct YesNoSetting {
    const char* key;
    bool indented; // the key may follow blanks
    void (*apply)(InitSettings&, bool yes);
    const char* assumed;
    bool invalidMeansYes; // what an invalid value falls back to
};

void SetOption(InitSettings& s, uint16_t bit, bool yes) {
    s.options = static_cast<uint16_t>(yes ? (s.options | bit) : (s.options & ~bit));
}

// Tried in this order; the parity check comes after the inter-frame gaps.
constexpr YesNoSetting kYesNoSettings[] = {
    {"SWAP", false, [](InitSettings& s, bool yes) { SetOption(s, kOptSwap, yes); }, "NO swap",
     false},
    {"FLOATSWAP", false, [](InitSettings& s, bool yes) { SetOption(s, kOptFloatSwap, yes); },
     "NO swap", false},
    {"LONGADDR", false, [](InitSettings& s, bool yes) { SetOption(s, kOptLongAddr, yes); },
     "NO switching", false},
    {"RTSCTS", false, [](InitSettings& s, bool yes) { s.rtsControl = yes ? 1 : 0; }, "NO switching",
     false},
};
constexpr YesNoSetting kParitySetting = {
    "PARITY_ADDR_CHECKING", true, [](InitSettings& s, bool yes) { s.parityCheck = yes ? 1 : 0; },
    "Parity Checking enabled", true};
// Tried after the settings above: a reader that does not know the key reports the line as
// illegal and goes on, so a file that asks for frame lines stays readable.
constexpr YesNoSetting kTraceSetting = {
    "TRACE", false, [](InitSettings& s, bool yes) { s.traceFrames = yes ? 1 : 0; },
    "NO frame lines", false};
// Tried after every setting above, none of which begins like it.
constexpr YesNoSetting kLowLatencySetting = {
    "LOWLATENCY", false, [](InitSettings& s, bool yes) { s.lowLatency = yes ? 1 : 0; },
    "low latency mode", true};

// Matches "<key> = %1c%1c%1c" from the start of the line (after blanks for
// an indented key); true when the line is this setting. An invalid value
// logs two lines and applies the setting's fallback.
bool ApplyYesNo(const YesNoSetting& setting, InitSettings& settings, uint16_t ch,
                const char* line) {
    if (setting.indented)
        while (std::isspace(static_cast<unsigned char>(*line)))
            ++line;
    const size_t keyLength = std::strlen(setting.key);
    if (std::strncmp(line, setting.key, keyLength) != 0) return false;
    char c[3] = {};
    const int n = std::sscanf(line + keyLength, " = %1c%1c%1c", &c[0], &c[1], &c[2]);
    if (!YesNoMatched(n)) return false;
    const YesNo v = ReadYesNo(n, c);
    if (v == YesNo::kInvalid) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal format of Int File:", ch);
        ZEL_LOG(kLogEvent, "ZELMR%02d> Check for %s = in your int file. Assuming %s", ch,
                setting.key, setting.assumed);
    }
    setting.apply(settings, v == YesNo::kYes || (v == YesNo::kInvalid && setting.invalidMeansYes));
    return true;
}

// DEMOTE = N, S from the start of the line: true when the line is this
// setting. NO turns it off; numbers out of range or missing log two lines
// and turn it off too.
bool ApplyDemote(InitSettings& settings, uint16_t ch, const char* line) {
    static constexpr char kKey[] = "DEMOTE";
    if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) return false;
    const char* rest = line + sizeof kKey - 1;
    while (*rest == ' ' || *rest == '\t')
        ++rest;
    if (*rest != '=') return false;
    settings.demoteAfter = 0;
    settings.demoteSeconds = 0;
    char no[3] = {};
    if (std::sscanf(rest, "= %2c", no) == 1 && no[0] == 'N' && no[1] == 'O') return true;
    unsigned after = 0, seconds = 0;
    if (std::sscanf(rest, "= %u , %u", &after, &seconds) == 2 && after >= 1 &&
        after <= kMaxDemoteAfter && seconds >= 1 && seconds <= kMaxDemoteSeconds) {
        settings.demoteAfter = static_cast<uint8_t>(after);
        settings.demoteSeconds = static_cast<uint16_t>(seconds);
        return true;
    }
    ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal format of Int File:", ch);
    ZEL_LOG(kLogEvent,
            "ZELMR%02d> Check for DEMOTE = in your int file (1 to %u transactions, 1 to %u s). "
            "Assuming NO demotion",
            ch, kMaxDemoteAfter, kMaxDemoteSeconds);
    return true;
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

void ApplyInitLine(InitSettings& state, uint16_t ch, char* line, int lineNumber) {
    if (std::strstr(line, "BAUD_RATE=")) {
        ApplyBaudRate(state, line);
        return;
    }

    const char* portValue = nullptr;
    size_t portLength = 0;
    if (IsPortLine(line, &portValue, &portLength)) {
        ApplyPort(state, ch, line, portValue, portLength);
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

    for (const YesNoSetting& setting : kYesNoSettings)
        if (ApplyYesNo(setting, state, ch, line)) return;

    unsigned number = 0;
    if (std::sscanf(line, "IFG_MS = %u", &number) == 1) {
        state.ifgMs = static_cast<uint16_t>(number & 0xFFFFu);
        return;
    }
    if (std::sscanf(line, "IFG = %u", &number) == 1) {
        state.ifgLoops = static_cast<uint16_t>(number & 0xFFFFu);
        return;
    }

    if (ApplyYesNo(kParitySetting, state, ch, line)) return;
    if (ApplyYesNo(kTraceSetting, state, ch, line)) return;
    if (ApplyYesNo(kLowLatencySetting, state, ch, line)) return;
    if (ApplyDemote(state, ch, line)) return;

    ZEL_LOG(kLogEvent, "ZELMR%02d> Illegal line %d in Int File", ch, lineNumber);
}

} // namespace zel
