// Soak: N clients x M groups x K items against lx6opc.exe for a set time, with subscriptions,
// synchronous reads and writes and asynchronous reads, writes and refreshes.
//
// The node (tools/nrkgen/nrkgen.py --counters) makes every subscribed value a counter that steps by
// one at every scan of the node, so every item of a group changes between two of its ticks and each
// tick owes exactly one callback carrying every active item; the counter's value tells which of the
// node's scans a callback reports. The writes go to channels of their own (inactive items in every
// group), which no subscription watches: a written channel leaves its simulation.
//
// Every interval it prints the server's private bytes, handle and thread counts and the tick
// callbacks against those owed, split into:
//   owed       one per update period since the group's first callback;
//   coalesced  periods whose changes came only with a later callback (its counters moved on by two
//              periods or more): a tick that sent nothing;
//   late       callbacks that came more than one update period after the scan of their newest change;
//   lost       item changes that a callback should have carried and did not (an active item missing
//              from a callback whose counters moved on), and at the end the last values never
//              delivered (the node is stopped, the callbacks drain, and the cache is read back);
// and the refresh callbacks and asynchronous completions against the requests.
// At the end: whether the server is still live and correct (status, a write read back from the
// device, every group's cache against its last callback), and a verdict on growth of private
// bytes, handles and threads from the baseline after the warm-up to the end.
//
// Usage: soak.exe --node PATH [--clients 10] [--groups 10] [--items 1000] [--minutes 30]
//                 [--interval SECONDS] [--node-channels C (10000)] [--write-channels W (100)]
//                 [--node-groups G (10)] [--rate MS (1000)]
// The node is one written by nrkgen.py --counters with --groups G (G <= 10, all below the top group
// "Node") and C + W channels of type 4: channels 1..C are subscribed, C+1..C+W written.
// bench/reliability/run.sh writes it and runs this. The interval is 60 s, or a fifteenth of a
// shorter run (at least 10 s); the warm-up is a quarter of the run, at most 5 minutes.
#include "BenchServer.h"

#include <ocidl.h>
#include <olectl.h>

#include <opccomn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::wstring node;
    int clients = 10, groups = 10, items = 1000;
    double minutes = 30;
    int interval = 0;  // seconds; 0: chosen from the run's length
    int nodeChannels = 10000, writeChannels = 100, nodeGroups = 10;
    DWORD rate = 1000;  // ms, every group's update rate
};

constexpr DWORD kWritesPerRound = 10;
constexpr OPCHANDLE kWriteHandleBase = 1000000;  // client handles of the written (inactive) items
// Growth verdict: private bytes may grow from the baseline by the larger of these; handles and
// threads by these counts.
constexpr double kGrowthPercent = 3.0;
constexpr double kGrowthBytes = 4.0 * 1024 * 1024;
constexpr long kHandleSlack = 32, kThreadSlack = 4;

struct Totals {
    std::atomic<long long> asyncReads{0}, asyncWrites{0}, refreshes{0}, syncCalls{0}, failures{0};
};

std::wstring ItemId(const Options& o, int channel) {
    const int group = 32 + (channel - 1) % o.nodeGroups;
    return L"Node.G" + std::to_wstring(group) + L".C" + std::to_wstring(channel) + L".Value";
}

