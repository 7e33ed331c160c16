// Serial port access: opening and configuring a port, its read time-out,
// discarding input, raw reads and writes, and the line discipline around a
// transmission (the pause before it, RTS keying, letting a disturbed line
// fall quiet). Everything goes through the call table in serial/comm_api.h.
//
// Of a channel this layer knows the LineState it keeps in the channel block
// and the number that prefixes the one line it logs itself (OpenComPortInit's
// refusal of the initialization file's line settings); everything else it
// reports in its results (Discarded, KeyedWrite), which the transport logs.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "serial/comm_api.h"
#include "serial/line_format.h"

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

// Opens the device `name` for exclusive use and configures it; on kOk the
// handle is in `*handle`, otherwise `*handle` is null. A name with the scheme
// tcp:// or rfc2217:// opens a network port (serial/net/net_port.h), whose
// handle carries its own call table; every other name goes to `comm`.
SerialResult OpenComPort(const char* name, const LineSettings& line, void** handle);

// As OpenComPort, and logs a refusal of the line settings with the channel's
// prefix (the rate came from the channel's initialization file).
SerialResult OpenComPortInit(const char* name, const LineSettings& line, uint16_t channel,
                             void** handle);

// What a port name opens: a serial device (or the null device), or a
// network port through a device server, raw or with RFC 2217.
enum class PortKind { kSerial, kRawTcp, kRfc2217 };
PortKind KindOfPort(const char* name);

SerialResult CloseComPort(void* handle);

// Puts the port into low latency mode where it has one (Linux: a USB
// adapter's latency timer of 1 ms instead of 16); closing the port puts the
// mode back as it was.
LatencyMode UseLowLatency(void* handle);

// Makes reads wait at most `timeout` x 10 ms; returns the previous read
// time-out in 10 ms units, or 0 when the time-outs could not be read or set.
int SetReadTimeout(void* handle, int32_t timeout);

// The line state of a port just opened with these settings: its character
// time (none for the null device, which has no line, and none for a network
// port, whose device server keeps the line's timing) and no traffic yet.
// The reply window is left as it was: answers to requests sent before the
// port was reopened may still come.
void StartLine(LineState& line, const char* name, const LineSettings& settings);

// Microseconds of a monotonic clock.
uint64_t NowUs();

// What a discard of input did.
struct Discarded {
    bool readFailed; // a read failed: the input could not be discarded
    uint32_t count;  // bytes discarded
    uint32_t kept;   // of them, copied to the caller's buffer
};

// Discards input until the line has been quiet for kQuietMs (or for all of
// `boundMs` when that is shorter), never for longer than `boundMs`: a line
// that keeps sending ends the discard at its bound. Nothing is read when no
// input waits, unless `awaitQuiet` (the rest of a reply may be on its way).
// Discarded input counts as traffic on `line`; its first `keepSize` bytes
// are copied to `keep`. The read time-outs are put back afterwards.
Discarded FlushLine(void* handle, LineState* line, uint32_t boundMs, bool awaitQuiet,
                    uint8_t* keep = nullptr, uint32_t keepSize = 0);

// Discards input until the monotonic clock reaches `untilUs`, however
// quiet the line is meanwhile; as FlushLine otherwise.
Discarded DiscardUntil(void* handle, LineState* line, uint64_t untilUs, uint8_t* keep = nullptr,
                       uint32_t keepSize = 0);

// Discards the input that waits now, without waiting for more.
Discarded DiscardWaiting(void* handle, LineState* line, uint8_t* keep = nullptr,
                         uint32_t keepSize = 0);

// A line counts as quiet after this long without input.
constexpr uint32_t kQuietMs = 20;
// The longest a flush waits: one flushing read's worth.
constexpr uint32_t kFlushBoundMs = 50;

// Discards waiting input within kFlushBoundMs; false when a flushing read
// failed. Input that was discarded counts as traffic on `line`.
bool FlushInput(void* handle, LineState* line = nullptr);

SerialResult WritePort(void* handle, const uint8_t* bytes, uint32_t count, uint32_t* written);

// One read of up to `count` bytes within the read time-out: kOk when at
// least one byte came, kIoFailed when nothing came or the read failed.
SerialResult ReadPort(void* handle, uint8_t* buffer, uint16_t count, uint32_t* got);

// Bytes have just come in on the line: the silence before the next request
// counts from now.
void NoteTraffic(LineState& line);

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

// Lowers RTS of a port whose requests are keyed by hand: it opens with RTS
// up, and an RS-485 transceiver keyed by RTS has to listen until the first
// request. A port without modem lines is left as it is.
void ReleaseRts(void* handle);

// The silence a request waits for after the last byte on the line: 3.5
// character times.
uint32_t SilentIntervalUs(const LineState& line);

// Sends a request. Waits until the line has been silent for the silent
// interval, raises RTS when `keyRts`, writes, and waits until everything has
// left the port (the reply time-out starts only then, and nothing leaves
// later). With `keyRts`, RTS is lowered after the last stop bit: no sooner
// than the drain's return and the output queue seen empty, and no sooner than
// the frame's wire time (one character more than its bytes) after the write
// began. A device that keys RTS itself is left to do so.
KeyedWrite WriteRequest(void* handle, const uint8_t* bytes, uint32_t count, bool keyRts,
                        LineState& line);

} // namespace zel
