// What the OPC objects and the control panel share of the process: the runtime, the
// address space, the module lock count and the shutdown state. One context lives per
// process, owned by the module on top; objects reach it through ProcessContext::Current().
// Tests make a context of their own, which is then the current one while it lives.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include <boost/signals2/signal.hpp>

#include "nrk/NRK_Server.h"

class GroupNode;        // runtime/AddressSpace.h

namespace opc {
class UpdateService;    // opc/group/UpdateService.h
}

// UTC time with microsecond resolution, as kept everywhere inside the server.
using UtcTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
inline UtcTime UtcNow() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

namespace lx {

class ProcessContext {
public:
    ProcessContext();
    ~ProcessContext();
    ProcessContext(const ProcessContext&) = delete;
    ProcessContext& operator=(const ProcessContext&) = delete;

    // The context constructed last, until it ends; null when none lives.
    static ProcessContext* Current() noexcept;

    // Lock count: one per live server or group object, per class-factory lock, and one for the panel.
    long Lock() noexcept;
    long Unlock() noexcept;           // at zero: sets the activity flag and signals the shutdown event
    long LockCount() const noexcept { return lockCount_.load(); }

    // The shutdown monitor's event (auto-reset; the module owns the handle) and activity flag.
    HANDLE ShutdownEvent() const noexcept { return shutdownEvent_; }
    void SetShutdownEvent(HANDLE event) noexcept { shutdownEvent_ = event; }
    bool TakeActivity() noexcept { return activity_.exchange(false); }
    void SetActivity(bool on) noexcept { activity_ = on; }
    bool Activity() const noexcept { return activity_.load(); }

    void SetShutdownDelay(DWORD ms) noexcept { shutdownDelay_ = ms; }
    DWORD ShutdownDelay() const noexcept { return shutdownDelay_; }
    void SetShutdownPause(DWORD ms) noexcept { shutdownPause_ = ms; }
    DWORD ShutdownPause() const noexcept { return shutdownPause_; }

    bool AutoStart() const noexcept { return autoStart_ != 0; }
    void SetAutoStart(bool on) noexcept { autoStart_ = on ? 1 : 0; }

    // While set, every OPC interface method answers E_FAIL.
    bool ShuttingDown() const noexcept { return shuttingDown_.load() != 0; }
    void SetShuttingDown(bool on) noexcept { shuttingDown_ = on ? 1 : 0; }

    // The process-wide update service: the live one, or a new one when none lives.
    // Defined with the service (opc/group/UpdateServiceAcquire.cpp).
    std::shared_ptr<opc::UpdateService> AcquireUpdateService();

    NRK_Server* Runtime() const noexcept { return runtime_; }
    void SetRuntime(NRK_Server* runtime) noexcept { runtime_ = runtime; }

    const std::wstring& NodePath() const noexcept { return nodePath_; }
    void SetNodePath(std::wstring path) { nodePath_ = std::move(path); }

    const std::shared_ptr<GroupNode>& Root() const noexcept { return root_; }
    void SetRoot(std::shared_ptr<GroupNode> root) { root_ = std::move(root); }

    UtcTime StartTime() const noexcept { return startTime_; }

    // Raised by the panel's Exit: first "please disconnect", then "tear everything down".
    boost::signals2::signal<void()>& FirstShutdownNotice() noexcept { return firstNotice_; }
    boost::signals2::signal<void()>& SecondShutdownNotice() noexcept { return secondNotice_; }

    // For generated group names; callers serialise through RandomLock().
    std::mt19937& Random() noexcept { return random_; }
    std::mutex& RandomLock() noexcept { return randomLock_; }

private:
    std::atomic<long> lockCount_{0};
    HANDLE shutdownEvent_ = nullptr;
    std::atomic<DWORD> shutdownDelay_{5000};
    std::atomic<DWORD> shutdownPause_{1000};
    std::atomic<bool> activity_{false};
    LONG autoStart_ = 0;
    std::atomic<LONG> shuttingDown_{0};
    std::recursive_mutex updateServiceLock_;
    std::weak_ptr<opc::UpdateService> updateService_;
    NRK_Server* runtime_ = nullptr;
    std::wstring nodePath_;
    std::shared_ptr<GroupNode> root_;
    UtcTime startTime_;
    boost::signals2::signal<void()> firstNotice_;
    boost::signals2::signal<void()> secondNotice_;
    std::mt19937 random_;
    std::mutex randomLock_;
};

} // namespace lx
