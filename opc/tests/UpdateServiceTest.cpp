// The update service: scan period, cache, change detection, group ticks and callbacks,
// driven by the frozen service clock.
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "ServerTestSupport.h"
#include "opc/common/OpcErrors.h"

namespace opc::test {
namespace {

using namespace std::chrono_literals;

class UpdateEngine : public ModuleFixture {
protected:
    void SetUp() override {
        ModuleFixture::SetUp();
        fake.AddChannel(7, 4, "Temp").Set(2, 0.0f);
        fake.AddChannel(8, 4, "Flow").Set(2, 0.0f);
    }

    struct Subscription {
        ComPtr<IOPCServer> server;
        ComPtr<IOPCGroupStateMgt> group;
        ComPtr<RecordingSink> sink;
        DWORD cookie = 0;
        Group& object() { return *static_cast<Group*>(group.Get()); }
        GroupItem& item() { return object().Items().at(1); }
    };

    // A group with one item on (channel, 2) and a recording sink, after its first tick.
    Subscription Subscribe(DWORD rateMs, int channel = 7, IOPCServer* server = nullptr, const wchar_t* name = L"g") {
        Subscription s;
        s.server = server ? ComPtr<IOPCServer>(server) : NewServer();
        s.group = AddGroup(s.server.Get(), name, rateMs, TRUE, 77);
        EXPECT_TRUE(Service()->WaitIdle());
        GroupItem item;
        item.serverHandle = 1;
        item.clientHandle = 500 + channel;
        item.cache = Service()->GetCachedValue(channel, 2, VT_R4);
        s.object().InsertItem(std::move(item));
        s.sink = MakeSink();
        s.cookie = Advise(s.group.Get(), s.sink.Get());
        return s;
    }

    static DWORD Advise(IOPCGroupStateMgt* group, RecordingSink* sink) {
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.GetAddressOf())),
                  S_OK);
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf()), S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink), &cookie), S_OK);
        return cookie;
    }

    // Steps the clock by `step` `times` times; before each step the attribute is set by f(i).
    template <class F>
    void Run(std::chrono::milliseconds step, int times, F&& f) {
        for (int i = 1; i <= times; ++i) {
            f(i);
            Step(step);
        }
    }
};

TEST_F(UpdateEngine, ScanPeriodIsNodeParameterWithAFloorOf100ms) {
    struct Case {
        int parameter;
        bool fails;
        long long expectedMs;
    };
    const Case cases[] = {{250, false, 250}, {100, false, 100}, {50, false, 100}, {0, false, 100},
                          {-5, false, 100},  {300, true, 100}};
    for (const Case& c : cases) {
        FakeRuntime runtime;
        runtime.SetParameter(NRK_PARAM_SCAN_PERIOD, c.parameter);
        if (c.fails) runtime.Fail("GetNodeParameter");
        UpdateService::Options options;
        options.runtime = &runtime;
        auto service = UpdateService::Create(options);
        EXPECT_EQ(service->ScanPeriod(), Duration(std::chrono::milliseconds(c.expectedMs))) << c.parameter;
    }
}

TEST_F(UpdateEngine, CacheHasOneEntryPerAttributeReadAtCreationAndDroppedWhenUnused) {
    auto service = Service();
    const int before = fake.Calls("GetChannelFloat", 7, 2);
    auto a = service->GetCachedValue(7, 2, VT_R4);
    EXPECT_EQ(fake.Calls("GetChannelFloat", 7, 2), before + 1) << "read at once";
    EXPECT_EQ(a->Read().quality, kQualityGood);
    auto b = service->GetCachedValue(7, 2, VT_R4);
    auto c = service->GetCachedValue(8, 2, VT_R4);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(service->CacheSize(), 2u);
    a.reset();
    b.reset();
    Step(100ms);
    EXPECT_EQ(service->CacheSize(), 1u) << "dropped at the first scan after its last user";
    // Never read: quality 0xFFFF, value empty.
    fake.Fail("GetChannelFloat", 9, 2);
    auto never = service->GetCachedValue(9, 2, VT_R4);
    const CachedValue::State state = never->Read();
    EXPECT_EQ(state.quality, kQualityNeverRead);
    EXPECT_EQ(state.value.Type(), VT_EMPTY);
}

