#include "opc/group/UpdateService.h"

#include "opc/com/ObjectLocks.h"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <set>
#include <thread>

#include "nrk/NRK_Server.h"
#include "opc/group/BlockPool.h"
#include "opc/group/CachedValueTable.h"
#include "runtime/AddressSpace.h"

namespace opc {

// ---------------------------------------------------------------------------- clock

namespace {
std::atomic<bool> g_manualClock{false};
std::atomic<std::int64_t> g_manualMicroseconds{0};

constexpr Duration kMinimumScanPeriod = std::chrono::milliseconds(100);
} // namespace

ServiceClock::time_point ServiceClock::now() noexcept {
    if (g_manualClock.load()) return time_point(duration(g_manualMicroseconds.load()));
    return UtcNow();
}
void ServiceClock::SetManual(time_point at) noexcept {
    g_manualMicroseconds = at.time_since_epoch().count();
    g_manualClock = true;
}
void ServiceClock::Advance(duration by) noexcept { g_manualMicroseconds += by.count(); }
void ServiceClock::SetReal() noexcept { g_manualClock = false; }
bool ServiceClock::IsManual() noexcept { return g_manualClock.load(); }

namespace {
// With the manual clock, the loop wakes up every millisecond to look at the time.
struct ServiceWaitTraits {
    static ServiceClock::duration to_wait_duration(const ServiceClock::duration& d) {
        if (ServiceClock::IsManual()) return std::min<ServiceClock::duration>(d, std::chrono::milliseconds(1));
        return d;
    }
    static ServiceClock::duration to_wait_duration(const ServiceClock::time_point& t) {
        return to_wait_duration(t - ServiceClock::now());
    }
};
using ServiceTimer = boost::asio::basic_waitable_timer<ServiceClock, ServiceWaitTraits>;
} // namespace

// ---------------------------------------------------------------------------- cached value

CachedValue::State CachedValue::Read() const {
    std::lock_guard<Lock> hold(lock_);
    State copy;
    const HRESULT hr = VariantCopy(copy.value.Get(), const_cast<VARIANT*>(state_.value.Get()));
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    copy.quality = state_.quality;
    copy.changeTime = state_.changeTime;
    copy.changeSequence = state_.changeSequence;
    copy.createdTime = state_.createdTime;
    return copy;
}

bool MergeReading(CachedValue& entry, AttributeReading&& reading, UtcTime scanTime, std::uint64_t scanSequence) {
    std::lock_guard<CachedValue::Lock> hold(entry.lock_);
    CachedValue::State& state = entry.state_;
    switch (reading.status) {
    case ReadStatus::NoValue:
        return false;
    case ReadStatus::Raised:
        state.quality = kQualityBad; // the value stays
        break;
    case ReadStatus::Value:
        if (state.value.Type() != VT_EMPTY && reading.quality == state.quality &&
            !ValuesDiffer(*state.value, *reading.value))
            return false;
        state.value = std::move(reading.value); // a move cannot fail
        state.quality = reading.quality;
        break;
    }
    state.changeTime = scanTime;
    state.changeSequence = scanSequence;
    entry.changeSequence_ = scanSequence;
    return true;
}

// ---------------------------------------------------------------------------- delivery

class DeliveryQueue {
public:
    std::deque<std::function<void()>> jobs; // under the pool's lock
    bool scheduled = false;                  // in the ready list or being run
};

namespace {

constexpr auto kDeliveryThreadIdle = std::chrono::seconds(30);

// Threads that run the jobs of delivery queues, one job of a queue at a time, the
// queues in turn. A thread is made when a queue becomes ready and no thread waits.
class DeliveryPool {
public:
    void Deliver(const std::shared_ptr<DeliveryQueue>& queue, std::function<void()> job,
                 const std::shared_ptr<void>& keep) {
        std::unique_lock<std::mutex> hold(lock_);
        if (stopping_) return;
        queue->jobs.push_back(std::move(job)); // throws: nothing queued
        ++pending_;
        if (!queue->scheduled) {
            try {
                ready_.push_back(queue);
            } catch (...) {
                queue->jobs.pop_back();
                --pending_;
                throw;
            }
            queue->scheduled = true;
        }
        if (ready_.size() > idle_ && threads_ < UpdateService::kMaxDeliveryThreads) {
            try {
                std::thread([this, keep] { Run(); }).detach();
                ++threads_;
            } catch (...) {
                if (threads_ == 0) { // nobody would ever run it
                    queue->jobs.pop_back();
                    --pending_;
                    if (queue->jobs.empty()) {
                        queue->scheduled = false;
                        ready_.erase(std::find(ready_.begin(), ready_.end(), queue));
                    }
                    throw std::bad_alloc();
                }
            }
        }
        wake_.notify_one();
    }

