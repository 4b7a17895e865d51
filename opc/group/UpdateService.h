// The process-wide update service: one worker thread that scans the value cache every
// scan period, runs every group's update timer and every posted job, one at a time.
//
// One service lives per process; ProcessContext::AcquireUpdateService hands out the live
// one or makes a new one, and it ends with its last shared reference (server objects,
// groups). Boost stays inside UpdateService.cpp.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "context/ProcessContext.h"
#include "opc/com/ObjectLocks.h"
#include "opc/common/ComMemory.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/ValueConversion.h"

class AttributeNode; // runtime/AddressSpace.h
class NRK_Server;

namespace opc {

using Duration = std::chrono::microseconds;

// The clock of the update service: UTC with microsecond resolution. Tests may freeze
// it and move it by hand (process-wide); timers then fire as the manual time passes.
struct ServiceClock {
    using duration = std::chrono::microseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = UtcTime;
    static constexpr bool is_steady = false;

    static time_point now() noexcept;

    // Test control.
    static void SetManual(time_point at) noexcept;
    static void Advance(duration by) noexcept;
    static void SetReal() noexcept;
    static bool IsManual() noexcept;
};

// The cached current value of one channel attribute, shared by the service and by
// every item that names the attribute. Written by the scan on the worker thread; read
// by ticks and by synchronous cache reads through View() or Read(), under its own lock,
// so that a read never sees a value that a refresh is replacing.
class CachedValue {
public:
    // The entry's lock: a slim reader/writer lock taken exclusively. It needs no memory of its
    // own and no set-up (a std::mutex of this toolchain allocates its state on first use, which
    // a cache of a hundred thousand entries pays for a hundred thousand times).
    using Lock = ::opc::com::SlimLock;

    CachedValue(std::shared_ptr<AttributeNode> node, int channel, int attribute, VARTYPE canonical) noexcept
        : node_(std::move(node)), channel_(channel), attribute_(attribute), canonical_(canonical) {}
    CachedValue(const CachedValue&) = delete;
    CachedValue& operator=(const CachedValue&) = delete;

    const std::shared_ptr<AttributeNode>& Node() const noexcept { return node_; }
    int Channel() const noexcept { return channel_; }
    int Attribute() const noexcept { return attribute_; }
    VARTYPE CanonicalType() const noexcept { return canonical_; }

    struct State {
        Variant value;                        // VT_EMPTY until first read
        WORD quality = kQualityNeverRead;
        UtcTime changeTime = UtcTime::max();  // unset: later than every real time
        std::uint64_t changeSequence = 0;     // number of the scan that made the last change
        UtcTime createdTime{};                // when the entry was made
    };
    // A copy of the current state (VariantCopy); throws std::bad_alloc.
    State Read() const;
    // Calls f(const CachedValueView&) under the entry's lock and returns its result. The
    // view's time is the change time, or the creation time while never read.
    template <class F>
    auto View(F&& f) const {
        std::lock_guard<Lock> hold(lock_);
        const CachedValueView view{*state_.value, state_.quality,
                                   state_.changeTime == UtcTime::max() ? state_.createdTime : state_.changeTime};
        return f(view);
    }
    // Scan sequence of the last change, without copying the value.
    std::uint64_t ChangeSequence() const noexcept { return changeSequence_.load(); }

private:
    friend class UpdateService;
    friend bool MergeReading(CachedValue&, AttributeReading&&, UtcTime, std::uint64_t);
    const std::shared_ptr<AttributeNode> node_;
    const int channel_;
    const int attribute_;
    const VARTYPE canonical_;
    mutable Lock lock_;
    State state_;
    std::atomic<std::uint64_t> changeSequence_{0};
};

// A FIFO of callback deliveries to one client (its server object's groups share one):
// the service's delivery threads run its jobs one at a time, in the order queued, away
// from the worker thread, so a client that is slow in its callbacks holds up only its
// own queue. Opaque; made by UpdateService::CreateDeliveryQueue.
class DeliveryQueue;

class UpdateService {
public:
    // Reads one attribute for the cache; may throw (the entry's quality then becomes 0x00).
    using AttributeReader = std::function<AttributeReading(const CachedValue&)>;

