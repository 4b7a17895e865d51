// Clients that misbehave in their callbacks, each in a process of its own (acceptance_test_client.exe): one
// that calls back into its group, one that sleeps, and ones that are killed while subscribed. This process is
// the other client and checks that its callbacks keep their rhythm meanwhile, and that the server lets go of
// what the killed clients held.

#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <ocidl.h>
#include <opccomn.h>
#include <opcda.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AcceptanceEnvironment.h"
#include "QuietDataCallback.h"
#include "TestCom.h"
#include <UiDriver.h>

namespace acceptance {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
constexpr DWORD kRateMs = 500;
// Far above the rate, far below what a client stuck for 5 s would cause: a loaded machine may be late.
constexpr auto kLongestGap = 2500ms;

// Notes when each OnDataChange came.
class RhythmSink final : public QuietDataCallback {
public:
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override {
        std::lock_guard<std::mutex> hold(lock_);
        times_.push_back(Clock::now());
        return S_OK;
    }

    // Callbacks from `from` on, and the longest time without one between `from` and now.
    std::size_t CountSince(Clock::time_point from) {
        std::lock_guard<std::mutex> hold(lock_);
        return static_cast<std::size_t>(std::count_if(times_.begin(), times_.end(), [&](auto t) { return t >= from; }));
    }
    Clock::duration LongestGapSince(Clock::time_point from) {
        std::lock_guard<std::mutex> hold(lock_);
        Clock::time_point last = from;
        Clock::duration longest{};
        for (auto t : times_) {
            if (t < from) continue;
            longest = std::max(longest, t - last);
            last = t;
        }
        return std::max(longest, Clock::now() - last);
    }

private:
    std::mutex lock_;
    std::vector<Clock::time_point> times_;
};

// A second client process; terminated if it is still running at the end.
class ClientProcess {
public:
    explicit ClientProcess(const std::wstring& arguments) {
        std::wstring command = L"\"" + BinDir() + L"acceptance_test_client.exe\" " + arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &info_);
    }
    ~ClientProcess() {
        if (!started_) return;
        Kill();
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    bool Started() const { return started_ != FALSE; }
    // Its exit code, or STILL_ACTIVE when it has not ended within the limit.
    DWORD Wait(std::chrono::milliseconds limit) {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(info_.hProcess, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0)
            GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }
    void Kill() {
        TerminateProcess(info_.hProcess, 99);
        WaitForSingleObject(info_.hProcess, 10000);
    }

private:
    PROCESS_INFORMATION info_ = {};
    BOOL started_ = FALSE;
};

class MisbehavingClients : public DemoNodeSuite {
protected:
    // A test that fails may leave clients connected, so the server may ask before it ends, as the operator's Exit
    // with clients connected does: the answer is Yes.
    static void TearDownTestSuite() {
        if (HWND panel = FindServerPanel()) {
            DWORD pid = 0;
            GetWindowThreadProcessId(panel, &pid);
            uidriver::StopPanelNode(panel);   // started by COM, the server runs its node, which keeps the panel open
            uidriver::RequestClose(panel);
            if (HWND box = uidriver::WaitForWindow({kServerPanelCaption, uidriver::kDialogClass, false, pid}, 10000))
                uidriver::PressButton(box, IDYES);
            uidriver::WaitUntilGone(panel, 30000);
        }
        DemoNodeSuite::TearDownTestSuite();
    }

