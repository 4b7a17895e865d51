// Creation of one OPC server object for the class object of the module.
#pragma once

#include <windows.h>

namespace opc::server::da::com {

// Creates a server object and queries it for riid. A server object that cannot
// initialise is destroyed again and the result is E_FAIL. Never throws.
// `client`: the process whose call asks for it (the class object's CreateInstance), which the
// object watches and outlives by nothing (Server::WatchClient); 0 in process.
HRESULT CreateServerObject(REFIID riid, void** object, DWORD client = 0) noexcept;

} // namespace opc::server::da::com
