#include "opc/server/Enumerators.h"

#include <map>

#include "opc/server/ClientWatch.h"

namespace opc::server {

namespace {
struct LiveEntry {
    IUnknown* identity;
    DWORD client; // the calling process, 0 in process
};
std::mutex g_liveLock;
std::map<::opc::com::ComObjectRoot*, LiveEntry>& Live() {
    static std::map<::opc::com::ComObjectRoot*, LiveEntry> live;
    return live;
}

// Cuts off the live enumerators of `client` (0: all).
void Disconnect(DWORD client) noexcept {
    std::vector<std::pair<::opc::com::ComObjectRoot*, IUnknown*>> alive;
    try {
        std::lock_guard<std::mutex> hold(g_liveLock);
        for (const auto& [object, entry] : Live())
            if ((client == 0 || entry.client == client) && object->TryAddRef()) // a dying one is left alone
                alive.emplace_back(object, entry.identity);
    } catch (...) {
        // out of memory: those collected so far are still handled
    }
    for (const auto& [object, identity] : alive) {
        object->CutOffFromClients(identity);
        identity->Release();
    }
}
} // namespace

void LiveEnumerators::Add(::opc::com::ComObjectRoot* object, IUnknown* identity) {
    const DWORD client = CallingProcessId();
    std::lock_guard<std::mutex> hold(g_liveLock);
    Live().emplace(object, LiveEntry{identity, client});
}

void LiveEnumerators::Remove(::opc::com::ComObjectRoot* object) noexcept {
    std::lock_guard<std::mutex> hold(g_liveLock);
    Live().erase(object);
}

void LiveEnumerators::DisconnectAll() noexcept { Disconnect(0); }

void LiveEnumerators::DisconnectClient(DWORD client) noexcept {
    if (client) Disconnect(client);
}

} // namespace opc::server