// The machine's load average over the last minute (Wine shows the host's /proc as Z:\proc), or
// -1: the soak shares the machine, and its figures depend on what else runs.
double LoadAverage() {
    HANDLE file = CreateFileW(L"Z:\\proc\\loadavg", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    char text[64] = {};
    DWORD got = 0;
    const BOOL ok = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return ok && got ? std::atof(text) : -1;
}

std::uint64_t Ticks(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
std::uint64_t NowTicks() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return Ticks(now);
}

// What one group's callbacks have shown.
struct GroupTrack {
    std::size_t active = 0;                // active items (client handles 1..active)
    std::vector<double> last;              // last value delivered per item (NaN: none)
    std::vector<WORD> lastQuality;
    bool started = false;                  // the first tick callback after counting began came
    std::uint64_t baseline = 0;            // its receipt (FILETIME ticks)
    double lastStep = 0;                   // the newest counter value a tick callback carried
    std::uint64_t lastReceived = 0;
    long long ticks = 0;                   // tick callbacks after the first
    long long coalesced = 0;               // periods that sent nothing, their changes came later
    long long late = 0;
    long long lostItems = 0;               // active items missing from a callback that moved on
    long long refreshes = 0, reads = 0, writes = 0, cancels = 0;
    double delayMax = 0;                   // ms from the scan of a callback's newest change to its receipt
    double delaySum = 0;
};

// One client's data callback: counts and checks what every group receives. Callbacks of one
// client come one at a time (one delivery queue per client), but on any thread.
class SoakSink final : public IOPCDataCallback {
public:
    explicit SoakSink(const Options& o) : rate_(o.rate), groups_(o.groups) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
        *object = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    void Prepare(std::size_t group, std::size_t active) {
        std::lock_guard<std::mutex> hold(lock_);
        GroupTrack& g = groups_.at(group);
        g.active = active;
        g.last.assign(active, std::nan(""));
        g.lastQuality.assign(active, 0);
    }
    void Count(bool on) {
        std::lock_guard<std::mutex> hold(lock_);
        counting_ = on;
    }
    void SetScanPeriod(double ms) {
        std::lock_guard<std::mutex> hold(lock_);
        scanMs_ = ms;
    }

    STDMETHODIMP OnDataChange(DWORD transaction, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients,
                              VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors) override {
        const std::uint64_t received = NowTicks();
        std::lock_guard<std::mutex> hold(lock_);
        lastCallback_ = Clock::now();
        if (hGroup >= groups_.size()) {
            ++foreign_;
            return S_OK;
        }
        GroupTrack& g = groups_[hGroup];
        double newest = -1;
        std::uint64_t newestTime = 0;
        std::size_t carried = 0;
        for (DWORD i = 0; i < count; ++i) {
            const OPCHANDLE h = clients[i];
            if (h < 1 || h > g.active) {
                ++foreign_;
                continue;
            }
            ++carried;
            VARIANT d;
            VariantInit(&d);
            double v = std::nan("");
            if (errors[i] == S_OK && SUCCEEDED(VariantChangeType(&d, &values[i], 0, VT_R8))) v = V_R8(&d);
            else ++bad_;
            g.last[h - 1] = v;
            g.lastQuality[h - 1] = qualities[i];
            if (v > newest) newest = v;
            newestTime = std::max(newestTime, Ticks(times[i]));
        }
        if (transaction != 0) {
            if (counting_) ++g.refreshes;
            return S_OK;
        }
        if (!counting_ || newest < 0) return S_OK;
        if (!g.started) {
            g.started = true;
            g.baseline = received;
            g.lastStep = newest;
            g.lastReceived = received;
            return S_OK;
        }
        ++g.ticks;
        // The node's scans between this callback and the previous, in update periods: about one,
        // give or take a scan as the two timers meet; two or more when a tick sent nothing.
        const double periods = (newest - g.lastStep) * scanMs_ / rate_;
        g.coalesced += std::max(0LL, static_cast<long long>(std::floor(periods + 0.25)) - 1);
        // Every counter steps at every scan: an active item missing from a callback that is two
        // or more steps ahead of the item's last delivered value had a change it should carry.
        if (carried < g.active)
            for (double v : g.last)
                if (!(v >= newest - 1)) ++g.lostItems;
        const double delayMs = received > newestTime ? static_cast<double>(received - newestTime) / 1e4 : 0;
        if (delayMs > rate_) ++g.late;
        g.delayMax = std::max(g.delayMax, delayMs);
        g.delaySum += delayMs;
        g.lastStep = std::max(g.lastStep, newest);
        g.lastReceived = received;
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                FILETIME*, HRESULT*) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (hGroup < groups_.size()) ++groups_[hGroup].reads;
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE hGroup, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (hGroup < groups_.size()) ++groups_[hGroup].writes;
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE hGroup) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (hGroup < groups_.size()) ++groups_[hGroup].cancels;
        return S_OK;
    }

    struct Sum {
        long long ticks = 0, owed = 0, coalesced = 0, late = 0, lostItems = 0, refreshes = 0, completions = 0;
        long long bad = 0, foreign = 0, groupsSilent = 0;
        double delaySum = 0, delayMax = 0, intervalSum = 0;  // intervalSum: mean tick interval x groups
        long long intervalGroups = 0;
    };
    // Adds this client's figures; owed counts the periods from each group's first callback to `now`.
    void AddTo(Sum& s, std::uint64_t now) {
        std::lock_guard<std::mutex> hold(lock_);
        s.bad += bad_;
        s.foreign += foreign_;
        for (const GroupTrack& g : groups_) {
            s.refreshes += g.refreshes;
            s.completions += g.reads + g.writes + g.cancels;
            if (!g.started) {
                ++s.groupsSilent;
                continue;
            }
            s.ticks += g.ticks;
            s.owed += static_cast<long long>(static_cast<double>(now - g.baseline) / 1e4 / rate_);
            s.coalesced += g.coalesced;
            s.late += g.late;
            s.lostItems += g.lostItems;
            s.delaySum += g.delaySum;
            s.delayMax = std::max(s.delayMax, g.delayMax);
            if (g.ticks > 0) {
                s.intervalSum += static_cast<double>(g.lastReceived - g.baseline) / 1e4 / static_cast<double>(g.ticks);
                ++s.intervalGroups;
            }
        }
    }
    long long Completions() {
        std::lock_guard<std::mutex> hold(lock_);
        long long n = 0;
        for (const GroupTrack& g : groups_) n += g.reads + g.writes + g.cancels;
        return n;
    }
    Clock::time_point LastCallback() {
        std::lock_guard<std::mutex> hold(lock_);
        return lastCallback_;
    }
    // The last value and quality delivered for item h (1-based) of group g.
    std::pair<double, WORD> Last(std::size_t g, OPCHANDLE h) {
        std::lock_guard<std::mutex> hold(lock_);
        const GroupTrack& t = groups_.at(g);
        return {t.last.at(h - 1), t.lastQuality.at(h - 1)};
    }

