// The process-wide module object: one per process, created on WinMain's stack,
// reachable everywhere through ServerModule::Instance().
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include <boost/signals2/signal.hpp>

#include "module/MessageLoop.h"
#include "nrk/NRK_Server.h"

class GroupNode;        // runtime/AddressSpace.h
class ControlPanel;     // the operator window (panel/)

namespace opc {
class UpdateService;    // opc/group/UpdateService.h
}
namespace lx {
class ClassFactory;     // module/ClassFactory.h
}

// UTC time with microsecond resolution, as kept everywhere inside the server.
using UtcTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
inline UtcTime UtcNow() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

class ServerModule {
public:
    // How the module obtains the runtime's operation table (NRK_GET_INTERFACE in the
    // executable; a fake in tests).
    using RuntimeProvider = bool (*)(int version, NRK_Server** server);

    ServerModule();
    ~ServerModule();
    ServerModule(const ServerModule&) = delete;
    ServerModule& operator=(const ServerModule&) = delete;

    // The one module of this process; null before construction and after destruction.
    static ServerModule* Instance() noexcept;

    bool Failed() const noexcept { return failed_; }

    // Lock count: one per live server or group object, per class-factory lock, and one for the panel.
    long Lock() noexcept;
    long Unlock() noexcept;           // at zero: sets the activity flag and wakes the shutdown monitor
    long LockCount() const noexcept { return lockCount_.load(); }

    DWORD MainThreadId() const noexcept { return mainThreadId_; }

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
    std::shared_ptr<opc::UpdateService> AcquireUpdateService();

    NRK_Server* Runtime() const noexcept { return runtime_; }
    void SetRuntime(NRK_Server* runtime) noexcept { runtime_ = runtime; }

    const std::wstring& NodePath() const noexcept { return nodePath_; }
    void SetNodePath(std::wstring path) { nodePath_ = std::move(path); }

    const std::shared_ptr<GroupNode>& Root() const noexcept { return root_; }
    void SetRoot(std::shared_ptr<GroupNode> root) { root_ = std::move(root); }

    const std::shared_ptr<ControlPanel>& Panel() const noexcept { return panel_; }
    void SetPanel(std::shared_ptr<ControlPanel> panel) { panel_ = std::move(panel); }

    UtcTime StartTime() const noexcept { return startTime_; }

    // Raised by the panel's Exit: first "please disconnect", then "tear everything down".
    boost::signals2::signal<void()>& FirstShutdownNotice() noexcept { return firstNotice_; }
    boost::signals2::signal<void()>& SecondShutdownNotice() noexcept { return secondNotice_; }

    // For generated group names; callers serialise through RandomLock().
    std::mt19937& Random() noexcept { return random_; }
    std::mutex& RandomLock() noexcept { return randomLock_; }

    // The main thread's message loop (message filters and idle handlers).
    lx::MessageLoop& Loop() noexcept { return loop_; }

    // Entry after the single-instance guard: reads the command line (registration
    // switches end the process here) and runs. The result is the exit code.
    int Main(const wchar_t* commandLine, int showCommand, RuntimeProvider provider);

    // The program path: the first command-line token, quotes removed.
    const std::wstring& ProgramPath() const noexcept { return programPath_; }

    // The shutdown monitor's event (auto-reset) and activity flag.
    HANDLE ShutdownEvent() const noexcept { return shutdownEvent_; }
    void SetShutdownEvent(HANDLE event) noexcept { shutdownEvent_ = event; }
    bool TakeActivity() noexcept { return activity_.exchange(false); }

private:
    int Run(int showCommand);
    bool Initialise();
    void Cleanup() noexcept;
    HRESULT RegisterClassObjects() noexcept;
    HRESULT RevokeClassObjects() noexcept;
    HRESULT StartShutdownMonitor() noexcept;
    void StopShutdownMonitor() noexcept;
    static DWORD WINAPI ShutdownMonitor(void* module);
    void MonitorShutdown() noexcept;

    std::atomic<long> lockCount_{0};
    DWORD mainThreadId_ = 0;
    HANDLE shutdownEvent_ = nullptr;
    std::atomic<DWORD> shutdownDelay_{5000};
    std::atomic<DWORD> shutdownPause_{1000};
    bool delayShutdown_ = true;
    std::atomic<bool> activity_{false};
    LONG autoStart_ = 0;
    std::atomic<LONG> shuttingDown_{0};
    lx::MessageLoop loop_;
    std::shared_ptr<ControlPanel> panel_;
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
    bool failed_ = false;
    bool comInitialised_ = false;
    // Start-up and hosting state of the entry function.
    RuntimeProvider runtimeProvider_ = nullptr;
    std::wstring programPath_;
    std::unique_ptr<lx::ClassFactory> classFactory_;
    DWORD classCookie_ = 0;
    HANDLE monitorThread_ = nullptr;
    std::atomic<bool> monitorStop_{false};
};
