// Dead and hung clients: what the server does with a client that is killed while it streams, and with one
// that hangs inside its callback, while another client goes on reading and receiving callbacks.
//
// 1. Kills: a client process subscribes ITEMS items at 100 ms with a data callback and a shutdown sink and
//    is ended by TerminateProcess mid-stream, KILLS times in a row (one more before the baseline warms the
//    server up). This process is the healthy client: ITEMS items at 100 ms with a data callback, and a
//    thread that reads them synchronously (cache) all the time. Printed: its callback gaps during the kills
//    (longest, mean, against its rate), its read times, and the server's threads, handles and private bytes
//    at the baseline, after the kills and after settling (delivery threads end after 30 s without work),
//    with a verdict: back to the baseline or not. Before the kills, as many clients stream the same way and
//    end cleanly (release everything): what any client costs, and the state the kills are measured against.
// 2. Hang: a client process sleeps HANG_MS inside its second OnDataChange. Printed: the healthy client's
//    callback gaps and read times meanwhile, and what the hung client sees once it returns (when its next
//    callback came, its callbacks in the following 5 s against its rate, a synchronous read of its own).
//
// Usage: dead_clients.exe --node PATH [--kills 20] [--items 1000] [--hang-ms 20000] [--settle 40]
//                         [--node-channels C (1000)] [--node-groups G (10)] [--bare 1]
// --bare 1: the killed clients advise no sinks (so no callback to a dead client ever fails).
// The node is one written by tools/nrkgen/nrkgen.py (channels of type 4, every one simulated, scan 100 ms);
// bench/reliability/run.sh dead_clients writes it and runs this. Exit code 0: back to the baseline and the
// hung client recovered; 4: growth; 5: the hung client did not recover; 3: the server died.
//
// Child modes (started by the program itself):
//   dead_clients.exe --child hold ITEMS READY C G          sets READY at its first callback, waits to be killed
//   dead_clients.exe --child hang ITEMS MS READY C G       sets READY as it starts to sleep MS in its second
//                                                          callback, then reports and exits
//   dead_clients.exe --child clean ITEMS MS READY C G      sets READY at its first callback, streams MS more,
//                                                          releases everything and exits
//   dead_clients.exe --child bare ITEMS READY C G          as hold, without sinks: sets READY once subscribed
// (C and G: the node's channels and groups.)
#include "BenchServer.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr DWORD kRate = 100; // ms, every group's update rate

struct Options {
    std::wstring node;
    int kills = 20, items = 1000, hangMs = 20000, settle = 40;
    bool bare = false; // the killed clients advise no sinks (no callback ever fails)
    int nodeChannels = 1000, nodeGroups = 10;
};

