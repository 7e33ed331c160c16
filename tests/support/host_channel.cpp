#include "tests/support/host_channel.h"

#include <cstring>

#include "driver/operations.h"
#include "driver/zelmain.h"

namespace zeltest {

// The block starts with a pattern rather than zeros: the driver must set
// every field it relies on.
HostChannel::HostChannel(int32_t number) : channel_(&ZelMain, number, 0, 0xA5) {}

HostChannel::~HostChannel() {
    if (started_ && state().port) Call(zel::kOpCloseCom);
}

int32_t HostChannel::Start(const std::string& port, int32_t timeout, uint16_t baud, int32_t enabled,
                           uint16_t parity) {
    zel::OpenParams p{};
    std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
    p.enabled = enabled;
    p.timeout = timeout;
    p.baud = baud;
    p.dataBits = 8;
    p.stopBits = 0;
    p.parity = parity;
    return Start(p);
}

int32_t HostChannel::Start(const zel::OpenParams& params) {
    zel::OpenParams p = params; // ColdStart may write the baud rate back
    started_ = true;
    return Call(zel::kOpColdStart, &p);
}

int32_t HostChannel::Parse(const std::string& gas, int32_t gateType, zel::TagAddress* tag,
                           int32_t blockLength) {
    zel::TagAddress parsed{};
    const int32_t rc = channel_.Parse(gas.c_str(), gateType, blockLength, parsed);
    if (tag) *tag = parsed;
    return rc;
}

int32_t HostChannel::Io(int32_t operation, const zel::TagAddress& tag, int32_t count, void* data) {
    zel::IoRequest io{};
    io.gas = "";
    io.tag = tag;
    io.count = count;
    io.data = data;
    return Call(operation, &io);
}

int32_t HostChannel::ReadSingle(const zel::TagAddress& tag, uint32_t* value) {
    uint8_t cell[4] = {};
    const int32_t rc = Io(zel::kOpSingleRead, tag, 1, cell);
    if (rc == 0 && value) {
        if (tag.width == 32)
            *value = static_cast<uint32_t>(cell[0] | (cell[1] << 8) | (cell[2] << 16)) |
                     (static_cast<uint32_t>(cell[3]) << 24);
        else
            *value = static_cast<uint32_t>(cell[2] | (cell[3] << 8));
    }
    return rc;
}

int32_t HostChannel::WriteSingle(const zel::TagAddress& tag, uint32_t value) {
    uint8_t cell[4] = {};
    if (tag.width == 32) {
        for (int i = 0; i < 4; ++i)
            cell[i] = static_cast<uint8_t>(value >> (8 * i));
    } else {
        cell[2] = static_cast<uint8_t>(value);
        cell[3] = static_cast<uint8_t>(value >> 8);
    }
    return Io(zel::kOpSingleWrite, tag, 1, cell);
}

size_t HostChannel::BlockBytes(const zel::TagAddress& tag, int32_t count) {
    if (count <= 0) return 0;
    const size_t c = static_cast<size_t>(count);
    return tag.width == 1 ? (c + 7) / 8 : c * static_cast<size_t>(tag.width / 8);
}

int32_t HostChannel::ReadBlock(const zel::TagAddress& tag, int32_t count,
                               std::vector<uint8_t>* values) {
    std::vector<uint8_t> buffer(BlockBytes(tag, count) + 1, 0);
    const int32_t rc = Io(zel::kOpBlockRead, tag, count, buffer.data());
    buffer.pop_back();
    if (values) *values = std::move(buffer);
    return rc;
}

int32_t HostChannel::WriteBlock(const zel::TagAddress& tag, int32_t count,
                                const std::vector<uint8_t>& values) {
    std::vector<uint8_t> buffer(values);
    buffer.resize(BlockBytes(tag, count) + 1, 0);
    return Io(zel::kOpBlockWrite, tag, count, buffer.data());
}

} // namespace zeltest
