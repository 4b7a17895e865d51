// Snapshot enumerators: IEnumString, IEnumUnknown, IEnumConnections and
// IEnumConnectionPoints over an array taken when the enumerator is made. Clones share
// the snapshot; each enumerator holds a module lock while it exists.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <objidl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "opc/com/CallFrame.h"
#include "opc/common/ComMemory.h"
#include "opc/com/ComObject.h"
#include "opc/com/ModuleLock.h"

namespace opc::server {

struct StringEnumTraits {
    using Interface = IEnumString;
    using Item = std::wstring;
    using Out = LPOLESTR;
    static Out Copy(const Item& item) { return ::opc::TaskMemString(item).release(); }
    static void Free(Out& out) noexcept {
        CoTaskMemFree(out);
        out = nullptr;
    }
};

struct UnknownEnumTraits {
    using Interface = IEnumUnknown;
    using Item = com::ComPtr<IUnknown>;
    using Out = IUnknown*;
    static Out Copy(const Item& item) {
        item->AddRef();
        return item.Get();
    }
    static void Free(Out& out) noexcept {
        if (out) out->Release();
        out = nullptr;
    }
};

struct ConnectionEnumTraits {
    using Interface = IEnumConnections;
    struct Item {
        com::ComPtr<IUnknown> sink;
        DWORD cookie = 0;
    };
    using Out = CONNECTDATA;
    static Out Copy(const Item& item) {
        item.sink->AddRef();
        return CONNECTDATA{item.sink.Get(), item.cookie};
    }
    static void Free(Out& out) noexcept {
        if (out.pUnk) out.pUnk->Release();
        out = CONNECTDATA{};
    }
};

struct ConnectionPointEnumTraits {
    using Interface = IEnumConnectionPoints;
    using Item = com::ComPtr<IConnectionPoint>;
    using Out = IConnectionPoint*;
    static Out Copy(const Item& item) {
        item->AddRef();
        return item.Get();
    }
    static void Free(Out& out) noexcept {
        if (out) out->Release();
        out = nullptr;
    }
};

// Every enumerator alive in the process, with the client process whose call made it, so that
// a shutdown can cut them all off from their clients, and the end of a client process those of
// that client (a client that died under Wine never releases them, and each holds a module lock
// and references to server objects and groups).
class LiveEnumerators {
public:
    static void Add(::opc::com::ComObjectRoot* object, IUnknown* identity);
    static void Remove(::opc::com::ComObjectRoot* object) noexcept;
    // Disconnects every enumerator alive now from its clients.
    static void DisconnectAll() noexcept;
    // Disconnects the enumerators made by calls from process `client`.
    static void DisconnectClient(DWORD client) noexcept;
};

template <class Traits>
class SnapshotEnumerator : public Traits::Interface, public com::ComObjectRoot {
public:
    using Interface = typename Traits::Interface;
    using Item = typename Traits::Item;
    using Out = typename Traits::Out;
    using Snapshot = std::shared_ptr<const std::vector<Item>>;

    explicit SnapshotEnumerator(Snapshot snapshot, std::size_t position = 0)
        : snapshot_(std::move(snapshot)), position_(position) {
        LiveEnumerators::Add(this, static_cast<Interface*>(this));
    }
    ~SnapshotEnumerator() override { LiveEnumerators::Remove(this); }

    LX_COM_UNKNOWN

    void* FindInterface(REFIID riid) noexcept { return com::InterfaceList<Interface>::Find(this, riid); }

    STDMETHODIMP Next(ULONG celt, Out* elements, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (celt == 0) return E_INVALIDARG;
        if (!elements || (celt != 1 && !fetched)) return E_POINTER;
        if (!snapshot_) return E_FAIL;
        return com::Guarded([&]() -> HRESULT {
            std::lock_guard<com::SlimLock> hold(lock_);
            const std::vector<Item>& items = *snapshot_;
            const std::size_t remaining = items.size() - std::min(position_, items.size());
            const std::size_t count = std::min<std::size_t>(celt, remaining);
            std::size_t made = 0;
            try {
                for (; made < count; ++made) elements[made] = Traits::Copy(items[position_ + made]);
            } catch (...) {
                for (std::size_t i = 0; i < made; ++i) Traits::Free(elements[i]);
                throw;
            }
            position_ += count;
            if (fetched) *fetched = static_cast<ULONG>(count);
            return count < celt ? S_FALSE : S_OK;
        });
    }
    STDMETHODIMP Skip(ULONG celt) override {
        if (celt == 0) return E_INVALIDARG;
        std::lock_guard<com::SlimLock> hold(lock_);
        const std::size_t size = snapshot_ ? snapshot_->size() : 0;
        const std::size_t remaining = size - std::min(position_, size);
        const std::size_t count = std::min<std::size_t>(celt, remaining);
        position_ += count;
        return count < celt ? S_FALSE : S_OK;
    }
    STDMETHODIMP Reset() override {
        std::lock_guard<com::SlimLock> hold(lock_);
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** result) override {
        if (!result) return E_POINTER;
        *result = nullptr;
        return com::Guarded([&]() -> HRESULT {
            std::size_t position;
            {
                std::lock_guard<com::SlimLock> hold(lock_);
                position = position_;
            }
            auto clone = com::MakeComObject<SnapshotEnumerator>(snapshot_, position);
            *result = clone.Detach();
            return S_OK;
        });
    }

private:
    com::ModuleLock moduleLock_;
    Snapshot snapshot_;
    com::SlimLock lock_;
    std::size_t position_;
};

// Makes an enumerator over `items` and queries it for riid.
template <class Traits>
HRESULT MakeEnumerator(std::vector<typename Traits::Item> items, REFIID riid, void** result) {
    auto snapshot = std::make_shared<const std::vector<typename Traits::Item>>(std::move(items));
    auto enumerator = com::MakeComObject<SnapshotEnumerator<Traits>>(std::move(snapshot));
    return enumerator->QueryInterface(riid, result);
}

} // namespace opc::server
