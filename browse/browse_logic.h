// What the "Tag Format" dialog decides, as plain functions over the field
// texts and the channel's address base ('D' decimal, 'H' hexadecimal, 'L'
// long decimal): the checks on OK, the step of the PLC number arrows and the
// composition of the gate address string.
#pragma once

#include <cstddef>

namespace zel {

extern const char kBrowseMissingValue[];

// Checks the four texts read on OK. Returns null when they are accepted,
// otherwise the message to show: an empty text first, then the address, then
// the PLC number.
const char* CheckBrowseFields(char base, const char* plc, const char* memoryType,
                              const char* address, const char* bit);

// One step of the PLC number arrows from the field's text (its first two
// characters count): `lineDown` false adds 1, true subtracts 1, within 1..99
// (1..255 in base 'H'). Writes the new text ("%02d", "%02X") into `out`.
void StepPlcNumber(char base, const char* text, bool lineDown, char* out, size_t outSize);

// Longest gate address string the dialog composes, with its terminator.
constexpr size_t kBrowseGasSize = 10;

// Composes the gate address string from accepted texts into `output` (at
// most kBrowseGasSize bytes are written): PLC number, memory-type digit,
// address (5 characters in base 'L', 4 otherwise) and the bit digit unless
// the bit text is "None".
void ComposeGas(char base, const char* plc, const char* memoryType, const char* address,
                const char* bit, char* output);

} // namespace zel
