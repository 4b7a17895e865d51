// OPC result codes used by the server and group objects.
#pragma once

#include <windows.h>

#ifndef OPC_E_DUPLICATENAME
#define OPC_E_DUPLICATENAME ((HRESULT)0xC004000CL)
#endif
#ifndef OPC_E_NOTFOUND
#define OPC_E_NOTFOUND ((HRESULT)0xC0040011L)
#endif
#ifndef OPC_S_UNSUPPORTEDRATE
#define OPC_S_UNSUPPORTEDRATE ((HRESULT)0x0004000DL)
#endif
#ifndef OPC_S_INUSE
#define OPC_S_INUSE ((HRESULT)0x0004000FL)
#endif

namespace opc {

// The failures by which a call into a client tells that the client is gone: its
// process died or it was disconnected. Its sink is then dropped.
inline bool IsDeadClient(HRESULT hr) noexcept {
    switch (static_cast<unsigned long>(hr)) {
    case 0x800706BAUL: // RPC_S_SERVER_UNAVAILABLE
    case 0x80010108UL: // RPC_E_DISCONNECTED
    case 0x80010007UL: // RPC_E_SERVER_DIED
    case 0x80010012UL: // RPC_E_SERVER_DIED_DNE
        return true;
    default:
        return false;
    }
}

} // namespace opc
