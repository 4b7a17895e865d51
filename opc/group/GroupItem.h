// One item of a group: an attribute of a channel as the client sees it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>

#include "opc/group/UpdateService.h"
#include "opc/group/ValueConversion.h"

class NRK_Server;

namespace opc {

using ItemHandle = DWORD; // OPCHANDLE

struct GroupItem {
    ItemHandle serverHandle = 0;
    ItemHandle clientHandle = 0;
    bool active = true;
    VARTYPE requestedType = VT_EMPTY;   // VT_EMPTY: the canonical type
    // Shared with the update service and other items; it also holds the attribute's tree node.
    std::shared_ptr<CachedValue> cache;

    // The item's attribute in the address-space tree; null for a cached value made without one.
    const AttributeNode* Attribute() const noexcept { return cache ? cache->Node().get() : nullptr; }
    VARTYPE CanonicalType() const noexcept { return cache ? cache->CanonicalType() : static_cast<VARTYPE>(VT_EMPTY); }
    VARTYPE DeliveredType() const noexcept { return requestedType == static_cast<VARTYPE>(VT_EMPTY) ? CanonicalType() : requestedType; }
};

// An item's value in its requested type from `source` (kSourceCache or the device):
// from the cache under the entry's lock, from the device through the runtime (outside
// any cache lock). `runtime` may be null (device reads then fail with E_FAIL).
DeliveredValue DeliverGroupItem(const GroupItem& item, DWORD source, NRK_Server* runtime) noexcept;

} // namespace opc
