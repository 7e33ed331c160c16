// What a parsed gate means to the person who typed it: the station, the
// area and the registers, coils or bits it names, counted as the gate
// address counts them; the gate address of each element of a block; and the
// most elements one request of an area carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/records.h"
#include "host/zelhost/host_log.h"

namespace zelhost {

// How a channel numbers its gates, as the driver's summary of the channel's
// initialization file says (the driver's defaults where it says nothing).
struct AddressScheme {
    bool modbus = true;      // gate numbers count from 1 (J-BUS: from 0)
    char base = 'D';         // 'D' decimal, 'H' hexadecimal, 'L' long decimal
    bool longAddr = false;   // 32-bit addresses name their first register
    bool parityCheck = true; // 32-bit gates start on odd (Modbus) or even (J-BUS) numbers
    bool swapInt = false;    // 32-bit integers: low word first
    bool swapFloat = false;
};

// The scheme from the lines the driver logged when the channel started.
AddressScheme SchemeFromLog(const std::vector<LogLine>& lines);

// The number of the first register (coil, input) of a tag as a gate address
// writes it: counted from 1 under Modbus, from 0 under J-BUS.
int64_t GateNumber(const zel::TagAddress& tag, const AddressScheme& scheme);

// "bit 0 of holding register 1 of station 1", "holding registers 1 to 10
// of station 1", "a 32-bit float in holding registers 1 and 2 of station 1,
// high word first"; `count` elements for a block (0 for a single gate).
std::string GateMeaning(const zel::TagAddress& tag, int32_t gateType, int32_t count,
                        const AddressScheme& scheme);

// The gate address of element `index` of a block that starts at `gas` (the
// address the driver accepted for `tag`), as a host would write it.
std::string ElementGas(const std::string& gas, const zel::TagAddress& tag, int32_t index,
                       const AddressScheme& scheme);

// The most elements of the area one request carries: a read (250 data
// bytes) or a write (246); 0 when the area cannot be read or written in
// blocks at all.
int32_t BlockLimit(int32_t memoryType, bool write);
// "at most 125 holding registers in one read"
std::string BlockLimitText(int32_t memoryType, bool write);
// The limits of every area for an option's help: "2000 coils or inputs,
// 125 16-bit registers or bytes, 62 32-bit values".
std::string BlockLimitsHelp(bool write);

} // namespace zelhost
