// OpcArray<OPCITEMSTATE>: an item-state array frees the VARIANT of every entry.
#pragma once

#include "opc/server/OpcArray.h"
#include "opcda.h"

namespace opc {

template <>
struct OpcArrayElement<OPCITEMSTATE> {
    static void Release(OPCITEMSTATE& state) noexcept { VariantClear(&state.vDataValue); }
};

} // namespace opc
