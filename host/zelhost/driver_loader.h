// Loading the driver library by file name and talking to it the way the SCADA
// host does: every call goes through the exported ZelMain with a
// DriverRequest, and the host owns every record and the channel's block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/channel.h"

namespace zelhost {

using ZelMainFn = int32_t (*)(zel::DriverRequest*);

class DriverLibrary {
  public:
    DriverLibrary() = default;
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;
    ~DriverLibrary();

    // Loads the library and resolves ZelMain; on failure `error` says why.
    bool Load(const std::string& path, std::string& error);
    bool Loaded() const { return zelMain_ != nullptr; }
    const std::string& Path() const { return path_; }

    // Operation 14: identity, block size and default line parameters.
    int32_t GetInfo(zel::DriverInfo& info);
    int32_t Call(zel::DriverRequest& req) { return zelMain_(&req); }

  private:
    void* handle_ = nullptr;
    ZelMainFn zelMain_ = nullptr;
    std::string path_;
};

// The default driver: libzelqkmr.so next to the running program, else in the
// installed library folder relative to it, else in the build folder this
// program was built in.
std::string DefaultDriverPath();
// The folder of the running program ("" when unknown).
std::string ProgramDir();

// One channel of the driver with its zeroed ChannelState block of the size
// the driver reports.
class Channel {
  public:
    Channel(DriverLibrary& lib, int32_t number, int32_t stateSize);

    int32_t Number() const { return number_; }

    int32_t ColdStart(zel::OpenParams& open);
    int32_t WarmStart(uint16_t plcAddr);
    int32_t CloseCom();
    int32_t ReOpenCom();
    int32_t ChangeParams(zel::ChangeParams& change);
    int32_t EndZel();
    // Operation 3 (blockLength < 1) or 4.
    int32_t Parse(const char* gas, int32_t gateType, int32_t blockLength, zel::TagAddress& tag);
    // Operations 5 and 7 (block false) or 6 and 10; `data` is the host value
    // buffer.
    int32_t Read(const char* gas, const zel::TagAddress& tag, bool block, int32_t count,
                 void* data);
    int32_t Write(const char* gas, const zel::TagAddress& tag, bool block, int32_t count,
                  void* data);
    int32_t Browse(char* output, void* parent);

  private:
    int32_t Run(int32_t op, void* argument);
    int32_t Io(int32_t op, const char* gas, const zel::TagAddress& tag, int32_t count, void* data);

    DriverLibrary& lib_;
    int32_t number_;
    std::vector<uint64_t> block_; // 8-byte aligned, zeroed
};

} // namespace zelhost