    void SetUp() override {
        DemoNodeSuite::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server_)), S_OK);
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ASSERT_EQ(server_->AddGroup(L"rhythm", TRUE, kRateMs, 1, nullptr, nullptr, 0x409, &handle, &revised,
                                    IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items_.GetAddressOf())),
                  S_OK);
        OPCITEMDEF def = {};
        def.szItemID = const_cast<LPWSTR>(L"Plant.Intake.Basin.Level.Value"); // moves at every scan
        def.szAccessPath = const_cast<LPWSTR>(L"");
        def.bActive = TRUE;
        def.hClient = 1;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(items_->AddItems(1, &def, &results, &errors), S_OK);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(items_.As(&container), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point_), S_OK);
        sink_ = Make<RhythmSink>();
        ASSERT_EQ(point_->Advise(sink_.Get(), &cookie_), S_OK);
        const auto start = Clock::now();
        while (sink_->CountSince(start) < 2 && Clock::now() - start < 10s) std::this_thread::sleep_for(50ms);
        ASSERT_GE(sink_->CountSince(start), 2u) << "the subscription does not run";
    }
    void TearDown() override {
        if (point_) point_->Unadvise(cookie_);
    }

    // The server's last update time (GetStatus) moves on.
    void ExpectScanGoesOn() {
        auto lastUpdate = [&] {
            OPCSERVERSTATUS* status = nullptr;
            ULONGLONG t = 0;
            if (server_->GetStatus(&status) == S_OK && status) {
                t = (static_cast<ULONGLONG>(status->ftLastUpdateTime.dwHighDateTime) << 32) |
                    status->ftLastUpdateTime.dwLowDateTime;
                CoTaskMemFree(status->szVendorInfo);
                CoTaskMemFree(status);
            }
            return t;
        };
        const ULONGLONG before = lastUpdate();
        std::this_thread::sleep_for(1s);
        EXPECT_GT(lastUpdate(), before);
    }

    ComPtr<IOPCServer> server_;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IConnectionPoint> point_;
    ComPtr<RhythmSink> sink_;
    DWORD cookie_ = 0;
};

TEST_F(MisbehavingClients, ACallbackThatCallsIntoItsOwnGroupIsAnswered) {
    const auto start = Clock::now();
    ClientProcess client(L"reenter 3");
    ASSERT_TRUE(client.Started());
    // 0: its calls from inside the callbacks came back; STILL_ACTIVE: they hang.
    EXPECT_EQ(client.Wait(30s), 0u);
    EXPECT_LT(sink_->LongestGapSince(start), kLongestGap);
    ExpectScanGoesOn();
}

TEST_F(MisbehavingClients, AClientSleepingInItsCallbackDelaysOnlyItself) {
    const auto start = Clock::now();
    ClientProcess client(L"sleep 5000 30");
    ASSERT_TRUE(client.Started());
    ExpectScanGoesOn(); // while it sleeps
    EXPECT_EQ(client.Wait(30s), 0u) << "its next callback follows once it has woken";
    EXPECT_GE(Clock::now() - start, 5s);
    EXPECT_LT(sink_->LongestGapSince(start), kLongestGap);
}

// Private bytes, CPU time and threads of the server process.
struct ServerUse {
    SIZE_T privateBytes = 0;
    double cpuSeconds = 0;
    int threads = 0;
};
int CountThreads(DWORD pid) {
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == pid;
    CloseHandle(snapshot);
    return count;
}
ServerUse MeasureServer() {
    ServerUse use;
    HWND panel = FindServerPanel();
    DWORD pid = 0;
    if (panel) GetWindowThreadProcessId(panel, &pid);
    HANDLE process = pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid) : nullptr;
    if (!process) return use;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory)))
        use.privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage; // Wine: often 0
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(process, &created, &ended, &kernel, &user)) {
        auto seconds = [](FILETIME t) {
            return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
        };
        use.cpuSeconds = seconds(kernel) + seconds(user);
    }
    CloseHandle(process);
    use.threads = CountThreads(pid);
    return use;
}

// The server's CPU share over `span` (percent of one core).
double CpuPercent(std::chrono::seconds span) {
    const ServerUse before = MeasureServer();
    std::this_thread::sleep_for(span);
    const ServerUse after = MeasureServer();
    return (after.cpuSeconds - before.cpuSeconds) * 100.0 / static_cast<double>(span.count());
}

// Starts a client that holds everything a client may hold (acceptance_test_client hold) and kills it, as the task
// manager does (no Unadvise, no Release), once its subscription runs.
void KillHoldingClient(int index, int items) {
    const std::wstring event = L"lx-acceptance-client-ready-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(index);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    ASSERT_NE(ready, nullptr);
    ClientProcess client(L"hold " + std::to_wstring(items) + L" " + event);
    EXPECT_TRUE(client.Started());
    EXPECT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0) << "its subscription runs";
    client.Kill();
    CloseHandle(ready);
}

// The server process behind the panel, for waiting on its end.
HANDLE OpenServerProcess(HWND panel) {
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    return pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
}

