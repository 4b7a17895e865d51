// Item management and data access of the OPC server across processes.
//
// Writes a node file of generated channels (type 4), points NodeFilePath at it, registers lx6opc.exe and
// the proxy/stub DLL in the current prefix, and starts the server by COM activation.
// Then prints, each as an absolute figure and as a ratio to the floor (one bare COM
// call, IOPCCommon::GetLocaleID, measured in the same run):
//   AddItems, ValidateItems and RemoveItems of 1,000 / 10,000 / 100,000 items (distinct attributes, one call
//   each), as a ratio to a bare call of the same item definitions answered from prebuilt arrays by
//   opc_io_floor.exe, the two timed in alternating rounds (the median of five, three at 100,000), in one
//   table, with AddItems' time per item at 100,000 over that at 10,000 (1.00: linear);
//   CACHE and DEVICE Read of 1 / 100 / 1,000 items, also as a ratio to a bare Read of the same N items
//   answered from prebuilt arrays by opc_io_floor.exe (a COM local server of the benchmark's own),
//   the two timed in alternating rounds (the median of five);
//   Write of 100 items;
//   subscriptions of 10,000 and 100,000 items (group rate = scan period = 100 ms), ten simulated counters
//   per channel that step at every scan: item updates per second, the delay from the server's scan to
//   the callback, changes that missed their next tick, changes never delivered (the node is stopped at
//   the end and the last delivered values are set against the cache) and counter steps superseded
//   before a tick (two steps between two ticks: only the latest value is reported);
//   the server's private bytes per item (100,000 items), and what of them RemoveGroup does not give back.
//
//   the server's private bytes over 3,000 calls of every method that carries arrays (400 items, writes of 40
//   values): flat, whatever the call.
//
// Usage: opc_io_bench [channels (default 10000)] [subscription seconds (default 10)]
//        opc_io_bench items [channels (default 10000)]   (only item management and the memory per item)
//        opc_io_bench browse [channels ...]   (only the flat browse of whole nodes of 10,000, 50,000 and
//                                              100,000 channels, or those given, each in a server of its own:
//                                              BrowseOPCItemIDs(OPC_FLAT), then IEnumString::Next by 1,000)
//        opc_io_bench calls [calls per method (default 3000)]    (only the memory per call, 1,000 channels)
// Run under Wine with a display, e.g. in the build's prefix:
//   xvfb-run -a scripts/wine-run.sh build/x86_64/bin/opc_io_bench.exe
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <opccomn.h>
#include <opcda.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/PrivateBytes.h"
#include "nrk/NRK_Server.h"

using Microsoft::WRL::ComPtr;

namespace {

const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
// opc_io_floor.exe: IOPCSyncIO::Read of N items from prebuilt arrays, nothing else.
const CLSID kFloorClsid = {0x5C6B2E10, 0x7D3A, 0x4B8E, {0x9F, 0x21, 0x3A, 0x4C, 0x5D, 0x6E, 0x7F, 0x81}};
const wchar_t kFloorKey[] = L"CLSID\\{5C6B2E10-7D3A-4B8E-9F21-3A4C5D6E7F81}\\LocalServer32";
using Clock = std::chrono::steady_clock;

double Micro(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

DWORD RunAndWait(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, BinDir().c_str(), &si, &pi))
        return static_cast<DWORD>(-1);
    DWORD code = static_cast<DWORD>(-2);
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// The R4 attributes of a type-4 channel that the node simulates as counters stepping by one at every
// scan (RawValue, Value, DefaultValue and 26..32); PreviousValue (1) is left alone.
constexpr int kCounterAttributes[] = {0, 2, 9, 26, 27, 28, 29, 30, 31, 32};
constexpr std::size_t kCountersPerChannel = sizeof(kCounterAttributes) / sizeof(kCounterAttributes[0]);

bool WriteNode(const std::wstring& path, int channels, bool simulated = true) {
    std::ofstream out(std::string(path.begin(), path.end()));
    out << "node \"Bench Node\" type 1\nscan 100\ngroup 0 \"Plant\"\ngroup 40 \"Line\" parent 0\n";
    for (int ch = 1; ch <= channels; ++ch) {
        out << "channel " << ch << " type 4 \"C" << ch << "\" in 40\n";
        if (simulated)
            for (int attribute : kCounterAttributes) out << "  sim " << attribute << " counter 0 1\n";
    }
    return static_cast<bool>(out);
}

bool SetNodePath(const std::wstring& path) {
    const wchar_t* key = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
    return RegSetKeyValueW(HKEY_CURRENT_USER, key, L"NodeFilePath", REG_SZ, path.c_str(),
                           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

HRESULT RegisterProxy() {
    HMODULE module = LoadLibraryW((BinDir() + L"lx6opcps.dll").c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(WINAPI*)();
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    const HRESULT hr = entry ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

DWORD FindProcess(const wchar_t* exe) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    DWORD pid = 0;
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, exe) == 0) pid = entry.th32ProcessID;
    CloseHandle(snapshot);
    return pid;
}
DWORD FindServerProcess() { return FindProcess(L"lx6opc.exe"); }

// The processor time a process has had, in milliseconds: what a call costs the process that answers it,
// which the other programs of a busy machine do not inflate as they do the call's wall time (counted in
// ticks of 10 ms). Wine answers GetProcessTimes for another process with the caller's own times, so under
// Wine the figure comes from the host's /proc/<pid>/stat of the process whose command line holds `path`
// (found once, through the Z: drive; other prefixes may run programs of the same name); elsewhere, and
// for this process or without a path, from GetProcessTimes. -1 when it cannot be told.
class ProcessCpu {
public:
    ProcessCpu() = default;
    ProcessCpu(HANDLE process, const std::wstring& path) : process_(process) {
        if (path.empty() || !GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return;
        std::string exe;
        for (wchar_t c : path) exe += static_cast<char>(std::tolower(static_cast<unsigned char>(c < 128 ? c : '?')));
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            if (found.cFileName[0] < '1' || found.cFileName[0] > '9') continue;
            const std::string dir = std::string("Z:\\proc\\") + found.cFileName;
            std::ifstream in(dir + "\\cmdline", std::ios::binary);
            std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::transform(line.begin(), line.end(), line.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
            if (line.find(exe) != std::string::npos) stat_ = dir + "\\stat";
        } while (FindNextFileA(search, &found));
        FindClose(search);
        if (stat_.empty()) stat_ = "-";
    }
    double Ms() const {
        if (stat_ == "-") return -1;
        if (!stat_.empty()) {
            std::ifstream in(stat_);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const std::size_t close = text.rfind(')');
            if (close == std::string::npos) return -1;
            std::istringstream fields(text.substr(close + 2));
            std::string field;
            double utime = 0, stime = 0;
            for (int k = 3; k <= 15 && fields >> field; ++k) {
                if (k == 14) utime = std::atof(field.c_str());
                if (k == 15) stime = std::atof(field.c_str());
            }
            return (utime + stime) * 10;  // ticks of 10 ms
        }
        FILETIME created, exited, kernel, user;
        if (!process_ || !GetProcessTimes(process_, &created, &exited, &kernel, &user)) return -1;
        auto ms = [](const FILETIME& t) {
            return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
        };
        return ms(kernel) + ms(user);
    }

private:
    HANDLE process_ = nullptr;
    std::string stat_;  // empty: GetProcessTimes; "-": unknown
};

// The attribute names of a type-4 channel, asked of the runtime library itself (the
// server has no browsing interface to ask).
std::vector<std::pair<int, std::wstring>> AttributeNames() {
    std::vector<std::pair<int, std::wstring>> names;
    HMODULE library = LoadLibraryW((BinDir() + L"dllNRK32.dll").c_str());
    if (!library) return names;
    using GetInterface = bool (*)(int, NRK_Server**);
    auto get = reinterpret_cast<GetInterface>(reinterpret_cast<void*>(GetProcAddress(library, "NRK_GET_INTERFACE")));
    NRK_Server* runtime = nullptr;
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    const std::string file = "opc_io_probe.dbb";
    {
        std::ofstream out(std::string(dir) + file);
        out << "node \"Probe\" type 1\ngroup 0 \"Plant\"\nchannel 1 type 4 \"C1\" in 0\n";
    }
    if (get && get(0, &runtime) && runtime && runtime->LoadNode(dir, file.c_str()) == 0) {
        for (int a = 0; a < 256; ++a) {
            char text[NRK_TEXT_SIZE] = {};
            if (!runtime->GetAttributeName(1, a, text) || !*text) continue;
            std::wstring name;
            for (const char* c = text; *c; ++c) name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
            names.emplace_back(a, name);
        }
        runtime->UnloadNode();
    }
    DeleteFileA((std::string(dir) + file).c_str());
    return names;
}

BOOL CALLBACK CloseWindowsOf(HWND window, LPARAM pid) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(pid)) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}


// Counts what a subscription delivers. Client handles are 1..n. Every item is a
// simulated counter that steps by one at every scan of the node, and every update
// carries the time of the server's scan that saw the change. An update is late when
// an earlier callback already carried a change of a later or the same scan: that
// callback came after the item's change and should have carried it.
class SubscriptionSink final : public IOPCDataCallback {
public:
    explicit SubscriptionSink(std::size_t n) : items_(n), delays_(kDelayBuckets, 0) {}

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
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients, VARIANT* values,
                              WORD*, FILETIME* times, HRESULT* errors) override {
        FILETIME received;
        GetSystemTimePreciseAsFileTime(&received);
        const std::uint64_t now = Ticks(received);
        std::lock_guard<std::mutex> hold(lock_);
        lastCallback_ = Clock::now();
        if (!counting_) return S_OK;
        ++callbacks_;
        std::uint64_t newest = 0;
        for (DWORD i = 0; i < count; ++i) {
            const OPCHANDLE h = clients[i];
            if (h < 1 || h > items_.size() || errors[i] != S_OK || V_VT(&values[i]) != VT_R4) {
                ++bad_;
                continue;
            }
            const std::uint64_t t = Ticks(times[i]);
            if (t <= earlierNewest_) ++late_;
            newest = std::max(newest, t);
            const std::uint64_t delayMs = now > t ? (now - t) / 10000 : 0;
            ++delays_[std::min<std::uint64_t>(delayMs, kDelayBuckets - 1)];
            Item& item = items_[h - 1];
            const double v = V_R4(&values[i]);
            if (item.updates == 0) item.first = v;
            item.last = v;
            ++item.updates;
            ++updates_;
        }
        earlierNewest_ = std::max(earlierNewest_, newest);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        ++completions_;
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        ++completions_;
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    // Waits until `n` asynchronous reads and writes have completed in all (at most 30 s).
    void WaitForCompletions(std::uint64_t n) {
        for (int i = 0; i < 3000 && completions_.load() < n; ++i) Sleep(10);
    }

    void Count(bool on) {
        std::lock_guard<std::mutex> hold(lock_);
        counting_ = on;
    }
    // Waits until no callback has come for quiet (at most limit).
    void WaitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
        const auto giveUp = Clock::now() + limit;
        for (;;) {
            Clock::time_point last;
            {
                std::lock_guard<std::mutex> hold(lock_);
                last = lastCallback_;
            }
            const auto now = Clock::now();
            if (now - last >= quiet || now >= giveUp) return;
            Sleep(20);
        }
    }

