#include "core/log.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace zel {
namespace {

int SilentErr(int, const char*, ...) {
    return 0;
}
int NoClient(const char*, int, int, unsigned char*) {
    return 1;
}
int NoVersion(unsigned char, unsigned short*, char*) {
    return 1;
}
int NoRmClient(unsigned char) {
    return 0;
}

#ifdef _WIN32
constexpr char kHostLibraryName[] = "KAVPRO.dll";

HMODULE OpenHostLibrary() {
    HMODULE lib = GetModuleHandleA(kHostLibraryName);
    return lib ? lib : LoadLibraryA(kHostLibraryName);
}

template <typename Fn> void Bind(HMODULE lib, const char* name, Fn& slot) {
    if (FARPROC p = GetProcAddress(lib, name))
        slot = reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(p));
}
#else
constexpr char kHostLibraryName[] = "libkavpro.so";

// dlsym on a library handle also searches that library's dependencies, where
// glibc's err(3) lives. Only a definition inside the host library itself is
// taken.
template <typename Fn> void Bind(void* lib, const char* name, Fn& slot) {
    void* p = dlsym(lib, name);
    if (!p) return;
    Dl_info where{};
    struct link_map* map = nullptr;
    if (!dladdr(p, &where) || dlinfo(lib, RTLD_DI_LINKMAP, &map) != 0 || !map) return;
    if (where.dli_fbase != reinterpret_cast<void*>(map->l_addr) &&
        !(map->l_name && where.dli_fname && std::string_view(map->l_name) == where.dli_fname))
        return;
    slot = reinterpret_cast<Fn>(p);
}
#endif

HostLibrary BindHostLibrary() {
    HostLibrary host{SilentErr, NoClient, NoVersion, NoRmClient};
#ifdef _WIN32
    HMODULE lib = OpenHostLibrary();
#else
    void* lib = dlopen(kHostLibraryName, RTLD_NOW | RTLD_LOCAL);
#endif
    if (!lib) return host;
    Bind(lib, "err", host.err);
    Bind(lib, "KavMkClient", host.mkClient);
    Bind(lib, "KavGetKavproVer", host.getVersion);
    Bind(lib, "KavRmClient", host.rmClient);
    return host;
}

} // namespace

const HostLibrary& Host() {
    static const HostLibrary host = BindHostLibrary();
    return host;
}

namespace {

// "XX " and a spare byte for every byte value: a byte takes one 4-byte copy.
struct HexTable {
    char text[256][4];
};

constexpr HexTable MakeHexTable() {
    constexpr char kDigits[] = "0123456789ABCDEF";
    HexTable t{};
    for (int b = 0; b < 256; ++b) {
        t.text[b][0] = kDigits[b >> 4];
        t.text[b][1] = kDigits[b & 0xF];
        t.text[b][2] = ' ';
        t.text[b][3] = ' ';
    }
    return t;
}

constexpr HexTable kHex = MakeHexTable();

} // namespace

// Every frame is logged on the I/O path, so a byte costs one 4-byte copy
// (its fourth byte is overwritten by the next); the blank after the last byte
// becomes the terminator.
const char* HexBytes(const uint8_t* bytes, size_t count, char* out, size_t size) {
    if (size == 0) return out;
    const size_t fit = (size - 1) / 3; // whole bytes whose 4-byte copy fits
    const size_t n = count < fit ? count : fit;
    for (size_t i = 0; i < n; ++i)
        std::memcpy(out + 3 * i, kHex.text[bytes[i]], 4);
    out[n == 0 ? 0 : 3 * n - 1] = '\0';
    return out;
}

uint16_t QueryHostVersion(unsigned long threadId) {
    char name[32];
    std::snprintf(name, sizeof name, "ZelMrBr%02d", static_cast<int>(threadId));
    unsigned char clientId = 0x20;
    unsigned short version = 0;
    const HostLibrary& host = Host();
    if ((host.mkClient(name, 1, 0, &clientId) & 0xFFFF) == 0) {
        char text[100] = {};
        host.getVersion(clientId, &version, text);
        host.rmClient(clientId);
    }
    return version;
}

} // namespace zel
