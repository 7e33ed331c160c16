// The per-channel block: what the driver keeps for a channel between calls,
// inside the memory the host allocates for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/records.h"

namespace zel {

// Bits of ChannelState::options.
enum : uint16_t {
    kOptSwap = 0x0002,      // word swap of 32-bit integers
    kOptFloatSwap = 0x0004, // word swap of floats
    kOptLongAddr = 0x0008,  // long word address mapping
};

// Device name and line parameters of a channel's port, as the host gave them.
struct PortSettings {
    char name[12];
    uint16_t baud; // the rate itself, or a tenth of the initialization file's rate
    uint16_t dataBits;
    uint16_t stopBits; // 0 one, 1 one and a half, 2 two
    uint16_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint16_t lineFlags;
};

// What the serial layer keeps of a channel's line between transactions.
struct LineState {
    uint64_t lastActivityUs; // monotonic time of the last byte sent or received; 0: none yet
    uint64_t requestSentUs;  // when the last request had left the port
    // Until then answers to a transaction's unanswered requests may still
    // arrive: the next transaction discards input up to it before it sends.
    // 0: no window open.
    uint64_t replyWindowEndUs;
    uint32_t charTimeUs; // one character at the line's rate and format; 0: no line
};

// A station of the channel that has gone without a reply (DEMOTE): entries
// are taken by stations while they stay silent and freed when they answer.
struct StationWatch {
    uint8_t station;    // 0: the entry is free
    uint8_t silent;     // transactions in a row without a byte of reply; kDemoted once demoted
    uint8_t untilMs[4]; // while demoted: monotonic milliseconds (little-endian, wrapping) of the
                        // next try
};
constexpr uint8_t kDemoted = 0xFF;
// Stations tracked at once; a further silent station is polled as without DEMOTE.
constexpr int kWatchedStations = 32;

// The longest request is 253 bytes and its CRC; the longest reply 260.
constexpr int kRequestFrameSize = 512;
constexpr int kReplyFrameSize = 264;

// Room for the port that a channel's initialization file names instead of
// the host's (a device path of any length the line buffer allows, or a
// device server's address), with its terminator.
constexpr int kPortAddressSize = 128;

// The host allocates kChannelStateSize bytes and keeps them between calls;
// the layout is private to the driver. Fields are ordered widest first so
// that the block fits on 64-bit targets too.
struct ChannelState {
    void* port; // open port handle, or null
    LineState line;
    uint32_t fileBaudRate; // the rate the initialization file gave, when rateFromFile
    int32_t timeout;
    int32_t portOpen;
    // Free since the shape of the reply a transaction awaits became an
    // argument of Receive; kept so that every later field keeps its offset.
    int32_t reserved0;
    int32_t slaveOverride;
    int32_t parityCheck;
    uint16_t options;
    uint16_t ifgLoops;
    uint16_t ifgMs;
    uint16_t channel;
    PortSettings portSettings;
    char protocol; // 'M' Modbus, 'J' J-BUS
    char base;     // 'D', 'H', 'L'
    uint8_t rtsControl;
    uint8_t rateFromFile; // the port opens at fileBaudRate, not at portSettings.baud
    uint8_t traceFrames;  // log every frame sent, received and discarded (TRACE = YES)
    uint8_t requestFrame[kRequestFrameSize];
    uint8_t replyFrame[kReplyFrameSize];
    // The port opened instead of portSettings.name, from the initialization
    // file; empty: the host's. Always terminated once ColdStart has run.
    char portAddress[kPortAddressSize];
    // Fields below came after the frames, so that every field above keeps
    // its offset in blocks a host already holds.
    uint8_t lowLatency;     // a USB adapter's port opens in low latency mode
    uint8_t demoteAfter;    // DEMOTE: silent transactions that demote a station; 0: never
    uint16_t demoteSeconds; // DEMOTE: how long a demoted station is answered without trying
    StationWatch watched[kWatchedStations];
};

static_assert(sizeof(ChannelState::portAddress) == 128, "room for a port address");
static_assert(offsetof(ChannelState, slaveOverride) ==
                  offsetof(ChannelState, portOpen) + 2 * sizeof(int32_t),
              "the freed field keeps its room: the fields after it keep their offsets");
static_assert(sizeof(ChannelState) <= kChannelStateSize, "ChannelState must fit the host's block");
static_assert(offsetof(ChannelState, lowLatency) ==
                  offsetof(ChannelState, portAddress) + kPortAddressSize,
              "the later fields follow the frames");

inline ChannelState* StateOf(const DriverRequest* req) {
    return static_cast<ChannelState*>(req->state);
}

} // namespace zel
