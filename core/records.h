// Records exchanged with the host through ZelMain, the operation codes and
// the result codes the host sees.
//
// On 32-bit targets the host records are a byte-level contract with a host
// we do not build: every offset is checked at compile time below. On 64-bit
// Linux the same structs keep their field order with natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

// Result codes returned through ZelMain. Each layer has results of its own;
// driver/results.h maps them to these.
enum HostResult : int32_t {
    kOk = 0,
    kRefused = 1,     // bad gate, wrong type, input area, channel not enabled, protocol error
    kCommFailure = 2, // communication or port failure, invalid operation
    kBrowseRefused = 53,
};

// Operation codes (slot numbers of the dispatch table).
enum Operation : int32_t {
    kOpColdStart = 1,
    kOpWarmStart = 2,
    kOpSingleAddressParser = 3,
    kOpBlockAddressParser = 4,
    kOpSingleRead = 5,
    kOpBlockRead = 6,
    kOpSingleWrite = 7,
    kOpBlockWrite = 10,
    kOpEndZel = 11,
    kOpCloseCom = 12,
    kOpReOpenCom = 13,
    kOpGetZelInfo = 14,
    kOpChangeZelParams = 15,
    kOpBrowseAddress = 16,
    kOpLast = 17,
};

// Host data types of a gate.
enum GateType : int32_t {
    kGateUnsigned16 = 0,
    kGateInt16a = 1,
    kGateInt16b = 2,
    kGateFloat = 3,
    kGateInt32a = 4,
    kGateInt32b = 5,
    kGateDigital = 6,
};

// Bytes of the per-channel block the host allocates (GetZelInfo reports it).
constexpr int32_t kChannelStateSize = 1272;

struct DriverRequest {
    void* state;       // the channel's ChannelState
    int32_t operation; // operation code
    int32_t channel;   // channel number
    int32_t reserved;
    void* argument; // the operation's argument record
};

struct TagAddress {
    int32_t plc;
    int32_t memoryType;
    int32_t address;
    int32_t bit; // -1: none
    int32_t width;
};

struct ParseRequest {
    const char* gas;
    int32_t reserved;
    int32_t gateType;
    int32_t blockLength;
    TagAddress tag;
};

struct IoRequest {
    const char* gas;
    int32_t reserved0;
    TagAddress tag;
    int32_t reserved1;
    int32_t count;
    int32_t reserved2;
    void* data;
};

struct OpenParams {
    char portName[12];
    int32_t enabled;
    int32_t timeout; // 10 ms units
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits; // 0 one, 1 one and a half, 2 two
    uint16_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

struct ChangeParams {
    char portName[12];
    int32_t timeout; // 0 or -1 keep the current one
    uint16_t baud;   // 0 keeps all four line parameters
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
};

struct BrowseParams {
    char* output; // at least 10 bytes
    void* parent; // owner window
};

struct DriverInfo {
    int32_t kind; // 80
    const char* name;
    const char* description;
    int32_t stateSize;
    int32_t four; // 4
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    int32_t version; // 0x00870023
};

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit byte-level contract with the host.
static_assert(offsetof(DriverRequest, state) == 0 && offsetof(DriverRequest, operation) == 4 &&
                  offsetof(DriverRequest, channel) == 8 &&
                  offsetof(DriverRequest, argument) == 16 && sizeof(DriverRequest) == 20,
              "DriverRequest layout");
static_assert(sizeof(TagAddress) == 20, "TagAddress layout");
static_assert(offsetof(ParseRequest, gas) == 0 && offsetof(ParseRequest, gateType) == 8 &&
                  offsetof(ParseRequest, blockLength) == 12 && offsetof(ParseRequest, tag) == 16 &&
                  offsetof(ParseRequest, tag.memoryType) == 20 &&
                  offsetof(ParseRequest, tag.address) == 24 &&
                  offsetof(ParseRequest, tag.bit) == 28 &&
                  offsetof(ParseRequest, tag.width) == 32 && sizeof(ParseRequest) == 36,
              "ParseRequest layout");
static_assert(offsetof(IoRequest, gas) == 0 && offsetof(IoRequest, tag) == 8 &&
                  offsetof(IoRequest, tag.memoryType) == 12 &&
                  offsetof(IoRequest, tag.address) == 16 && offsetof(IoRequest, tag.bit) == 20 &&
                  offsetof(IoRequest, tag.width) == 24 && offsetof(IoRequest, count) == 32 &&
                  offsetof(IoRequest, data) == 40 && sizeof(IoRequest) == 44,
              "IoRequest layout");
static_assert(offsetof(OpenParams, portName) == 0 && offsetof(OpenParams, enabled) == 12 &&
                  offsetof(OpenParams, timeout) == 16 && offsetof(OpenParams, baud) == 20 &&
                  offsetof(OpenParams, dataBits) == 22 && offsetof(OpenParams, stopBits) == 24 &&
                  offsetof(OpenParams, parity) == 26 && sizeof(OpenParams) == 28,
              "OpenParams layout");
static_assert(offsetof(ChangeParams, portName) == 0 && offsetof(ChangeParams, timeout) == 12 &&
                  offsetof(ChangeParams, baud) == 16 && offsetof(ChangeParams, dataBits) == 18 &&
                  offsetof(ChangeParams, stopBits) == 20 && offsetof(ChangeParams, parity) == 22 &&
                  sizeof(ChangeParams) == 24,
              "ChangeParams layout");
static_assert(offsetof(BrowseParams, output) == 0 && offsetof(BrowseParams, parent) == 4 &&
                  sizeof(BrowseParams) == 8,
              "BrowseParams layout");
static_assert(offsetof(DriverInfo, kind) == 0 && offsetof(DriverInfo, name) == 4 &&
                  offsetof(DriverInfo, description) == 8 && offsetof(DriverInfo, stateSize) == 12 &&
                  offsetof(DriverInfo, four) == 16 && offsetof(DriverInfo, baud) == 20 &&
                  offsetof(DriverInfo, dataBits) == 22 && offsetof(DriverInfo, stopBits) == 24 &&
                  offsetof(DriverInfo, parity) == 26 && offsetof(DriverInfo, version) == 28 &&
                  sizeof(DriverInfo) == 32,
              "DriverInfo layout");
#endif

} // namespace zel
