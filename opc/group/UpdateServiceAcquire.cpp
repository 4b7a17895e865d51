// The context's hand-out of the one update service of the process.
#include "context/ProcessContext.h"

#include <mutex>

#include "opc/group/UpdateService.h"

namespace opc {
// How the scan reads an attribute of the runtime (set up with the value conversions).
UpdateService::AttributeReader RuntimeAttributeReader(NRK_Server* runtime);
} // namespace opc

std::shared_ptr<opc::UpdateService> lx::ProcessContext::AcquireUpdateService() {
    std::lock_guard<std::recursive_mutex> hold(updateServiceLock_);
    if (auto live = updateService_.lock()) return live;
    opc::UpdateService::Options options;
    options.runtime = runtime_;
    options.reader = opc::RuntimeAttributeReader(runtime_);
    auto service = opc::UpdateService::Create(std::move(options));
    updateService_ = service;
    return service;
}