private:
    std::atomic<ULONG> refs_{1};
    const double rate_;
    double scanMs_ = 0;
    std::mutex lock_;
    bool counting_ = false;
    std::vector<GroupTrack> groups_;
    long long bad_ = 0, foreign_ = 0;
    Clock::time_point lastCallback_ = Clock::now();
};

// One client: its own server object, M groups of K active items and W/(N*M) written inactive
// items each, a data callback on every group.
struct Client {
    ComPtr<IOPCServer> server;
    struct Group {
        OPCHANDLE handle = 0;
        ComPtr<IOPCItemMgt> items;
        ComPtr<IOPCSyncIO> sync;
        ComPtr<IOPCAsyncIO2> async;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        std::vector<OPCHANDLE> handles;  // the active items, client handles 1..K
        std::vector<OPCHANDLE> writes;   // the written items
    };
    std::vector<Group> groups;
    ComPtr<SoakSink> sink;

    bool SetUp(const Options& o, int index) {
        sink.Attach(new SoakSink(o));
        if (FAILED(CoCreateInstance(bench::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server))))
            return false;
        for (int g = 0; g < o.groups; ++g) {
            Group group;
            DWORD revised = 0;
            const std::wstring name = L"soak" + std::to_wstring(index) + L"." + std::to_wstring(g);
            if (FAILED(server->AddGroup(name.c_str(), TRUE, o.rate, static_cast<OPCHANDLE>(g), nullptr, nullptr, 0x409,
                                        &group.handle, &revised, IID_IOPCItemMgt,
                                        reinterpret_cast<LPUNKNOWN*>(group.items.GetAddressOf()))))
                return false;
            std::vector<std::wstring> ids;
            for (int i = 0; i < o.items; ++i)
                ids.push_back(ItemId(o, (index * 7919 + g * o.items + i) % o.nodeChannels + 1));
            for (DWORD i = 0; i < kWritesPerRound; ++i)
                ids.push_back(ItemId(o, o.nodeChannels + 1 +
                                            static_cast<int>((index * o.groups + g) * kWritesPerRound + i) % o.writeChannels));
            std::vector<OPCITEMDEF> defs(ids.size());
            for (std::size_t i = 0; i < ids.size(); ++i) {
                defs[i] = OPCITEMDEF{};
                defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
                const bool written = i >= static_cast<std::size_t>(o.items);
                defs[i].bActive = written ? FALSE : TRUE;
                defs[i].hClient = written ? kWriteHandleBase + static_cast<OPCHANDLE>(i) : static_cast<OPCHANDLE>(i + 1);
            }
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            const HRESULT hr = group.items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
            std::size_t failed = 0;
            for (std::size_t i = 0; results && i < defs.size(); ++i) {
                if (errors[i] != S_OK) ++failed;
                else (i < static_cast<std::size_t>(o.items) ? group.handles : group.writes).push_back(results[i].hServer);
                CoTaskMemFree(results[i].pBlob);
            }
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
            if (hr != S_OK || failed) {
                std::printf("client %d group %d: AddItems 0x%08lx, %zu of %zu items failed\n", index, g,
                            static_cast<unsigned long>(hr), failed, defs.size());
                return false;
            }
            sink->Prepare(static_cast<std::size_t>(g), group.handles.size());
            ComPtr<IConnectionPointContainer> container;
            if (FAILED(group.items.As(&group.sync)) || FAILED(group.items.As(&group.async)) ||
                FAILED(group.items.As(&container)) ||
                FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, &group.point)) ||
                FAILED(group.point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &group.cookie)))
                return false;
            groups.push_back(std::move(group));
        }
        return true;
    }

    // One round of I/O on one group: a cache read of all its items, a write of its written items, an
    // asynchronous read of all, an asynchronous write and a refresh. Transaction ids start at 1 (a
    // refresh of id 0 would carry only the changes and look like a tick).
    void Round(std::size_t g, Totals& t, int step) {
        Group& group = groups[g % groups.size()];
        const DWORD n = static_cast<DWORD>(group.handles.size());
        const DWORD id = static_cast<DWORD>(step) + 1;
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        if (FAILED(group.sync->Read(OPC_DS_CACHE, n, group.handles.data(), &states, &errors))) ++t.failures;
        for (DWORD i = 0; states && i < n; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        errors = nullptr;
        const DWORD w = static_cast<DWORD>(group.writes.size());
        std::vector<VARIANT> values(w);
        for (DWORD i = 0; i < w; ++i) {
            VariantInit(&values[i]);
            V_VT(&values[i]) = VT_R8;
            V_R8(&values[i]) = step % 100;
        }
        if (group.sync->Write(w, group.writes.data(), values.data(), &errors) != S_OK) ++t.failures;
        CoTaskMemFree(errors);
        t.syncCalls += 2;
        DWORD cancel = 0;
        errors = nullptr;
        if (group.async->Read(n, group.handles.data(), id, &cancel, &errors) == S_OK) ++t.asyncReads;
        else ++t.failures;
        CoTaskMemFree(errors);
        errors = nullptr;
        if (group.async->Write(w, group.writes.data(), values.data(), id, &cancel, &errors) == S_OK) ++t.asyncWrites;
        else ++t.failures;
        CoTaskMemFree(errors);
        if (group.async->Refresh2(OPC_DS_CACHE, id, &cancel) == S_OK) ++t.refreshes;
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
        else if (a == L"--write-channels") o.writeChannels = _wtoi(v);
        else if (a == L"--node-groups") o.nodeGroups = _wtoi(v);
        else if (a == L"--rate") o.rate = static_cast<DWORD>(_wtoi(v));
        else return false;
        ++i;
    }
    if (o.interval == 0) o.interval = static_cast<int>(std::clamp(o.minutes * 60 / 15, 10.0, 60.0));
    return !o.node.empty() && o.clients > 0 && o.groups > 0 && o.items > 0 && o.items <= o.nodeChannels &&
           o.minutes > 0 && o.interval > 0 && o.nodeChannels > 0 && o.writeChannels > 0 && o.nodeGroups > 0 &&
           o.nodeGroups <= 10 && o.rate >= 100;
}

