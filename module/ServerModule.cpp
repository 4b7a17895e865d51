#include "module/ServerModule.h"

#include "module/ClassFactory.h"
#include "module/CommandLine.h"
#include "module/ModuleIds.h"
#include "module/Registrar.h"
#include "context/ResourceStrings.h"
#include "module/StartupFailure.h"
#include "panel/ControlPanel.h"
#include "runtime/NodeSelection.h"

#include <commctrl.h>
#include <objbase.h>

#include <filesystem>

// The address-space tree is built right after the node is accepted.
#if __has_include("runtime/AddressSpace.h")
#include "runtime/AddressSpace.h"
#define LX_HAVE_ADDRESS_SPACE 1
#endif

namespace {
std::atomic<ServerModule*> g_instance{nullptr};
}

ServerModule::ServerModule() {
    g_instance = this;
    mainThreadId_ = GetCurrentThreadId();
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    comInitialised_ = SUCCEEDED(hr);
    failed_ = FAILED(hr);
}

ServerModule::~ServerModule() {
    StopShutdownMonitor();
    RevokeClassObjects();
    anchors_.Release(); // the last stubs of their interfaces, once no new client can come
    panel_.reset();
    classFactory_.reset();
    if (HANDLE event = context_.ShutdownEvent()) {
        context_.SetShutdownEvent(nullptr);
        CloseHandle(event);
    }
    if (comInitialised_)
        CoUninitialize();
    ServerModule* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

ServerModule* ServerModule::Instance() noexcept { return g_instance.load(); }

int ServerModule::Main(const wchar_t* commandLine, int showCommand, RuntimeProvider provider) {
    runtimeProvider_ = provider;
    try {
        const std::vector<std::wstring> tokens = lx::TokeniseCommandLine(commandLine ? commandLine : L"");
        programPath_ = tokens.empty() ? std::wstring() : tokens.front();
        std::wstring modulePath;
        const HRESULT pathResult = lx::reg::ModulePath(modulePath);
        for (const std::wstring& token : tokens) {
            switch (lx::ClassifyToken(token)) {
            case lx::TokenAction::Unregister:
                return FAILED(pathResult) ? pathResult : lx::reg::UnregisterServer(modulePath);
            case lx::TokenAction::Register:
                return FAILED(pathResult) ? pathResult : lx::reg::RegisterServer(modulePath);
            case lx::TokenAction::AutoStart:
                context_.SetAutoStart(true);
                break;
            case lx::TokenAction::NodeFile:
                if (SUCCEEDED(pathResult))
                    lx::reg::RememberNodePath(token, modulePath);   // the outcome does not matter
                break;
            case lx::TokenAction::None:
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    return Run(showCommand);
}

int ServerModule::Run(int showCommand) {
    DefWindowProcW(nullptr, WM_NULL, 0, 0);
    INITCOMMONCONTROLSEX controls{sizeof(controls),
                                  ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    if (!InitCommonControlsEx(&controls))
        return E_FAIL;
    if (!Initialise()) {
        Cleanup();
        return E_FAIL;
    }

    HRESULT hr = RegisterClassObjects();
    if (SUCCEEDED(hr)) {
        hr = StartShutdownMonitor();
        if (FAILED(hr)) {
            RevokeClassObjects();
        } else {
            hr = CoResumeClassObjects();
            if (FAILED(hr)) {
                SetEvent(context_.ShutdownEvent());
                WaitForSingleObject(monitorThread_, 2 * context_.ShutdownDelay());
                RevokeClassObjects();
            }
        }
    }
    if (FAILED(hr)) {
        Cleanup();
        return hr;
    }

    context_.SetShutdownPause(0);
    context_.SetShutdownDelay(1000);
    if (panel_)
        panel_->Show(showCommand);
    context_.Lock();   // the panel's; its window gives it back when destroyed
    loop_.Run();

    hr = RevokeClassObjects();
    Sleep(context_.ShutdownPause());
    Cleanup();
    return hr;
}

bool ServerModule::Initialise() {
    try {
        NRK_Server* runtime = nullptr;
        if (runtimeProvider_)
            runtimeProvider_(0, &runtime);
        context_.SetRuntime(runtime);
        if (!runtime)   // no runtime, no node
            throw lx::StartupFailure(lx::IDS_NODE_LOAD_FAILED);

        std::wstring program = programPath_;
        if (!program.empty() && program.front() == L'"') {
            program.erase(0, 1);
            if (!program.empty() && program.back() == L'"')
                program.pop_back();
        }
        const std::wstring exeDir = lx::ExecutableDirectory(program);
        std::string root = lx::node::ToAnsi(exeDir);
        if (root.empty() || (root.back() != '\\' && root.back() != '/'))
            root += '\\';
        runtime->SetRootDirectory(root.c_str());

        lx::node::RegistryConfigReader reader;
        context_.SetNodePath(lx::node::SelectAndLoadNode(reader, *runtime, std::filesystem::current_path(), exeDir));

#ifdef LX_HAVE_ADDRESS_SPACE
        context_.SetRoot(BuildAddressSpace(*runtime));
#else
        // ADDRESS-SPACE: the tree is built here (BuildAddressSpace in runtime/AddressSpace.h).
#endif

        panel_ = CreateControlPanel(context_, loop_);
        if (!panel_ || !panel_->Window())
            throw std::runtime_error("control panel");
        return true;
    } catch (const lx::StartupFailure& failure) {
        lx::ShowErrorBox(failure.StringId());
    } catch (...) {
        lx::ShowErrorBox(lx::IDS_OUT_OF_MEMORY);
    }
    return false;
}

void ServerModule::Cleanup() noexcept {
    panel_.reset();
    if (NRK_Server* runtime = context_.Runtime()) {
        try {
            if (runtime->IsNodeRunning())
                runtime->StopNode();
            if (runtime->IsNodeLoaded())
                runtime->UnloadNode();
        } catch (...) {
        }
    }
    context_.SetRuntime(nullptr);
    context_.SetRoot(nullptr);
}

HRESULT ServerModule::RegisterClassObjects() noexcept {
    try {
        if (!classFactory_)
            classFactory_ = std::make_unique<lx::ClassFactory>(context_);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = CoRegisterClassObject(lx::kServerClsid, static_cast<IClassFactory*>(classFactory_.get()),
                                             CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED,
                                             &classCookie_);
    if (SUCCEEDED(hr)) anchors_.Hold();
    return hr;
}

HRESULT ServerModule::RevokeClassObjects() noexcept {
    if (!classCookie_)
        return S_OK;
    const HRESULT hr = CoRevokeClassObject(classCookie_);
    classCookie_ = 0;
    return hr;
}

HRESULT ServerModule::StartShutdownMonitor() noexcept {
    if (!context_.ShutdownEvent())
        context_.SetShutdownEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!context_.ShutdownEvent())
        return E_FAIL;
    monitorStop_ = false;
    monitorThread_ = CreateThread(nullptr, 0, &ServerModule::ShutdownMonitor, this, 0, nullptr);
    return monitorThread_ ? S_OK : E_FAIL;
}

void ServerModule::StopShutdownMonitor() noexcept {
    if (!monitorThread_)
        return;
    monitorStop_ = true;
    if (HANDLE event = context_.ShutdownEvent())
        SetEvent(event);
    WaitForSingleObject(monitorThread_, 10000);
    CloseHandle(monitorThread_);
    monitorThread_ = nullptr;
}

DWORD WINAPI ServerModule::ShutdownMonitor(void* module) {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<ServerModule*>(module)->MonitorShutdown();
    if (SUCCEEDED(hr))
        CoUninitialize();
    return 0;
}

// Ends the message loop once the lock count has stayed at zero for the shutdown
// delay. The event stays open until the module ends: an unlock racing with the end
// of this thread must not signal a closed (or reused) handle.
void ServerModule::MonitorShutdown() noexcept {
    const HANDLE event = context_.ShutdownEvent();
    for (;;) {
        WaitForSingleObject(event, INFINITE);
        if (monitorStop_)
            return;
        DWORD wait;
        do {
            context_.SetActivity(false);
            wait = WaitForSingleObject(event, context_.ShutdownDelay());
        } while (wait == WAIT_OBJECT_0 && !monitorStop_);
        if (monitorStop_)
            return;
        if (!context_.Activity() && context_.LockCount() == 0) {
            CoSuspendClassObjects();
            if (context_.LockCount() == 0)
                break;
        }
    }
    PostThreadMessageW(mainThreadId_, WM_QUIT, 0, 0);
}
