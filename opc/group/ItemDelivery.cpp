#include "opc/group/GroupItem.h"

namespace opc {

DeliveredValue DeliverGroupItem(const GroupItem& item, DWORD source, NRK_Server* runtime) noexcept {
    if (!item.cache) {
        DeliveredValue failed;
        failed.result = E_FAIL;
        return failed;
    }
    const VARTYPE canonical = item.CanonicalType();
    const VARTYPE requested = item.DeliveredType();
    if (ServedFromDevice(source, requested, canonical)) {
        if (!runtime) {
            DeliveredValue failed;
            failed.result = E_FAIL;
            return failed;
        }
        return DeliverFromDevice(*runtime, item.cache->Channel(), item.cache->Attribute(), requested, canonical);
    }
    return item.cache->View(
        [&](const CachedValueView& view) { return DeliverFromCache(view, requested, canonical); });
}

} // namespace opc
