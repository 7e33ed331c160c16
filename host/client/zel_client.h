// The host's side of ZelMain, as the SCADA host uses it: the driver library
// loaded by file name, one channel's block that the host allocates and
// keeps, and the record each operation takes. zelhost, the tests, the
// benchmark and the Windows test host all drive the driver through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/records.h"

namespace zelclient {

#if defined(_WIN32)
using ZelMainFn = int32_t(__cdecl*)(zel::DriverRequest*);
#else
using ZelMainFn = int32_t (*)(zel::DriverRequest*);
#endif

// The driver library. Once loaded it stays loaded until the process ends, as
// in a host: the driver keeps its process-wide values (the ended state) for
// as long as it is loaded.
class Driver {
  public:
    // Loads the library and resolves ZelMain; on failure `error` says why.
    bool Load(const std::string& path, std::string* error);
    ZelMainFn Entry() const { return zelMain_; }
    const std::string& Path() const { return path_; }

  private:
    ZelMainFn zelMain_ = nullptr;
    std::string path_;
};

// Operation 14: identity, block size and default line parameters. It needs
// no channel.
int32_t GetInfo(ZelMainFn zelMain, zel::DriverInfo& info);

// One channel: its block, every byte `fill` until the driver writes it, of
// the size the driver reports (its own size when `blockSize` is 0 or less).
class Channel {
  public:
    Channel(ZelMainFn zelMain, int32_t number, int32_t blockSize = 0, uint8_t fill = 0);

    int32_t Number() const { return number_; }
    void* Block() { return block_.data(); }
    // The block as a host hands it to a channel it has not started yet.
    void Reset(uint8_t fill = 0);

    // Any operation with its argument record.
    int32_t Call(int32_t operation, void* argument = nullptr);

    int32_t ColdStart(zel::OpenParams& open);
    int32_t WarmStart(uint16_t plcAddr);
    int32_t CloseCom();
    int32_t ReOpenCom();
    int32_t ChangeParams(zel::ChangeParams& change);
    int32_t EndZel();
    // Operation 3 (blockLength < 1) or 4 (a block of blockLength).
    int32_t Parse(const char* gas, int32_t gateType, int32_t blockLength, zel::TagAddress& tag);
    // Operations 5 and 7 (block false) or 6 and 10; `data` is the host value
    // buffer.
    int32_t Read(const char* gas, const zel::TagAddress& tag, bool block, int32_t count,
                 void* data);
    int32_t Write(const char* gas, const zel::TagAddress& tag, bool block, int32_t count,
                  void* data);
    int32_t Browse(char* output, void* parent);

  private:
    int32_t Io(int32_t op, const char* gas, const zel::TagAddress& tag, int32_t count, void* data);

    ZelMainFn zelMain_;
    int32_t number_;
    size_t size_;
    std::vector<uint64_t> block_; // 8-byte aligned
};

} // namespace zelclient
