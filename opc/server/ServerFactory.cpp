#include "opc/server/ServerFactory.h"

#include "opc/com/CallFrame.h"
#include "opc/server/Server.h"

namespace opc::server::da::com {

HRESULT CreateServerObject(REFIID riid, void** object, DWORD client) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    return ::opc::com::Guarded([&]() -> HRESULT {
        auto server = ::opc::com::MakeComObject<Server>();
        if (FAILED(server->Initialise())) return E_FAIL; // destroyed with `server`
        server->WatchClient(client);
        return server->QueryInterface(riid, object);
    });
}

} // namespace opc::server::da::com
