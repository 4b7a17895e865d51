// A connection point for one sink interface, living inside its owner object (the
// server object for IOPCShutdown, a group for IOPCDataCallback): AddRef and Release go
// to the owner, and the sink list is guarded by the owner's object lock.
//
// Sink list: cookies are 1-based slot numbers; Advise takes the first empty slot, so
// cookies of unadvised sinks are given out again.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <mutex>
#include <vector>

#include "opc/com/CallFrame.h"
#include "opc/com/ComObject.h"
#include "opc/server/Enumerators.h"
#include "opc/server/ServerResults.h"

namespace opc::server {

template <class Sink>
class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer& container, ::opc::com::RecursiveLock& lock) noexcept
        : container_(container), lock_(lock) {}
    ~ConnectionPoint() { Clear(); }
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // IUnknown: identity of its own; the count is the owner's.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!InlineIsEqualGUID(riid, IID_IUnknown) && !InlineIsEqualGUID(riid, IID_IConnectionPoint))
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IConnectionPoint*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return container_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return container_.Release(); }

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = __uuidof(Sink);
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** result) override {
        if (!result) return E_POINTER;
        container_.AddRef();
        *result = &container_;
        return S_OK;
    }
    STDMETHODIMP Advise(IUnknown* unknownSink, DWORD* cookie) override {
        if (cookie) *cookie = 0;
        if (!unknownSink || !cookie) return E_POINTER;
        com::ComPtr<Sink> sink;
        HRESULT hr = unknownSink->QueryInterface(__uuidof(Sink), reinterpret_cast<void**>(sink.GetAddressOf()));
        if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
        if (FAILED(hr)) return hr;
        if (!sink) return CONNECT_E_CANNOTCONNECT;
        try {
            std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
            std::size_t slot = 0;
            while (slot < slots_.size() && slots_[slot]) ++slot;
            if (slot == slots_.size()) {
                if (slots_.size() == slots_.capacity()) slots_.reserve(slots_.empty() ? 1 : slots_.size() < 4 ? 4 : slots_.size() * 2);
                slots_.emplace_back();
            }
            slots_[slot].Swap(sink); // (MinGW's ComPtr move-assignment copies)
            *cookie = static_cast<DWORD>(slot + 1);
            return S_OK;
        } catch (...) {
            return CONNECT_E_ADVISELIMIT; // the list cannot grow; the sink reference goes with `sink`
        }
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        com::ComPtr<Sink> sink;
        {
            std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
            if (cookie == 0 || cookie > slots_.size() || !slots_[cookie - 1]) return CONNECT_E_NOCONNECTION;
            sink.Swap(slots_[cookie - 1]);
            TrimTail();
        }
        return S_OK; // `sink` is released here, outside the lock
    }
    STDMETHODIMP EnumConnections(IEnumConnections** result) override {
        if (!result) return E_POINTER;
        *result = nullptr;
        return com::Guarded([&]() -> HRESULT {
            std::vector<ConnectionEnumTraits::Item> items;
            {
                std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
                for (std::size_t i = 0; i < slots_.size(); ++i) {
                    if (!slots_[i]) continue;
                    com::ComPtr<IUnknown> unknown;
                    slots_[i].As(&unknown);
                    items.push_back({unknown, static_cast<DWORD>(i + 1)});
                }
            }
            return MakeEnumerator<ConnectionEnumTraits>(std::move(items), IID_IEnumConnections,
                                                        reinterpret_cast<void**>(result));
        });
    }

    // For the owner. Number of slots (empty ones included).
    std::size_t SlotCount() const {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        return slots_.size();
    }
    // The sink in a slot (0-based) with a new reference, or NULL.
    com::ComPtr<Sink> SinkAt(std::size_t slot) const {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        return slot < slots_.size() ? slots_[slot] : com::ComPtr<Sink>();
    }
    // Drops the sink of a slot if it is still `sink` (a client that is gone).
    void Drop(std::size_t slot, Sink* sink) {
        com::ComPtr<Sink> dropped;
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        if (slot < slots_.size() && slots_[slot].Get() == sink) {
            dropped.Swap(slots_[slot]);
            TrimTail();
        }
    }
    bool HasSinks() const {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        for (const auto& s : slots_)
            if (s) return true;
        return false;
    }
    // Calls f(sink) for every sink in list order, each taken under the lock and called
    // outside it (unless the caller holds the lock itself); a sink whose call says that
    // its client is gone is dropped. f returns the call's HRESULT.
    template <class F>
    void ForEachSink(F&& f) {
        const std::size_t count = SlotCount();
        for (std::size_t slot = 0; slot < count; ++slot) {
            com::ComPtr<Sink> sink = SinkAt(slot);
            if (!sink) continue;
            HRESULT hr = f(sink.Get());
            if (IsDeadClient(hr)) Drop(slot, sink.Get());
        }
    }
    // Clients lose the point: COM drops its stubs' references (which are the owner's).
    void DisconnectFromClients() noexcept { CoDisconnectObject(static_cast<IConnectionPoint*>(this), 0); }
    // Releases every sink (the owner's destruction and teardown).
    void Clear() noexcept {
        std::vector<com::ComPtr<Sink>> old;
        {
            std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
            old.swap(slots_);
        }
    }

private:
    // A list whose only sink went is an empty list again (no slots).
    void TrimTail() noexcept {
        for (const auto& s : slots_)
            if (s) return;
        slots_.clear();
    }

    IConnectionPointContainer& container_;
    ::opc::com::RecursiveLock& lock_;
    std::vector<com::ComPtr<Sink>> slots_;
};

} // namespace opc::server
