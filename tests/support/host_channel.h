// One channel driven the way a host drives it: its block, the gates it
// parses and the value operations, all through the driver's entry (linked
// in), with the host's value cells and packed blocks as plain numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/channel.h"
#include "host/client/zel_client.h"

namespace zeltest {

class HostChannel {
  public:
    explicit HostChannel(int32_t number = 1);
    // Releases the port as a host does when it stops the channel.
    ~HostChannel();
    HostChannel(const HostChannel&) = delete;
    HostChannel& operator=(const HostChannel&) = delete;

    zel::ChannelState& state() { return *static_cast<zel::ChannelState*>(channel_.Block()); }
    int32_t Call(int32_t operation, void* argument = nullptr) {
        return channel_.Call(operation, argument);
    }

    // ColdStart on `port` with a reply time-out of `timeout` x 10 ms.
    int32_t Start(const std::string& port, int32_t timeout, uint16_t baud = 9600,
                  int32_t enabled = 1, uint16_t parity = 0);
    // ColdStart with the host's whole record (line parameters included).
    int32_t Start(const zel::OpenParams& params);

    // A gate from its address string (operation 3, or 4 with a block length).
    int32_t Parse(const std::string& gas, int32_t gateType, zel::TagAddress* tag,
                  int32_t blockLength = 0);

    // Single values come from / go to the host's 4-byte cell: 32-bit values
    // fill it, others sit in its upper half.
    int32_t ReadSingle(const zel::TagAddress& tag, uint32_t* value);
    int32_t WriteSingle(const zel::TagAddress& tag, uint32_t value);
    // Blocks in the host's packed form: bits 8 to a byte, then 2 or 4 bytes
    // per value, little-endian.
    int32_t ReadBlock(const zel::TagAddress& tag, int32_t count, std::vector<uint8_t>* values);
    int32_t WriteBlock(const zel::TagAddress& tag, int32_t count,
                       const std::vector<uint8_t>& values);

    // Bytes a block of `count` values of this tag occupies in the host.
    static size_t BlockBytes(const zel::TagAddress& tag, int32_t count);

  private:
    int32_t Io(int32_t operation, const zel::TagAddress& tag, int32_t count, void* data);

    zelclient::Channel channel_;
    bool started_ = false;
};

} // namespace zeltest