std::wstring ItemId(int channel, int nodeGroups) {
    const int group = 32 + (channel - 1) % nodeGroups;
    return L"Node.G" + std::to_wstring(group) + L".C" + std::to_wstring(channel) + L".Value";
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A data callback and shutdown sink that notes when each OnDataChange came; in the child's hang mode it
// sleeps in its second one.
class TimedSink final : public bench::DataAndShutdownSink {
public:
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override {
        std::size_t n;
        {
            std::lock_guard<std::mutex> hold(lock_);
            times_.push_back(Clock::now());
            n = times_.size();
        }
        if (n == 1 && ready_ && hangMs_ == 0) SetEvent(ready_);
        if (n == 2 && hangMs_ != 0) {
            if (ready_) SetEvent(ready_);
            Sleep(hangMs_);
            woke_ = Clock::now();
            awake_ = true;
        }
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override {
        InterlockedIncrement(&shutdowns);
        return S_OK;
    }

    void SetReady(HANDLE ready) { ready_ = ready; }
    void SetHang(DWORD ms) { hangMs_ = ms; }
    bool Awake() const { return awake_.load(); }
    Clock::time_point Woke() const { return woke_; }

    std::vector<Clock::time_point> Times() {
        std::lock_guard<std::mutex> hold(lock_);
        return times_;
    }

    volatile LONG shutdowns = 0;

private:
    std::mutex lock_;
    std::vector<Clock::time_point> times_;
    HANDLE ready_ = nullptr;
    DWORD hangMs_ = 0;
    std::atomic<bool> awake_{false};
    Clock::time_point woke_{};
};

// Callback gaps within [from, to]: the longest, the mean, the count.
struct Gaps {
    double longestMs = 0, meanMs = 0;
    std::size_t callbacks = 0;
};
Gaps GapsWithin(const std::vector<Clock::time_point>& times, Clock::time_point from, Clock::time_point to) {
    Gaps g;
    Clock::time_point last = from;
    double sum = 0;
    for (auto t : times) {
        if (t < from || t > to) continue;
        const double gap = Ms(t - last);
        g.longestMs = std::max(g.longestMs, gap);
        sum += gap;
        last = t;
        ++g.callbacks;
    }
    g.longestMs = std::max(g.longestMs, Ms(to - last));
    g.meanMs = g.callbacks ? sum / static_cast<double>(g.callbacks) : 0;
    return g;
}

// One client's subscription: its server object with a shutdown sink, one group of N items with a data sink.
struct Subscription {
    ComPtr<IOPCServer> server;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IConnectionPoint> dataPoint, shutdownPoint;
    DWORD dataCookie = 0, shutdownCookie = 0;
    std::vector<OPCHANDLE> handles;

    // `sink` null: no sinks at all.
    HRESULT Make(TimedSink* sink, int count, int nodeChannels, int nodeGroups) {
        HRESULT hr = CoCreateInstance(bench::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
        if (FAILED(hr)) return hr;
        ComPtr<IConnectionPointContainer> container;
        if (FAILED(hr = server.As(&container))) return hr;
        if (FAILED(hr = container->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint))) return hr;
        if (sink && FAILED(hr = shutdownPoint->Advise(static_cast<IOPCShutdown*>(sink), &shutdownCookie))) return hr;
        OPCHANDLE group = 0;
        DWORD revised = 0;
        if (FAILED(hr = server->AddGroup(L"", TRUE, kRate, 1, nullptr, nullptr, 0x409, &group, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf()))))
            return hr;
        std::vector<std::wstring> ids;
        std::vector<OPCITEMDEF> defs(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) ids.push_back(ItemId(i % nodeChannels + 1, nodeGroups));
        for (int i = 0; i < count; ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        hr = items->AddItems(static_cast<DWORD>(count), defs.data(), &results, &errors);
        for (int i = 0; results && i < count; ++i) {
            if (errors[i] == S_OK) handles.push_back(results[i].hServer);
            CoTaskMemFree(results[i].pBlob);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        if (FAILED(hr)) return hr;
        if (handles.empty()) return E_FAIL;
        if (FAILED(hr = items.As(&sync))) return hr;
        ComPtr<IConnectionPointContainer> groupContainer;
        if (FAILED(hr = items.As(&groupContainer))) return hr;
        if (FAILED(hr = groupContainer->FindConnectionPoint(IID_IOPCDataCallback, &dataPoint))) return hr;
        return sink ? dataPoint->Advise(static_cast<IOPCDataCallback*>(sink), &dataCookie) : S_OK;
    }

    // A synchronous cache read of every item: its time in ms, or a negative number when it failed.
    double Read() {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const auto start = Clock::now();
        const HRESULT hr =
            sync->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
        const double ms = Ms(Clock::now() - start);
        for (std::size_t i = 0; states && i < handles.size(); ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return FAILED(hr) ? -1 : ms;
    }

    void Release() {
        if (dataPoint && dataCookie) dataPoint->Unadvise(dataCookie);
        if (shutdownPoint && shutdownCookie) shutdownPoint->Unadvise(shutdownCookie);
        dataPoint.Reset();
        shutdownPoint.Reset();
        sync.Reset();
        items.Reset();
        server.Reset();
    }
};

// ---------------------------------------------------------------------------- child

int Child(int argc, wchar_t** argv) {
    // --child hold ITEMS READY C G | --child hang ITEMS MS READY C G | --child clean ITEMS MS READY C G
    // (C, G: the node's channels and groups)
    if (argc < 7) return 1;
    const std::wstring mode = argv[2];
    const int items = _wtoi(argv[3]);
    const bool hang = mode == L"hang", clean = mode == L"clean", bare = mode == L"bare";
    if ((hang || clean) && argc < 8) return 1;
    const DWORD ms = hang || clean ? static_cast<DWORD>(_wtoi(argv[4])) : 0;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, argv[hang || clean ? 5 : 4]);
    if (!ready || items <= 0) return 1;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    auto* sink = new TimedSink;
    sink->SetReady(ready);
    sink->SetHang(hang ? ms : 0);
    Subscription s;
    const HRESULT hr = s.Make(bare ? nullptr : sink, items, _wtoi(argv[argc - 2]), _wtoi(argv[argc - 1]));
    if (FAILED(hr)) {
        std::printf("child %ls: subscription failed 0x%08lx\n", mode.c_str(), static_cast<unsigned long>(hr));
        return 2;
    }
    if (clean) { // streams a while after its first callback, lets go of everything and ends
        WaitForSingleObject(ready, INFINITE);
        Sleep(ms);
        s.Release();
        sink->Release();
        CoUninitialize();
        return 0;
    }
    if (!hang) {
        if (bare) SetEvent(ready); // no callbacks to wait for
        for (;;) Sleep(1000); // until killed
    }
    while (!sink->Awake()) Sleep(10);
    const auto woke = sink->Woke();
    const double readMs = s.Read();
    Sleep(6000);
    const auto times = sink->Times();
    double nextMs = -1;
    std::size_t within1s = 0;
    for (auto t : times)
        if (t > woke) {
            if (nextMs < 0) nextMs = Ms(t - woke);
            if (t <= woke + std::chrono::seconds(1)) ++within1s;
        }
    const Gaps later = GapsWithin(times, woke + std::chrono::seconds(1), woke + std::chrono::seconds(6));
    std::printf("  hung client after it returned: next callback after %.0f ms, %zu callbacks in its first second; "
                "in the following 5 s %zu callbacks (rate %lu ms: %lu expected), longest gap %.0f ms, mean %.0f ms; "
                "its synchronous read of %zu items %s %.0f ms\n",
                nextMs, within1s, later.callbacks, static_cast<unsigned long>(kRate),
                static_cast<unsigned long>(5000 / kRate), later.longestMs, later.meanMs, s.handles.size(),
                readMs < 0 ? "FAILED after" : "took", std::fabs(readMs));
    std::fflush(stdout);
    const bool ok = nextMs >= 0 && nextMs < 2000 && readMs >= 0 && later.callbacks >= 5000 / kRate / 2;
    s.Release();
    sink->Release();
    CoUninitialize();
    return ok ? 0 : 5;
}

// A child process of this program; ended at the latest when the object goes.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& arguments) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path) + L"\" --child " + arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &info_);
    }
    ~ChildProcess() {
        if (!started_) return;
        Kill();
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    bool Started() const { return started_ != FALSE; }
    void Kill() {
        TerminateProcess(info_.hProcess, 99);
        WaitForSingleObject(info_.hProcess, 10000);
    }
    DWORD Wait(DWORD ms) {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION info_ = {};
    BOOL started_ = FALSE;
};

// ---------------------------------------------------------------------------- the healthy client

// Reads all the time on a thread of its own; notes when each read ended and how long it took.
class Reader {
public:
    explicit Reader(Subscription& s) : s_(s) {
        thread_ = std::thread([this] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            while (!stop_) {
                const double ms = s_.Read();
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    reads_.push_back({Clock::now(), ms});
                }
                Sleep(20);
            }
            CoUninitialize();
        });
    }
    ~Reader() {
        stop_ = true;
        thread_.join();
    }
    struct Figures {
        std::size_t reads = 0, failed = 0;
        double longestMs = 0, meanMs = 0;
    };
    Figures Within(Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> hold(lock_);
        Figures f;
        double sum = 0;
        for (const auto& r : reads_) {
            if (r.end < from || r.end > to) continue;
            ++f.reads;
            if (r.ms < 0) {
                ++f.failed;
                continue;
            }
            f.longestMs = std::max(f.longestMs, r.ms);
            sum += r.ms;
        }
        const std::size_t good = f.reads - f.failed;
        f.meanMs = good ? sum / static_cast<double>(good) : 0;
        return f;
    }

private:
    struct ReadTime {
        Clock::time_point end;
        double ms;
    };
    Subscription& s_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<ReadTime> reads_;
    std::thread thread_;
};

void PrintStats(const char* when, const bench::ServerStats& s) {
    std::printf("  server %-22s threads %3lu, handles %5lu, private %8.0f KB\n", when,
                static_cast<unsigned long>(s.threads), static_cast<unsigned long>(s.handles), s.privateBytes / 1024);
    std::fflush(stdout);
}

void PrintHealthy(const char* what, const Gaps& g, const Reader::Figures& r, double seconds) {
    std::printf("  healthy client %s (%.1f s): %zu callbacks (rate %lu ms: %.0f expected), longest gap %.0f ms, "
                "mean %.0f ms; %zu synchronous reads, %zu failed, longest %.0f ms, mean %.1f ms\n",
                what, seconds, g.callbacks, static_cast<unsigned long>(kRate), seconds * 1000 / kRate, g.longestMs,
                g.meanMs, r.reads, r.failed, r.longestMs, r.meanMs);
    std::fflush(stdout);
}

// Starts a client, waits for its stream and lets it run a moment: then kills it (as the task manager does: no
// Unadvise, no Release), or, `clean`, lets it release everything and end by itself. False when it never streamed
// (or did not end cleanly).
bool RunOne(int index, bool clean, const Options& o, std::mt19937& random) {
    const std::wstring name = L"lx-dead-clients-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(index);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (!ready) return false;
    bool ok = false;
    {
        const DWORD ms = 200 + random() % 800; // mid-stream
        const std::wstring args = std::to_wstring(o.items) + (clean ? L" " + std::to_wstring(ms) : L"") + L" " + name +
                                  L" " + std::to_wstring(o.nodeChannels) + L" " + std::to_wstring(o.nodeGroups);
        ChildProcess child((clean ? L"clean " : o.bare ? L"bare " : L"hold ") + args);
        if (child.Started()) {
            ok = WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0;
            if (clean) {
                ok = child.Wait(60000) == 0 && ok;
            } else {
                Sleep(ms);
                child.Kill();
            }
        }
    }
    CloseHandle(ready);
    return ok;
}

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) return false;
        if (a == L"--node") o.node = v;
        else if (a == L"--kills") o.kills = _wtoi(v);
        else if (a == L"--items") o.items = _wtoi(v);
        else if (a == L"--hang-ms") o.hangMs = _wtoi(v);
        else if (a == L"--settle") o.settle = _wtoi(v);
        else if (a == L"--node-channels") o.nodeChannels = _wtoi(v);
        else if (a == L"--node-groups") o.nodeGroups = _wtoi(v);
        else if (a == L"--bare") o.bare = _wtoi(v) != 0;
        else return false;
        ++i;
    }
    return !o.node.empty() && o.kills > 0 && o.items > 0 && o.hangMs >= 0 && o.settle >= 0 && o.nodeChannels > 0 &&
           o.nodeGroups > 0 && o.nodeGroups <= 10;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"--child") return Child(argc, argv);
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::printf("usage: dead_clients.exe --node PATH [--kills N] [--items K] [--hang-ms MS] [--settle S]\n"
                    "                        [--node-channels C] [--node-groups G]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    if (!bench::ServerProcess::Prepare(o.node)) {
        std::printf("cannot register lx6opc.exe or point it at %ls\n", o.node.c_str());
        return 1;
    }
    auto* sink = new TimedSink;
    Subscription healthy;
    HRESULT hr = healthy.Make(sink, o.items, o.nodeChannels, o.nodeGroups);
    if (FAILED(hr)) {
        std::printf("the healthy client's subscription failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    bench::ServerProcess server;
    server.Attach();
    server.PanelCommand(202); // start the node
    auto reader = std::make_unique<Reader>(healthy);
    std::mt19937 random(12345);
    std::printf("dead clients: %d kills of a client with %d items at %lu ms, a client hanging %d ms in its callback; "
                "the healthy client has %d items at %lu ms and reads them all the time\n",
                o.kills, o.items, static_cast<unsigned long>(kRate), o.hangMs, o.items,
                static_cast<unsigned long>(kRate));
    std::fflush(stdout);

    // Warm-up: one killed client, then the baseline once its delivery thread has ended.
    if (!RunOne(0, false, o, random)) std::printf("  the warm-up client never streamed\n");
    Sleep(static_cast<DWORD>(o.settle) * 1000);
    const bench::ServerStats baseline = server.Stats();
    PrintStats("at the baseline", baseline);

    // The same number of clients that let go of everything and end by themselves: what any client costs.
    const auto cleanStart = Clock::now();
    int cleanOk = 0;
    for (int k = 1; k <= o.kills; ++k) cleanOk += RunOne(1000 + k, true, o, random) ? 1 : 0;
    const auto cleanEnd = Clock::now();
    std::printf("  %d clients streamed and ended by themselves (%d cleanly) in %.1f s\n", o.kills, cleanOk,
                Ms(cleanEnd - cleanStart) / 1000);
    PrintHealthy("meanwhile", GapsWithin(sink->Times(), cleanStart, cleanEnd), reader->Within(cleanStart, cleanEnd),
                 Ms(cleanEnd - cleanStart) / 1000);
    Sleep(static_cast<DWORD>(o.settle) * 1000);
    const bench::ServerStats afterClean = server.Stats();
    const auto typesAfterClean = bench::HandlesByType(server.Pid());
    PrintStats("after them, settled", afterClean);

    const auto killStart = Clock::now();
    int streamed = 0;
    for (int k = 1; k <= o.kills; ++k) streamed += RunOne(k, false, o, random) ? 1 : 0;
    const auto killEnd = Clock::now();
    const bench::ServerStats afterKills = server.Stats();
    std::printf("  %d clients killed mid-stream (%d of them streamed) in %.1f s\n", o.kills, streamed,
                Ms(killEnd - killStart) / 1000);
    PrintHealthy("during the kills", GapsWithin(sink->Times(), killStart, killEnd), reader->Within(killStart, killEnd),
                 Ms(killEnd - killStart) / 1000);
    PrintStats("after the kills", afterKills);
    Sleep(static_cast<DWORD>(o.settle) * 1000);
    const bench::ServerStats settled = server.Stats();
    PrintStats("after settling", settled);
    {
        const auto names = bench::HandleTypeNames();
        std::printf("  server handles by type after settling, against the state after the clean clients:");
        for (const auto& [type, n] : bench::HandlesByType(server.Pid())) {
            const auto before = typesAfterClean.find(type);
            const long change = static_cast<long>(n) - (before == typesAfterClean.end() ? 0L : static_cast<long>(before->second));
            if (change == 0) continue;
            const auto name = names.find(type);
            std::printf(" %s %+ld", name == names.end() ? ("type " + std::to_string(type)).c_str() : name->second.c_str(),
                        change);
        }
        std::printf("\n");
    }

    int verdict = 0;
    if (!settled.alive) {
        std::printf("verdict: the server died\n");
        verdict = 3;
    } else {
        // Against the state after the clean clients (the heap has grown to what a client takes once).
        const double growthKb = (settled.privateBytes - afterClean.privateBytes) / 1024;
        const double cleanKb = (afterClean.privateBytes - baseline.privateBytes) / 1024;
        const long handles = static_cast<long>(settled.handles) - static_cast<long>(afterClean.handles);
        const long threads = static_cast<long>(settled.threads) - static_cast<long>(afterClean.threads);
        const bool back = growthKb < 1024 && handles <= 10 && threads <= 2;
        std::printf("verdict: %s (after settling, against the state after the clean clients: private bytes %+.0f KB, "
                    "%+.1f KB per killed client; handles %+ld; threads %+ld. The clean clients: %+.0f KB, %+.1f KB "
                    "per client, against the baseline)\n",
                    back ? "back to the baseline" : "GROWTH", growthKb, growthKb / o.kills, handles, threads, cleanKb,
                    cleanKb / o.kills);
        verdict = back ? 0 : 4;
    }
    std::fflush(stdout);

    if (o.hangMs > 0 && settled.alive) {
        const std::wstring name = L"lx-dead-clients-hang-" + std::to_wstring(GetCurrentProcessId());
        HANDLE hanging = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        ChildProcess child(L"hang " + std::to_wstring(o.items) + L" " + std::to_wstring(o.hangMs) + L" " + name + L" " +
                           std::to_wstring(o.nodeChannels) + L" " + std::to_wstring(o.nodeGroups));
        if (!hanging || !child.Started() || WaitForSingleObject(hanging, 60000) != WAIT_OBJECT_0) {
            std::printf("the hanging client never reached its callback\n");
            verdict = verdict ? verdict : 5;
        } else {
            const auto hangStart = Clock::now();
            std::printf("a client hangs %d ms in its callback:\n", o.hangMs);
            std::fflush(stdout);
            const DWORD code = child.Wait(static_cast<DWORD>(o.hangMs) + 60000);
            const auto hangEnd = hangStart + std::chrono::milliseconds(o.hangMs);
            PrintHealthy("while it hangs", GapsWithin(sink->Times(), hangStart, hangEnd),
                         reader->Within(hangStart, hangEnd), o.hangMs / 1000.0);
            PrintHealthy("after it returned", GapsWithin(sink->Times(), hangEnd, Clock::now()),
                         reader->Within(hangEnd, Clock::now()), Ms(Clock::now() - hangEnd) / 1000);
            const bench::ServerStats s = server.Stats();
            PrintStats("after the hang", s);
            std::printf("verdict (hang): %s\n", code == 0 ? "the hung client recovered, the others went on"
                                                          : "the hung client did NOT recover");
            if (code != 0 && verdict == 0) verdict = 5;
        }
        if (hanging) CloseHandle(hanging);
    }

    reader.reset();
    healthy.Release();
    sink->Release();
    server.Close();
    CoUninitialize();
    return verdict;
}
