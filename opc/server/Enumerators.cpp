#include "opc/server/Enumerators.h"

#include <map>

namespace opc::server {

namespace {
std::mutex g_liveLock;
std::map<::opc::com::ComObjectRoot*, IUnknown*>& Live() {
    static std::map<::opc::com::ComObjectRoot*, IUnknown*> live;
    return live;
}
} // namespace

void LiveEnumerators::Add(::opc::com::ComObjectRoot* object, IUnknown* identity) {
    std::lock_guard<std::mutex> hold(g_liveLock);
    Live().emplace(object, identity);
}

void LiveEnumerators::Remove(::opc::com::ComObjectRoot* object) noexcept {
    std::lock_guard<std::mutex> hold(g_liveLock);
    Live().erase(object);
}

void LiveEnumerators::DisconnectAll() noexcept {
    std::vector<std::pair<::opc::com::ComObjectRoot*, IUnknown*>> alive;
    try {
        std::lock_guard<std::mutex> hold(g_liveLock);
        for (const auto& [object, identity] : Live())
            if (object->TryAddRef()) alive.emplace_back(object, identity); // a dying one is left alone
    } catch (...) {
        // out of memory: those collected so far are still handled
    }
    for (const auto& [object, identity] : alive) {
        object->CutOffFromClients(identity);
        identity->Release();
    }
}

} // namespace opc::server
