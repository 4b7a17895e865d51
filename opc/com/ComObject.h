// The COM object base of the server: reference count, interface map, no aggregation.
//
// A COM class T derives from its interfaces and from ComObjectRoot, declares the
// IUnknown methods pure once more (LX_COM_UNKNOWN) so that name lookup in T is not
// ambiguous, and offers `void* FindInterface(REFIID)` (usually InterfaceList<...>::Find)
// and may override QueryInterfaceCheck() to refuse calls (shutting down, removed).
// Instances are ComObject<T>, made by MakeComObject<T>(args...).
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

#include "opc/com/ObjectLocks.h"

namespace opc::com {

template <class I>
using ComPtr = Microsoft::WRL::ComPtr<I>;

// MinGW-w64's ComPtr differs from the platform's in two places: Attach() adds a
// reference, and move-assignment copies (the source keeps its reference). Take over a
// reference with Adopt() and move one pointer into another with Swap().
template <class I>
ComPtr<I> Adopt(I* owned) noexcept {
    ComPtr<I> result;
    *result.GetAddressOf() = owned;
    return result;
}

// Declares IUnknown's methods pure in a class with several interface bases.
#define LX_COM_UNKNOWN                                                                     \
    STDMETHOD(QueryInterface)(REFIID riid, void** object) override = 0;                    \
    STDMETHOD_(ULONG, AddRef)() override = 0;                                              \
    STDMETHOD_(ULONG, Release)() override = 0;

// The interface map: `riid` is looked up among Interfaces, in order; IUnknown answers
// with the first interface (the object's identity).
template <class First, class... Rest>
struct InterfaceList {
    template <class T>
    static void* Find(T* self, REFIID riid) noexcept {
        if (InlineIsEqualGUID(riid, IID_IUnknown)) return static_cast<IUnknown*>(static_cast<First*>(self));
        void* found = nullptr;
        (void)(Match<First>(self, riid, found) || ... || Match<Rest>(self, riid, found));
        return found;
    }
    template <class T>
    static IUnknown* Identity(T* self) noexcept { return static_cast<IUnknown*>(static_cast<First*>(self)); }

private:
    template <class I, class T>
    static bool Match(T* self, REFIID riid, void*& found) noexcept {
        if (!InlineIsEqualGUID(riid, __uuidof(I))) return false;
        found = static_cast<I*>(self);
        return true;
    }
};

// Reference count shared by every COM class of the server.
class ComObjectRoot {
public:
    ComObjectRoot() = default;
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;
    virtual ~ComObjectRoot() = default;

    // Adds a reference only while the object is alive (count above 0); used by
    // code that found the object through a non-owning pointer (LifetimeToken).
    bool TryAddRef() noexcept {
        LONG n = refs_.load();
        while (n > 0) {
            if (refs_.compare_exchange_weak(n, n + 1)) return true;
        }
        return false;
    }
    LONG RefCount() const noexcept { return refs_.load(); }

protected:
    // Checked by QueryInterface before the map: a failure refuses the call.
    virtual HRESULT QueryInterfaceCheck() noexcept { return S_OK; }
    // Called by QueryInterface around the lookup (busy counters).
    virtual void EnterCall() noexcept {}
    virtual void LeaveCall() noexcept {}

    // Cuts the object off from its clients: COM releases the references of its stubs
    // and later calls from clients fail in COM. QueryInterface answers normally during
    // the call (COM asks for the identity), whatever QueryInterfaceCheck says.
    void DisconnectFromClients(IUnknown* identity) noexcept {
        ++disconnecting_;
        CoDisconnectObject(identity, 0);
        --disconnecting_;
    }
    bool Disconnecting() const noexcept { return disconnecting_.load() > 0; }

public:
    // The same, for an object found in a registry of live objects.
    void CutOffFromClients(IUnknown* identity) noexcept { DisconnectFromClients(identity); }

protected:

    template <class T> friend class ComObject;
    std::atomic<LONG> refs_{0};
    std::atomic<int> disconnecting_{0};
};

template <class T>
class ComObject final : public T {
public:
    template <class... A>
    explicit ComObject(A&&... args) : T(std::forward<A>(args)...) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_INVALIDARG;
        *object = nullptr;
        if (!this->Disconnecting()) {
            HRESULT hr = this->QueryInterfaceCheck();
            if (FAILED(hr)) return hr;
        }
        this->EnterCall();
        void* found = this->FindInterface(riid);
        if (found) static_cast<IUnknown*>(found)->AddRef();
        this->LeaveCall();
        if (!found) return E_NOINTERFACE;
        *object = found;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++this->refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = --this->refs_;
        if (n == 0) delete this; // the one owner of every COM object is its count
        return static_cast<ULONG>(n);
    }
};

// Creates a COM object with one reference held by the result. Throws what T's
// constructor throws (std::bad_alloc).
template <class T, class... A>
ComPtr<T> MakeComObject(A&&... args) {
    auto object = std::make_unique<ComObject<T>>(std::forward<A>(args)...);
    ComPtr<T> result(object.get()); // AddRef
    object.release();
    return result;
}

// A non-owning way back to a COM object that may die at any time: jobs on other
// threads hold the token (weakly) and get a counted reference only while the
// object is alive. The object clears the token before it goes away.
template <class T>
class LifetimeToken {
public:
    // A counted reference that a job holds while it runs. It is not a reference of a
    // client: ReferencesBesidesPins leaves it out. Dropped under the token's lock, so it
    // must not outlive the caller's strong hold on the token.
    class Pin {
    public:
        Pin() noexcept = default;
        Pin(Pin&& other) noexcept : token_(other.token_), owner_(other.owner_) { other.owner_ = nullptr; }
        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;
        Pin& operator=(Pin&&) = delete;
        ~Pin() {
            if (owner_) token_->Unpin(owner_);
        }
        explicit operator bool() const noexcept { return owner_ != nullptr; }
        T* operator->() const noexcept { return owner_; }

    private:
        friend class LifetimeToken;
        Pin(LifetimeToken* token, T* owner) noexcept : token_(token), owner_(owner) {}
        LifetimeToken* token_ = nullptr;
        T* owner_ = nullptr;
    };

    explicit LifetimeToken(T* owner) noexcept : owner_(owner) {}
    void Clear() noexcept {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        owner_ = nullptr;
    }
    ComPtr<T> Lock() noexcept {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        if (owner_ && owner_->TryAddRef()) return Adopt(owner_);
        return ComPtr<T>();
    }
    // A job's reference, counted apart from every other reference.
    Pin PinOwner() noexcept {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        if (!owner_ || !owner_->TryAddRef()) return Pin();
        ++pins_;
        return Pin(this, owner_);
    }
    // The owner's reference count less the references that jobs hold, read at one instant:
    // pins are taken and dropped only under the token's lock.
    LONG ReferencesBesidesPins(const T& owner) noexcept {
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        return owner.RefCount() - pins_;
    }

private:
    void Unpin(T* owner) noexcept {
        // The lock is recursive: a last release destroys the owner, which clears the token.
        std::lock_guard<::opc::com::RecursiveLock> hold(lock_);
        --pins_;
        owner->Release();
    }

    ::opc::com::RecursiveLock lock_;
    T* owner_;
    LONG pins_ = 0;
};

} // namespace opc::com
