#include "serial/line_format.h"

#include "serial/comm_api.h"

namespace zel {

uint32_t CharTimeUs(const LineSettings& settings) {
    if (settings.baudRate == 0) return 0;
    // In half bits, for one and a half stop bits: start, data, parity, stop.
    const uint32_t dataBits = settings.dataBits & 0xFF;
    const uint32_t parityBit = (settings.parity & 0xFF) != NOPARITY ? 1 : 0;
    const uint32_t stopHalves = (settings.stopBits & 0xFF) == ONE5STOPBITS  ? 3
                                : (settings.stopBits & 0xFF) == TWOSTOPBITS ? 4
                                                                            : 2;
    const uint64_t halves = 2u * (1u + dataBits + parityBit) + stopHalves;
    const uint64_t doubledRate = 2u * static_cast<uint64_t>(settings.baudRate);
    return static_cast<uint32_t>((halves * 1000000u + doubledRate - 1) / doubledRate);
}

} // namespace zel