    struct Totals {
        std::uint64_t callbacks = 0, updates = 0, late = 0, bad = 0;
        std::size_t itemsSeen = 0;
        double skipped = 0;  // counter steps no update carried
        double delayP50 = 0, delayP99 = 0, delayMax = 0, delayMean = 0;
    };
    Totals Sum() {
        std::lock_guard<std::mutex> hold(lock_);
        Totals t;
        t.callbacks = callbacks_;
        t.updates = updates_;
        t.late = late_;
        t.bad = bad_;
        for (const Item& item : items_) {
            if (item.updates == 0) continue;
            ++t.itemsSeen;
            t.skipped += std::max(0.0, (item.last - item.first) - static_cast<double>(item.updates - 1));
        }
        std::uint64_t seen = 0;
        double sum = 0;
        for (std::size_t ms = 0; ms < delays_.size(); ++ms) {
            if (!delays_[ms]) continue;
            const std::uint64_t before = seen;
            seen += delays_[ms];
            sum += static_cast<double>(delays_[ms]) * static_cast<double>(ms);
            if (before < updates_ / 2 && seen >= updates_ / 2) t.delayP50 = static_cast<double>(ms);
            if (before < updates_ * 99 / 100 && seen >= updates_ * 99 / 100) t.delayP99 = static_cast<double>(ms);
            t.delayMax = static_cast<double>(ms);
        }
        t.delayMean = seen ? sum / static_cast<double>(seen) : 0;
        return t;
    }
    Clock::time_point LastCallback() {
        std::lock_guard<std::mutex> hold(lock_);
        return lastCallback_;
    }
    // The last value delivered for client handle h (1-based); NaN when none was.
    double LastValue(OPCHANDLE h) {
        std::lock_guard<std::mutex> hold(lock_);
        const Item& item = items_[h - 1];
        return item.updates ? item.last : std::nan("");
    }

private:
    static constexpr std::size_t kDelayBuckets = 60001;  // milliseconds; the last one holds everything longer
    static std::uint64_t Ticks(const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    }
    struct Item {
        double first = 0, last = 0;
        std::uint64_t updates = 0;
    };
    std::atomic<ULONG> refs_{1};
    std::atomic<std::uint64_t> completions_{0};
    std::mutex lock_;
    bool counting_ = false;
    Clock::time_point lastCallback_ = Clock::now();
    std::uint64_t callbacks_ = 0, updates_ = 0, late_ = 0, bad_ = 0;
    std::uint64_t earlierNewest_ = 0;  // the newest scan time any earlier callback carried
    std::vector<Item> items_;
    std::vector<std::uint64_t> delays_;  // updates per millisecond from the scan to the callback
};

