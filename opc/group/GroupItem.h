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
    std::shared_ptr<AttributeNode> attribute;
    std::shared_ptr<CachedValue> cache; // shared with the update service and other items

    VARTYPE CanonicalType() const noexcept { return cache ? cache->CanonicalType() : static_cast<VARTYPE>(VT_EMPTY); }
    VARTYPE DeliveredType() const noexcept { return requestedType == static_cast<VARTYPE>(VT_EMPTY) ? CanonicalType() : requestedType; }
};

// An item's value in its requested type from `source` (kSourceCache or the device):
// from the cache under the entry's lock, from the device through the runtime (outside
// any cache lock). `runtime` may be null (device reads then fail with E_FAIL).
DeliveredValue DeliverGroupItem(const GroupItem& item, DWORD source, NRK_Server* runtime) noexcept;

} // namespace opc
