#include "opc/com/CallFrame.h"

#include "module/ServerModule.h"

namespace opc::com {

bool ProcessShuttingDown() noexcept {
    ServerModule* module = ServerModule::Instance();
    return module && module->ShuttingDown();
}

} // namespace opc::com