// Mean time of one Read of n items on io.
double TimeReads(IOPCSyncIO* io, OPCDATASOURCE source, DWORD n, const OPCHANDLE* handles, std::size_t* failures) {
    const int repeats = n == 1 ? 400 : n == 100 ? 100 : n == 1000 ? 40 : 5;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < repeats; ++r) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        if (io->Read(source, n, const_cast<OPCHANDLE*>(handles), &states, &errors) != S_OK && failures) ++*failures;
        for (DWORD i = 0; states && i < n; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    return Micro(std::chrono::steady_clock::now() - start) / repeats;
}

// Active item definitions of the ids (which must outlive them), client handles 1..n, canonical type.
std::vector<OPCITEMDEF> Definitions(const std::vector<std::wstring>& ids) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    return defs;
}

// Time of one RemoveItems of the handles (0 when there are none); counts a call that is not S_OK.
double TimeRemove(IOPCItemMgt* items, const std::vector<OPCHANDLE>& handles, std::size_t* failures) {
    if (handles.empty()) return 0;
    HRESULT* errors = nullptr;
    const auto start = Clock::now();
    const HRESULT hr = items->RemoveItems(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                                          &errors);
    const double us = Micro(Clock::now() - start);
    if (hr != S_OK) ++*failures;
    CoTaskMemFree(errors);
    return us;
}

// Time of one ValidateItems of defs; counts a call that is not S_OK.
double TimeValidate(IOPCItemMgt* items, const std::vector<OPCITEMDEF>& defs, std::size_t* failures) {
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const auto start = Clock::now();
    const HRESULT hr = items->ValidateItems(static_cast<DWORD>(defs.size()), const_cast<OPCITEMDEF*>(defs.data()),
                                            FALSE, &results, &errors);
    const double us = Micro(Clock::now() - start);
    if (hr != S_OK) ++*failures;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return us;
}

// Ends the server process: its panel is closed (no client is connected any more), and only if that does not
// end it is it ended by force (a prefix whose server was ended so may need `wineserver -k` before COM starts it
// again).
void EndServer(DWORD pid, HANDLE process) {
    Sleep(500);
    EnumWindows(CloseWindowsOf, static_cast<LPARAM>(pid));
    if (WaitForSingleObject(process, 15000) != WAIT_OBJECT_0) {
        std::printf("lx6opc.exe still runs 15 s after its panel was closed: ended\n");
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
}

// A flat browse of a whole node of `channels` channels (no simulation), in a server of its own, as a client
// makes it: BrowseOPCItemIDs(OPC_FLAT, no filter), then IEnumString::Next of 1,000 identifiers until the end.
struct BrowseFigures {
    int channels = 0;
    double startMs = 0;        // CoCreateInstance, the node loaded
    std::size_t ids = 0;
    double toEnumeratorMs = 0;  // BrowseOPCItemIDs
    double totalMs = 0;         // BrowseOPCItemIDs and every Next
    double serverMB = 0;        // the server's private bytes the browse added, with the enumerator still held
    double serverCpuMs = 0;     // the server's processor time during the browse
    double clientCpuMs = 0;     // this process's (the proxy's unmarshalling and the freeing of the strings)
};

bool BrowseNode(const std::wstring& node, int channels, BrowseFigures* f) {
    f->channels = channels;
    if (!WriteNode(node, channels, false) || !SetNodePath(node)) return false;
    const auto started = Clock::now();
    ComPtr<IOPCServer> server;
    const HRESULT hr = CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
    if (FAILED(hr)) {
        std::printf("CoCreateInstance (%d channels): 0x%08lx\n", channels, static_cast<unsigned long>(hr));
        return false;
    }
    f->startMs = Micro(Clock::now() - started) / 1000;
    const DWORD pid = FindServerProcess();
    HANDLE process = pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE | PROCESS_TERMINATE,
                                       FALSE, pid)
                         : nullptr;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (SUCCEEDED(server.As(&browse))) {
        Sleep(500);
        const double before = process ? PrivateBytes(process) : 0;
        const ProcessCpu serverCpuOf(process, BinDir() + L"lx6opc.exe"), clientCpuOf(GetCurrentProcess(), L"");
        const double serverCpu = serverCpuOf.Ms(), clientCpu = clientCpuOf.Ms();
        const auto start = Clock::now();
        ComPtr<IEnumString> e;
        HRESULT step = browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, e.GetAddressOf());
        f->toEnumeratorMs = Micro(Clock::now() - start) / 1000;
        if (step == S_OK && e) {
            LPOLESTR batch[1000];
            ULONG fetched = 0;
            do {
                fetched = 0;
                step = e->Next(1000, batch, &fetched);
                for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(batch[i]);
                f->ids += fetched;
            } while (step == S_OK && fetched == 1000);
        }
        f->totalMs = Micro(Clock::now() - start) / 1000;
        f->serverCpuMs = serverCpuOf.Ms() - serverCpu;
        f->clientCpuMs = clientCpuOf.Ms() - clientCpu;
        if (process) f->serverMB = (PrivateBytes(process) - before) / 1048576.0;
    }
    browse.Reset();
    server.Reset();
    if (process) {
        EndServer(pid, process);
        CloseHandle(process);
    }
    return f->ids > 0;
}

struct Bench {
    ComPtr<IOPCServer> server;
    ComPtr<IOPCSyncIO> floor;  // opc_io_floor.exe; null when it could not be started
    ComPtr<IOPCItemMgt> floorItems;
    HANDLE floorProcess = nullptr;
    ProcessCpu floorCpu;  // its processor time
    double floorUs = 0;

    // The floor's bare AddItems, ValidateItems and RemoveItems of defs (as many handles), each call's wall time
    // in us[] and the floor process's processor time in cpuMs[]; false without a floor.
    bool FloorItemCalls(const std::vector<OPCITEMDEF>& defs, double us[3], double cpuMs[3]) {
        if (!floorItems) return false;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        double cpu = floorCpu.Ms();
        auto took = [&](int k) {
            const double now = floorCpu.Ms();
            cpuMs[k] = now - cpu;
            cpu = now;
        };
        const auto start = Clock::now();
        const HRESULT hr = floorItems->AddItems(static_cast<DWORD>(defs.size()), const_cast<OPCITEMDEF*>(defs.data()),
                                                &results, &errors);
        us[0] = Micro(Clock::now() - start);
        took(0);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        std::vector<OPCHANDLE> handles(defs.size());
        for (std::size_t i = 0; i < handles.size(); ++i) handles[i] = static_cast<OPCHANDLE>(i + 1);
        std::size_t failures = 0;
        cpu = floorCpu.Ms();
        us[1] = TimeValidate(floorItems.Get(), defs, &failures);
        took(1);
        us[2] = TimeRemove(floorItems.Get(), handles, &failures);
        took(2);
        return hr == S_OK && failures == 0;
    }

    // A bare Read of n item states from the floor server (mean of a few calls), or 0.
    double FloorRead(DWORD n) {
        if (!floor) return 0;
        const std::vector<OPCHANDLE> handles(n, 1);
        return TimeReads(floor.Get(), OPC_DS_CACHE, n, handles.data(), nullptr);
    }

