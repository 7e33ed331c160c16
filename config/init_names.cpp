#include "config/init_names.h"

#include <cstdio>

namespace zel {

bool InitFileCandidate(int index, const char* baseName, int32_t channel, char* name, size_t size) {
    if (!baseName || !name || size == 0) return false;
    const int ch = static_cast<int>(channel);
    int written = -1;
    switch (index) {
    case 0:
        written = std::snprintf(name, size, "%s%02d.INT", baseName, ch);
        break;
    case 1:
        written = std::snprintf(name, size, "%s%01d.INT", baseName, ch);
        break;
    case 2:
        written = std::snprintf(name, size, "%s.INT", baseName);
        break;
    default:
        return false;
    }
    return written >= 0 && static_cast<size_t>(written) < size;
}

} // namespace zel