TEST_F(UpdateEngine, RuntimeIsReadOncePerAttributePerScan) {
    auto s1 = Subscribe(1000);
    auto s2 = Subscribe(300, 7, s1.server.Get(), L"second");
    GroupItem extra = s1.item();
    extra.serverHandle = 2;
    s1.object().InsertItem(std::move(extra));
    const int before = fake.Calls("GetChannelFloat", 7, 2);
    Step(100ms, 10);
    EXPECT_EQ(fake.Calls("GetChannelFloat", 7, 2), before + 10);
}

TEST_F(UpdateEngine, MergeRule) {
    CachedValue entry(nullptr, 1, 2, VT_R8);
    auto reading = [](ReadStatus status, double v, WORD q) {
        AttributeReading r;
        r.status = status;
        if (status == ReadStatus::Value) {
            V_VT(r.value.Get()) = VT_R8;
            V_R8(r.value.Get()) = v;
        }
        r.quality = q;
        return r;
    };
    const UtcTime t0 = kStart;
    struct Case {
        const char* what;
        ReadStatus status;
        double value;
        WORD quality;
        bool changes;
        double valueAfter;
        WORD qualityAfter;
    };
    const Case cases[] = {
        {"first value", ReadStatus::Value, 1.5, 0xC0, true, 1.5, 0xC0},
        {"same value and quality", ReadStatus::Value, 1.5, 0xC0, false, 1.5, 0xC0},
        {"new value", ReadStatus::Value, 2.5, 0xC0, true, 2.5, 0xC0},
        {"node stopped", ReadStatus::Value, 2.5, 0x1C, true, 2.5, 0x1C},
        {"no value", ReadStatus::NoValue, 9.0, 0xC0, false, 2.5, 0x1C},
        {"read raised", ReadStatus::Raised, 0.0, 0x00, true, 2.5, 0x00},
    };
    std::uint64_t seq = 0;
    for (const Case& c : cases) {
        ++seq;
        const UtcTime at = t0 + std::chrono::seconds(seq);
        EXPECT_EQ(MergeReading(entry, reading(c.status, c.value, c.quality), at, seq), c.changes) << c.what;
        const CachedValue::State s = entry.Read();
        EXPECT_EQ(V_R8(s.value.Get()), c.valueAfter) << c.what;
        EXPECT_EQ(s.quality, c.qualityAfter) << c.what;
        if (c.changes) {
            EXPECT_EQ(s.changeTime, at) << c.what;
            EXPECT_EQ(entry.ChangeSequence(), seq) << c.what;
        } else {
            EXPECT_LT(s.changeTime, at) << c.what;
        }
    }
}

TEST_F(UpdateEngine, OneCallbackPerTickWithTheLatestValue) {
    auto s = Subscribe(1030); // ticks at 1030, 2060, 3090 ms; scans every 100 ms
    // The attribute changes every 10 ms: before the step to t ms it becomes t / 10.
    Run(10ms, 320, [&](int i) { fake.Channel(7).Set(2, static_cast<float>(i)); });
    const auto changes = s.sink->Changes();
    ASSERT_EQ(changes.size(), 3u);
    // Each tick reports what the last scan before it (1000, 2000, 3000 ms) read.
    EXPECT_EQ(changes[0].values, std::vector<double>{100});
    EXPECT_EQ(changes[1].values, std::vector<double>{200});
    EXPECT_EQ(changes[2].values, std::vector<double>{300});
    for (const auto& c : changes) {
        EXPECT_EQ(c.transaction, 0u);
        EXPECT_EQ(c.group, 77u);
        EXPECT_EQ(c.items, std::vector<OPCHANDLE>{507});
        EXPECT_EQ(c.masterQuality, S_OK);
        EXPECT_EQ(c.masterError, S_OK);
    }
}

