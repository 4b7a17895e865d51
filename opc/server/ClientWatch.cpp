#include "opc/server/ClientWatch.h"

#include <objbase.h>
#include <rpc.h>
#include <rpcdcep.h>

namespace opc::server {

DWORD CallingProcessId() noexcept {
    // Inside a call that COM dispatches from another process, the thread's current RPC call
    // is that call; its local (ncalrpc) connection knows the caller's process.
    unsigned long pid = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) != RPC_S_OK) return 0;
    return pid == GetCurrentProcessId() ? 0 : static_cast<DWORD>(pid);
}

struct ClientWatch::State {
    DWORD pid = 0;
    HANDLE process = nullptr;
    HANDLE wait = nullptr;
    std::function<void()> gone;
    std::weak_ptr<State> self;

    ~State() {
        if (process) CloseHandle(process);
    }
};

namespace {

// The watch whose `gone` this thread is running, if any.
thread_local const ClientWatch::State* t_running = nullptr;

VOID CALLBACK ProcessEnded(PVOID context, BOOLEAN) {
    auto* state = static_cast<ClientWatch::State*>(context);
    // Alive here: a ClientWatch ended on another thread waits for this callback before it lets go
    // of the state. `keep` holds it when `gone` ends the watch on this very thread.
    std::shared_ptr<ClientWatch::State> keep = state->self.lock();
    if (!keep) return;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    t_running = state;
    try {
        if (state->gone) state->gone();
    } catch (...) {
    }
    t_running = nullptr;
    if (SUCCEEDED(com)) CoUninitialize();
}

} // namespace

std::unique_ptr<ClientWatch> ClientWatch::Start(DWORD pid, std::function<void()> gone) {
    if (pid == 0) return nullptr;
    auto state = std::make_shared<State>();
    state->pid = pid;
    state->gone = std::move(gone);
    state->self = state;
    state->process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!state->process) return nullptr;
    std::unique_ptr<ClientWatch> watch(new ClientWatch(state));
    if (!RegisterWaitForSingleObject(&state->wait, state->process, &ProcessEnded, state.get(), INFINITE,
                                     WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION)) {
        state->wait = nullptr;
        return nullptr;
    }
    return watch;
}

ClientWatch::~ClientWatch() {
    if (!state_ || !state_->wait) return;
    // From inside its own callback the wait is only unregistered (waiting would never end); the
    // callback's own reference keeps the state until it returns.
    UnregisterWaitEx(state_->wait, t_running == state_.get() ? nullptr : INVALID_HANDLE_VALUE);
}

DWORD ClientWatch::ProcessId() const noexcept { return state_ ? state_->pid : 0; }

bool ClientWatch::Ended() const noexcept {
    return state_ && state_->process && WaitForSingleObject(state_->process, 0) == WAIT_OBJECT_0;
}

} // namespace opc::server
