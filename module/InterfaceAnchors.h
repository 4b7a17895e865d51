// One stub of every interface that the server hands to clients, kept for as long as the
// class object is registered.
//
// Wine's COM runtime drops an interface's RPC registration when the process's last stub of
// that interface goes, and it waits for the calls in progress on that interface while it
// holds the process-wide lock that every marshalling of an interface pointer takes. A call in
// progress that returns an interface pointer (FindConnectionPoint, EnumConnections, AddGroup,
// CreateEnumerator...) then waits for that lock, and the release and the call wait for each
// other for ever; every later call that marshals an interface queues behind them. It takes
// a client that releases its last object of one kind while another of its threads calls, and
// a random-call client with four threads met it after about 120,000 calls. With a stub of each
// interface kept here, the registration never ends while the server serves, so that wait
// never happens.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <vector>

namespace lx {

class InterfaceAnchors {
public:
    InterfaceAnchors() = default;
    InterfaceAnchors(const InterfaceAnchors&) = delete;
    InterfaceAnchors& operator=(const InterfaceAnchors&) = delete;
    ~InterfaceAnchors() { Release(); }

    // Marshals the anchor object once for each interface (table-strong, into streams of this
    // process that no one else sees). An interface that cannot be marshalled (no proxy/stub
    // registered) is left out. Call on a thread of the multithreaded apartment.
    void Hold() noexcept;
    // Releases the marshalled data (and with it the stubs).
    void Release() noexcept;
    // Interfaces held (tests).
    std::size_t Count() const noexcept { return streams_.size(); }

private:
    std::vector<IStream*> streams_;
};

} // namespace lx
