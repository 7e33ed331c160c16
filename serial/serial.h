// Serial port access: opening and configuring a channel's port, its read
// time-out, discarding input, and raw reads and writes. Everything goes
// through the call table in serial/comm_api.h.
#pragma once

#include <cstdint>

#include "driver/records.h"

namespace zel {

// Result codes of this layer.
enum : int {
    kSerialOk = 0,
    kSerialNotOpened = 1,  // not opened, or time-outs refused
    kSerialShort = 2,      // fewer bytes written than asked
    kSerialNoSettings = 4, // current settings unreadable (not a serial device)
    kSerialRefused = 5,    // line settings refused
    kSerialIoFailed = 7,   // close, write or read failed; nothing read
};

// Opens `settings.name` with `settings.baud` as the baud rate itself.
int OpenComPort(const PortSettings& settings, void** handle);

// As OpenComPort, but reads `baud` in units of 10 baud and logs a refusal of
// the line settings with the channel's prefix.
int OpenComPortInit(const ChannelState& channel, const PortSettings& settings, void** handle);

int CloseComPort(void* handle);

// Makes reads wait at most `timeout` x 10 ms; returns the previous read
// time-out in 10 ms units, or 0 when the time-outs could not be read or set.
int SetReadTimeout(void* handle, int32_t timeout);

// Discards waiting input: 0 flushed (or nothing waiting), 1 a read failed.
int FlushInput(void* handle);

int WritePort(void* handle, const uint8_t* bytes, uint32_t count, uint32_t* written);

// One read of up to `count` bytes within the read time-out: 0 when at least
// one byte came, 7 when nothing came or the read failed.
int ReadPort(void* handle, uint8_t* buffer, uint16_t count, uint32_t* got);

} // namespace zel
