#include "opc/com/ModuleLock.h"

#include "module/ServerModule.h"

namespace opc::com {

ModuleLock::ModuleLock() noexcept {
    if (ServerModule* module = ServerModule::Instance()) {
        module->Lock();
        held_ = true;
    }
}

ModuleLock::~ModuleLock() {
    if (!held_) return;
    if (ServerModule* module = ServerModule::Instance()) module->Unlock();
}

} // namespace opc::com
