// OPC result codes used by the server and group objects, and the sign of a client
// that is gone.
#pragma once

#include <windows.h>

#include "opc/common/OpcErrors.h"

namespace opc {

// The failures by which a call into a client tells that the client is gone: its
// process died or it was disconnected. Its sink is then dropped.
inline bool IsDeadClient(HRESULT hr) noexcept {
    switch (static_cast<unsigned long>(hr)) {
    case 0x800706BAUL: // RPC_S_SERVER_UNAVAILABLE
    case 0x80010108UL: // RPC_E_DISCONNECTED
    case 0x80010007UL: // RPC_E_SERVER_DIED
    case 0x80010012UL: // RPC_E_SERVER_DIED_DNE
    case 0x800401FDUL: // CO_E_OBJNOTCONNECTED
        return true;
    default:
        return false;
    }
}

} // namespace opc