    std::size_t Pending() const {
        std::lock_guard<std::mutex> hold(lock_);
        return pending_;
    }
    std::size_t Threads() const {
        std::lock_guard<std::mutex> hold(lock_);
        return threads_;
    }
    // Waits until every queued job has ended.
    bool WaitEmpty(std::chrono::steady_clock::time_point giveUp) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_until(hold, giveUp, [&] { return pending_ == 0; });
    }
    // Drops the jobs not yet begun and waits for the threads to end (all but the
    // calling one, when a delivery thread ends the service).
    void Stop() noexcept {
        std::unique_lock<std::mutex> hold(lock_);
        stopping_ = true;
        for (auto& queue : ready_) {
            pending_ -= queue->jobs.size();
            queue->jobs.clear();
            queue->scheduled = false;
        }
        ready_.clear();
        wake_.notify_all();
        const std::size_t self = t_pool == this ? 1 : 0;
        changed_.wait(hold, [&] { return threads_ <= self; });
    }

private:
    void Run() noexcept {
        t_pool = this;
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED); // calls to clients
        std::unique_lock<std::mutex> hold(lock_);
        while (!stopping_) {
            if (ready_.empty()) {
                ++idle_;
                const bool work = wake_.wait_for(hold, kDeliveryThreadIdle, [&] { return stopping_ || !ready_.empty(); });
                --idle_;
                if (!work) break; // idle for long: the thread ends
                continue;
            }
            std::shared_ptr<DeliveryQueue> queue = std::move(ready_.front());
            ready_.pop_front();
            std::function<void()> job = std::move(queue->jobs.front());
            queue->jobs.pop_front();
            hold.unlock();
            try {
                job();
            } catch (...) {
            }
            job = nullptr; // its captures go before the next job of the queue begins
            hold.lock();
            --pending_;
            if (queue->jobs.empty() || stopping_) {
                queue->scheduled = false;
            } else {
                ready_.push_back(std::move(queue)); // the other queues first
                wake_.notify_one();
            }
            if (pending_ == 0) changed_.notify_all();
        }
        --threads_;
        changed_.notify_all();
        hold.unlock();
        if (SUCCEEDED(com)) CoUninitialize();
        t_pool = nullptr;
    }

    static thread_local DeliveryPool* t_pool;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<DeliveryQueue>> ready_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    std::size_t pending_ = 0;
    bool stopping_ = false;
};

thread_local DeliveryPool* DeliveryPool::t_pool = nullptr;

} // namespace

// ---------------------------------------------------------------------------- service

class UpdateService::Timer {
public:
    explicit Timer(boost::asio::io_context& io) : timer(io) {}
    ServiceTimer timer;
};

