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
#include "core/channel.h"
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

    // The settings as a cold start hands them to the reader, with junk in
    // the fields the reader defaults itself.
    InitSettings st;
    st.protocol = (pick & 0x80) ? 'J' : 'M';
    st.base = 'X';
    st.options = 0xFFFF;
    st.ifgLoops = 0xA5A5;
    st.ifgMs = 0xA5A5;
    st.parityCheck = 0x5A;
    st.baudRate = kNoBaudRate;

    if (fchdir(workDir) != 0) std::abort();
    if (!WriteFile(name, contents, length)) std::abort();
    ReadInitFile(channel, st);
    unlink(name);
    if (fchdir(homeDir) != 0) std::abort();

    ZELFUZZ_CHECK(st.protocol == 'M' || st.protocol == 'J', "protocol %d", st.protocol);
    ZELFUZZ_CHECK(st.base == 'D' || st.base == 'H' || st.base == 'L', "base %d", st.base);
    ZELFUZZ_CHECK((st.options & ~(kOptSwap | kOptFloatSwap | kOptLongAddr)) == 0, "options %#x",
                  st.options);
    ZELFUZZ_CHECK(st.rtsControl <= 1, "rtsControl %d", st.rtsControl);
    ZELFUZZ_CHECK(st.parityCheck == 0 || st.parityCheck == 1, "parityCheck %d", st.parityCheck);
    ZELFUZZ_CHECK(st.slaveOverride >= -9 && st.slaveOverride <= 99, "slaveOverride %d",
                  st.slaveOverride);
    if (!Contains(contents, length, "BAUD_RATE="))
        ZELFUZZ_CHECK(st.baudRate == kNoBaudRate, "baud rate %u without its key", st.baudRate);

    // The summary of the settings is always logged.
    ZELFUZZ_CHECK(zelfuzz::HostLogCount() >= 8, "%d log lines", zelfuzz::HostLogCount());
    return 0;
}
