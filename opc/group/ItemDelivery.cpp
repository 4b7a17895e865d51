#include "opc/group/GroupItem.h"

namespace opc {

FILETIME ToFileTime(UtcTime time) noexcept {
    using namespace std::chrono;
    // milliseconds since 1970, rounded down, moved to the 1601 epoch, in 100 ns units
    const auto ms = floor<milliseconds>(time.time_since_epoch()).count();
    const std::uint64_t ticks = static_cast<std::uint64_t>(ms + 11644473600000LL) * 10000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFULL);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

DeliveredValue DeliverItemValue(const GroupItem& item, DWORD) noexcept {
    DeliveredValue out;
    try {
        if (!item.cache) {
            out.result = E_FAIL;
            return out;
        }
        CachedValue::State state = item.cache->Read();
        out.quality = state.quality;
        out.timestamp = ToFileTime(state.changeTime == UtcTime::max() ? state.createdTime : state.changeTime);
        const VARTYPE wanted = item.requestedType == VT_EMPTY ? state.value.vt() : item.requestedType;
        if (wanted == state.value.vt()) {
            out.value = std::move(state.value);
        } else {
            out.result = VariantChangeType(out.value.ptr(), state.value.ptr(), 0, wanted);
        }
    } catch (const std::bad_alloc&) {
        out.result = E_OUTOFMEMORY;
    } catch (...) {
        out.result = E_FAIL;
    }
    return out;
}

} // namespace opc
