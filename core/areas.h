// The memory areas of a slave and the Modbus function codes that reach them.
//
// One row per area: the gate address parser, the request builders, the reply
// decoder, the writers, the browse dialog and zelhost all read this table. A
// new area is a row here (and a case wherever its values need a conversion
// of their own); a new function is a FunctionCode and the frame that carries
// it.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "core/records.h"

namespace zel {

// Function codes of the requests the driver sends.
enum class FunctionCode : uint8_t {
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHoldingRegisters = 3,
    kReadInputRegisters = 4,
    kWriteSingleCoil = 5,
    kWriteSingleRegister = 6,
    kWriteMultipleCoils = 15,
    kWriteMultipleRegisters = 16,
    kNone = 0xFF, // no function reaches the area this way
};

// Set in the function byte of an exception reply.
constexpr uint8_t kExceptionFlag = 0x80;

constexpr uint8_t Byte(FunctionCode f) {
    return static_cast<uint8_t>(f);
}

// Memory area codes of a TagAddress.
enum MemoryType : int32_t {
    kMemCoils = 0,
    kMemInputs = 1,
    kMemInputRegs = 3,
    kMemHoldingRegs = 4,
    kMemInputFloat = 5,
    kMemInputLong = 6,
    kMemHoldingFloat = 7,
    kMemHoldingLong = 8,
    kMemLowByte = 260,  // 0x104: low byte of a holding register
    kMemHighByte = 516, // 0x204: high byte of a holding register
};

// Which setting puts the low word of a 32-bit value first on the line.
enum class WordSwap : uint8_t { kNone, kInteger, kFloat };

// How the values of an area are read by a person.
enum class ValueForm : uint8_t { kBit, kRegister, kByte, kFloat, kLong };

// A set of gate types, one bit per GateType.
constexpr uint8_t Gates(std::initializer_list<GateType> types) {
    uint8_t mask = 0;
    for (GateType t : types)
        mask = static_cast<uint8_t>(mask | (1u << t));
    return mask;
}

// One test of the gate type of a single gate without a bit number: the gate
// types it admits, and the type it names when it refuses one.
struct GateRule {
    uint8_t admits;       // mask of Gates(); 0 ends the list
    const char* expected; // "DIGITAL", "16-bit INTEGER", ...
};

// One memory area. A row names its code, gate address character, width,
// read function, value form, gate rules and name, and whatever else differs
// from the defaults: an area is read only, no holding register, a whole
// register, takes no bit number, keeps its word order and is not offered in
// the browse dialog unless its row says otherwise.
struct MemoryArea {
    int32_t code;  // memoryType of a TagAddress
    char gasChar;  // character at the memory-type position of a gate address
    uint8_t width; // value width without a bit number: 1, 16 or 32
    FunctionCode read;
    FunctionCode writeSingle = FunctionCode::kNone; // kNone: single writes are refused
    FunctionCode writeBlock = FunctionCode::kNone;  // kNone: block writes are refused
    bool holding = false;                           // a holding register: its bits can be written
    uint8_t byteShift = 0;           // byte selectors: where the byte sits in its register
    bool byteSelect = false;         // the value is one byte of a register
    bool takesBit = false;           // a bit number may follow the address
    WordSwap swap = WordSwap::kNone; // 32-bit values: which setting swaps their words
    ValueForm form;
    GateRule rules[2];                 // single-gate type checks, in order
    const char* dialogLabel = nullptr; // item of the browse dialog; null: not offered
    const char* name;                  // for people: "holding registers", ...
};

constexpr GateRule kDigitalGates = {Gates({kGateDigital}), "DIGITAL"};
constexpr GateRule k16BitGates = {Gates({kGateUnsigned16, kGateInt16a, kGateInt16b}),
                                  "16-bit INTEGER"};
constexpr GateRule kFloatGates = {Gates({kGateFloat}), "FLOAT"};
constexpr GateRule k32BitGates = {Gates({kGateInt32a, kGateInt32b}), "32-bit INTEGER"};

constexpr MemoryArea kMemoryAreas[] = {
    {.code = kMemCoils,
     .gasChar = '0',
     .width = 1,
     .read = FunctionCode::kReadCoils,
     .writeSingle = FunctionCode::kWriteSingleCoil,
     .writeBlock = FunctionCode::kWriteMultipleCoils,
     .form = ValueForm::kBit,
     .rules = {kDigitalGates},
     .dialogLabel = "0: Coils (only for Modicon PLC's)",
     .name = "coils"},
    {.code = kMemInputs,
     .gasChar = '1',
     .width = 1,
     .read = FunctionCode::kReadDiscreteInputs,
     .form = ValueForm::kBit,
     .rules = {kDigitalGates},
     .dialogLabel = "1: Inputs (only for Modicon PLC's)",
     .name = "discrete inputs"},
    {.code = kMemInputRegs,
     .gasChar = '3',
     .width = 16,
     .read = FunctionCode::kReadInputRegisters,
     .takesBit = true,
     .form = ValueForm::kRegister,
     .rules = {k16BitGates},
     .dialogLabel = "3: Input Registers (only for Modicon PLC's)",
     .name = "input registers"},
    {.code = kMemHoldingRegs,
     .gasChar = '4',
     .width = 16,
     .read = FunctionCode::kReadHoldingRegisters,
     .writeSingle = FunctionCode::kWriteSingleRegister,
     .writeBlock = FunctionCode::kWriteMultipleRegisters,
     .holding = true,
     .takesBit = true,
     .form = ValueForm::kRegister,
     .rules = {k16BitGates},
     .dialogLabel = "4: Holding Registers (only for Modicon PLC's)",
     .name = "holding registers"},
    {.code = kMemInputFloat,
     .gasChar = '5',
     .width = 32,
     .read = FunctionCode::kReadInputRegisters,
     .takesBit = true,
     .swap = WordSwap::kFloat,
     .form = ValueForm::kFloat,
     .rules = {kFloatGates},
     .dialogLabel = "5: Input Registers (32 bits floating point)",
     .name = "input registers, 32-bit float"},
    {.code = kMemInputLong,
     .gasChar = '6',
     .width = 32,
     .read = FunctionCode::kReadInputRegisters,
     .takesBit = true,
     .swap = WordSwap::kInteger,
     .form = ValueForm::kLong,
     .rules = {k32BitGates},
     .dialogLabel = "6: Input Registers (32 bits unsigned long)",
     .name = "input registers, 32-bit unsigned long"},
    {.code = kMemHoldingFloat,
     .gasChar = '7',
     .width = 32,
     .read = FunctionCode::kReadHoldingRegisters,
     .writeSingle = FunctionCode::kWriteMultipleRegisters,
     .writeBlock = FunctionCode::kWriteMultipleRegisters,
     .takesBit = true,
     .swap = WordSwap::kFloat,
     .form = ValueForm::kFloat,
     .rules = {kFloatGates},
     .dialogLabel = "7: Holding Registers (32 bits floating point)",
     .name = "holding registers, 32-bit float"},
    {.code = kMemHoldingLong,
     .gasChar = '8',
     .width = 32,
     .read = FunctionCode::kReadHoldingRegisters,
     .writeSingle = FunctionCode::kWriteMultipleRegisters,
     .writeBlock = FunctionCode::kWriteMultipleRegisters,
     .takesBit = true,
     .swap = WordSwap::kInteger,
     .form = ValueForm::kLong,
     .rules = {k32BitGates},
     .dialogLabel = "8: Holding Registers (32 bits unsigned long)",
     .name = "holding registers, 32-bit unsigned long"},
    {.code = kMemLowByte,
     .gasChar = 'L',
     .width = 16,
     .read = FunctionCode::kReadHoldingRegisters,
     .writeSingle = FunctionCode::kWriteSingleRegister,
     .writeBlock = FunctionCode::kWriteMultipleRegisters,
     .holding = true,
     .byteSelect = true,
     .takesBit = true,
     .form = ValueForm::kByte,
     .rules = {k16BitGates, {Gates({kGateUnsigned16}), "UNSIGNED 16"}},
     .name = "low byte of a holding register"},
    {.code = kMemHighByte,
     .gasChar = 'H',
     .width = 16,
     .read = FunctionCode::kReadHoldingRegisters,
     .writeSingle = FunctionCode::kWriteSingleRegister,
     .writeBlock = FunctionCode::kWriteMultipleRegisters,
     .holding = true,
     .byteShift = 8,
     .byteSelect = true,
     .takesBit = true,
     .form = ValueForm::kByte,
     .rules = {k16BitGates, {Gates({kGateUnsigned16}), "UNSIGNED 16"}},
     .name = "high byte of a holding register"},
};

// The area of a memory-type code, or null for a code no gate address gives.
constexpr const MemoryArea* AreaOf(int32_t code) {
    for (const MemoryArea& a : kMemoryAreas)
        if (a.code == code) return &a;
    return nullptr;
}

// The area of a gate address character, or null.
constexpr const MemoryArea* AreaOfChar(char c) {
    for (const MemoryArea& a : kMemoryAreas)
        if (a.gasChar == c) return &a;
    return nullptr;
}

// Registers one value of the area occupies.
constexpr int RegistersPerValue(const MemoryArea& a) {
    return a.width == 32 ? 2 : 1;
}

constexpr bool Writable(const MemoryArea& a) {
    return a.writeSingle != FunctionCode::kNone;
}

// The lowest gate type every rule of the area admits: what a host would
// give a gate of this area without a bit number.
constexpr int32_t DefaultGateType(const MemoryArea& a) {
    uint8_t mask = 0xFF;
    for (const GateRule& r : a.rules)
        if (r.admits) mask = static_cast<uint8_t>(mask & r.admits);
    for (int32_t t = 0; t < 8; ++t)
        if (mask & (1u << t)) return t;
    return -1;
}

} // namespace zel
