// Finding, reading and summarising a channel's initialization file.
#include "config/initfile.h"

#include "config/init_names.h"
#include "config/initline.h"
#include "core/channel.h"
#include "core/log.h"
#include "core/log_texts.h"

namespace zel {

namespace {

// Room for the base name, any 32-bit channel number with its sign, ".INT"
// and the terminator.
constexpr size_t kNameSize = 32;

void LogSummary(const InitSettings& state, int ch) {
    if (state.protocol == 'M')
        ZEL_LOG(kLogEvent, ZEL_TXT_PROTOCOL_MODBUS, ch);
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_PROTOCOL_JBUS, ch);

    if (state.base == 'D')
        ZEL_LOG(kLogEvent, ZEL_TXT_BASE_DECIMAL, ch);
    else if (state.base == 'L')
        ZEL_LOG(kLogEvent, ZEL_TXT_BASE_LONG_DECIMAL, ch);
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_BASE_HEXADECIMAL, ch);

    if (state.options & kOptSwap)
        ZEL_LOG(kLogEvent, ZEL_TXT_SWAP_YES, ch);
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_SWAP_NO, ch);

    if (state.options & kOptFloatSwap)
        ZEL_LOG(kLogEvent, ZEL_TXT_FLOATSWAP_YES, ch);
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_FLOATSWAP_NO, ch);

    if (state.options & kOptLongAddr)
        ZEL_LOG(kLogEvent, ZEL_TXT_LONGADDR_YES, ch);
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_LONGADDR_NO, ch);

    if (state.parityCheck)
        ZEL_LOG(kLogTrace, ZEL_TXT_PARITY_CHECK_YES, ch);
    else
        ZEL_LOG(kLogTrace, ZEL_TXT_PARITY_CHECK_NO, ch);

    if (state.ifgMs)
        ZEL_LOG(kLogEvent, ZEL_TXT_IFG_MS, ch, static_cast<unsigned>(state.ifgMs));
    else
        ZEL_LOG(kLogEvent, ZEL_TXT_IFG_LOOPS, ch, static_cast<unsigned>(state.ifgLoops));

    // Said only when asked for, so that the summary of every other file
    // stays as it was.
    if (state.traceFrames) ZEL_LOG(kLogEvent, ZEL_TXT_FRAME_LINES, ch);
    // Only a file that asks for it adds a line.
    if (state.demoteAfter != 0)
        ZEL_LOG(kLogEvent, ZEL_TXT_DEMOTION, ch, static_cast<unsigned>(state.demoteAfter),
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
        ZEL_LOG(kLogEvent, ZEL_TXT_NO_INIT_FILE, ch);
    } else {
        ZEL_LOG(kLogEvent, ZEL_TXT_INIT_FILE, ch, name);
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