// The server's scan period in ms (item property 6 of any item), or 0.
double ScanPeriodMs(IOPCServer* server, const std::wstring& item) {
    ComPtr<IOPCItemProperties> properties;
    if (FAILED(server->QueryInterface(IID_PPV_ARGS(&properties)))) return 0;
    DWORD id = 6;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    double ms = 0;
    if (SUCCEEDED(properties->GetItemProperties(const_cast<LPWSTR>(item.c_str()), 1, &id, &values, &errors)) &&
        errors[0] == S_OK) {
        VARIANT d;
        VariantInit(&d);
        if (SUCCEEDED(VariantChangeType(&d, &values[0], 0, VT_R8))) ms = V_R8(&d);
    }
    if (values) VariantClear(&values[0]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    return ms;
}

// Waits until no callback has reached any client for `quiet` (at most `limit`).
void WaitQuiet(std::vector<Client>& clients, std::chrono::milliseconds quiet, std::chrono::seconds limit) {
    const auto giveUp = Clock::now() + limit;
    for (;;) {
        Clock::time_point last{};
        for (auto& c : clients) last = std::max(last, c.sink->LastCallback());
        const auto now = Clock::now();
        if (now - last >= quiet || now >= giveUp) return;
        Sleep(50);
    }
}

// The end of the run: is the server live and does it answer correctly? Every client's status;
// the node is stopped, and once the callbacks have drained every group's cache must equal what
// its last callback carried (else a change was lost); then a write to a written channel is read
// back from the device. Prints the findings; returns whether all held.
bool CheckLiveAndCorrect(std::vector<Client>& clients, bench::ServerProcess& server, long long* lostFinal) {
    bool ok = true;
    int statusOk = 0;
    for (auto& c : clients) {
        OPCSERVERSTATUS* status = nullptr;
        if (SUCCEEDED(c.server->GetStatus(&status)) && status && status->dwServerState == OPC_STATUS_RUNNING) ++statusOk;
        if (status) CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    std::printf("end: status of %d of %zu clients: running\n", statusOk, clients.size());
    ok = ok && statusOk == static_cast<int>(clients.size());

    server.PanelCommand(203);  // Stop: the counters stand still, the qualities change once
    Sleep(1000);
    WaitQuiet(clients, std::chrono::milliseconds(3000), std::chrono::seconds(60));
    long long unread = 0;
    *lostFinal = 0;
    for (auto& c : clients) {
        for (std::size_t g = 0; g < c.groups.size(); ++g) {
            auto& group = c.groups[g];
            const DWORD n = static_cast<DWORD>(group.handles.size());
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            if (FAILED(group.sync->Read(OPC_DS_CACHE, n, group.handles.data(), &states, &errors))) {
                unread += n;
                continue;
            }
            for (DWORD i = 0; i < n; ++i) {
                VARIANT d;
                VariantInit(&d);
                const auto [value, quality] = c.sink->Last(g, states[i].hClient);
                if (errors[i] != S_OK || FAILED(VariantChangeType(&d, &states[i].vDataValue, 0, VT_R8))) ++unread;
                else if (V_R8(&d) != value || states[i].wQuality != quality) ++*lostFinal;
                VariantClear(&states[i].vDataValue);
            }
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
    }
    std::printf("end: node stopped, callbacks drained: %lld items whose last value or quality never came%s\n",
                *lostFinal, unread ? " (some could not be read back)" : "");
    ok = ok && *lostFinal == 0 && unread == 0;

    // A write read back from the device.
    bool written = false;
    if (!clients.empty() && !clients[0].groups.empty() && !clients[0].groups[0].writes.empty()) {
        auto& group = clients[0].groups[0];
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = 4321.5;
        HRESULT* errors = nullptr;
        OPCHANDLE h = group.writes[0];
        const HRESULT hw = group.sync->Write(1, &h, &v, &errors);
        CoTaskMemFree(errors);
        errors = nullptr;
        OPCITEMSTATE* states = nullptr;
        if (hw == S_OK && group.sync->Read(OPC_DS_DEVICE, 1, &h, &states, &errors) == S_OK) {
            VARIANT d;
            VariantInit(&d);
            written = SUCCEEDED(VariantChangeType(&d, &states[0].vDataValue, 0, VT_R8)) && V_R8(&d) == 4321.5;
            VariantClear(&states[0].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    std::printf("end: a write read back from the device: %s\n", written ? "equal" : "DIFFERENT or failed");
    ok = ok && written;
    const bench::ServerStats s = server.Stats();
    ok = ok && s.alive;
    std::printf("end: server %s\n", !s.alive ? "DEAD" : ok ? "live and correct" : "live, NOT correct");
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::printf("usage: soak.exe --node PATH [--clients N] [--groups M] [--items K] [--minutes T] [--interval S]\n"
                    "                [--node-channels C] [--write-channels W] [--node-groups G] [--rate MS]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    if (!bench::ServerProcess::Prepare(o.node)) {
        std::printf("cannot register lx6opc.exe or point it at %ls\n", o.node.c_str());
        return 1;
    }
    // The first client starts the server; the node is started from its panel once the first
    // client has its groups (until then the counters stand at 0).
    std::vector<Client> clients(static_cast<std::size_t>(o.clients));
    bench::ServerProcess server;
    const auto setUpStart = Clock::now();
    double scanMs = 0;
    for (int c = 0; c < o.clients; ++c) {
        if (!clients[c].SetUp(o, c)) {
            std::printf("client %d could not be set up\n", c);
            return 1;
        }
        if (c == 0) {
            server.Attach();
            server.PanelCommand(202);
            scanMs = ScanPeriodMs(clients[0].server.Get(), ItemId(o, 1));
            if (scanMs <= 0) {
                std::printf("the server's scan period could not be read\n");
                return 1;
            }
        }
        clients[c].sink->SetScanPeriod(scanMs);
    }
    const double runSeconds = o.minutes * 60;
    const double warmUp = std::min(300.0, runSeconds / 4);
    std::printf("%d clients x %d groups x %d items (+%lu written) set up in %.1f s; group rate %lu ms, scan %.0f ms; "
                "%.1f minutes, rows every %d s, baseline after %.0f s\n",
                o.clients, o.groups, o.items, static_cast<unsigned long>(kWritesPerRound),
                std::chrono::duration<double>(Clock::now() - setUpStart).count(), static_cast<unsigned long>(o.rate),
                scanMs, o.minutes, o.interval, warmUp);

    Totals totals;
    std::atomic<bool> stop{false};
    for (auto& c : clients) c.sink->Count(true);
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
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(runSeconds));
    std::printf("%6s %11s %7s %7s | %9s %9s %9s %7s %7s %9s | %7s %7s %9s %9s %6s | %5s\n", "t [s]", "private[KB]",
                "handles", "threads", "ticks", "owed", "coalesced", "late", "lost", "delay[ms]", "refresh", "sent",
                "async done", "sent", "failed", "load");
    struct Sample {
        double t;
        bench::ServerStats s;
    };
    std::vector<Sample> samples;
    bool died = false;
    auto sum = [&](std::uint64_t now) {
        SoakSink::Sum s;
        for (auto& c : clients) c.sink->AddTo(s, now);
        return s;
    };
    for (auto next = start + std::chrono::seconds(o.interval); !died; next += std::chrono::seconds(o.interval)) {
        const auto wake = std::min(next, end);
        while (Clock::now() < wake) Sleep(200);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const bench::ServerStats s = server.Stats();
        const SoakSink::Sum f = sum(NowTicks());
        std::printf("%6.0f %11.0f %7lu %7lu | %9lld %9lld %9lld %7lld %7lld %9.0f | %7lld %7lld %9lld %9lld %6lld | %5.1f\n",
                    elapsed, s.privateBytes / 1024, static_cast<unsigned long>(s.handles),
                    static_cast<unsigned long>(s.threads), f.ticks, f.owed, f.coalesced, f.late, f.lostItems,
                    f.ticks ? f.delaySum / static_cast<double>(f.ticks) : 0.0, f.refreshes, totals.refreshes.load(),
                    f.completions, totals.asyncReads + totals.asyncWrites, totals.failures.load(), LoadAverage());
        std::fflush(stdout);
        samples.push_back({elapsed, s});
        died = !s.alive;
        if (Clock::now() >= end) break;
    }
    stop = true;
    for (auto& w : workers) w.join();
    // The last completions and refreshes.
    const long long sent = totals.asyncReads + totals.asyncWrites;
    for (int i = 0; i < 300; ++i) {
        long long done = 0;
        for (auto& c : clients) done += c.sink->Completions();
        const SoakSink::Sum f = sum(NowTicks());
        if (done >= sent && f.refreshes >= totals.refreshes) break;
        Sleep(100);
    }
    for (auto& c : clients) c.sink->Count(false);
    const SoakSink::Sum f = sum(NowTicks());

    std::printf("tick callbacks %lld of %lld owed: %lld periods coalesced into a later callback, %lld not accounted "
                "for (the last period of each group, or ticks that slipped); mean interval %.0f ms at a rate of %lu ms\n",
                f.ticks, f.owed, f.coalesced, f.owed - f.ticks - f.coalesced,
                f.intervalGroups ? f.intervalSum / static_cast<double>(f.intervalGroups) : 0.0,
                static_cast<unsigned long>(o.rate));
    std::printf("late (> one period from scan to receipt) %lld; scan to receipt mean %.0f ms, max %.0f ms; lost item "
                "updates %lld; %lld updates not good numbers, %lld for unknown handles, %lld groups never called\n",
                f.late, f.ticks ? f.delaySum / static_cast<double>(f.ticks) : 0.0, f.delayMax, f.lostItems, f.bad,
                f.foreign, f.groupsSilent);
    std::printf("refresh callbacks %lld of %lld; async completions %lld of %lld sent; sync calls %lld; failed calls %lld\n",
                f.refreshes, totals.refreshes.load(), f.completions, sent, totals.syncCalls.load(),
                totals.failures.load());

    long long lostFinal = 0;
    const bool correct = !died && CheckLiveAndCorrect(clients, server, &lostFinal);

    int verdict = 0;
    if (died) {
        std::printf("verdict: the server died\n");
        verdict = 3;
    } else {
        // Baseline: the first sample after the warm-up (set-up, first callbacks, heaps and thread
        // pools at their working size).
        const auto base = std::find_if(samples.begin(), samples.end(), [&](const Sample& s) { return s.t >= warmUp; });
        if (base == samples.end() || base + 1 == samples.end()) {
            std::printf("verdict: too short to judge growth (no sample after the warm-up of %.0f s)\n", warmUp);
        } else {
            const auto& b = base->s;
            const auto& last = samples.back().s;
            const double growth = last.privateBytes - b.privateBytes;
            const double limit = std::max(kGrowthPercent / 100 * b.privateBytes, kGrowthBytes);
            // Least-squares slope of private bytes after the warm-up, KB per minute.
            double n = 0, st = 0, sb = 0, stt = 0, stb = 0;
            long maxHandles = 0, maxThreads = 0;
            for (auto it = base; it != samples.end(); ++it) {
                const double t = it->t / 60, kb = it->s.privateBytes / 1024;
                n += 1, st += t, sb += kb, stt += t * t, stb += t * kb;
                maxHandles = std::max<long>(maxHandles, static_cast<long>(it->s.handles));
                maxThreads = std::max<long>(maxThreads, static_cast<long>(it->s.threads));
            }
            const double slope = n * stt - st * st != 0 ? (n * stb - st * sb) / (n * stt - st * st) : 0;
            const long handleGrowth = static_cast<long>(last.handles) - static_cast<long>(b.handles);
            const long threadGrowth = static_cast<long>(last.threads) - static_cast<long>(b.threads);
            const bool memoryGrew = growth > limit;
            const bool handlesGrew = handleGrowth > kHandleSlack;
            const bool threadsGrew = threadGrowth > kThreadSlack;
            const bool callbacksMissing = f.completions != sent || f.refreshes != totals.refreshes ||
                                          f.lostItems != 0 || lostFinal != 0;
            std::printf("growth from the baseline at %.0f s to the end at %.0f s: private bytes %+.0f KB (%+.1f %%, "
                        "limit %.0f KB: the larger of %.0f %% and %.0f KB), slope %+.0f KB/min; handles %+ld "
                        "(limit %+ld, highest %ld), threads %+ld (limit %+ld, highest %ld)\n",
                        base->t, samples.back().t, growth / 1024, b.privateBytes > 0 ? 100 * growth / b.privateBytes : 0,
                        limit / 1024, kGrowthPercent, kGrowthBytes / 1024, slope, handleGrowth, kHandleSlack, maxHandles,
                        threadGrowth, kThreadSlack, maxThreads);
            const bool bad = memoryGrew || handlesGrew || threadsGrew;
            std::printf("verdict: %s%s%s%s; callbacks %s; server %s\n", bad ? "GROWTH" : "flat",
                        memoryGrew ? " (private bytes)" : "", handlesGrew ? " (handles)" : "",
                        threadsGrew ? " (threads)" : "", callbacksMissing ? "MISSING" : "all delivered",
                        correct ? "live and correct" : "NOT live and correct");
            verdict = bad ? 4 : callbacksMissing || !correct ? 5 : 0;
        }
        if (verdict == 0 && !correct) verdict = 5;
    }
    for (auto& client : clients) client.TearDown();
    clients.clear();
    server.Close();
    CoUninitialize();
    return verdict;
}
