#include "context/ProcessContext.h"

#include <ctime>

namespace lx {
namespace {
std::atomic<ProcessContext*> g_current{nullptr};
}

ProcessContext::ProcessContext() : startTime_(UtcNow()) {
    random_.seed(5489u);
    random_.seed(static_cast<std::mt19937::result_type>(std::time(nullptr)));
    g_current = this;
}

ProcessContext::~ProcessContext() {
    ProcessContext* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

ProcessContext* ProcessContext::Current() noexcept { return g_current.load(); }

long ProcessContext::Lock() noexcept { return ++lockCount_; }

long ProcessContext::Unlock() noexcept {
    const long count = --lockCount_;
    if (count == 0) {
        activity_ = true;
        if (shutdownEvent_)
            SetEvent(shutdownEvent_);
    }
    return count;
}

} // namespace lx