// Scans and ticks keep to the grid of their periods: one that the worker reaches late (busy with
// other work) does not push the later ones back, so a group still gets one callback per period.
TEST_F(UpdateEngine, ScansAndTicksKeepTheirPeriodsWhenOneRunsLate) {
    auto service = Service();
    auto s = Subscribe(200); // ticks due at 200, 400, 600 ms; scans every 100 ms
    fake.Channel(7).Set(2, 1.0f);
    Step(10ms, 19); // 190 ms
    ASSERT_TRUE(s.sink->Changes().empty());
    Step(60ms); // the scan and the tick due at 200 ms run only at 250 ms
    ASSERT_EQ(s.sink->Changes().size(), 1u);
    EXPECT_EQ(service->ScanTime(), kStart + 250ms);
    fake.Channel(7).Set(2, 2.0f);
    Step(10ms, 5); // 300 ms
    EXPECT_EQ(service->ScanTime(), kStart + 300ms) << "the next scan is due at 300 ms, not 350 ms";
    Step(10ms, 10); // 400 ms
    ASSERT_EQ(s.sink->Changes().size(), 2u) << "the next tick is due at 400 ms, not 450 ms";
    EXPECT_EQ(s.sink->Changes()[1].values, std::vector<double>{2});
    // Late by more than a period: the missed points are skipped, not made up in a burst.
    fake.Channel(7).Set(2, 3.0f);
    Step(100ms); // 500 ms: scanned
    Step(350ms); // 850 ms: the tick due at 600 ms runs; the next is due at 1000 ms
    ASSERT_EQ(s.sink->Changes().size(), 3u);
    fake.Channel(7).Set(2, 4.0f);
    Step(10ms, 14); // 990 ms
    EXPECT_EQ(s.sink->Changes().size(), 3u);
    Step(10ms); // 1000 ms
    ASSERT_EQ(s.sink->Changes().size(), 4u);
    EXPECT_EQ(s.sink->Changes()[3].values, std::vector<double>{4});
}

TEST_F(UpdateEngine, UnchangedValueIsReportedOnce) {
    auto s = Subscribe(300);
    Step(100ms, 20);
    ASSERT_EQ(s.sink->Changes().size(), 1u) << "the first value only";
    EXPECT_EQ(s.sink->Changes()[0].qualities, std::vector<WORD>{kQualityGood});
}

TEST_F(UpdateEngine, NaNThatStaysIsReportedOnce) {
    auto s = Subscribe(100);
    Step(100ms, 3);
    ASSERT_EQ(s.sink->Changes().size(), 1u);
    fake.Channel(7).Set(2, std::numeric_limits<float>::quiet_NaN());
    Step(100ms, 30);
    const auto changes = s.sink->Changes();
    ASSERT_EQ(changes.size(), 2u) << "the NaN once, not at every scan";
    ASSERT_EQ(changes[1].values.size(), 1u);
    EXPECT_TRUE(std::isnan(changes[1].values[0]));
    fake.Channel(7).Set(2, 1.0f);
    Step(100ms, 3);
    EXPECT_EQ(s.sink->Changes().size(), 3u) << "a number after the NaN is a change";
}

TEST_F(UpdateEngine, ChangesAtTheInstantOfTheLastCallbackAreNotLost) {
    // Scans and ticks share every instant; whichever runs first, no change may be lost.
    auto s = Subscribe(100);
    Run(100ms, 20, [&](int i) { fake.Channel(7).Set(2, static_cast<float>(i)); });
    Step(100ms, 3);
    const auto changes = s.sink->Changes();
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().values, std::vector<double>{20});
    for (size_t i = 1; i < changes.size(); ++i) EXPECT_GT(changes[i].values[0], changes[i - 1].values[0]);
    EXPECT_GE(changes.size(), 19u);
}

