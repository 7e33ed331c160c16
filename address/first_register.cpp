#include "address/parser.h"

namespace zel {

int32_t FirstRegister(const AddressRules& rules, const TagAddress& tag) {
    // Unsigned arithmetic: a tag handed back by the host may hold anything.
    const uint32_t address = static_cast<uint32_t>(tag.address);
    if (!rules.parityCheck && tag.address >= kOddMark)
        return static_cast<int32_t>(2u * address - 199999u);
    if (tag.width == 32 && !rules.longAddr) return static_cast<int32_t>(2u * address);
    return tag.address;
}

} // namespace zel