    struct Options {
        NRK_Server* runtime = nullptr;  // scan period from node parameter 104
        AttributeReader reader;          // how the scan reads attributes
    };

    class Timer; // a timer of the service's event loop (opaque)

    // Starts the worker thread and posts the first scan. Throws when the thread
    // cannot be started.
    static std::shared_ptr<UpdateService> Create(Options options);
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    // The larger of GetNodeParameter(104) ms and 100 ms; fixed at start.
    Duration ScanPeriod() const noexcept;
    // Time of the current or last scan (the start time before the first scan).
    UtcTime ScanTime() const;
    // Number of scans made so far (and of cache entries read at creation): a change
    // stamped with sequence s is newer than everything a tick that saw s - 1 reported.
    std::uint64_t ScanSequence() const noexcept;

    // The one cached value of the node's (channel, attribute): found through the index,
    // or made, read at once and appended to the scan list. `canonical` is the
    // attribute's canonical type (what the scan reads).
    std::shared_ptr<CachedValue> GetCachedValue(std::shared_ptr<AttributeNode> node, VARTYPE canonical);
    // The same for a key without a tree node (tests, tools).
    std::shared_ptr<CachedValue> GetCachedValue(int channel, int attribute, VARTYPE canonical);
    std::size_t CacheSize() const;

    // Queues a job for the worker thread.
    void Post(std::function<void()> job);
    // Timers of the service's loop: Arm replaces a pending wait; the handler runs on
    // the worker when the timer expires (never when it is cancelled or destroyed).
    // ArmAt waits until a point in time (one already past fires at once).
    std::shared_ptr<Timer> CreateTimer();
    void Arm(Timer& timer, Duration after, std::function<void()> handler);
    void ArmAt(Timer& timer, UtcTime at, std::function<void()> handler);

    // The point of a periodic grid that follows `due` (the one a handler ran for): due +
    // period, or, when `now` is already past that, the first point of the same grid after
    // `now` (the periods missed are not made up). Periodic timers keep to their grid
    // this way, whatever their handlers take and however late the worker gets to them.
    static UtcTime NextOnGrid(UtcTime due, Duration period, UtcTime now) noexcept;

    bool OnWorkerThread() const noexcept;

    // Callback delivery. Deliver queues `job` on `queue`; the job runs on one of the
    // service's delivery threads (each in the multithreaded apartment), after every job
    // queued before it on the same queue has ended. Queues run side by side on up to
    // kMaxDeliveryThreads threads, made when every thread is busy and ended after a
    // while without work. Throws std::bad_alloc (nothing queued).
    static constexpr std::size_t kMaxDeliveryThreads = 32;
    std::shared_ptr<DeliveryQueue> CreateDeliveryQueue();
    void Deliver(const std::shared_ptr<DeliveryQueue>& queue, std::function<void()> job);
    // Jobs queued and not yet ended, on every queue.
    std::size_t PendingDeliveries() const;
    std::size_t DeliveryThreads() const;

    // Tests: returns when every timer due at the current ServiceClock time has fired,
    // every job posted so far has run and (unless `deliveries` is false) every delivery
    // queued so far has ended (give up after `limit` of real time).
    bool WaitIdle(std::chrono::milliseconds limit = std::chrono::milliseconds(10000), bool deliveries = true);

    struct Impl;

private:
    struct PassKey {
        explicit PassKey() = default;
    };

public:
    UpdateService(PassKey, std::shared_ptr<Impl> impl) noexcept;

private:
    std::shared_ptr<Impl> impl_;
};

// Merges a reading into a cached value (the scan's rule): no value leaves it as it is;
// a raised read sets quality 0x00 and stamps the scan; a value that is new, or differs
// in value or quality, replaces it and stamps the scan. True when the entry changed.
bool MergeReading(CachedValue& entry, AttributeReading&& reading, UtcTime scanTime,
                  std::uint64_t scanSequence);

} // namespace opc