TEST_F(UpdateEngine, NewAttributeIsReportedAtTheNextTickEvenWithinTheSameClockInstant) {
    auto s = Subscribe(200);
    Step(100ms, 2); // a tick has just run at this instant
    ASSERT_EQ(s.sink->Changes().size(), 1u);
    // Made and read at the very instant of that tick: its first value is still news.
    GroupItem item;
    item.serverHandle = 2;
    item.clientHandle = 508;
    item.cache = Service()->GetCachedValue(8, 2, VT_R4);
    s.object().InsertItem(std::move(item));
    Step(100ms, 2);
    const auto changes = s.sink->Changes();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].items, std::vector<OPCHANDLE>{508});
}

TEST_F(UpdateEngine, DisabledOrInactiveGroupsReportTheChangesAfterwards) {
    auto s = Subscribe(200);
    Step(100ms, 3);
    ASSERT_EQ(s.sink->Changes().size(), 1u);

    s.object().SetCallbacksEnabled(false);
    fake.Channel(7).Set(2, 5.0f);
    Step(100ms, 5);
    EXPECT_EQ(s.sink->Changes().size(), 1u);
    s.object().SetCallbacksEnabled(true);
    Step(100ms, 3);
    ASSERT_EQ(s.sink->Changes().size(), 2u);
    EXPECT_EQ(s.sink->Changes()[1].values, std::vector<double>{5});

    DWORD revised = 0;
    BOOL off = FALSE, on = TRUE;
    ASSERT_EQ(s.group->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    fake.Channel(7).Set(2, 6.0f);
    Step(100ms, 5);
    EXPECT_EQ(s.sink->Changes().size(), 2u);
    ASSERT_EQ(s.group->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr), S_OK);
    Step(100ms, 3);
    ASSERT_EQ(s.sink->Changes().size(), 3u);
    EXPECT_EQ(s.sink->Changes()[2].values, std::vector<double>{6});
}

TEST_F(UpdateEngine, InactiveItemsAreSkippedAndNotReportedOnReactivation) {
    auto s = Subscribe(200);
    Step(100ms, 3);
    ASSERT_EQ(s.sink->Changes().size(), 1u);
    {
        std::lock_guard<::opc::com::RecursiveLock> hold(s.object().Core().lock); // as the tick reads it
        s.item().active = false;
    }
    fake.Channel(7).Set(2, 3.0f);
    Step(100ms, 4);
    EXPECT_EQ(s.sink->Changes().size(), 1u);
    {
        std::lock_guard<::opc::com::RecursiveLock> hold(s.object().Core().lock);
        s.item().active = true; // no change since the group's last callback
    }
    Step(100ms, 4);
    EXPECT_EQ(s.sink->Changes().size(), 1u);
    fake.Channel(7).Set(2, 4.0f);
    Step(100ms, 3);
    EXPECT_EQ(s.sink->Changes().size(), 2u);
}

TEST_F(UpdateEngine, EverySinkIsCalledAndDeadClientsAreDropped) {
    auto s = Subscribe(200);
    auto failing = MakeSink();
    auto dead = MakeSink();
    failing->Answer(E_FAIL);
    dead->Answer(static_cast<HRESULT>(0x80010108)); // RPC_E_DISCONNECTED
    Advise(s.group.Get(), failing.Get());
    Advise(s.group.Get(), dead.Get());
    auto last = MakeSink();
    Advise(s.group.Get(), last.Get());
    fake.Channel(7).Set(2, 1.0f);
    Step(100ms, 3);
    EXPECT_EQ(s.sink->Changes().size(), 1u);
    EXPECT_EQ(failing->Changes().size(), 1u);
    EXPECT_EQ(dead->Changes().size(), 1u);
    EXPECT_EQ(last->Changes().size(), 1u);
    fake.Channel(7).Set(2, 2.0f);
    Step(100ms, 3);
    EXPECT_EQ(failing->Changes().size(), 2u) << "a failing client stays";
    EXPECT_EQ(dead->Changes().size(), 1u) << "a dead client's sink was dropped";
    EXPECT_EQ(last->Changes().size(), 2u);
    EXPECT_EQ(dead->RefCount(), 1) << "and released";
}