struct UpdateService::Impl {
    boost::asio::io_context io{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::thread worker;
    std::atomic<std::thread::id> workerId{};

    // The cached values by (channel, attribute), which the scan walks too: one slot per entry
    // in one array (no nodes, no separate scan list), so that a hundred thousand entries stay small.
    mutable ::opc::com::RecursiveLock lock; // cache and scan time
    // Callers of Get waiting for the lock: the scan lets them in between its steps, so that a
    // client adding many items is not held up for a whole scan of a large cache at a time.
    std::atomic<int> waiting{0};
    KeyedSlotTable<CachedValue> cache;
    UtcTime scanTime{};
    std::atomic<std::uint64_t> sequence{0};
    Duration scanPeriod = kMinimumScanPeriod;
    UtcTime scanDue{};  // the grid point the current or last scan ran for
    AttributeReader reader;
    std::unique_ptr<Timer> scanTimer;

    DeliveryPool delivery;

    // Deadlines of armed timers, for WaitIdle.
    std::mutex dueLock;
    std::multiset<UtcTime> due;

    ~Impl() {
        scanTimer.reset();
    }

    void Refresh(CachedValue& entry, UtcTime time, std::uint64_t seq) {
        AttributeReading reading;
        try {
            if (!reader) return;
            reading = reader(entry);
        } catch (...) {
            reading.status = ReadStatus::Raised;
        }
        MergeReading(entry, std::move(reading), time, seq);
    }

    std::shared_ptr<CachedValue> Get(std::shared_ptr<AttributeNode> node, int channel, int attribute,
                                     VARTYPE canonical) {
        ++waiting;
        std::unique_lock<::opc::com::RecursiveLock> hold(lock);
        --waiting;
        auto [slot, made] = cache.FindOrMake(channel, attribute, [&] {
            // Pooled: no heap block per entry (see BlockPool.h).
            return std::allocate_shared<CachedValue>(PooledAllocator<CachedValue>(), std::move(node), channel,
                                                     attribute, canonical);
        });
        if (!made) return *slot;
        const std::shared_ptr<CachedValue> entry = *slot;
        scanTime = ServiceClock::now();
        const std::uint64_t seq = ++sequence;
        {
            std::lock_guard<CachedValue::Lock> entryHold(entry->lock_);
            entry->state_.createdTime = scanTime;
        }
        Refresh(*entry, scanTime, seq);
        return entry;
    }

    void Scan() {
        {
            std::lock_guard<::opc::com::RecursiveLock> hold(lock);
            scanTime = ServiceClock::now();
            if (scanDue == UtcTime{}) scanDue = scanTime; // the first scan starts the grid
            const std::uint64_t seq = ++sequence;
            const UtcTime time = scanTime;
            cache.Sweep([](CachedValue&, long uses) { return uses == 1; }, // no item uses it any more
                        [&](CachedValue& entry) { Refresh(entry, time, seq); },
                        [&] {
                            if (waiting.load() == 0) return;
                            lock.unlock();
                            for (int spin = 0; spin < 64 && waiting.load() > 0; ++spin) SwitchToThread();
                            lock.lock();
                        });
        }
        ArmScan();
    }

    void ArmScan() {
        try {
            if (!scanTimer) scanTimer = std::make_unique<Timer>(io);
            // One scan a period on the grid of the first: a scan that took long, or ran late,
            // does not push the later ones back.
            scanDue = UpdateService::NextOnGrid(scanDue, scanPeriod, ServiceClock::now());
            ArmAt(*scanTimer, scanDue, [this] { Scan(); });
        } catch (...) {
            Post([this] { Scan(); });
        }
    }

    void Post(std::function<void()> job) {
        boost::asio::post(io, [job = std::move(job)] {
            try {
                job();
            } catch (...) {
            }
        });
    }

    void ArmAt(Timer& timer, UtcTime at, std::function<void()> handler) {
        std::multiset<UtcTime>::iterator mark;
        {
            std::lock_guard<std::mutex> hold(dueLock);
            mark = due.insert(at);
        }
        try {
            timer.timer.expires_at(at); // cancels a pending wait (its handler sees the abort)
            timer.timer.async_wait([this, mark, handler = std::move(handler)](const boost::system::error_code& ec) {
                {
                    std::lock_guard<std::mutex> hold(dueLock);
                    due.erase(mark);
                }
                if (ec) return;
                try {
                    handler();
                } catch (...) {
                }
            });
        } catch (...) {
            std::lock_guard<std::mutex> hold(dueLock);
            due.erase(mark);
            throw;
        }
    }

    void Run() {
        workerId = std::this_thread::get_id();
        HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED); // callbacks go to clients
        for (;;) {
            try {
                io.run();
                break;
            } catch (...) {
                // a handler let an exception escape: keep serving
            }
        }
        if (SUCCEEDED(com)) CoUninitialize();
    }
};

