#include "core/host_library.h"

#include "core/library_names.h"

#include <cstdio>
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
HMODULE OpenHostLibrary() {
    HMODULE lib = GetModuleHandleA(kHostModuleName);
    return lib ? lib : LoadLibraryA(kHostModuleName);
}

template <typename Fn> void Bind(HMODULE lib, const char* name, Fn& slot) {
    if (FARPROC p = GetProcAddress(lib, name))
        slot = reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(p));
}
#else
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