TEST_F(UpdateEngine, WithoutSinksTicksStillAdvance) {
    auto server = NewServer();
    auto group = AddGroup(server.Get(), L"quiet", 200);
    ASSERT_TRUE(Service()->WaitIdle());
    GroupItem item;
    item.serverHandle = 1;
    item.clientHandle = 1;
    item.cache = Service()->GetCachedValue(7, 2, VT_R4);
    AsGroup(group.Get()).InsertItem(std::move(item));
    fake.Channel(7).Set(2, 8.0f);
    Step(100ms, 4);
    auto sink = MakeSink();
    Advise(group.Get(), sink.Get());
    Step(100ms, 4);
    EXPECT_TRUE(sink->Changes().empty());
    fake.Channel(7).Set(2, 9.0f);
    Step(100ms, 3);
    EXPECT_EQ(sink->Changes().size(), 1u);
}

// A client may call into its own group from inside any of its callbacks: the call comes
// in on another of the client's threads and must be answered while the callback runs.
TEST_F(UpdateEngine, CallbacksMayCallBackIntoTheirGroup) {
    auto s = Subscribe(200);
    Step(100ms, 3);
    ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(s.group.As(&async), S_OK);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(s.group.As(&sync), S_OK);
    struct Probe {
        std::atomic<int> answered{0};
        std::atomic<int> stuck{0};
    };
    auto probe = std::make_shared<Probe>();
    s.sink->SetHook([probe, state = s.group, sync] {
        auto done = std::make_shared<std::promise<bool>>();
        auto answer = done->get_future();
        std::thread([done, state, sync] { // the client's other thread
            const bool stateOk = GroupState(state.Get()) == S_OK;
            OPCHANDLE handle = 1;
            OPCITEMSTATE* values = nullptr;
            HRESULT* errors = nullptr;
            const bool readOk = sync->Read(OPC_DS_CACHE, 1, &handle, &values, &errors) == S_OK;
            if (values) VariantClear(&values[0].vDataValue);
            CoTaskMemFree(values);
            CoTaskMemFree(errors);
            done->set_value(stateOk && readOk);
        }).detach();
        if (answer.wait_for(5s) == std::future_status::ready && answer.get())
            ++probe->answered;
        else
            ++probe->stuck;
    });
    struct Case {
        const char* name;
        std::function<void()> trigger;
    };
    OPCHANDLE handle = 1;
    DWORD cancel = 0;
    const Case cases[] = {
        {"tick", [&] { fake.Channel(7).Set(2, 5.0f); }},
        {"refresh", [&] { EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 21, &cancel), S_OK); }},
        {"read", [&] {
             HRESULT* errors = nullptr;
             EXPECT_EQ(async->Read(1, &handle, 22, &cancel, &errors), S_OK);
             CoTaskMemFree(errors);
         }},
        {"write", [&] {
             VARIANT value;
             VariantInit(&value);
             V_VT(&value) = VT_R4;
             V_R4(&value) = 6.0f;
             HRESULT* errors = nullptr;
             EXPECT_EQ(async->Write(1, &handle, &value, 23, &cancel, &errors), S_OK);
             CoTaskMemFree(errors);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = probe->answered.load();
        c.trigger();
        Step(100ms, 3);
        EXPECT_EQ(probe->answered.load(), before + 1);
        EXPECT_EQ(probe->stuck.load(), 0);
    }
    s.sink->SetHook(nullptr);
}

