#include "host/client/zel_client.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zelclient {

bool Driver::Load(const std::string& path, std::string* error) {
    path_ = path;
#if defined(_WIN32)
    HMODULE lib = LoadLibraryA(path.c_str());
    if (!lib) {
        *error = "cannot load driver '" + path + "' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    zelMain_ = reinterpret_cast<ZelMainFn>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(lib, "ZelMain")));
#else
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        *error = "cannot load driver: " + std::string(why ? why : path);
        return false;
    }
    zelMain_ = reinterpret_cast<ZelMainFn>(dlsym(lib, "ZelMain"));
#endif
    if (!zelMain_) {
        *error = "driver '" + path + "' does not export ZelMain";
        return false;
    }
    return true;
}

int32_t GetInfo(ZelMainFn zelMain, zel::DriverInfo& info) {
    std::memset(&info, 0, sizeof info);
    zel::DriverRequest req{};
    req.operation = zel::kOpGetZelInfo;
    req.argument = &info;
    return zelMain(&req);
}

Channel::Channel(ZelMainFn zelMain, int32_t number, int32_t blockSize, uint8_t fill)
    : zelMain_(zelMain), number_(number),
      size_(static_cast<size_t>(blockSize > 0 ? blockSize : zel::kChannelStateSize)),
      block_((size_ + 7) / 8) {
    Reset(fill);
}

void Channel::Reset(uint8_t fill) {
    std::memset(block_.data(), fill, size_);
}

int32_t Channel::Call(int32_t operation, void* argument) {
    zel::DriverRequest req{};
    req.state = block_.data();
    req.operation = operation;
    req.channel = number_;
    req.argument = argument;
    return zelMain_(&req);
}

int32_t Channel::ColdStart(zel::OpenParams& open) {
    return Call(zel::kOpColdStart, &open);
}

int32_t Channel::WarmStart(uint16_t plcAddr) {
    uint16_t arg[2] = {plcAddr, 0};
    return Call(zel::kOpWarmStart, arg);
}

int32_t Channel::CloseCom() {
    return Call(zel::kOpCloseCom);
}

int32_t Channel::ReOpenCom() {
    return Call(zel::kOpReOpenCom);
}

int32_t Channel::ChangeParams(zel::ChangeParams& change) {
    return Call(zel::kOpChangeZelParams, &change);
}

int32_t Channel::EndZel() {
    return Call(zel::kOpEndZel);
}

int32_t Channel::Parse(const char* gas, int32_t gateType, int32_t blockLength,
                       zel::TagAddress& tag) {
    zel::ParseRequest parse{};
    parse.gas = gas;
    parse.gateType = gateType;
    parse.blockLength = blockLength;
    const int32_t op = blockLength < 1 ? zel::kOpSingleAddressParser : zel::kOpBlockAddressParser;
    const int32_t rc = Call(op, &parse);
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
    return Call(op, &io);
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
    return Call(zel::kOpBrowseAddress, &params);
}

} // namespace zelclient
