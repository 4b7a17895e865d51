// What the process tests share: the executable beside the test program, the source
// tree's node files, one run of the server (ended by force if a test leaves it
// running), and a fixture that clears the server's registry entries around a test.
#pragma once

#include "UiDriver.h"
#include "context/ResourceIds.h"
#include "tests/support/RegistryDump.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lxprocess {

namespace fs = std::filesystem;
using lxtest::DumpRegistry;

inline const std::wstring kCaption = L"Velmara 6 OPC Server";
inline const std::wstring kClsidKey = L"CLSID\\{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}";
inline const std::wstring kAppIdKey = L"AppID\\{7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}";
inline const std::wstring kTypeLibKey = L"TypeLib\\{7A3E1C03-5B2D-4F60-9E11-2C8D0B6A4F01}";
inline const std::wstring kServerKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
inline const std::wstring kDaKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\DA";
inline const wchar_t* const kClassKeys[] = {
    L"AppID\\{7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}", L"AppID\\lx6opc.EXE",
    L"CLSID\\{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}", L"CLSID\\{7A3E1C05-5B2D-4F60-9E11-2C8D0B6A4F01}",
    L"CLSID\\{7A3E1C08-5B2D-4F60-9E11-2C8D0B6A4F01}", L"Corvane.LX6.OPC.DA.Server.1", L"Corvane.LX6.OPC.DA.Server",
    L"Corvane.Lx6OpcServer.1", L"Corvane.Lx6OpcServer", L"Corvane.Lx6Node.1", L"Corvane.Lx6Node",
    L"Corvane.Lx6OPCDAServerSetup.1", L"Corvane.Lx6OPCDAServerSetup",
    L"TypeLib\\{7A3E1C03-5B2D-4F60-9E11-2C8D0B6A4F01}"};

inline fs::path BinDir() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

inline fs::path ServerExe() { return BinDir() / L"lx6opc.exe"; }

// A path of the source tree as Wine shows it.
inline fs::path SourcePath(const std::string& relative) {
    std::wstring path = L"Z:";
    for (char c : std::string(LX_SOURCE_DIR) + "/" + relative)
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

inline std::set<std::wstring> ClassesState() {
    std::set<std::wstring> all;
    for (const wchar_t* key : kClassKeys) {
        auto part = DumpRegistry(HKEY_CLASSES_ROOT, key);
        all.insert(part.begin(), part.end());
    }
    return all;
}

inline void ResetRegistry() {
    for (const wchar_t* key : kClassKeys) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key);
    }
    for (const std::wstring& key : {kServerKey, kDaKey}) {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    }
}

inline void SetUserValue(const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void SetNodeFilePath(const std::wstring& value) {
    SetUserValue(kServerKey, lx::kNodeFilePathValue, REG_SZ, value.c_str(),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

inline std::optional<std::wstring> NodeFilePath() {
    wchar_t buffer[1024] = {};
    DWORD bytes = sizeof(buffer);
    if (RegGetValueW(HKEY_CURRENT_USER, kServerKey.c_str(), lx::kNodeFilePathValue, RRF_RT_REG_SZ, nullptr, buffer,
                     &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer);
}

// One run of the server; ended by force (it is ours) if a test leaves it running.
class ServerProcess {
public:
    ServerProcess(const std::wstring& arguments, const fs::path& workingDir = BinDir(),
                  const fs::path& exe = ServerExe()) {
        std::wstring line = L"\"" + exe.wstring() + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        started_ = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  workingDir.c_str(), &si, &info_) != FALSE;
    }
    ~ServerProcess() {
        if (!started_) return;
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Started() const { return started_; }
    DWORD Pid() const { return info_.dwProcessId; }
    HANDLE Handle() const { return info_.hProcess; }

    // The exit code, or nothing if it still runs after timeoutMs. Messages of this
    // thread's windows are pumped meanwhile.
    std::optional<DWORD> Wait(DWORD timeoutMs) {
        const ULONGLONG start = GetTickCount64();
        for (;;) {
            const DWORD w = MsgWaitForMultipleObjects(1, &info_.hProcess, FALSE, 100, QS_ALLINPUT);
            if (w == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(info_.hProcess, &code);
                return code;
            }
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (GetTickCount64() - start > timeoutMs)
                return std::nullopt;
        }
    }

    // The server's message box: its texts; OK pressed.
    std::optional<std::vector<std::wstring>> AnswerBox(DWORD timeoutMs = 30000) {
        HWND box = uidriver::WaitForWindow({kCaption, uidriver::kDialogClass, false, Pid()}, timeoutMs, Handle());
        if (!box) return std::nullopt;
        auto texts = uidriver::StaticTexts(box);
        uidriver::PressButton(box, IDOK);
        return texts;
    }

    // The panel once it is shown: the server shows it after its class object is
    // registered, so that clients can connect from then on.
    HWND WaitForPanel(DWORD timeoutMs = 30000) {
        const ULONGLONG start = GetTickCount64();
        const HWND panel = uidriver::WaitForWindow({kCaption, L"", true, Pid()}, timeoutMs, Handle());
        while (panel && !IsWindowVisible(panel) && GetTickCount64() - start < timeoutMs &&
               WaitForSingleObject(Handle(), 0) == WAIT_TIMEOUT)
            Sleep(50);
        return panel;
    }

private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

inline constexpr DWORD kExitTimeout = 30000;

// Panel controls the tests press and read.
enum PanelId : int { kExitId = 1, kHelpId = 9, kPathId = 201, kStartId = 202, kStopId = 203, kLoginId = 215, kLogoutId = 216 };

// Polls a condition for up to timeoutMs.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 10000) {
    const ULONGLONG start = GetTickCount64();
    while (!condition()) {
        if (GetTickCount64() - start > timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(ServerExe())) << "build lx6opc first";
        ResetRegistry();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        scratch = fs::path(temp) / (L"lx6opc-process-" + std::to_wstring(GetCurrentProcessId()));
        fs::remove_all(scratch);
        fs::create_directories(scratch);
    }
    void TearDown() override {
        ResetRegistry();
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }
    fs::path scratch;
};

} // namespace lxprocess
