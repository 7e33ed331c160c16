// Read and write transactions with their retries, and the conversion of
// register contents to host values and back.
#pragma once

#include <cstdint>

#include "driver/records.h"

namespace zel {

enum ReadMode : int { kReadSingle = 1, kReadBlock = 2 };

// The start register on the wire for a transaction, kept in 16 bits.
uint16_t StartAddress(const ChannelState& channel, const TagAddress& tag);

// The read function for a memory type (0xFF for areas without one).
uint8_t ReadFunction(int32_t memoryType);

// Data bytes a reply must carry for the request to be decoded.
int32_t ReplyDataNeeded(const IoRequest& request, int mode);

void BuildReadRequest(const IoRequest& request, uint8_t* frame, int32_t* length,
                      const ChannelState& channel);
int DecodeReply(IoRequest& request, const uint8_t* reply, uint16_t options, int mode);
int DoRead(DriverRequest* req, int mode);
int DoWrite(DriverRequest* req, uint8_t* frame, int32_t length);

} // namespace zel
