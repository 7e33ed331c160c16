// Loads the driver with dlopen(RTLD_LOCAL) from a program that does not link
// the host library, starts a channel and parses a bad gate, both of which log.
//   with-host:    libkavpro.so is on the library path; the driver's lines must
//                 reach it (the stand-in prints them to stderr).
//   without-host: no host library can be found; logging must be silent and
//                 the process must go on (glibc's err(3) would exit it).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/channel.h"

using zel::DriverRequest;
using ZelMainFn = int32_t (*)(DriverRequest*);

namespace {

int Fail(const char* what) {
    std::fprintf(stdout, "FAIL: %s\n", what);
    return 1;
}

std::string ReadAll(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const bool withHost = argc > 1 && std::strcmp(argv[1], "with-host") == 0;

    void* lib = dlopen(ZEL_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return Fail(dlerror());
    auto zelMain = reinterpret_cast<ZelMainFn>(dlsym(lib, "ZelMain"));
    if (!zelMain) return Fail("ZelMain not exported");

    // Capture what the stand-in prints.
    std::FILE* captured = std::tmpfile();
    std::fflush(stderr);
    const int savedErr = dup(2);
    dup2(fileno(captured), 2);

    std::vector<unsigned char> block(zel::kChannelStateSize, 0);
    zel::OpenParams open{};
    std::strcpy(open.portName, "NUL");
    open.enabled = 0;
    open.timeout = 100;
    open.baud = 9600;
    open.dataBits = 8;
    DriverRequest req{block.data(), zel::kOpColdStart, 1, 0, &open};
    const int32_t cold = zelMain(&req);

    zel::ParseRequest parse{};
    parse.gas = "X";
    parse.gateType = zel::kGateUnsigned16;
    req.operation = zel::kOpSingleAddressParser;
    req.argument = &parse;
    const int32_t parsed = zelMain(&req);

    std::fflush(stderr);
    dup2(savedErr, 2);
    const std::string out = ReadAll(captured);

    if (cold != 0) return Fail("ColdStart did not return 0");
    if (parsed != 1) return Fail("a bad gate was not refused");
    const bool heard =
        out.find("[32] ZELMR>:version compiled on ") != std::string::npos &&
        out.find("[32] ZELMR01> Parse() Wrong size of gas, 'X'") != std::string::npos;
    if (withHost && !heard)
        return Fail(("log lines did not reach the host library:\n" + out).c_str());
    if (!withHost && !out.empty()) return Fail(("something was printed:\n" + out).c_str());
    std::printf("ok: driver survived and %s\n",
                withHost ? "logged through the host library" : "logged nothing without one");
    return 0;
}
