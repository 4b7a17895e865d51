// Writing a client's value to a group item's attribute, after the access-rights check.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "opc/group/GroupItem.h"

class NRK_Server;

namespace opc {

// OPC_E_BADRIGHTS (and no runtime setter call) when the attribute is not writeable;
// E_FAIL when its rights cannot be read or there is no runtime; otherwise the result of
// writing the value (WriteItemValue).
HRESULT WriteGroupItem(const GroupItem& item, const VARIANT& value, NRK_Server* runtime) noexcept;

} // namespace opc
