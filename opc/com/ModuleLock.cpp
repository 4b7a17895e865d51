#include "opc/com/ModuleLock.h"

#include "context/ProcessContext.h"

namespace opc::com {

ModuleLock::ModuleLock() noexcept {
    if (::lx::ProcessContext* module = ::lx::ProcessContext::Current()) {
        module->Lock();
        held_ = true;
    }
}

ModuleLock::~ModuleLock() {
    if (!held_) return;
    if (::lx::ProcessContext* module = ::lx::ProcessContext::Current()) module->Unlock();
}

} // namespace opc::com
