// Initialization file contents through the reader: written to a file in a
// private directory under one of the three names a channel looks for, then
// read into a fresh channel as a cold start does.
//
// Input: byte 0 picks the channel and the file name; the rest is the file.
// Whatever the file holds, the channel must come out with settings it can
// run with, and nothing but the settings may change.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "config/initfile.h"
#include "driver/records.h"
#include "fuzz/fuzz_common.h"

using namespace zel;
using zelfuzz::Block;

namespace {

int homeDir = -1;
int workDir = -1;
std::string workPath;

void RemoveWorkDir() {
    if (workPath.empty()) return;
    for (const char* name : {"ZELMR.INT"})
        unlinkat(workDir, name, 0);
    for (int ch = 0; ch < 64; ++ch) {
        char name[32];
        std::snprintf(name, sizeof name, "ZELMR%02d.INT", ch);
        unlinkat(workDir, name, 0);
        std::snprintf(name, sizeof name, "ZELMR%01d.INT", ch);
        unlinkat(workDir, name, 0);
    }
    rmdir(workPath.c_str());
}

void MakeWorkDir() {
    char path[] = "/tmp/zelfuzz-init-XXXXXX";
    if (!mkdtemp(path)) std::abort();
    workPath = path;
    workDir = open(path, O_RDONLY | O_DIRECTORY);
    homeDir = open(".", O_RDONLY | O_DIRECTORY);
    if (workDir < 0 || homeDir < 0) std::abort();
    std::atexit(RemoveWorkDir);
}

bool WriteFile(const char* name, const uint8_t* bytes, size_t size) {
    std::FILE* f = std::fopen(name, "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool Contains(const uint8_t* bytes, size_t size, const char* text) {
    const size_t n = std::strlen(text);
    for (size_t i = 0; i + n <= size; ++i)
        if (std::memcmp(bytes + i, text, n) == 0) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (workDir < 0) MakeWorkDir();
    zelfuzz::QuietHostLog();
    zelfuzz::Reader in(data, size);
    const uint8_t pick = in.Byte();
    const int channel = (pick >> 2) % 64;
    const uint8_t* contents = nullptr;
    const size_t length = in.Take(in.Left(), &contents);

    char name[32];
    switch (pick % 3) {
    case 0:
        std::snprintf(name, sizeof name, "ZELMR%02d.INT", channel);
        break;
    case 1:
        std::snprintf(name, sizeof name, "ZELMR%01d.INT", channel);
        break;
    default:
        std::snprintf(name, sizeof name, "ZELMR.INT");
        break;
    }

    // A channel as a cold start leaves it just before the file is read.
    Block state(sizeof(ChannelState));
    std::memset(state.data(), 0xA5, state.size());
    ChannelState& ch = *state.As<ChannelState>();
    ch.port = nullptr;
    ch.channel = static_cast<uint16_t>(channel);
    ch.protocol = (pick & 0x80) ? 'J' : 'M';
    ch.base = 'D';
    ch.rtsControl = 0;
    ch.slaveOverride = 0;
    ch.writeMode = 0;
    Block before(state.size());
    std::memcpy(before.data(), state.data(), state.size());
    baudOverride = kNoBaudOverride;

    DriverRequest req{};
    req.state = &ch;
    req.operation = kOpColdStart;
    req.channel = channel;

    if (fchdir(workDir) != 0) std::abort();
    if (!WriteFile(name, contents, length)) std::abort();
    ReadInitFile(&req);
    unlink(name);
    if (fchdir(homeDir) != 0) std::abort();

    ZELFUZZ_CHECK(ch.protocol == 'M' || ch.protocol == 'J', "protocol %d", ch.protocol);
    ZELFUZZ_CHECK(ch.base == 'D' || ch.base == 'H' || ch.base == 'L', "base %d", ch.base);
    ZELFUZZ_CHECK((ch.options & ~(kOptSwap | kOptFloatSwap | kOptLongAddr)) == 0, "options %#x",
                  ch.options);
    ZELFUZZ_CHECK(ch.rtsControl <= 1, "rtsControl %d", ch.rtsControl);
    ZELFUZZ_CHECK(ch.parityCheck == 0 || ch.parityCheck == 1, "parityCheck %d", ch.parityCheck);
    ZELFUZZ_CHECK(ch.slaveOverride >= -9 && ch.slaveOverride <= 99, "slaveOverride %d",
                  ch.slaveOverride);
    if (!Contains(contents, length, "BAUD_RATE="))
        ZELFUZZ_CHECK(baudOverride == kNoBaudOverride, "baud override %u without its key",
                      baudOverride);

    // Nothing outside the settings the file may set has changed.
    const ChannelState& old = *before.As<ChannelState>();
    ZELFUZZ_CHECK(ch.port == old.port && ch.timeout == old.timeout && ch.portOpen == old.portOpen &&
                      ch.writeMode == old.writeMode && ch.channel == old.channel,
                  "a field outside the settings changed");
    ZELFUZZ_CHECK(std::memcmp(&ch.portSettings, &old.portSettings, sizeof ch.portSettings) == 0,
                  "the port settings changed");
    const size_t frames = offsetof(ChannelState, requestFrame);
    ZELFUZZ_CHECK(
        std::memcmp(state.data() + frames, before.data() + frames, state.size() - frames) == 0,
        "the frame buffers changed");
    // The summary of the settings is always logged.
    ZELFUZZ_CHECK(zelfuzz::HostLogCount() >= 8, "%d log lines", zelfuzz::HostLogCount());
    return 0;
}