// A client that takes long over its callbacks holds up only itself: scans, ticks and the
// callbacks of other clients keep their rhythm, and its own changes wait for it and then
// come in one callback with the latest values.
TEST_F(UpdateEngine, ASlowClientHoldsUpOnlyItsOwnCallbacks) {
    auto fast = Subscribe(200, 8, nullptr, L"fast");
    auto slow = Subscribe(200, 7, nullptr, L"slow");
    Step(100ms, 3);
    ASSERT_EQ(fast.sink->Changes().size(), 1u);
    ASSERT_EQ(slow.sink->Changes().size(), 1u);
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(gate, nullptr);
    slow.sink->SetHook([gate] { WaitForSingleObject(gate, 20000); });
    auto service = Service();
    // The worker catches up after each step; the slow client's callback stays out.
    auto stepWithoutSlowClient = [&] {
        ASSERT_TRUE(service->WaitIdle(10s, false));
        ::opc::ServiceClock::Advance(100ms);
        ASSERT_TRUE(service->WaitIdle(10s, false));
        for (int i = 0; i < 1000 && fast.object().PendingDeliveries() != 0; ++i) Sleep(5);
    };
    for (int v = 1; v <= 4; ++v) {
        fake.Channel(7).Set(2, static_cast<float>(v));
        fake.Channel(8).Set(2, static_cast<float>(v));
        for (int step = 0; step < 3; ++step) stepWithoutSlowClient();
        EXPECT_EQ(fast.sink->Changes().size(), 1u + v) << "the other client keeps its rhythm";
        EXPECT_EQ(service->ScanTime(), ::opc::ServiceClock::now()) << "the scan goes on";
        EXPECT_EQ(slow.object().PendingDeliveries(), 1u) << "nothing piles up for the slow client";
    }
    SetEvent(gate);
    ASSERT_TRUE(service->WaitIdle());
    Step(100ms, 2);
    const auto changes = slow.sink->Changes();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[1].values, std::vector<double>{1.0});
    EXPECT_EQ(changes[2].values, std::vector<double>{4.0}) << "the changes meanwhile, in one callback";
    slow.sink->SetHook(nullptr);
    CloseHandle(gate);
}

TEST_F(UpdateEngine, StoppedNodeGivesOutOfServiceQuality) {
    auto s = Subscribe(200);
    Step(100ms, 3);
    fake.SetRunning(false);
    Step(100ms, 3);
    const auto changes = s.sink->Changes();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].qualities, std::vector<WORD>{kQualityOutOfService});
    EXPECT_EQ(changes[1].masterQuality, S_FALSE);
}

TEST_F(UpdateEngine, ReadFailureIsReportedWithBadQuality) {
    auto s = Subscribe(200);
    Step(100ms, 3);
    fake.Throw("GetChannelFloat", 7, 2);
    Step(100ms, 3);
    const auto changes = s.sink->Changes();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].qualities, std::vector<WORD>{kQualityBad});
    EXPECT_EQ(changes[1].values, std::vector<double>{0}) << "the value stays";
}

