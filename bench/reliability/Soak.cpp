// Soak: N clients x M groups x K items against lx6opc.exe for a set time, with subscriptions,
// synchronous reads and writes and asynchronous reads, writes and refreshes. Every interval it
// prints the server's private bytes, handle and thread counts, and the callbacks delivered
// against those expected; at the end a verdict on growth between the first interval (after
// the set-up) and the last.
//
// Usage: soak.exe --node PATH [--clients 10] [--groups 10] [--items 1000] [--minutes 30]
//                 [--interval SECONDS (60)] [--node-channels C (10000)] [--node-groups G (10)]
// The node is one written by tools/nrkgen/nrkgen.py with --groups G (G <= 10, all below the top
// group "Node") and C channels of type 4; bench/reliability/soak.sh writes it and runs this.
#include "BenchServer.h"

#include <ocidl.h>
#include <olectl.h>

#include <opccomn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::wstring node;
    int clients = 10, groups = 10, items = 1000;
    double minutes = 30;
    int interval = 60;
    int nodeChannels = 10000, nodeGroups = 10;
};

constexpr DWORD kRate = 1000;  // ms, every group's update rate

struct Totals {
    std::atomic<long long> asyncReads{0}, asyncWrites{0}, refreshes{0}, syncCalls{0}, failures{0};
};

std::wstring ItemId(const Options& o, int channel) {
    const int group = 32 + (channel - 1) % o.nodeGroups;
    return L"Node.G" + std::to_wstring(group) + L".C" + std::to_wstring(channel) + L".Value";
}

// One client: its own server object, M groups of K items each, a data callback on every group.
struct Client {
    ComPtr<IOPCServer> server;
    struct Group {
        OPCHANDLE handle = 0;
        ComPtr<IOPCItemMgt> items;
        ComPtr<IOPCSyncIO> sync;
        ComPtr<IOPCAsyncIO2> async;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        std::vector<OPCHANDLE> handles;
    };
    std::vector<Group> groups;
    bench::CountingSink* sink = new bench::CountingSink;

    ~Client() { sink->Release(); }

