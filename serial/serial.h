// Serial port access: opening and configuring a port, its read time-out,
// discarding input, raw reads and writes, and the line discipline around a
// transmission (the pause before it, RTS keying, letting a disturbed line
// fall quiet). Everything goes through the call table in serial/comm_api.h.
//
// This layer knows nothing of channels beyond the number that prefixes its
// one log line.
#pragma once

#include <cstdint>

namespace zel {

// Results of this layer (the numbers show in no log line).
enum class SerialResult : int {
    kOk = 0,
    kNotOpened = 1,  // not opened, or time-outs refused
    kShort = 2,      // fewer bytes written than asked
    kNoSettings = 4, // current settings unreadable (not a serial device)
    kRefused = 5,    // line settings refused
    kIoFailed = 7,   // close, write or read failed; nothing read
};

// Line parameters of an open. Stop bits and parity are the platform's codes:
// stop bits 0 one, 1 one and a half, 2 two; parity 0 none, 1 odd, 2 even,
// 3 mark, 4 space. lineFlags selects DTR and RTS handling.
struct LineSettings {
    uint32_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    uint16_t lineFlags;
};

// Opens the device `name` for exclusive use and configures it; on kOk the
// handle is in `*handle`, otherwise `*handle` is null.
SerialResult OpenComPort(const char* name, const LineSettings& line, void** handle);

// As OpenComPort, and logs a refusal of the line settings with the channel's
// prefix (the rate came from the channel's initialization file).
SerialResult OpenComPortInit(const char* name, const LineSettings& line, uint16_t channel,
                             void** handle);

SerialResult CloseComPort(void* handle);

// Makes reads wait at most `timeout` x 10 ms; returns the previous read
// time-out in 10 ms units, or 0 when the time-outs could not be read or set.
int SetReadTimeout(void* handle, int32_t timeout);

// Discards waiting input; false when a flushing read failed.
bool FlushInput(void* handle);

SerialResult WritePort(void* handle, const uint8_t* bytes, uint32_t count, uint32_t* written);

// One read of up to `count` bytes within the read time-out: kOk when at
// least one byte came, kIoFailed when nothing came or the read failed.
SerialResult ReadPort(void* handle, uint8_t* buffer, uint16_t count, uint32_t* got);

// The pause before a transmission: `ms` milliseconds when not 0, otherwise
// `loops` x 100 passes of a busy loop, otherwise none.
void InterFrameGap(uint16_t ms, uint16_t loops);

// What a keyed write did, in the order it happened.
struct KeyedWrite {
    SerialResult write;    // of WritePort
    bool raiseFailed;      // raising RTS failed (the write went on)
    bool queueQueryFailed; // the output queue could not be read while waiting
    bool lowerFailed;      // lowering RTS failed
};

// Writes the bytes. With `keyRts`, RTS is raised before the write and
// lowered once the output queue has been seen empty (one 1 ms pause after
// that), whatever the write gave.
KeyedWrite WriteKeyed(void* handle, const uint8_t* bytes, uint32_t count, bool keyRts);

// After a disturbed exchange the far end may still be sending: reads and
// discards input until none has come for 20 ms (bounded on a line that never
// falls quiet), then puts the read time-out back.
void DrainUntilQuiet(void* handle);

} // namespace zel