TEST_F(UpdateEngine, TicksStopForRemovedGroups) {
    auto s = Subscribe(200);
    OPCHANDLE handle = 0;
    DWORD rate;
    BOOL active;
    LPWSTR name = nullptr;
    LONG tb;
    FLOAT db;
    DWORD lcid;
    OPCHANDLE hc;
    ASSERT_EQ(s.group->GetState(&rate, &active, &name, &tb, &db, &lcid, &hc, &handle), S_OK);
    CoTaskMemFree(name);
    Step(100ms, 3);
    ASSERT_EQ(s.server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    fake.Channel(7).Set(2, 3.0f);
    Step(100ms, 5);
    EXPECT_EQ(s.sink->Changes().size(), 1u);
}

// Holds the worker inside its first callback (a tick's OnDataChange or an asynchronous
// read's completion) until released.
class HoldingSink : public RecordingSink {
public:
    STDMETHODIMP OnDataChange(DWORD t, OPCHANDLE g, HRESULT q, HRESULT e, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* w,
                              FILETIME* f, HRESULT* r) override {
        Hold();
        return RecordingSink::OnDataChange(t, g, q, e, n, h, v, w, f, r);
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        Hold();
        return S_OK;
    }
    bool WaitEntered() { return entered_.get_future().wait_for(10s) == std::future_status::ready; }
    void Open() { gate_.set_value(); }

private:
    void Hold() {
        if (held_.exchange(true)) return;
        entered_.set_value();
        gate_future_.wait();
    }
    std::atomic<bool> held_{false};
    std::promise<void> entered_;
    std::promise<void> gate_;
    std::shared_future<void> gate_future_ = gate_.get_future().share();
};

TEST_F(UpdateEngine, GroupReleasedByItsClientIsRemovedWhileItsTickOrJobRuns) {
    for (const bool tick : {true, false}) {
        SCOPED_TRACE(tick ? "tick" : "asynchronous read");
        auto s = Subscribe(200);
        OPCHANDLE handle = 0;
        {
            OPCHANDLE client;
            DWORD rate, lcid;
            BOOL active;
            LPWSTR name = nullptr;
            LONG bias;
            FLOAT deadband;
            ASSERT_EQ(s.group->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &handle), S_OK);
            CoTaskMemFree(name);
        }
        auto holding = ::opc::com::MakeComObject<HoldingSink>();
        Advise(s.group.Get(), holding.Get());
        Step(100ms); // a scan, no tick yet
        const long locks = module->LockCount();
        if (tick) {
            ::opc::ServiceClock::Advance(100ms); // the tick at 200 ms sends the first value
        } else {
            ComPtr<IOPCAsyncIO2> io;
            ASSERT_EQ(s.group.As(&io), S_OK);
            OPCHANDLE items[] = {s.item().serverHandle};
            DWORD cancel = 0;
            HRESULT* errors = nullptr;
            ASSERT_EQ(io->Read(1, items, 9, &cancel, &errors), S_OK);
            CoTaskMemFree(errors);
        }
        ASSERT_TRUE(holding->WaitEntered());
        s.group.Reset(); // the client lets go of every interface on the group
        EXPECT_EQ(s.server->RemoveGroup(handle, FALSE), S_OK);
        holding->Open();
        ASSERT_TRUE(Service()->WaitIdle());
        EXPECT_EQ(module->LockCount(), locks - 1) << "the group went with the job's reference";
        EXPECT_EQ(s.server->RemoveGroup(handle, FALSE), OPC_E_NOTFOUND);
    }
}

TEST_F(UpdateEngine, ServiceEndsWithItsLastReference) {
    std::weak_ptr<UpdateService> weak;
    {
        auto s = Subscribe(200);
        weak = Service();
        EXPECT_FALSE(weak.expired());
        Step(100ms, 2);
    }
    EXPECT_TRUE(weak.expired());
    auto next = Service();
    EXPECT_NE(next.get(), nullptr);
}

TEST_F(UpdateEngine, ServiceMayEndOnItsOwnWorker) {
    UpdateService::Options options;
    auto service = UpdateService::Create(options);
    std::promise<void> released;
    std::promise<bool> onWorker;
    auto go = released.get_future().share();
    auto result = onWorker.get_future();
    std::shared_ptr<UpdateService> keep = service;
    service->Post([keep, go, &onWorker]() mutable {
        go.wait();
        const bool worker = keep->OnWorkerThread();
        keep.reset(); // the last reference: the service ends on its own worker
        onWorker.set_value(worker);
    });
    keep.reset();
    service.reset();
    released.set_value();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(result.get());
}

} // namespace
} // namespace opc::test
