#include "host/zelhost/driver_loader.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace zelhost {

DriverLibrary::~DriverLibrary() {
    // The driver is left loaded until the process ends: it keeps its
    // process-wide values (the ended state) for as long as it is loaded.
}

bool DriverLibrary::Load(const std::string& path, std::string& error) {
    path_ = path;
#ifdef _WIN32
    HMODULE lib = LoadLibraryA(path.c_str());
    if (!lib) {
        error = "cannot load driver '" + path + "' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    FARPROC entry = GetProcAddress(lib, "ZelMain");
    handle_ = reinterpret_cast<void*>(lib);
    zelMain_ = reinterpret_cast<ZelMainFn>(reinterpret_cast<void (*)(void)>(entry));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error = "cannot load driver: " + std::string(why ? why : path);
        return false;
    }
    zelMain_ = reinterpret_cast<ZelMainFn>(dlsym(handle_, "ZelMain"));
#endif
    if (!zelMain_) {
        error = "driver '" + path + "' does not export ZelMain";
        return false;
    }
    return true;
}

int32_t DriverLibrary::GetInfo(zel::DriverInfo& info) {
    std::memset(&info, 0, sizeof info);
    zel::DriverRequest req{};
    req.operation = zel::kOpGetZelInfo;
    req.argument = &info;
    return Call(req);
}

std::string ProgramDir() {
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    size_t slash = p.find_last_of("\\/");
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string p(path, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
#endif
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::string DefaultDriverPath() {
#ifdef _WIN32
    const char* name = "ZELQKMR.DLL";
#else
    const char* name = "libzelqkmr.so";
#endif
    const std::string here = ProgramDir() + "/" + name;
#ifndef _WIN32
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
#endif
    return here;
}

Channel::Channel(DriverLibrary& lib, int32_t number, int32_t stateSize)
    : lib_(lib), number_(number),
      block_((static_cast<size_t>(stateSize > 0 ? stateSize : zel::kChannelStateSize) + 7) / 8, 0) {
}

int32_t Channel::Run(int32_t op, void* argument) {
    zel::DriverRequest req{};
    req.state = block_.data();
    req.operation = op;
    req.channel = number_;
    req.argument = argument;
    return lib_.Call(req);
}

int32_t Channel::ColdStart(zel::OpenParams& open) {
    return Run(zel::kOpColdStart, &open);
}

int32_t Channel::WarmStart(uint16_t plcAddr) {
    uint16_t arg[2] = {plcAddr, 0};
    return Run(zel::kOpWarmStart, arg);
}

int32_t Channel::CloseCom() {
    return Run(zel::kOpCloseCom, nullptr);
}
int32_t Channel::ReOpenCom() {
    return Run(zel::kOpReOpenCom, nullptr);
}
int32_t Channel::ChangeParams(zel::ChangeParams& change) {
    return Run(zel::kOpChangeZelParams, &change);
}
int32_t Channel::EndZel() {
    return Run(zel::kOpEndZel, nullptr);
}

int32_t Channel::Parse(const char* gas, int32_t gateType, int32_t blockLength,
                       zel::TagAddress& tag) {
    zel::ParseRequest parse{};
    parse.gas = gas;
    parse.gateType = gateType;
    parse.blockLength = blockLength;
    const int32_t op = blockLength < 1 ? zel::kOpSingleAddressParser : zel::kOpBlockAddressParser;
    const int32_t rc = Run(op, &parse);
    tag = parse.tag;
    return rc;
}

int32_t Channel::Io(int32_t op, const char* gas, const zel::TagAddress& tag, int32_t count,
                    void* data) {
    zel::IoRequest io{};
    io.gas = gas;
    io.tag = tag;
    io.count = count;
    io.data = data;
    return Run(op, &io);
}

int32_t Channel::Read(const char* gas, const zel::TagAddress& tag, bool block, int32_t count,
                      void* data) {
    return Io(block ? zel::kOpBlockRead : zel::kOpSingleRead, gas, tag, count, data);
}

int32_t Channel::Write(const char* gas, const zel::TagAddress& tag, bool block, int32_t count,
                       void* data) {
    return Io(block ? zel::kOpBlockWrite : zel::kOpSingleWrite, gas, tag, count, data);
}

int32_t Channel::Browse(char* output, void* parent) {
    zel::BrowseParams params{};
    params.output = output;
    params.parent = parent;
    return Run(zel::kOpBrowseAddress, &params);
}

} // namespace zelhost
