// The transactions the benchmark times, with their sizes on the wire.
#pragma once

#include <cstdint>

namespace zelbench {

enum class CaseId { kRead1, kRead125, kReadCoils2000, kWrite1, kWriteFloat, kWrite123 };

struct CaseInfo {
    CaseId id;
    const char* key;   // short name used on the command line and in quick lines
    const char* title; // name in the tables and the plot
    int requestBytes;  // RTU frame with CRC
    int replyBytes;
    bool write;
};

inline constexpr CaseInfo kCases[] = {
    {CaseId::kRead1, "read1", "read 1 holding register", 8, 7, false},
    {CaseId::kRead125, "read125", "read 125 holding registers", 8, 255, false},
    {CaseId::kReadCoils2000, "coils2000", "read 2000 coils", 8, 255, false},
    {CaseId::kWrite1, "write1", "write 1 register", 8, 8, true},
    {CaseId::kWriteFloat, "float", "write one 32-bit float", 13, 8, true},
    {CaseId::kWrite123, "write123", "write 123 registers", 255, 8, true},
};
constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];

// First registers of the written areas (wire addresses, from 0); the reads
// use registers and coils from 0, which the writes never touch.
constexpr uint16_t kWrite1Register = 6000;
constexpr uint16_t kFloatRegister = 6100;
constexpr uint16_t kWrite123Register = 7000;
constexpr int kBlockRegisters = 123;

// Values a write transaction sends: they change with every transaction so
// that a write that did not happen shows when the area is read back.
uint16_t Write1Value(uint32_t seq);
uint32_t FloatValue(uint32_t seq);
void Write123Values(uint32_t seq, uint16_t* registers); // kBlockRegisters values

} // namespace zelbench
