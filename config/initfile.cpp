// Placeholder until the reader lands.
#include "config/initfile.h"
namespace zel {
std::FILE* OpenInitFile(const char*, char*, size_t, int32_t) { return nullptr; }
void ReadInitFile(DriverRequest*) {}
} // namespace zel
