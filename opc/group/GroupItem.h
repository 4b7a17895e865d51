// One item of a group: an attribute of a channel as the client sees it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>

#include "opc/group/UpdateService.h"

namespace opc {

using ItemHandle = DWORD; // OPCHANDLE

struct GroupItem {
    ItemHandle serverHandle = 0;
    ItemHandle clientHandle = 0;
    bool active = true;
    VARTYPE requestedType = VT_EMPTY;   // VT_EMPTY: the canonical type
    VARTYPE canonicalType = VT_EMPTY;   // the attribute's canonical type
    std::shared_ptr<AttributeNode> attribute;
    std::shared_ptr<CachedValue> cache; // shared with the update service and other items
};

// The value of an item as delivered to a client: in the requested type, with quality,
// timestamp and the item's result.
struct DeliveredValue {
    com::Variant value;
    WORD quality = 0;
    FILETIME timestamp{};
    HRESULT result = S_OK;
};

// Source of a delivery (OPCDATASOURCE): 1 is the cache, anything else the device.
constexpr DWORD kSourceCache = 1;

// Delivers one item's value (used by data-change callbacks, reads and refreshes).
// Never throws: failures are the item's result.
DeliveredValue DeliverItemValue(const GroupItem& item, DWORD source) noexcept;

// UTC time to FILETIME in whole milliseconds.
FILETIME ToFileTime(UtcTime time) noexcept;

} // namespace opc
