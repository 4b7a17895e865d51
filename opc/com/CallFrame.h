// The common frame of every OPC method: clear outputs, check arguments, refuse while
// the process shuts down, count the call as busy, take the object lock, run the body,
// and turn exceptions into HRESULTs (std::bad_alloc -> E_OUTOFMEMORY, anything else
// -> E_FAIL). Nothing escapes.
//
//   return MethodFrame(core_).Clear(ppUnk).Check(ppUnk != nullptr).Run([&] { ... });
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>
#include <type_traits>

#include "opc/com/ObjectLocks.h"

namespace opc::com {

// True while the process-wide shutting-down flag is set.
bool ProcessShuttingDown() noexcept;

// Busy counter and object lock of one COM object.
struct ObjectCore {
    std::atomic<long> busy{0};
    ::opc::com::RecursiveLock lock;

    // Waits, yielding the processor, until no call is in progress.
    void WaitUntilIdle() const noexcept {
        while (busy.load() != 0) Sleep(0);
    }
};

// Counts one call in progress for its lifetime.
class BusyScope {
public:
    explicit BusyScope(ObjectCore& core) noexcept : core_(core) { ++core_.busy; }
    ~BusyScope() { --core_.busy; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    ObjectCore& core_;
};

// Runs f and maps exceptions to HRESULTs.
template <class F>
HRESULT Guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

class MethodFrame {
public:
    explicit MethodFrame(ObjectCore& core) noexcept : core_(core) {}

    // Clears every given output that is not NULL (pointers to NULL, numbers to 0).
    template <class... P>
    MethodFrame& Clear(P*... outputs) noexcept {
        (ClearOne(outputs), ...);
        return *this;
    }
    // An argument check made before the shutting-down flag; the first failure wins.
    MethodFrame& Check(bool ok, HRESULT failure = E_INVALIDARG) noexcept {
        if (SUCCEEDED(result_) && !ok) result_ = failure;
        return *this;
    }
    // The body runs without the object lock (still counted as busy).
    MethodFrame& Unlocked() noexcept {
        locked_ = false;
        return *this;
    }
    // Once the flag is set the object refuses calls with E_FAIL (a removed group);
    // read after the lock is taken.
    MethodFrame& RefuseWhen(const std::atomic<bool>& flag) noexcept {
        refuse_ = &flag;
        return *this;
    }

    template <class Body>
    HRESULT Run(Body&& body) noexcept {
        if (FAILED(result_)) return result_;
        if (ProcessShuttingDown()) return E_FAIL;
        BusyScope busy(core_);
        return Guarded([&]() -> HRESULT {
            std::unique_lock<::opc::com::RecursiveLock> hold(core_.lock, std::defer_lock);
            if (locked_) hold.lock();
            if (refuse_ && refuse_->load()) return E_FAIL;
            return body();
        });
    }

private:
    template <class T>
    static void ClearOne(T* output) noexcept {
        if (output) *output = T{};
    }

    ObjectCore& core_;
    HRESULT result_ = S_OK;
    bool locked_ = true;
    const std::atomic<bool>* refuse_ = nullptr;
};

} // namespace opc::com
