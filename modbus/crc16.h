// CRC-16 of Modbus RTU (polynomial 0xA001 reflected, start 0xFFFF).
#pragma once

#include <cstdint>

namespace zel {

uint16_t Crc16(const uint8_t* bytes, int32_t length);

} // namespace zel
