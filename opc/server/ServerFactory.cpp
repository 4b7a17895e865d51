#include "opc/server/ServerFactory.h"

namespace opc::server::da::com {

// Until the server object exists, nothing can be created.
HRESULT CreateServerObject(REFIID, void** object) noexcept {
    if (object) *object = nullptr;
    return E_NOTIMPL;
}

} // namespace opc::server::da::com
