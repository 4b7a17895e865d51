// The panel on nodes of 1,000 and 100,000 channels.
//
// 1. lx6opc.exe as a process on a generated node file (channels of type 4, about 70 attributes
//    each, 100 channels per group): the time from the process's start to its shown panel (node
//    loaded, address space built, tree filled) and the process's private bytes then.
// 2. The node view in this process on a scripted runtime of the same size: the time and private
//    bytes to create the view (the tree's fill), and the runtime reads of one refresh tick while the node runs
//    with a channel selected whose attributes fill more rows than the list shows: only the
//    visible rows may be read.
//
// Usage: panel_bench [--view-only] [channels...]   (default 1000 100000)
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/PrivateBytes.h"
#include "FakeRuntime.h"
#include "UiDriver.h"
#include "panel/NodeView.h"
#include "runtime/AddressSpace.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChannelsPerGroup = 100;
const wchar_t* const kServerKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}


bool WriteNode(const std::wstring& path, int channels) {
    std::ofstream out{std::filesystem::path(path)};
    out << "node \"Panel Bench\" type 1\nscan 500\ngroup 0 \"Plant\"\n";
    for (int g = 0; g * kChannelsPerGroup < channels; ++g) out << "group " << 32 + g << " \"Area" << g << "\"\n";
    for (int ch = 1; ch <= channels; ++ch)
        out << "channel " << ch << " type 4 \"TI" << 100000 + ch << ".PV\" in " << 32 + (ch - 1) / kChannelsPerGroup
            << "\n";
    return static_cast<bool>(out);
}

bool SetNodePath(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kServerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return false;
    const LONG rc = RegSetValueExW(key, L"NodeFilePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// Starts the server and waits for its panel to be shown; prints the time and the private bytes.
void MeasureProcess(int channels) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring node = std::wstring(temp) + L"panel_bench.dbb";
    if (!WriteNode(node, channels) || !SetNodePath(node)) {
        std::printf("cannot write the node file or NodeFilePath\n");
        return;
    }
    const std::wstring exe = BinDir() + L"lx6opc.exe";
    std::wstring line = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    const auto start = Clock::now();
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, BinDir().c_str(), &si, &pi)) {
        std::printf("cannot start lx6opc.exe\n");
        return;
    }
    HWND panel = nullptr;
    while (!panel || !IsWindowVisible(panel)) {
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0 || Milliseconds(Clock::now() - start) > 300000) break;
        panel = uidriver::FindTopLevel({L"Velmara 6 OPC Server", L"", true, pi.dwProcessId});
        Sleep(5);
    }
    const double shown = Milliseconds(Clock::now() - start);
    if (panel && IsWindowVisible(panel)) {
        Sleep(1000);  // the first paint and the timers
        std::printf("process, %6d channels: panel shown after %7.0f ms; private bytes %7.1f MB\n", channels, shown,
                    PrivateBytes(pi.hProcess) / 1048576.0);
        uidriver::RequestClose(panel);
    } else {
        std::printf("process, %6d channels: no panel\n", channels);
    }
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    DeleteFileW(node.c_str());
}

// The node view in this process: creation time, and the reads of one refresh tick.
void MeasureView(int channels) {
    FakeRuntime fake;
    fake.CountKeys(false);
    fake.AddGroup(0, "Plant");
    for (int g = 0; g * kChannelsPerGroup < channels; ++g) {
        std::vector<int> members;
        for (int ch = g * kChannelsPerGroup + 1; ch <= std::min(channels, (g + 1) * kChannelsPerGroup); ++ch) {
            fake.AddChannel(ch, 4, "TI" + std::to_string(100000 + ch) + ".PV").Set(2, 1.5f);
            members.push_back(ch);
        }
        fake.AddGroup(32 + g, "Area" + std::to_string(g), 0).Channels(std::move(members));
    }
    fake.SetAnswer("CanViewValues", 1);
    fake.SetRunning(true);
    const auto root = BuildAddressSpace(fake);
    const HWND host = CreateWindowExW(0, L"STATIC", L"panel bench", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                      640, 400, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    {
        panel::NodeView view(fake, root, std::wstring(kServerKey) + L"\\UI-bench");
        fake.ResetCalls();
        const double bytesBefore = PrivateBytes(GetCurrentProcess());
        const auto start = Clock::now();
        view.Create(host, RECT{0, 0, 640, 400});
        UpdateWindow(view.Tree());
        const double created = Milliseconds(Clock::now() - start);
        const double viewBytes = PrivateBytes(GetCurrentProcess()) - bytesBefore;
        // The first channel of the first area.
        const HTREEITEM area = TreeView_GetChild(view.Tree(), TreeView_GetRoot(view.Tree()));
        TreeView_Expand(view.Tree(), area, TVE_EXPAND);
        TreeView_SelectItem(view.Tree(), TreeView_GetChild(view.Tree(), area));
        UpdateWindow(view.List());
        const int rows = ListView_GetItemCount(view.List());
        const int visible = ListView_GetCountPerPage(view.List());
        constexpr int kTicks = 20;
        fake.ResetCalls();
        for (int i = 0; i < kTicks; ++i) {
            SendMessageW(view.Window(), WM_TIMER, panel::NodeView::kRefreshTimer, 0);
            UpdateWindow(view.List());
        }
        std::printf("view,    %6d channels: created in %7.1f ms, %5.1f MB; a tick with %d rows (%d visible) reads %.1f "
                    "values\n",
                    channels, created, viewBytes / 1048576.0, rows, visible,
                    fake.Calls("GetChannelString") / double(kTicks));
    }
    DestroyWindow(host);
    RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kServerKey) + L"\\UI-bench").c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<int> sizes;
    bool process = true;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--view-only")
            process = false;
        else
            sizes.push_back(std::max(1, _wtoi(argv[i])));
    }
    if (sizes.empty()) sizes = {1000, 100000};
    for (int channels : sizes)
        if (process) MeasureProcess(channels);
    for (int channels : sizes) MeasureView(channels);
    return 0;
}
