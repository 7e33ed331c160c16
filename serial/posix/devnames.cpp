#include "serial/posix/devnames.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/com_names.h"

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