    // A time and its ratio to the floor.
    void Row(const char* what, double us) {
        std::printf("%-44s %14.1f us  %12.2f x floor\n", what, us, floorUs > 0 ? us / floorUs : 0.0);
    }

    ComPtr<IOPCItemMgt> AddGroup(const wchar_t* name, BOOL active, DWORD rate, OPCHANDLE* handle) {
        DWORD revised = 0;
        ComPtr<IOPCItemMgt> items;
        const HRESULT hr = server->AddGroup(name, active, rate, 1, nullptr, nullptr, 0x409, handle, &revised,
                                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf()));
        if (FAILED(hr)) std::printf("AddGroup %ls failed: 0x%08lx\n", name, static_cast<unsigned long>(hr));
        return items;
    }

    // Adds the items and returns their server handles; prints failures.
    std::vector<OPCHANDLE> Add(IOPCItemMgt* items, const std::vector<std::wstring>& ids, double* us = nullptr) {
        return AddDefinitions(items, Definitions(ids), us);
    }
    std::vector<OPCHANDLE> AddDefinitions(IOPCItemMgt* items, const std::vector<OPCITEMDEF>& defs,
                                          double* us = nullptr) {
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const auto start = Clock::now();
        const HRESULT hr = items->AddItems(static_cast<DWORD>(defs.size()), const_cast<OPCITEMDEF*>(defs.data()),
                                           &results, &errors);
        const auto took = Clock::now() - start;
        if (us) *us = Micro(took);
        std::vector<OPCHANDLE> handles;
        std::size_t failed = 0;
        for (std::size_t i = 0; results && i < defs.size(); ++i) {
            if (errors[i] == S_OK) handles.push_back(results[i].hServer);
            else ++failed;
        }
        if (hr != S_OK || failed) std::printf("  AddItems: 0x%08lx, %zu failed items\n", static_cast<unsigned long>(hr), failed);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return handles;
    }
};

// Posts a button command (202 Start, 203 Stop) to the server's panel window.
struct PanelCommand {
    DWORD pid;
    WPARAM command;
    bool posted;
};
BOOL CALLBACK PostToPanel(HWND window, LPARAM data) {
    auto* c = reinterpret_cast<PanelCommand*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (owner == c->pid && wcscmp(name, L"Lx6OpcControlPanel") == 0)
        c->posted = PostMessageW(window, WM_COMMAND, c->command, 0) != FALSE;
    return TRUE;
}
bool PostPanelCommand(DWORD pid, WPARAM command) {
    PanelCommand c{pid, command, false};
    EnumWindows(PostToPanel, reinterpret_cast<LPARAM>(&c));
    return c.posted;
}

// A subscription of the given items (simulated counters stepping at every scan) on a group whose rate
// is the scan period. The node runs while the callbacks are counted, then is stopped; once the last
// changes have come, every item's last delivered value is set against the server's cache.
void Subscribe(Bench& b, const std::vector<std::wstring>& ids, int seconds, DWORD pid, HANDLE process) {
    const std::size_t n = ids.size();
    const DWORD rate = 100;
    if (!PostPanelCommand(pid, 202)) std::printf("  (the panel's Start could not be posted)\n");
    OPCHANDLE handle = 0;
    ComPtr<IOPCItemMgt> items = b.AddGroup((L"subscription" + std::to_wstring(n)).c_str(), TRUE, rate, &handle);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ComPtr<SubscriptionSink> sink;
    sink.Attach(new SubscriptionSink(n));
    DWORD cookie = 0;
    if (!items || FAILED(items.As(&container)) || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, &point)) ||
        FAILED(point->Advise(sink.Get(), &cookie))) {
        std::printf("subscription of %zu items could not be set up\n", n);
        if (items) b.server->RemoveGroup(handle, TRUE);
        return;
    }
    double addUs = 0;
    const auto handles = b.Add(items.Get(), ids, &addUs);
    Sleep(1500);  // the first report of every item, and the ticks settle
    sink->Count(true);
    const double bytesBefore = process ? PrivateBytes(process) : 0;
    const auto start = Clock::now();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    if (!PostPanelCommand(pid, 203)) std::printf("  (the panel's Stop could not be posted)\n");
    sink->WaitQuiet(std::chrono::milliseconds(1500), std::chrono::seconds(30));
    sink->Count(false);
    const double bytesAfter = process ? PrivateBytes(process) : 0;
    const double elapsed = Micro(sink->LastCallback() - start) / 1e6;

    // The server's cache against the last delivered values.
    std::size_t undelivered = 0, unread = 0;
    ComPtr<IOPCSyncIO> io;
    items.As(&io);
    for (std::size_t from = 0; io && from < handles.size(); from += 10000) {
        const DWORD count = static_cast<DWORD>(std::min<std::size_t>(10000, handles.size() - from));
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        if (FAILED(io->Read(OPC_DS_CACHE, count, const_cast<OPCHANDLE*>(handles.data() + from), &states, &errors))) {
            unread += count;
            continue;
        }
        for (DWORD i = 0; i < count; ++i) {
            VARIANT d;
            VariantInit(&d);
            if (errors[i] != S_OK || FAILED(VariantChangeType(&d, &states[i].vDataValue, 0, VT_R8))) ++unread;
            else if (V_R8(&d) != sink->LastValue(states[i].hClient)) ++undelivered;
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }

    const double floorUs = b.FloorRead(static_cast<DWORD>(n));
    const auto t = sink->Sum();
    const double perSecond = elapsed > 0 ? static_cast<double>(t.updates) / elapsed : 0;
    const double steps = static_cast<double>(t.updates) + t.skipped;
    std::printf("subscription of %zu simulated counters (%zu channels), group rate %lu ms = scan period, %.1f s\n", n,
                (n + kCountersPerChannel - 1) / kCountersPerChannel, static_cast<unsigned long>(rate), elapsed);
    char label[96];
    std::snprintf(label, sizeof label, "  AddItems %zu items", n);
    b.Row(label, addUs);
    std::printf("%-44s %14llu (%.0f items each on average)\n", "  callbacks", static_cast<unsigned long long>(t.callbacks),
                t.callbacks ? static_cast<double>(t.updates) / static_cast<double>(t.callbacks) : 0.0);
    std::printf("%-44s %14.0f ms (the rate, then the callback's own time)\n", "  mean interval between callbacks",
                t.callbacks ? 1000.0 * elapsed / static_cast<double>(t.callbacks) : 0.0);
    std::printf("%-44s %14.0f /s\n", "  item updates delivered", perSecond);
    if (floorUs > 0) {
        std::snprintf(label, sizeof label, "  floor: bare Read of %zu items (one call)", n);
        b.Row(label, floorUs);
        std::printf("%-44s %14.0f /s\n", "  floor: item states carried", 1e6 * static_cast<double>(n) / floorUs);
    }
    b.Row("  time per delivered item update", perSecond > 0 ? 1e6 / perSecond : 0);
    std::printf("%-44s %8.0f / %.0f / %.0f / %.0f ms\n", "  scan to callback: mean / p50 / p99 / max", t.delayMean,
                t.delayP50, t.delayP99, t.delayMax);
    b.Row("  scan to callback, mean", 1000 * t.delayMean);
    if (floorUs > 0)
        std::printf("  %-42s %14.2f x bare Read of %zu\n", "", 1000 * t.delayMean / floorUs, n);
    std::printf("%-44s %14llu\n", "  changes missing at their next tick (late)", static_cast<unsigned long long>(t.late));
    std::printf("%-44s %14zu of %zu\n", "  changes lost (final value never delivered)", undelivered, n);
    if (unread || t.bad) std::printf("  (%zu items could not be read back, %llu updates were not good R4 values)\n", unread,
                                     static_cast<unsigned long long>(t.bad));
    std::printf("%-44s %14.0f (%.1f%% of %.0f counter steps)\n", "  steps superseded before a tick (coalesced)", t.skipped,
                steps > 0 ? 100.0 * t.skipped / steps : 0.0, steps);
    if (bytesBefore > 0 && bytesAfter > 0)
        std::printf("%-44s %14.0f KiB over %llu callbacks\n", "  server private bytes, end minus start",
                    (bytesAfter - bytesBefore) / 1024, static_cast<unsigned long long>(t.callbacks));
    if (t.itemsSeen != n) std::printf("  only %zu of %zu items had an update\n", t.itemsSeen, n);
    point->Unadvise(cookie);
    point.Reset();
    container.Reset();
    io.Reset();
    items.Reset();
    b.server->RemoveGroup(handle, TRUE);
}

