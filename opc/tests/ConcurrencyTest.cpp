// Several client threads on one group while the update service scans, ticks and runs
// asynchronous jobs: no crash, no deadlock, and every result is one the group could
// have given.
#include "opc/tests/GroupFixture.h"

#include <thread>

namespace lx_group_tests {
namespace {

using Concurrency = GroupTest;

// Client handles say which attribute an item names: 7 Temp (VT_R4), 8 Pump (VT_I4),
// 126 a text attribute of Temp (VT_BSTR) whose text changes all the time.
VARTYPE TypeOfClient(OPCHANDLE client) {
    return client == 7 ? VARTYPE(VT_R4) : client == 126 ? VARTYPE(VT_BSTR) : VARTYPE(VT_I4);
}

TEST_F(Concurrency, ClientThreadsAndTheEngineOnOneGroup) {
    RecordingSink* sink = Advise();
    fake.Channel(7).Set(126, "text");
    const auto base = Add({Def(L"Plant.Line.Temp.Value", 7), Def(L"Plant.Line.Pump.Value", 8),
                           Def(L"Plant.Line.Temp.A126", 126)});
    constexpr int kRounds = 1500;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> queuedReads{0};
    std::atomic<int> queuedWrites{0};
    std::atomic<int> queuedRefreshes{0};
    std::atomic<int> cancelled{0};
    std::mutex firstLock;
    std::string first; // the first failed check, for the message
    auto checkAt = [&](bool ok, int line) {
        if (ok) return;
        if (++failures == 1) {
            std::lock_guard<std::mutex> hold(firstLock);
            first = "check at line " + std::to_string(line);
        }
    };
#define check(ok) checkAt((ok), __LINE__)

    // The engine: the clock moves on while the clients work.
    std::thread clock([&] {
        while (!stop) {
            opc::ServiceClock::Advance(std::chrono::milliseconds(20));
            Sleep(1);
        }
    });
    // Texts of changing length, so that every scan replaces the cached BSTR while
    // cache reads and callbacks copy it.
    std::thread texts([&] {
        for (int i = 0; !stop; ++i) {
            fake.Channel(7).Set(126, std::string(static_cast<std::size_t>(i % 200), 'x'));
            if (i % 16 == 0) Sleep(0);
        }
    });

    std::vector<OPCHANDLE> probe; // known, maybe-removed and never-used handles
    for (OPCHANDLE h = 1; h <= 8; ++h) probe.push_back(h);
    probe.push_back(999);

    auto syncReader = [&](OPCDATASOURCE source) {
        for (int i = 0; i < kRounds; ++i) {
            OPCITEMSTATE* states = nullptr;
            Out<HRESULT> errors;
            const HRESULT hr = group->Read(source, static_cast<DWORD>(probe.size()), probe.data(), &states, &errors);
            check(hr == S_FALSE); // 999 is never valid
            for (std::size_t k = 0; states && k < probe.size(); ++k) {
                if (errors[k] == S_OK) {
                    check(states[k].hClient == 7 || states[k].hClient == 8 || states[k].hClient == 126);
                    check(V_VT(&states[k].vDataValue) == TypeOfClient(states[k].hClient));
                } else {
                    check(errors[k] == OPC_E_INVALIDHANDLE && states[k].hClient == 0);
                }
                VariantClear(&states[k].vDataValue);
            }
            CoTaskMemFree(states);
        }
    };
    auto writer = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::vector<VARIANT> values(probe.size());
            for (auto& v : values) {
                VariantInit(&v);
                V_VT(&v) = VT_I4;
                V_I4(&v) = i;
            }
            Out<HRESULT> errors;
            check(group->Write(static_cast<DWORD>(probe.size()), probe.data(), values.data(), &errors) == S_FALSE);
            for (std::size_t k = 0; errors && k < probe.size(); ++k)
                check(errors[k] == S_OK || errors[k] == OPC_E_INVALIDHANDLE || errors[k] == OPC_E_BADRIGHTS);
        }
    };
    auto addRemove = [&] {
        for (int i = 0; i < kRounds; ++i) {
            OPCITEMDEF defs[] = {Def(L"Plant.Line.Temp.Value", 7), Def(L"Plant.Line.Pump.Value", 8),
                                 Def(L"Plant.Line.Pump.Value", 8, VT_I4, FALSE)};
            Out<OPCITEMRESULT> results;
            Out<HRESULT> errors;
            const HRESULT added = group->AddItems(3, defs, &results, &errors);
            check(added == S_OK);
            if (added != S_OK) continue;
            OPCHANDLE handles[] = {results[0].hServer, results[1].hServer, results[2].hServer};
            check(handles[0] != handles[1] && handles[1] != handles[2] && handles[0] != handles[2]);
            Out<HRESULT> toggled;
            check(group->SetActiveState(3, handles, i % 2, &toggled) == S_OK);
            Out<HRESULT> removed;
            check(group->RemoveItems(3, handles, &removed) == S_OK);
        }
    };
    auto asyncClient = [&] {
        for (int i = 0; i < kRounds; ++i) {
            DWORD cancel = 0;
            Out<HRESULT> errors;
            const DWORD id = 1000 + static_cast<DWORD>(i);
            const HRESULT hr = group->Read(static_cast<DWORD>(probe.size()), probe.data(), id, &cancel, &errors);
            check(SUCCEEDED(hr));
            if (SUCCEEDED(hr)) ++queuedReads;
            if (i % 5 == 0 && group->Cancel2(id) == S_OK) ++cancelled;
            VARIANT v;
            VariantInit(&v);
            V_VT(&v) = VT_R8;
            V_R8(&v) = i;
            OPCHANDLE first = base[0];
            Out<HRESULT> writeErrors;
            if (group->Write(1, &first, &v, id, &cancel, &writeErrors) == S_OK) ++queuedWrites;
            if (i % 10 == 0 && group->Refresh2(OPC_DS_CACHE, id, &cancel) == S_OK) ++queuedRefreshes;
        }
    };

    std::vector<std::thread> clients;
    clients.emplace_back(syncReader, OPC_DS_CACHE);
    clients.emplace_back(syncReader, OPC_DS_DEVICE);
    clients.emplace_back(writer);
    clients.emplace_back(addRemove);
    clients.emplace_back(asyncClient);
    for (auto& t : clients) t.join();
    stop = true;
    clock.join();
    texts.join();
    Idle();

#undef check
    EXPECT_EQ(failures.load(), 0) << first;
    EXPECT_EQ(group->Items().size(), 3u); // only the base items are left
    // Every queued request was completed or cancelled, exactly once.
    int reads = 0, writes = 0, refreshes = 0, cancels = 0, ticks = 0;
    for (const Callback& c : sink->Calls()) {
        switch (c.kind) {
        case Callback::ReadComplete: ++reads; break;
        case Callback::WriteComplete: ++writes; break;
        case Callback::CancelComplete: ++cancels; break;
        case Callback::DataChange: c.transaction ? ++refreshes : ++ticks; break;
        }
        for (std::size_t k = 0; k < c.clients.size(); ++k) {
            if (c.kind == Callback::WriteComplete) continue;
            if (c.errors[k] == OPC_E_INVALIDHANDLE) continue;
            EXPECT_EQ(c.types[k], TypeOfClient(c.clients[k]));
        }
    }
    EXPECT_EQ(reads + cancels, queuedReads.load());
    EXPECT_EQ(cancels, cancelled.load());
    EXPECT_EQ(writes, queuedWrites.load());
    EXPECT_EQ(refreshes, queuedRefreshes.load());
    EXPECT_GT(ticks, 0);
}

} // namespace
} // namespace lx_group_tests
