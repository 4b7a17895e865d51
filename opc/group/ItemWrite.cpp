#include "opc/group/ItemWrite.h"

#include <new>

#include "opc/common/OpcErrors.h"
#include "opc/group/ValueConversion.h"
#include "opcda.h"
#include "runtime/AddressSpace.h"

namespace opc {

HRESULT WriteGroupItem(const GroupItem& item, const VARIANT& value, NRK_Server* runtime) noexcept {
    const AttributeNode* attribute = item.Attribute();
    if (!attribute || !runtime) return E_FAIL;
    DWORD rights = 0;
    try {
        rights = attribute->AccessRights(*runtime); // fails when the channel's type cannot be read
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    if ((rights & OPC_WRITEABLE) == 0) return OPC_E_BADRIGHTS;
    return WriteItemValue(*runtime, attribute->ChannelId(), attribute->AttributeId(), item.CanonicalType(), value);
}

} // namespace opc
