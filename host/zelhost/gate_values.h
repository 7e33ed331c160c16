// Gate types and values as a user of zelhost sees them: the gate type
// inferred from a gate address, the host value buffer of single and block
// operations, and values shown and parsed by the kind of gate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/channel.h"

namespace zelhost {

// The gate type a host would give a gate of this address without a bit:
// coils and inputs digital, 16-bit registers and bytes unsigned 16, floats
// float, 32-bit areas 32-bit integer. -1 when the memory type character is
// not known (the driver refuses such an address anyway).
int32_t GateTypeForAddress(const std::string& gas);

enum class ValueKind { Bit, Unsigned16, Signed16, Byte, Float, Unsigned32, Signed32 };

// The kind of value of a parsed gate with its gate type.
ValueKind KindOf(const zel::TagAddress& tag, int32_t gateType);
const char* KindName(ValueKind kind);

// The host value buffer of `count` elements of a gate: one 4-byte cell for a
// single operation, packed values for a block.
class ValueBuffer {
  public:
    ValueBuffer(const zel::TagAddress& tag, bool block, int32_t count);
    void* Data() { return bytes_.data(); }
    int32_t Count() const { return count_; }
    // The raw bit pattern of element i.
    uint32_t Get(int32_t i) const;
    void Set(int32_t i, uint32_t raw);

  private:
    int32_t width_;
    bool block_;
    int32_t count_;
    std::vector<uint8_t> bytes_;
};

// Shows a raw value: bits as 0/1, integers in decimal with the other
// signedness beside them when it reads differently, floats as numbers;
// `hex` shows the raw pattern in hexadecimal.
// Floats are shown in the fewest digits that read back as the same float.
std::string FormatValue(ValueKind kind, uint32_t raw, bool hex);
// The value alone, as a number a spreadsheet reads: integers with the
// gate's signedness, floats in full, or the raw pattern in hexadecimal.
std::string FormatPlain(ValueKind kind, uint32_t raw, bool hex);

// Parses a value typed by the user for a gate of this kind; false with a
// one-line reason when it is not a number or does not fit the gate. A float
// is taken when it rounds to a 32-bit float; `note`, when given, then says
// whether it was rounded to 0 or changed on the way.
bool ParseValue(ValueKind kind, const std::string& text, uint32_t& raw, std::string& error,
                std::string* note = nullptr);

} // namespace zelhost
