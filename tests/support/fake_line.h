// An in-memory serial line installed into zel::comm: a scripted slave at the
// platform boundary. It records every frame written and every RTS, queue and
// sleep call, and answers reads from a script of reply pieces. Nothing
// waits: a silent piece ends a read at once with what came so far.
//
// Each scripted answer is released into the input queue when the next frame
// is written, after whatever is still waiting there, so stale and late bytes
// behave as on a real line (the next flush sees them).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/channel.h"
#include "serial/comm_api.h"

namespace zeltest {

using Bytes = std::vector<uint8_t>;

// One piece of a reply: bytes that arrive together, or a silence that ends
// the read waiting for more.
struct Piece {
    Bytes bytes;
    bool silence = false;
};
inline Piece Data(Bytes b) {
    return Piece{std::move(b), false};
}
inline Piece Silence() {
    return Piece{{}, true};
}

// The bytes followed by their CRC-16, low byte first.
Bytes WithCrc(Bytes frame);
std::string Hex(const Bytes& bytes);

enum class Call { Write, Read, SetRts, ClearRts, ClearCommError, Sleep, Other, Drain, Pause };
struct CallRecord {
    Call call;
    uint32_t value; // bytes written, bytes asked for, milliseconds slept or microseconds paused
    bool operator==(const CallRecord& o) const { return call == o.call && value == o.value; }
};

class FakeLine {
  public:
    FakeLine();  // installs itself as zel::comm
    ~FakeLine(); // puts the previous table back
    FakeLine(const FakeLine&) = delete;
    FakeLine& operator=(const FakeLine&) = delete;

    // The handle of the line; every call with another handle fails.
    HANDLE Handle() const { return reinterpret_cast<HANDLE>(const_cast<FakeLine*>(this)); }

    // The answer to the next request not yet answered: a whole frame, or
    // pieces separated by silences. Requests without an answer get silence.
    void Reply(const Bytes& frame) { answers_.push_back({Data(frame)}); }
    void ReplyPieces(std::vector<Piece> pieces) { answers_.push_back(std::move(pieces)); }
    void NoReply() { answers_.push_back({}); }
    // Bytes waiting in the input queue right now.
    void Pending(const Bytes& bytes) { input_.push_back(Data(bytes)); }

    // Faults. A count of -1 means every call from now on.
    int failWrites = 0;      // WriteFile calls that fail
    int shortWrites = 0;     // WriteFile calls that take one byte less than asked
    int failFlushReads = 0;  // 512-byte (flushing) reads that fail; input appears waiting
    bool failEscape = false; // EscapeCommFunction fails
    bool failClearCommError = false;
    bool failOpen = false;         // CreateFileA fails
    std::deque<DWORD> outQueue;    // cbOutQue of successive ClearCommError calls, then 0
    uint64_t drainUs = 0;          // FlushFileBuffers returns this long after it was called
    bool rtsKeyedByDevice = false; // the device keys RTS itself (kernel RS-485 mode)
    zel::LatencyMode latency = zel::LatencyMode::kUnavailable; // what EnterLowLatency finds
    uint64_t clockUs = 1000000; // the line's clock; pauses and drains advance it

    // What the driver did.
    std::vector<Bytes> writes;     // every frame written, as written
    std::vector<CallRecord> calls; // writes, reads, RTS, queue queries, drains and pauses, in order
    int opens = 0;
    int closes = 0;
    int lowLatencyCalls = 0;
    // The line's clock when the last write began and RTS last fell.
    uint64_t writeAtUs = 0, rtsLoweredAtUs = 0;
    COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
    DCB dcb{};

    std::vector<CallRecord> CallsOf(Call kind) const;
    size_t InputLeft() const;

    // Table entries (public for the static trampolines only).
    BOOL DoRead(void* buf, DWORD n, DWORD* got);
    BOOL DoWrite(const void* buf, DWORD n, DWORD* put);
    BOOL DoClearCommError(DWORD* errors, COMSTAT* stat);
    BOOL DoEscape(DWORD func);

  private:
    static bool Take(int& counter);

    zel::CommApi saved_;
    bool draining_ = false;
    std::deque<Piece> input_;
    std::deque<std::vector<Piece>> answers_;
};

// A channel on the fake line with the values a started channel has:
// port open, reply time-out 1 s, parity check on, channel 1.
zel::ChannelState ChannelOn(const FakeLine& line);

// The parts of a transaction test: a channel on a fake line and one I/O
// request for it. Fixtures derive from it next to ::testing::Test.
struct LineRequest {
    FakeLine line;
    zel::ChannelState ch = ChannelOn(line);
    zel::IoRequest io{};
    zel::DriverRequest req{};

    // Makes req an `operation` on channel 1 whose values go to `data`.
    void Aim(int32_t operation, void* data);
    // The gate 0140001 with this address record and element count.
    void Gate(int32_t memoryType, int32_t address, int32_t bit, int32_t width, int32_t count = 1);

  private:
    void* data_ = nullptr;
};

} // namespace zeltest