// Every method that carries arrays, repeated kCalls times (3,000 unless asked otherwise) on 400 items (writes: 40 values): the server's
// private bytes before and after, which must stay flat. The asynchronous calls also show this process's own
// bytes, where the completions' arrays arrive through the stub of IOPCDataCallback.
void CallMemory(Bench& b, HANDLE process, const std::vector<std::wstring>& ids, int kCalls) {
    constexpr int kWarmUp = 100;
    constexpr DWORD kWrites = 40;
    const DWORD n = static_cast<DWORD>(ids.size());
    OPCHANDLE group = 0;
    ComPtr<IOPCItemMgt> items = b.AddGroup(L"calls", TRUE, 3600000, &group);
    ComPtr<IOPCSyncIO> io;
    ComPtr<IOPCAsyncIO2> async;
    ComPtr<IOPCItemProperties> properties;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ComPtr<SubscriptionSink> sink;  // counts the completions only
    sink.Attach(new SubscriptionSink(0));
    DWORD cookie = 0;
    std::vector<OPCHANDLE> handles = items ? b.Add(items.Get(), ids) : std::vector<OPCHANDLE>();
    if (!items || handles.size() != n || FAILED(items.As(&io)) || FAILED(items.As(&async)) ||
        FAILED(b.server.As(&properties)) || FAILED(items.As(&container)) ||
        FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, &point)) || FAILED(point->Advise(sink.Get(), &cookie))) {
        std::printf("memory per call: the group of %lu items could not be set up\n", static_cast<unsigned long>(n));
        if (items) b.server->RemoveGroup(group, TRUE);
        return;
    }
    std::vector<OPCITEMDEF> defs(n);
    for (DWORD i = 0; i < n; ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = i + 1;
    }
    std::vector<OPCHANDLE> clients(n);
    std::vector<VARTYPE> types(n, VT_R8);
    std::vector<VARIANT> values(kWrites);
    for (DWORD i = 0; i < n; ++i) clients[i] = i + 1;
    for (auto& v : values) {
        VariantInit(&v);
        V_VT(&v) = VT_R4;
        V_R4(&v) = 1.0f;
    }
    DWORD propertyIds[] = {1, 2, 3, 4, 5, 6};
    std::uint64_t asyncCalls = 0;
    std::size_t failures = 0;
    auto count = [&](HRESULT hr) {
        if (FAILED(hr)) ++failures;
    };

    struct Method {
        const char* label;
        bool async;
        std::function<void()> call;
    };
    const Method methods[] = {
        {"ValidateItems 400 items", false, [&] {
             OPCITEMRESULT* results = nullptr;
             HRESULT* errors = nullptr;
             count(items->ValidateItems(n, defs.data(), FALSE, &results, &errors));
             CoTaskMemFree(results);
             CoTaskMemFree(errors);
         }},
        {"AddItems + RemoveItems 400 items", false, [&] {
             OPCITEMRESULT* results = nullptr;
             HRESULT* errors = nullptr;
             count(items->AddItems(n, defs.data(), &results, &errors));
             std::vector<OPCHANDLE> added;
             for (DWORD i = 0; results && i < n; ++i)
                 if (errors[i] == S_OK) added.push_back(results[i].hServer);
             CoTaskMemFree(results);
             CoTaskMemFree(errors);
             errors = nullptr;
             if (!added.empty()) count(items->RemoveItems(static_cast<DWORD>(added.size()), added.data(), &errors));
             CoTaskMemFree(errors);
         }},
        {"SetActiveState 400 items", false, [&] {
             HRESULT* errors = nullptr;
             count(items->SetActiveState(n, handles.data(), TRUE, &errors));
             CoTaskMemFree(errors);
         }},
        {"SetClientHandles 400 items", false, [&] {
             HRESULT* errors = nullptr;
             count(items->SetClientHandles(n, handles.data(), clients.data(), &errors));
             CoTaskMemFree(errors);
         }},
        {"SetDatatypes 400 items", false, [&] {
             HRESULT* errors = nullptr;
             count(items->SetDatatypes(n, handles.data(), types.data(), &errors));
             CoTaskMemFree(errors);
         }},
        {"Read CACHE 400 items", false, [&] {
             OPCITEMSTATE* states = nullptr;
             HRESULT* errors = nullptr;
             count(io->Read(OPC_DS_CACHE, n, handles.data(), &states, &errors));
             for (DWORD i = 0; states && i < n; ++i) VariantClear(&states[i].vDataValue);
             CoTaskMemFree(states);
             CoTaskMemFree(errors);
         }},
        {"Write 40 values", false, [&] {
             HRESULT* errors = nullptr;
             count(io->Write(kWrites, handles.data(), values.data(), &errors));
             CoTaskMemFree(errors);
         }},
        {"async Read DEVICE 400 items", true, [&] {
             DWORD cancel = 0;
             HRESULT* errors = nullptr;
             const HRESULT hr = async->Read(n, handles.data(), 1, &cancel, &errors);
             count(hr);
             if (SUCCEEDED(hr)) ++asyncCalls;
             CoTaskMemFree(errors);
         }},
        {"async Write 40 values", true, [&] {
             DWORD cancel = 0;
             HRESULT* errors = nullptr;
             const HRESULT hr = async->Write(kWrites, handles.data(), values.data(), 2, &cancel, &errors);
             count(hr);
             if (SUCCEEDED(hr)) ++asyncCalls;
             CoTaskMemFree(errors);
         }},
        {"GetItemProperties 6 properties", false, [&] {
             VARIANT* data = nullptr;
             HRESULT* errors = nullptr;
             count(properties->GetItemProperties(const_cast<LPWSTR>(ids[0].c_str()), 6, propertyIds, &data, &errors));
             for (DWORD i = 0; data && i < 6; ++i) VariantClear(&data[i]);
             CoTaskMemFree(data);
             CoTaskMemFree(errors);
         }},
        {"LookupItemIDs 6 properties", false, [&] {
             LPWSTR* newIds = nullptr;
             HRESULT* errors = nullptr;
             properties->LookupItemIDs(const_cast<LPWSTR>(ids[0].c_str()), 6, propertyIds, &newIds, &errors);
             for (DWORD i = 0; newIds && i < 6; ++i) CoTaskMemFree(newIds[i]);
             CoTaskMemFree(newIds);
             CoTaskMemFree(errors);
         }},
        {"QueryAvailableProperties", false, [&] {
             DWORD found = 0;
             DWORD* found_ids = nullptr;
             LPWSTR* descriptions = nullptr;
             VARTYPE* found_types = nullptr;
             count(properties->QueryAvailableProperties(const_cast<LPWSTR>(ids[0].c_str()), &found, &found_ids,
                                                        &descriptions, &found_types));
             for (DWORD i = 0; descriptions && i < found; ++i) CoTaskMemFree(descriptions[i]);
             CoTaskMemFree(found_ids);
             CoTaskMemFree(descriptions);
             CoTaskMemFree(found_types);
         }},
    };

    const HANDLE self = GetCurrentProcess();
    std::printf("memory per call: %d calls each, after %d to warm up (server private KiB before -> after; a single\n"
                "step of about 1 MB in one row is the heap taking a new segment, a leak grows in every row it is in)\n",
                kCalls, kWarmUp);
    for (const Method& m : methods) {
        failures = 0;
        auto repeat = [&](int times) {
            for (int i = 0; i < times; ++i) {
                m.call();
                // Asynchronous calls are let through in batches, so that the queue of jobs does not grow.
                if (m.async && (i + 1) % 50 == 0) sink->WaitForCompletions(asyncCalls);
            }
            if (m.async) sink->WaitForCompletions(asyncCalls);
        };
        repeat(kWarmUp);
        Sleep(200);
        const double before = PrivateBytes(process), clientBefore = PrivateBytes(self);
        repeat(kCalls);
        Sleep(200);
        const double after = PrivateBytes(process), clientAfter = PrivateBytes(self);
        std::printf("  %-40s %9.0f -> %9.0f KiB %+9.1f bytes/call", m.label, before / 1024, after / 1024,
                    (after - before) / kCalls);
        if (m.async) std::printf("   client %+.1f bytes/call", (clientAfter - clientBefore) / kCalls);
        if (failures) std::printf("   (%zu calls failed)", failures);
        std::printf("\n");
    }
    point->Unadvise(cookie);
    point.Reset();
    container.Reset();
    properties.Reset();
    async.Reset();
    io.Reset();
    items.Reset();
    b.server->RemoveGroup(group, TRUE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool callsOnly = argc > 1 && _wcsicmp(argv[1], L"calls") == 0;  // only the memory per call
    const bool itemsOnly = argc > 1 && _wcsicmp(argv[1], L"items") == 0;  // only item management and memory
    const bool browseOnly = argc > 1 && _wcsicmp(argv[1], L"browse") == 0;  // only the flat browse
    const int channels = callsOnly ? 1000
                         : itemsOnly ? (argc > 2 ? std::max(1000, _wtoi(argv[2])) : 10000)
                         : argc > 1  ? std::max(1000, _wtoi(argv[1]))
                                     : 10000;
    const int subscriptionSeconds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 10;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring node = std::wstring(temp) + L"opc_io_bench.dbb";
    if (!WriteNode(node, channels) || !SetNodePath(node)) {
        std::printf("cannot write the node file or NodeFilePath\n");
        return 1;
    }
    if (RunAndWait(BinDir() + L"lx6opc.exe", L"/RegServer") != 0 || FAILED(RegisterProxy())) {
        std::printf("cannot register lx6opc.exe or lx6opcps.dll\n");
        return 1;
    }
    if (browseOnly) {
        std::vector<int> sizes;
        for (int i = 2; i < argc; ++i) sizes.push_back(std::max(1, _wtoi(argv[i])));
        if (sizes.empty()) sizes = {10000, 50000, 100000};
        std::printf("flat browse of a whole node across processes: BrowseOPCItemIDs(OPC_FLAT), then IEnumString::Next "
                    "by 1,000\n(each node in a server of its own; type-4 channels)\n\n");
        std::printf("%9s %9s %9s %11s %9s %10s %9s %13s %13s %10s\n", "channels", "start ms", "ids", "to enum ms",
                    "total ms", "us per id", "x per id", "server cpu ms", "client cpu ms", "server MB");
        double firstPerId = 0;
        for (int size : sizes) {
            BrowseFigures f;
            if (!BrowseNode(node, size, &f)) {
                std::printf("%9d the browse failed (%zu identifiers)\n", size, f.ids);
                continue;
            }
            const double perId = f.totalMs * 1000 / static_cast<double>(f.ids);
            if (firstPerId == 0) firstPerId = perId;
            std::printf("%9d %9.0f %9zu %11.1f %9.0f %10.3f %8.2fx %13.0f %13.0f %10.1f\n", f.channels, f.startMs,
                        f.ids, f.toEnumeratorMs, f.totalMs, perId, perId / firstPerId, f.serverCpuMs, f.clientCpuMs,
                        f.serverMB);
        }
        std::printf("(x per id: time per identifier over that of the first node; 1.00 is linear; cpu: processor "
                    "time during the browse)\n");
        DeleteFileW(node.c_str());
        CoUninitialize();
        return 0;
    }

    Bench b;
    auto started = Clock::now();
    HRESULT hr = CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&b.server));
    if (FAILED(hr)) {
        std::printf("CoCreateInstance: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    std::printf("node: %d channels (type 4); server started in %.0f ms\n", channels, Micro(Clock::now() - started) / 1000);
    const DWORD pid = FindServerProcess();
    HANDLE process = pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE | PROCESS_TERMINATE,
                                       FALSE, pid)
                         : nullptr;

    const ProcessCpu serverCpuOf(process, BinDir() + L"lx6opc.exe");

    // The floor: one bare COM round trip.
    ComPtr<IOPCCommon> common;
    b.server.As(&common);
    LCID lcid = 0;
    for (int i = 0; i < 200; ++i) common->GetLocaleID(&lcid);
    {
        const int n = 2000;
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) common->GetLocaleID(&lcid);
        b.floorUs = Micro(Clock::now() - start) / n;
    }
    std::printf("\n%-44s %14.1f us\n\n", "floor: IOPCCommon::GetLocaleID", b.floorUs);
    {
        const std::wstring floorExe = L"\"" + BinDir() + L"opc_io_floor.exe\"";
        if (RegSetKeyValueW(HKEY_CLASSES_ROOT, kFloorKey, nullptr, REG_SZ, floorExe.c_str(),
                            static_cast<DWORD>((floorExe.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS ||
            FAILED(CoCreateInstance(kFloorClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&b.floor)))) {
            std::printf("floor server opc_io_floor.exe could not be started\n\n");
        } else {
            b.FloorRead(1);  // warm up
            b.floor.As(&b.floorItems);
            if (const DWORD floorPid = FindProcess(L"opc_io_floor.exe"))
                b.floorProcess = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, floorPid);
            b.floorCpu = ProcessCpu(b.floorProcess, BinDir() + L"opc_io_floor.exe");
        }
    }

    // The attribute names of a channel, for distinct item ids.
    const auto named = AttributeNames();
    std::vector<std::wstring> attributes;
    std::vector<std::wstring> counters;  // names of kCounterAttributes
    for (const auto& [id, name] : named) {
        attributes.push_back(name);
        if (std::find(std::begin(kCounterAttributes), std::end(kCounterAttributes), id) != std::end(kCounterAttributes))
            counters.push_back(name);
    }
    if (attributes.empty()) attributes.push_back(L"Value");
    if (counters.size() != kCountersPerChannel) {
        std::printf("the runtime does not name the simulated attributes\n");
        return 1;
    }
    auto idOf = [&](std::size_t k) {
        const std::size_t ch = k / attributes.size() + 1;
        return L"Plant.Line.C" + std::to_wstring(ch) + L"." + attributes[k % attributes.size()];
    };
    const std::size_t distinct = static_cast<std::size_t>(channels) * attributes.size();
    std::printf("%zu attributes per channel, %zu distinct items\n\n", attributes.size(), distinct);

    // AddItems and RemoveItems of N distinct items on a fresh inactive group, against the floor's bare
    // AddItems / RemoveItems of the same N item definitions (the same id strings), timed in alternating
    // rounds. Between rounds the group is removed and the server's next scan discards the cached values,
    // so every round makes them anew, as a client connecting to an idle server does.
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    auto spread = [](const std::vector<double>& v) {  // largest over smallest
        if (v.empty()) return 0.0;
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        return *lo > 0 ? *hi / *lo : 0.0;
    };
    struct ItemRow {
        const char* call;
        std::size_t n;
        double server, floor, ratio, spread;
        double serverCpu, floorCpu;  // ms, medians
    };
    std::vector<ItemRow> rows;
    std::size_t failures = 0;
    for (std::size_t n : {std::size_t(1000), std::size_t(10000), std::size_t(100000)}) {
        if (callsOnly) break;
        std::vector<std::wstring> ids;
        for (std::size_t k = 0; k < n; ++k) ids.push_back(idOf(k % distinct));
        const std::vector<OPCITEMDEF> defs = Definitions(ids);
        const int rounds = n == 100000 ? 3 : 5;
        enum { kAdd, kValidate, kRemove, kCalls };
        std::vector<double> server[kCalls], floor[kCalls], ratio[kCalls], serverCpu[kCalls], floorCpu[kCalls];
        for (int round = 0; round < rounds; ++round) {
            double f[kCalls] = {}, fc[kCalls] = {};
            const bool floored = b.FloorItemCalls(defs, f, fc);
            OPCHANDLE handle = 0;
            ComPtr<IOPCItemMgt> items = b.AddGroup(L"add", FALSE, 1000, &handle);
            if (!items) break;
            double t[kCalls] = {}, tc[kCalls] = {};
            double cpu = serverCpuOf.Ms();
            auto took = [&](int k) {
                const double now = serverCpuOf.Ms();
                tc[k] = now - cpu;
                cpu = now;
            };
            auto added = b.AddDefinitions(items.Get(), defs, &t[kAdd]);
            took(kAdd);
            if (added.size() != n) ++failures;
            t[kValidate] = TimeValidate(items.Get(), defs, &failures);
            took(kValidate);
            t[kRemove] = TimeRemove(items.Get(), added, &failures);
            took(kRemove);
            items.Reset();
            b.server->RemoveGroup(handle, TRUE);
            for (int c = 0; c < kCalls; ++c) {
                server[c].push_back(t[c]);
                serverCpu[c].push_back(tc[c]);
                if (!floored) continue;
                floor[c].push_back(f[c]);
                floorCpu[c].push_back(fc[c]);
                ratio[c].push_back(t[c] / f[c]);
            }
            Sleep(300);  // the next scan drops the cached values
        }
        const char* names[kCalls] = {"AddItems", "ValidateItems", "RemoveItems"};
        for (int c = 0; c < kCalls; ++c)
            rows.push_back({names[c], n, median(server[c]), median(floor[c]), median(ratio[c]), spread(ratio[c]),
                            median(serverCpu[c]), median(floorCpu[c])});
    }
    if (!rows.empty()) {
        std::printf("item management: one call of N distinct items on a new group, median of 5 rounds (3 at 100,000),\n"
                    "each round timed against opc_io_floor.exe answering the same call from prebuilt arrays\n\n");
        std::printf("%-14s %7s %11s %11s %7s %7s %10s %10s %10s %9s\n", "call", "N", "server us", "floor us", "ratio",
                    "spread", "us/item", "server cpu", "floor cpu", "cpu ratio");
        for (const char* call : {"AddItems", "ValidateItems", "RemoveItems"})
            for (const ItemRow& r : rows)
                if (std::string(r.call) == call)
                    std::printf("%-14s %7zu %11.0f %11.0f %6.2fx %7.2f %10.3f %8.0f ms %8.0f ms %8.2fx\n", r.call, r.n,
                                r.server, r.floor, r.ratio, r.spread, r.server / static_cast<double>(r.n), r.serverCpu,
                                r.floorCpu, r.floorCpu > 0 ? r.serverCpu / r.floorCpu : 0.0);
        auto perItem = [&](const char* call, std::size_t n, bool cpu) {
            for (const ItemRow& r : rows)
                if (std::string(r.call) == call && r.n == n) return (cpu ? r.serverCpu : r.server) / static_cast<double>(n);
            return 0.0;
        };
        for (const char* call : {"AddItems", "ValidateItems", "RemoveItems"}) {
            const double at10k = perItem(call, 10000, false), cpuAt10k = perItem(call, 10000, true);
            std::printf("%s per item at 100,000 over that at 10,000: %.2f wall, %.2f server cpu (1.00: linear)\n", call,
                        at10k > 0 ? perItem(call, 100000, false) / at10k : 0.0,
                        cpuAt10k > 0 ? perItem(call, 100000, true) / cpuAt10k : 0.0);
        }
        std::printf("(ratio: median of the per-round ratios to the floor; spread: largest over smallest ratio, the "
                    "noise of the machine;\n server cpu, floor cpu: the answering process's processor time for the call, "
                    "median; the server's includes its scans meanwhile)\n");
        if (failures) std::printf("(%zu calls not S_OK or with failed items)\n", failures);
    }

    // Memory of 100,000 items: what AddItems adds, and what RemoveGroup gives back.
    if (process && !callsOnly) {
        const std::size_t n = 100000;
        std::vector<std::wstring> ids;
        for (std::size_t k = 0; k < n; ++k) ids.push_back(idOf(k % distinct));
        const std::vector<OPCITEMDEF> defs = Definitions(ids);
        Sleep(300);
        const double before = PrivateBytes(process);
        OPCHANDLE handle = 0;
        ComPtr<IOPCItemMgt> items = b.AddGroup(L"memory", FALSE, 1000, &handle);
        const std::size_t added = items ? b.AddDefinitions(items.Get(), defs).size() : 0;
        Sleep(300);
        const double after = PrivateBytes(process);
        items.Reset();
        if (items || handle) b.server->RemoveGroup(handle, TRUE);
        Sleep(500);  // the next scan drops the cached values
        const double removed = PrivateBytes(process);
        if (added) {
            const double per = static_cast<double>(added);
            const double grown = after - before;
            std::printf("\nmemory of %zu items (the server's private bytes)\n", added);
            std::printf("  %-34s %9.1f MB %8.0f bytes/item\n", "added by AddItems", grown / 1048576.0, grown / per);
            std::printf("  %-34s %9.1f MB %8.0f %%\n", "given back by RemoveGroup", (after - removed) / 1048576.0,
                        grown > 0 ? 100.0 * (after - removed) / grown : 0.0);
            std::printf("  %-34s %9.1f MB %8.0f bytes/item\n", "still held after RemoveGroup",
                        (removed - before) / 1048576.0, (removed - before) / per);
        }
    }
    std::printf("\n");
    if (itemsOnly) {
        common.Reset();
        b.floorItems.Reset();
        b.floor.Reset();
        if (b.floorProcess) CloseHandle(b.floorProcess);
        b.server.Reset();
        if (process) {
            EndServer(pid, process);
            CloseHandle(process);
        }
        DeleteFileW(node.c_str());
        CoUninitialize();
        return 0;
    }

    // Subscriptions of 10,000 and 100,000 simulated counters (before the writes below, which would take
    // their attributes out of the simulation).
    for (std::size_t n : {std::size_t(10000), std::size_t(100000)}) {
        if (callsOnly) break;
        const std::size_t most = static_cast<std::size_t>(channels) * kCountersPerChannel;
        std::vector<std::wstring> ids;
        for (std::size_t k = 0; k < std::min(n, most); ++k)
            ids.push_back(L"Plant.Line.C" + std::to_wstring(k / kCountersPerChannel + 1) + L"." +
                          counters[k % kCountersPerChannel]);
        Subscribe(b, ids, subscriptionSeconds, pid, process);
        std::printf("\n");
    }

    // Reads and writes on a group of 1,000 Value items.
    if (!callsOnly) {
        std::vector<std::wstring> ids;
        for (int ch = 1; ch <= 1000; ++ch) ids.push_back(L"Plant.Line.C" + std::to_wstring(ch) + L".Value");
        OPCHANDLE handle = 0;
        ComPtr<IOPCItemMgt> items = b.AddGroup(L"io", TRUE, 1000, &handle);
        const auto handles = items ? b.Add(items.Get(), ids) : std::vector<OPCHANDLE>();
        ComPtr<IOPCSyncIO> io;
        if (items) items.As(&io);
        if (io && handles.size() == ids.size()) {
            // The floor of the same N: a bare local server answering the same call from prebuilt arrays.
            // The machine's speed drifts between runs and within one, so the floor and the server's
            // reads are timed in alternating rounds; printed are the medians of the rounds, and the
            // median of the per-round ratios.
            const DWORD sizes[3] = {1, 100, 1000};
            constexpr int kRounds = 5;
            for (int k = 0; k < 3; ++k) {
                const DWORD n = sizes[k];
                std::vector<double> floorUs, cacheUs, deviceUs, cacheRatio, deviceRatio;
                std::size_t failures = 0;
                for (int round = 0; round < kRounds; ++round) {
                    const double f = b.FloorRead(n);
                    const double c = TimeReads(io.Get(), OPC_DS_CACHE, n, handles.data(), &failures);
                    const double d = TimeReads(io.Get(), OPC_DS_DEVICE, n, handles.data(), &failures);
                    cacheUs.push_back(c);
                    deviceUs.push_back(d);
                    if (f > 0) {
                        floorUs.push_back(f);
                        cacheRatio.push_back(c / f);
                        deviceRatio.push_back(d / f);
                    }
                }
                char label[64];
                if (!floorUs.empty()) {
                    std::snprintf(label, sizeof label, "floor: bare Read %lu items", static_cast<unsigned long>(n));
                    b.Row(label, median(floorUs));
                }
                for (bool cache : {true, false}) {
                    std::snprintf(label, sizeof label, "Read %s %lu items", cache ? "CACHE" : "DEVICE",
                                  static_cast<unsigned long>(n));
                    b.Row(label, median(cache ? cacheUs : deviceUs));
                    if (!floorUs.empty())
                        std::printf("  %-42s %14.2f x bare Read of %lu (median of %d rounds)\n", "",
                                    median(cache ? cacheRatio : deviceRatio), static_cast<unsigned long>(n), kRounds);
                }
                if (failures) std::printf("  (%zu calls not S_OK)\n", failures);
            }
            {
                const DWORD n = 100;
                const int repeats = 100;
                std::vector<VARIANT> values(n);
                for (auto& v : values) {
                    VariantInit(&v);
                    V_VT(&v) = VT_R4;
                    V_R4(&v) = 1.0f;
                }
                std::size_t failures = 0;
                const auto start = Clock::now();
                for (int r = 0; r < repeats; ++r) {
                    HRESULT* errors = nullptr;
                    if (io->Write(n, const_cast<OPCHANDLE*>(handles.data()), values.data(), &errors) != S_OK) ++failures;
                    CoTaskMemFree(errors);
                }
                b.Row("Write 100 items", Micro(Clock::now() - start) / repeats);
                if (failures) std::printf("  (%zu calls not S_OK)\n", failures);
            }
        }
        io.Reset();
        items.Reset();
        b.server->RemoveGroup(handle, TRUE);
    }
    std::printf("\n");

    {
        std::vector<std::wstring> ids;
        for (std::size_t k = 0; k < 400; ++k) ids.push_back(idOf(k % distinct));
        if (process) CallMemory(b, process, ids, callsOnly && argc > 2 ? std::max(100, _wtoi(argv[2])) : 3000);
        std::printf("\n");
    }

    common.Reset();
    b.floorItems.Reset();
    b.floor.Reset();
    if (b.floorProcess) CloseHandle(b.floorProcess);
    b.server.Reset();
    // The server's panel keeps it running after its last client: the panel is closed (no client is
    // connected any more), and only if that does not end it is it ended by force (a prefix whose server
    // was ended so may need `wineserver -k` before COM starts it again).
    if (process) {
        EndServer(pid, process);
        CloseHandle(process);
    }
    DeleteFileW(node.c_str());
    CoUninitialize();
    return 0;
}
