#include "serial/com_names.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace zel {
namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr int kMaxComNumber = 256;

bool IsLetter(char c, char lower) {
    return std::tolower(static_cast<unsigned char>(c)) == lower;
}

} // namespace

int ComNumber(const char* name) {
    if (!name) return 0;
    if (std::strncmp(name, kDevicePrefix, sizeof kDevicePrefix - 1) == 0)
        name += sizeof kDevicePrefix - 1;
    const size_t length = std::strlen(name);
    if (length < 4 || length > 6) return 0;
    if (!IsLetter(name[0], 'c') || !IsLetter(name[1], 'o') || !IsLetter(name[2], 'm') ||
        name[3] == '0')
        return 0;
    int n = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
    }
    return n >= 1 && n <= kMaxComNumber ? n : 0;
}

bool DeviceNamespaceName(const char* name, char* out, size_t size) {
    const int n = ComNumber(name);
    const int written = n != 0 ? std::snprintf(out, size, "%sCOM%d", kDevicePrefix, n)
                               : std::snprintf(out, size, "%s", name ? name : "");
    return written >= 0 && static_cast<size_t>(written) < size;
}

} // namespace zel
