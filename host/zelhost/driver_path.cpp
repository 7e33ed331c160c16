#include "host/zelhost/driver_path.h"

#include <unistd.h>

#include "core/library_names.h"

namespace zelhost {

std::string ProgramDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string p(path, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::string DefaultDriverPath() {
    const std::string name = zel::kDriverLibraryName;
    const std::string here = ProgramDir() + "/" + name;
    if (access(here.c_str(), R_OK) == 0) return here;
#ifdef ZEL_INSTALLED_DRIVER_DIR
    // Installed: zelhost in bin/, the driver in the library folder beside it.
    const std::string installed = ProgramDir() + "/" ZEL_INSTALLED_DRIVER_DIR "/" + name;
    if (access(installed.c_str(), R_OK) == 0) return installed;
#endif
#ifdef ZEL_BUILD_DIR
    const std::string built = std::string(ZEL_BUILD_DIR) + "/" + name;
    if (access(built.c_str(), R_OK) == 0) return built;
#endif
    return here;
}

} // namespace zelhost
