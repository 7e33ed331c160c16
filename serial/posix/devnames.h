// Device names on Linux: a path, the null device, or COMn through a folder
// of links that the user controls (see docs/serial-linux.md). Stateless
// beyond the environment and the file system it looks at: zelhost compiles
// it in to say why a name did not open.
#pragma once

#include <cstddef>

namespace zel {
namespace posixcomm {

enum class DeviceKind { kPath, kNull, kUnknown };

// Turns a device name into a path: a name starting with '/' is the path
// itself, "NUL" the null device, COM1..COM256 a link in the port directory.
// Anything else (or a path that does not fit `size`) is kUnknown.
DeviceKind ResolveDevice(const char* name, char* path, size_t size);

} // namespace posixcomm
} // namespace zel
