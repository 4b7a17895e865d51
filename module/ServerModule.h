// The process-wide module object: one per process, created on WinMain's stack,
// reachable through ServerModule::Instance(). It composes the process: it owns the
// context shared by the OPC objects and the panel (context/ProcessContext.h), the
// message loop, the class object, the shutdown monitor and the control panel.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "context/ProcessContext.h"
#include "module/InterfaceAnchors.h"
#include "module/MessageLoop.h"
#include "nrk/NRK_Server.h"

class ControlPanel;     // the operator window (panel/)

namespace lx {
class ClassFactory;     // module/ClassFactory.h
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

    // What the OPC objects and the panel share of the process.
    lx::ProcessContext& Context() noexcept { return context_; }

    DWORD MainThreadId() const noexcept { return mainThreadId_; }

    const std::shared_ptr<ControlPanel>& Panel() const noexcept { return panel_; }
    void SetPanel(std::shared_ptr<ControlPanel> panel) { panel_ = std::move(panel); }

    // The main thread's message loop (message filters and idle handlers).
    lx::MessageLoop& Loop() noexcept { return loop_; }

    // Entry after the single-instance guard: reads the command line (registration
    // switches end the process here) and runs. The result is the exit code.
    int Main(const wchar_t* commandLine, int showCommand, RuntimeProvider provider);

    // The program path: the first command-line token, quotes removed.
    const std::wstring& ProgramPath() const noexcept { return programPath_; }

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

    lx::ProcessContext context_;
    DWORD mainThreadId_ = 0;
    bool delayShutdown_ = true;
    lx::MessageLoop loop_;
    std::shared_ptr<ControlPanel> panel_;
    bool failed_ = false;
    bool comInitialised_ = false;
    // Start-up and hosting state of the entry function.
    RuntimeProvider runtimeProvider_ = nullptr;
    std::wstring programPath_;
    std::unique_ptr<lx::ClassFactory> classFactory_;
    DWORD classCookie_ = 0;
    lx::InterfaceAnchors anchors_; // from the class object's registration to the module's end
    HANDLE monitorThread_ = nullptr;
    std::atomic<bool> monitorStop_{false};
};
