#include "host/zelhost/port_diagnosis.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/posix/devnames.h"

namespace zelhost {
namespace {

std::string DiagnosePath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "no such device";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) return "in use by another program";
    if (fd < 0) return std::string("not accessible (") + std::strerror(errno) + ")";
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    const bool terminal = isatty(fd) != 0;
    close(fd);
    if (busy) return "in use by another program";
    if (!S_ISCHR(st.st_mode) || !terminal) return "not a serial device";
    return "the line settings were refused";
}

} // namespace

std::string DiagnosePort(const std::string& port) {
    // The name as the driver resolves it.
    char path[4096];
    switch (zel::posixcomm::ResolveDevice(port.c_str(), path, sizeof path)) {
    case zel::posixcomm::DeviceKind::kUnknown:
        return "not a device name (a path such as /dev/ttyUSB0, COMn or NUL)";
    case zel::posixcomm::DeviceKind::kNull:
        // Only "NUL" itself opens without line settings.
        if (port != "NUL") return "the null device, which opens as \"NUL\" only";
        return "the port does not open";
    case zel::posixcomm::DeviceKind::kPath:
        break;
    }
    if (port[0] == '/') return DiagnosePath(port);
    struct stat st {};
    if (lstat(path, &st) != 0)
        return port + " is not mapped: no link " + path + " (see docs/serial-linux.md)";
    return "through " + std::string(path) + ": " + DiagnosePath(path);
}

} // namespace zelhost
