// The client process behind a server object, and a watch on its end.
//
// COM under Wine never runs down the references of a client that dies without releasing them
// (no pinging): a client ended by TerminateProcess or a crash would leave its server object,
// groups and enumerators in the server for good. So a server object created by a call from
// another process learns that process (CallingProcessId), keeps a SYNCHRONIZE handle to it and
// waits for it in the thread pool; when it ends, the object tears itself down (Server::ClientGone).
// An object belongs to the process that made it: handed on to a third process, it goes when its maker
// ends. Enumerators are told apart by the id of the process whose call made them; the teardown follows
// the end of the process within milliseconds, before the id can serve another process.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace opc::server {

// The id of the process whose COM call this thread is serving, or 0 when the thread serves no
// call from another process (in-process callers, the panel, tests).
DWORD CallingProcessId() noexcept;

class ClientWatch {
public:
    // Watches process `pid`: `gone` runs once, on a thread of the pool (in the multithreaded
    // apartment), when the process has ended. Null when the process cannot be opened (it has
    // ended already, or it may not be waited for). Throws std::bad_alloc.
    static std::unique_ptr<ClientWatch> Start(DWORD pid, std::function<void()> gone);
    // Stops watching; waits for a `gone` that runs on another thread (not for one that is
    // running this destructor itself).
    ~ClientWatch();
    ClientWatch(const ClientWatch&) = delete;
    ClientWatch& operator=(const ClientWatch&) = delete;

    DWORD ProcessId() const noexcept;
    // True once the process has ended (does not wait).
    bool Ended() const noexcept;

    struct State;

private:
    explicit ClientWatch(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

} // namespace opc::server
