// The standard properties of an item (one attribute of one channel), read from the runtime
// at the moment of the call: 1..5 (data type, value, quality, timestamp, access rights),
// 6 (the server's scan rate) and 7 (EU type: none, since no item has engineering units).
#pragma once

#include <windows.h>

#include <cstdint>

#include "opc/server/OpcArray.h"

class NRK_Server;
class AttributeNode;

namespace opc::server {

constexpr DWORD kItemPropertyCount = 7;

// IDs 1..7, their descriptions and data types (the second is the item's canonical type).
// Raises std::out_of_range when the item's channel type cannot be read.
struct AvailableProperties {
    OpcArray<DWORD> ids;
    OpcArray<LPWSTR> descriptions;
    OpcArray<VARTYPE> dataTypes;
};
AvailableProperties QueryAvailableProperties(NRK_Server& runtime, const AttributeNode& item);

// Values and per-entry results for the requested IDs, in request order; scanRateMs is the
// value of property 6. Per entry: OPC_E_INVALID_PID for IDs outside 1..7, E_FAIL for a
// value the runtime cannot give, E_OUTOFMEMORY for a text that cannot be allocated; the
// entry's VARIANT is then VT_EMPTY. Raises std::out_of_range when the item's channel type
// cannot be read.
struct PropertyValues {
    OpcArray<VARIANT> values;
    OpcArray<HRESULT> errors;
    bool anyError = false;
};
PropertyValues GetItemProperties(NRK_Server& runtime, const AttributeNode& item, DWORD count, const DWORD* ids,
                                 FLOAT scanRateMs);

// The current value of the item's attribute as a VARIANT of its canonical type.
HRESULT ReadItemValueProperty(NRK_Server& runtime, const AttributeNode& item, VARTYPE canonical, VARIANT& value);

} // namespace opc::server
