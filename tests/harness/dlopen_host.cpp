// Loads the driver with dlopen(RTLD_LOCAL) from a program that does not link
// the host library, starts a channel and parses a bad gate, both of which log.
//   with-host:    libkavpro.so is on the library path; the driver's lines must
//                 reach it (the stand-in prints them to stderr).
//   without-host: no host library can be found; logging must be silent and
//                 the process must go on (glibc's err(3) would exit it).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/records.h"
#include "host/client/zel_client.h"

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

    zelclient::Driver driver;
    std::string error;
    if (!driver.Load(ZEL_DRIVER_PATH, &error)) return Fail(error.c_str());
    zelclient::Channel channel(driver.Entry(), 1);

    // Capture what the stand-in prints.
    std::FILE* captured = std::tmpfile();
    std::fflush(stderr);
    const int savedErr = dup(2);
    dup2(fileno(captured), 2);

    zel::OpenParams open{};
    std::strcpy(open.portName, "NUL");
    open.enabled = 0;
    open.timeout = 100;
    open.baud = 9600;
    open.dataBits = 8;
    const int32_t cold = channel.ColdStart(open);

    zel::TagAddress tag{};
    const int32_t parsed = channel.Parse("X", zel::kGateUnsigned16, 0, tag);

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
