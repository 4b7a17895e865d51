// Creation of one OPC server object for the class object of the module.
#pragma once

#include <windows.h>

namespace opc::server::da::com {

// Creates a server object and queries it for riid. A server object that cannot
// initialise is destroyed again and the result is E_FAIL. Never throws.
HRESULT CreateServerObject(REFIID riid, void** object) noexcept;

} // namespace opc::server::da::com