UpdateService::UpdateService(PassKey, std::shared_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

std::shared_ptr<UpdateService> UpdateService::Create(Options options) {
    auto impl = std::make_shared<Impl>();
    impl->reader = std::move(options.reader);
    impl->scanTime = ServiceClock::now();
    Duration period = kMinimumScanPeriod;
    if (options.runtime) {
        const int ms = options.runtime->GetNodeParameter(NRK_PARAM_SCAN_PERIOD);
        period = std::max<Duration>(std::chrono::milliseconds(ms), kMinimumScanPeriod);
    }
    impl->scanPeriod = period;
    auto service = std::make_shared<UpdateService>(PassKey{}, impl);
    // The thread keeps the loop's state alive until it has left the loop, even when the
    // last reference to the service goes on the worker thread itself.
    impl->worker = std::thread([keep = impl] { keep->Run(); });
    impl->Post([raw = impl.get()] { raw->Scan(); });
    return service;
}

UpdateService::~UpdateService() {
    impl_->delivery.Stop();
    impl_->work.reset();
    impl_->io.stop(); // pending timers and jobs are discarded without running
    if (OnWorkerThread()) {
        impl_->worker.detach(); // the worker ends by itself after the current handler
    } else if (impl_->worker.joinable()) {
        impl_->worker.join();
    }
}

Duration UpdateService::ScanPeriod() const noexcept { return impl_->scanPeriod; }

UtcTime UpdateService::ScanTime() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(impl_->lock);
    return impl_->scanTime;
}

std::uint64_t UpdateService::ScanSequence() const noexcept { return impl_->sequence.load(); }

std::shared_ptr<CachedValue> UpdateService::GetCachedValue(std::shared_ptr<AttributeNode> node, VARTYPE canonical) {
    const int channel = node->ChannelId();
    const int attribute = node->AttributeId();
    return impl_->Get(std::move(node), channel, attribute, canonical);
}

std::shared_ptr<CachedValue> UpdateService::GetCachedValue(int channel, int attribute, VARTYPE canonical) {
    return impl_->Get(nullptr, channel, attribute, canonical);
}

std::size_t UpdateService::CacheSize() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(impl_->lock);
    return impl_->cache.size();
}

void UpdateService::Post(std::function<void()> job) { impl_->Post(std::move(job)); }

std::shared_ptr<UpdateService::Timer> UpdateService::CreateTimer() { return std::make_shared<Timer>(impl_->io); }

void UpdateService::Arm(Timer& timer, Duration after, std::function<void()> handler) {
    impl_->ArmAt(timer, ServiceClock::now() + after, std::move(handler));
}

void UpdateService::ArmAt(Timer& timer, UtcTime at, std::function<void()> handler) {
    impl_->ArmAt(timer, at, std::move(handler));
}

UtcTime UpdateService::NextOnGrid(UtcTime due, Duration period, UtcTime now) noexcept {
    if (period <= Duration::zero()) return now;
    UtcTime next = due + period;
    if (next <= now) next += period * ((now - next) / period + 1);
    return next;
}

bool UpdateService::OnWorkerThread() const noexcept { return impl_->workerId.load() == std::this_thread::get_id(); }

std::shared_ptr<DeliveryQueue> UpdateService::CreateDeliveryQueue() { return std::make_shared<DeliveryQueue>(); }

void UpdateService::Deliver(const std::shared_ptr<DeliveryQueue>& queue, std::function<void()> job) {
    // The pool's threads keep the service's state alive until they end.
    impl_->delivery.Deliver(queue, std::move(job), impl_);
}

std::size_t UpdateService::PendingDeliveries() const { return impl_->delivery.Pending(); }
std::size_t UpdateService::DeliveryThreads() const { return impl_->delivery.Threads(); }

bool UpdateService::WaitIdle(std::chrono::milliseconds limit, bool deliveries) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < giveUp) {
        bool pending;
        {
            std::lock_guard<std::mutex> hold(impl_->dueLock);
            pending = !impl_->due.empty() && *impl_->due.begin() <= ServiceClock::now();
        }
        if (pending) {
            Sleep(1);
            continue;
        }
        auto done = std::make_shared<std::promise<void>>();
        auto ran = done->get_future();
        impl_->Post([done] { done->set_value(); });
        if (ran.wait_until(giveUp) != std::future_status::ready) return false;
        {
            std::lock_guard<std::mutex> hold(impl_->dueLock);
            pending = !impl_->due.empty() && *impl_->due.begin() <= ServiceClock::now();
        }
        if (pending) continue;
        // The deliveries that the jobs queued; a callback may post jobs of its own.
        if (!deliveries || impl_->delivery.Pending() == 0) return true;
        if (!impl_->delivery.WaitEmpty(giveUp)) return false;
    }
    return false;
}

} // namespace opc
