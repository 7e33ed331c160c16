#include "bench/cases.h"

namespace zelbench {

uint16_t Write1Value(uint32_t seq) {
    return static_cast<uint16_t>(seq * 40503u + 17u);
}

uint32_t FloatValue(uint32_t seq) {
    return 0x3F800000u + seq * 977u;
}

void Write123Values(uint32_t seq, uint16_t* registers) {
    for (int i = 0; i < kBlockRegisters; ++i)
        registers[i] = static_cast<uint16_t>(seq * 31u + static_cast<uint32_t>(i) * 257u);
}

} // namespace zelbench
