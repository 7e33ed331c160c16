// Device names on Linux: paths, the null device, and COMn through a
// directory of links that the user controls (see docs/serial-linux.md).
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/posix/port.h"

namespace zel {
namespace posixcomm {
namespace {

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

// COM1..COM256 in any case, no leading zero; 0 for anything else.
int ComNumber(const char* name) {
    if (std::strlen(name) < 4 || std::strlen(name) > 6) return 0;
    if (std::tolower(static_cast<unsigned char>(name[0])) != 'c' ||
        std::tolower(static_cast<unsigned char>(name[1])) != 'o' ||
        std::tolower(static_cast<unsigned char>(name[2])) != 'm' || name[3] == '0')
        return 0;
    int n = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
    }
    return n >= 1 && n <= 256 ? n : 0;
}

bool Fits(int written, size_t size) {
    return written > 0 && static_cast<size_t>(written) < size;
}

bool EntryExists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

} // namespace

DeviceKind ResolveDevice(const char* name, char* path, size_t size) {
    if (!name || !*name) return DeviceKind::kUnknown;
    if (name[0] == '/') {
        if (!Fits(std::snprintf(path, size, "%s", name), size)) return DeviceKind::kUnknown;
        return DeviceKind::kPath;
    }
    if (EqualsIgnoringCase(name, "NUL")) return DeviceKind::kNull;
    const int n = ComNumber(name);
    if (n == 0) return DeviceKind::kUnknown;

    // ZEL_COMDIR names the only directory consulted; otherwise the user's
    // own link wins over the machine-wide one.
    const char* dir = std::getenv("ZEL_COMDIR");
    if (dir && *dir)
        return Fits(std::snprintf(path, size, "%s/com%d", dir, n), size) ? DeviceKind::kPath
                                                                         : DeviceKind::kUnknown;
    const char* home = std::getenv("HOME");
    if (home && *home &&
        Fits(std::snprintf(path, size, "%s/.zelqkmr/dosdevices/com%d", home, n), size) &&
        EntryExists(path))
        return DeviceKind::kPath;
    return Fits(std::snprintf(path, size, "/etc/zelqkmr/dosdevices/com%d", n), size)
               ? DeviceKind::kPath
               : DeviceKind::kUnknown;
}

} // namespace posixcomm
} // namespace zel
