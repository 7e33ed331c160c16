// Finding, reading and summarising a channel's initialization file.
#include "config/initfile.h"

#include "config/init_names.h"
#include "config/initline.h"
#include "core/channel.h"
#include "core/log.h"

namespace zel {

namespace {

// Room for the base name, any 32-bit channel number with its sign, ".INT"
// and the terminator.
constexpr size_t kNameSize = 32;

void LogSummary(const InitSettings& state, int ch) {
    if (state.protocol == 'M')
        ZEL_LOG(kLogEvent, "ZELMR%02d> Protocol = Modbus", ch);
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Protocol = J-Bus", ch);

    if (state.base == 'D')
        ZEL_LOG(kLogEvent, "ZELMR%02d> Base = Decimal", ch);
    else if (state.base == 'L')
        ZEL_LOG(kLogEvent, "ZELMR%02d> Base =Long Decimal", ch);
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Base = Hexadecimal", ch);

    if (state.options & kOptSwap)
        ZEL_LOG(kLogEvent, "ZELMR%02d> Word swap of int 32bit gates = YES", ch);
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Word swap of int 32bit gates = NO", ch);

    if (state.options & kOptFloatSwap)
        ZEL_LOG(kLogEvent, "ZELMR%02d> Word swap of float gates = YES", ch);
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Word swap of float gates = NO", ch);

    if (state.options & kOptLongAddr)
        ZEL_LOG(kLogEvent, "ZELMR%02d> Long word addres mapping = YES", ch);
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Long word addres mapping = NO", ch);

    if (state.parityCheck)
        ZEL_LOG(kLogTrace, "ZELMR%02d> Analog 32 bits tags parity address checking = YES", ch);
    else
        ZEL_LOG(kLogTrace, "ZELMR%02d> Analog 32 bits tags parity address checking = NO", ch);

    if (state.ifgMs)
        ZEL_LOG(kLogEvent, "ZELMR%02d> Inter Frame Gap = %u msec.", ch,
                static_cast<unsigned>(state.ifgMs));
    else
        ZEL_LOG(kLogEvent, "ZELMR%02d> Inter Frame Gap = %u", ch,
                static_cast<unsigned>(state.ifgLoops));

    // Said only when asked for, so that the summary of every other file
    // stays as it was.
    if (state.traceFrames) ZEL_LOG(kLogEvent, "ZELMR%02d> Frame lines = YES", ch);
    // Only a file that asks for it adds a line.
    if (state.demoteAfter != 0)
        ZEL_LOG(kLogEvent,
                "ZELMR%02d> Dead stations demoted after %u transactions without a reply, for %u s",
                ch, static_cast<unsigned>(state.demoteAfter),
                static_cast<unsigned>(state.demoteSeconds));
}

} // namespace

std::FILE* OpenInitFile(const char* baseName, char* name, size_t nameSize, int32_t channel) {
    for (int i = 0; i < kInitFileCandidates; ++i)
        if (InitFileCandidate(i, baseName, channel, name, nameSize))
            if (std::FILE* file = std::fopen(name, "r")) return file;
    return nullptr;
}

void ReadInitFile(int32_t channel, InitSettings& settings) {
    const uint16_t ch = static_cast<uint16_t>(channel);

    settings.ifgLoops = 0;
    settings.ifgMs = 0;
    settings.base = 'D';
    settings.parityCheck = 1;
    settings.options = 0;
    settings.traceFrames = 0;
    settings.lowLatency = 1;
    settings.demoteAfter = 0;
    settings.demoteSeconds = 0;

    char name[kNameSize] = {};
    std::FILE* file = OpenInitFile(kInitFileBaseName, name, sizeof name, channel);
    if (!file) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> ColdStart() no initfile found, defaults used", ch);
    } else {
        ZEL_LOG(kLogEvent, "ZELMR%02d> ColdStart() reading initfile '%s'", ch, name);
        char line[kInitLineSize];
        int lineNumber = 0;
        while (ReadInitLine(file, line, sizeof line)) {
            ++lineNumber;
            ApplyInitLine(settings, ch, line, lineNumber);
        }
        std::fclose(file);
    }
    LogSummary(settings, ch);
}

} // namespace zel
