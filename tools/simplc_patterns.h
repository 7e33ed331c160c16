// Initial memory contents of the simulated PLC (zelsimplc), so that tests can
// compute what a read must return. Every area starts at element 0.
//
// The patterns are chosen to expose the usual mistakes of a master:
// - coils and discrete inputs repeat every 3 and 5 elements, never every 8 or
//   16, so a wrong start address or bit order in a packed byte shows;
// - every register value is distinct over the whole map (odd multipliers are
//   bijections modulo 2^16), and the high and low byte of a holding register
//   always differ, so a byte swap or a word swap of a 32-bit pair shows;
// - input registers have the top bit set for the first elements, so a signed
//   conversion shows.
#pragma once

#include <cstdint>

namespace zel::sim {

// Default map sizes: room for element 9999 and for the largest blocks (125
// registers, 2000 bits) anywhere below it. Beyond the map the PLC answers
// exception 2 (illegal data address).
constexpr int kDefaultCoils = 10000;
constexpr int kDefaultInputs = 10000;
constexpr int kDefaultHolding = 10000;
constexpr int kDefaultInputRegisters = 10000;

// Coil i (function 1, 5, 15).
constexpr bool CoilAt(unsigned i) {
    return i % 3 == 0;
}

// Discrete input i (function 2).
constexpr bool InputAt(unsigned i) {
    return i % 5 == 1 || i % 5 == 2;
}

// Holding register i (functions 3, 6, 16).
constexpr uint16_t HoldingAt(unsigned i) {
    return static_cast<uint16_t>(i * 257u + 0x1234u);
}

// Input register i (function 4).
constexpr uint16_t InputRegisterAt(unsigned i) {
    return static_cast<uint16_t>(i * 263u + 0x8001u);
}

} // namespace zel::sim