// Killed clients leave nothing behind: the server sees each client process end and lets go of its server object,
// sinks, groups (a removed one it still held included) and enumerators, while this client is served on. Once this
// client has let go too, no object of any client is left, and Exit ends the server without asking.
TEST_F(MisbehavingClients, KilledClientsAreLetGoOfWhileTheOthersAreServed) {
    constexpr int kKills = 3;
    constexpr int kItems = 1000;
    const double cpuBefore = CpuPercent(3s);
    const ServerUse before = MeasureServer();
    const auto start = Clock::now();
    for (int kill = 0; kill < kKills; ++kill) KillHoldingClient(kill, kItems);
    std::this_thread::sleep_for(2s);
    EXPECT_LT(sink_->LongestGapSince(start), kLongestGap);
    ExpectScanGoesOn();
    const double cpuAfter = CpuPercent(3s);
    const ServerUse after = MeasureServer();
    std::printf("[ figures  ] server CPU %.1f %% before, %.1f %% after %d killed clients of %d items; private bytes "
                "%.0f KB -> %.0f KB (%.0f KB per killed client); threads %d -> %d\n",
                cpuBefore, cpuAfter, kKills, kItems, before.privateBytes / 1024.0, after.privateBytes / 1024.0,
                (static_cast<double>(after.privateBytes) - static_cast<double>(before.privateBytes)) / 1024.0 /
                    kKills,
                before.threads, after.threads);
    RecordProperty("cpu_percent_before", std::to_string(cpuBefore));
    RecordProperty("cpu_percent_after", std::to_string(cpuAfter));
    RecordProperty("private_kb_before", std::to_string(before.privateBytes / 1024));
    RecordProperty("private_kb_after", std::to_string(after.privateBytes / 1024));

    point_->Unadvise(cookie_);
    point_.Reset();
    items_.Reset();
    server_.Reset();
    const HWND panel = FindServerPanel();
    ASSERT_NE(panel, nullptr);
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    ASSERT_TRUE(uidriver::StopPanelNode(panel)) << "a running node keeps the panel open";
    uidriver::RequestClose(panel);
    const HWND box = uidriver::WaitForWindow({kServerPanelCaption, uidriver::kDialogClass, false, pid}, 3000);
    EXPECT_EQ(box, nullptr) << "Exit asks: the server still holds objects of the killed clients";
    if (box) uidriver::PressButton(box, IDYES);
    EXPECT_TRUE(uidriver::WaitUntilGone(panel, 15000));
}

class NoticeSink final : public ComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override {
        ++requests;
        return S_OK;
    }
    std::atomic<int> requests{0};
};

// Exit with this client connected and two clients killed just before (the server may still be letting go of
// them): this client hears ShutdownRequest, the killed ones hold up nothing, and the process ends.
TEST_F(MisbehavingClients, ExitWithConnectedAndKilledClientsEndsTheServer) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server_.As(&container), S_OK);
    ComPtr<IConnectionPoint> shutdownPoint;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint), S_OK);
    auto notice = Make<NoticeSink>();
    DWORD shutdownCookie = 0;
    ASSERT_EQ(shutdownPoint->Advise(notice.Get(), &shutdownCookie), S_OK);
    for (int kill = 0; kill < 2; ++kill) KillHoldingClient(10 + kill, 100);

    const HWND panel = FindServerPanel();
    ASSERT_NE(panel, nullptr);
    HANDLE process = OpenServerProcess(panel);
    ASSERT_NE(process, nullptr);
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    ASSERT_TRUE(uidriver::StopPanelNode(panel));
    uidriver::RequestClose(panel);
    const HWND box = uidriver::WaitForWindow({kServerPanelCaption, uidriver::kDialogClass, false, pid}, 20000);
    ASSERT_NE(box, nullptr) << "a client is connected: Exit asks";
    const auto exitStart = Clock::now();
    uidriver::PressButton(box, IDYES);
    for (int i = 0; i < 100 && notice->requests.load() == 0; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(notice->requests.load(), 1);
    // This client lets go when it is asked to.
    shutdownPoint.Reset();
    container.Reset();
    point_.Reset();
    items_.Reset();
    server_.Reset();
    EXPECT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0) << "the server does not end";
    std::printf("[ figures  ] the server ended %.1f s after Exit's Yes\n",
                std::chrono::duration<double>(Clock::now() - exitStart).count());
    CloseHandle(process);
}

}  // namespace
}  // namespace acceptance