    bool SetUp(const Options& o, int index) {
        if (FAILED(CoCreateInstance(bench::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server))))
            return false;
        for (int g = 0; g < o.groups; ++g) {
            Group group;
            DWORD revised = 0;
            const std::wstring name = L"soak" + std::to_wstring(index) + L"." + std::to_wstring(g);
            if (FAILED(server->AddGroup(name.c_str(), TRUE, kRate, static_cast<OPCHANDLE>(g), nullptr, nullptr, 0x409,
                                        &group.handle, &revised, IID_IOPCItemMgt,
                                        reinterpret_cast<LPUNKNOWN*>(group.items.GetAddressOf()))))
                return false;
            std::vector<std::wstring> ids;
            std::vector<OPCITEMDEF> defs(static_cast<std::size_t>(o.items));
            for (int i = 0; i < o.items; ++i)
                ids.push_back(ItemId(o, (index * 7919 + g * o.items + i) % o.nodeChannels + 1));
            for (int i = 0; i < o.items; ++i) {
                defs[i] = OPCITEMDEF{};
                defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
                defs[i].bActive = TRUE;
                defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
            }
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            const HRESULT hr = group.items->AddItems(static_cast<DWORD>(o.items), defs.data(), &results, &errors);
            for (int i = 0; results && i < o.items; ++i) {
                if (errors[i] == S_OK) group.handles.push_back(results[i].hServer);
                CoTaskMemFree(results[i].pBlob);
            }
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
            if (FAILED(hr) || group.handles.empty()) {
                std::printf("client %d group %d: AddItems 0x%08lx, %zu items added\n", index, g,
                            static_cast<unsigned long>(hr), group.handles.size());
                return false;
            }
            ComPtr<IConnectionPointContainer> container;
            if (FAILED(group.items.As(&group.sync)) || FAILED(group.items.As(&group.async)) ||
                FAILED(group.items.As(&container)) ||
                FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, &group.point)) ||
                FAILED(group.point->Advise(static_cast<IOPCDataCallback*>(sink), &group.cookie)))
                return false;
            groups.push_back(std::move(group));
        }
        return true;
    }

    // One round of I/O on group g: a cache read of all items, a write of ten, an asynchronous read
    // of all, an asynchronous write of ten and a refresh.
    void Round(std::size_t g, Totals& t, int step) {
        Group& group = groups[g % groups.size()];
        const DWORD n = static_cast<DWORD>(group.handles.size());
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        if (FAILED(group.sync->Read(OPC_DS_CACHE, n, group.handles.data(), &states, &errors))) ++t.failures;
        for (DWORD i = 0; states && i < n; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        errors = nullptr;
        const DWORD w = std::min<DWORD>(10, n);
        std::vector<VARIANT> values(w);
        for (DWORD i = 0; i < w; ++i) {
            VariantInit(&values[i]);
            V_VT(&values[i]) = VT_R8;
            V_R8(&values[i]) = step % 100;
        }
        if (FAILED(group.sync->Write(w, group.handles.data(), values.data(), &errors))) ++t.failures;
        CoTaskMemFree(errors);
        t.syncCalls += 2;
        DWORD cancel = 0;
        errors = nullptr;
        if (group.async->Read(n, group.handles.data(), static_cast<DWORD>(step), &cancel, &errors) == S_OK) ++t.asyncReads;
        else ++t.failures;
        CoTaskMemFree(errors);
        errors = nullptr;
        if (group.async->Write(w, group.handles.data(), values.data(), static_cast<DWORD>(step), &cancel, &errors) == S_OK)
            ++t.asyncWrites;
        else ++t.failures;
        CoTaskMemFree(errors);
        if (group.async->Refresh2(OPC_DS_CACHE, static_cast<DWORD>(step), &cancel) == S_OK) ++t.refreshes;
        else ++t.failures;
    }

    void TearDown() {
        for (Group& group : groups) {
            if (group.point) group.point->Unadvise(group.cookie);
            group = Group{};
        }
        groups.clear();
        server.Reset();
    }
};

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) return false;
        if (a == L"--node") o.node = v;
        else if (a == L"--clients") o.clients = _wtoi(v);
        else if (a == L"--groups") o.groups = _wtoi(v);
        else if (a == L"--items") o.items = _wtoi(v);
        else if (a == L"--minutes") o.minutes = _wtof(v);
        else if (a == L"--interval") o.interval = _wtoi(v);
        else if (a == L"--node-channels") o.nodeChannels = _wtoi(v);
        else if (a == L"--node-groups") o.nodeGroups = _wtoi(v);
        else return false;
        ++i;
    }
    return !o.node.empty() && o.clients > 0 && o.groups > 0 && o.items > 0 && o.minutes > 0 && o.interval > 0 &&
           o.nodeChannels > 0 && o.nodeGroups > 0 && o.nodeGroups <= 10;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::printf("usage: soak.exe --node PATH [--clients N] [--groups M] [--items K] [--minutes T] [--interval S]\n"
                    "                [--node-channels C] [--node-groups G]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    if (!bench::ServerProcess::Prepare(o.node)) {
        std::printf("cannot register lx6opc.exe or point it at %ls\n", o.node.c_str());
        return 1;
    }
    // The first client starts the server; the node is started from its panel.
    std::vector<Client> clients(static_cast<std::size_t>(o.clients));
    bench::ServerProcess server;
    const auto setUpStart = Clock::now();
    for (int c = 0; c < o.clients; ++c) {
        if (!clients[c].SetUp(o, c)) {
            std::printf("client %d could not be set up\n", c);
            return 1;
        }
        if (c == 0) {
            server.Attach();
            server.PanelCommand(202);
        }
    }
    std::printf("%d clients x %d groups x %d items set up in %.1f s; rate %lu ms; %.1f minutes\n", o.clients, o.groups,
                o.items, std::chrono::duration<double>(Clock::now() - setUpStart).count(),
                static_cast<unsigned long>(kRate), o.minutes);

    Totals totals;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int c = 0; c < o.clients; ++c)
        workers.emplace_back([&, c] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            int step = 0;
            while (!stop) {
                clients[c].Round(static_cast<std::size_t>(step), totals, step);
                ++step;
                // Each client does about one round a second.
                for (int i = 0; i < 10 && !stop; ++i) Sleep(100);
            }
            CoUninitialize();
        });

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.minutes * 60));
    std::printf("%8s %14s %8s %8s %12s %12s %12s %12s %8s\n", "t [s]", "private [KB]", "handles", "threads", "changes",
                "exp.changes", "async done", "async sent", "failures");
    std::vector<bench::ServerStats> samples;
    bool died = false;
    for (auto next = start + std::chrono::seconds(o.interval); !died; next += std::chrono::seconds(o.interval)) {
        const auto wake = std::min(next, end);
        while (Clock::now() < wake) Sleep(200);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const bench::ServerStats s = server.Stats();
        long long changes = 0, done = 0;
        for (auto& client : clients) {
            changes += client.sink->dataChanges;
            done += client.sink->readCompletes + client.sink->writeCompletes;
        }
        // Done refreshes arrive as data changes too; an active group with changing items sends one
        // change a period.
        const long long expectedChanges =
            static_cast<long long>(elapsed * 1000 / kRate) * o.clients * o.groups + totals.refreshes;
        const long long sent = totals.asyncReads + totals.asyncWrites;
        std::printf("%8.0f %14.0f %8lu %8lu %12lld %12lld %12lld %12lld %8lld\n", elapsed, s.privateBytes / 1024,
                    static_cast<unsigned long>(s.handles), static_cast<unsigned long>(s.threads), changes,
                    expectedChanges, done, sent, totals.failures.load());
        std::fflush(stdout);
        samples.push_back(s);
        died = !s.alive;
        if (Clock::now() >= end) break;
    }
    stop = true;
    for (auto& w : workers) w.join();
    Sleep(2000);  // the last completions
    long long done = 0;
    for (auto& client : clients) done += client.sink->readCompletes + client.sink->writeCompletes;
    const long long sent = totals.asyncReads + totals.asyncWrites;
    std::printf("async completions %lld of %lld sent; sync calls %lld; failed calls %lld\n", done, sent,
                totals.syncCalls.load(), totals.failures.load());

    int verdict = 0;
    if (died) {
        std::printf("verdict: the server died\n");
        verdict = 3;
    } else if (samples.size() >= 2) {
        const auto& first = samples.front();
        const auto& last = samples.back();
        const double growth = first.privateBytes > 0 ? (last.privateBytes - first.privateBytes) / first.privateBytes : 0;
        const long handleGrowth = static_cast<long>(last.handles) - static_cast<long>(first.handles);
        const long threadGrowth = static_cast<long>(last.threads) - static_cast<long>(first.threads);
        const bool grew = growth > 0.05 || handleGrowth > 20 || threadGrowth > 2 || done != sent;
        std::printf("verdict: %s (private bytes %+.1f %% from the first interval to the last, handles %+ld, threads %+ld, "
                    "%lld async completions missing)\n",
                    grew ? "GROWTH" : "flat", growth * 100, handleGrowth, threadGrowth, sent - done);
        verdict = grew ? 4 : 0;
    } else {
        std::printf("verdict: too short to judge (one interval)\n");
    }
    for (auto& client : clients) client.TearDown();
    clients.clear();
    server.Close();
    CoUninitialize();
    return verdict;
}
