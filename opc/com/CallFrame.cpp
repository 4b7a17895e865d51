#include "opc/com/CallFrame.h"

#include "context/ProcessContext.h"

namespace opc::com {

bool ProcessShuttingDown() noexcept {
    ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
    return module && module->ShuttingDown();
}

} // namespace opc::com
