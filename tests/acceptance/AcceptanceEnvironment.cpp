#include "AcceptanceEnvironment.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <vector>

#include "TestServerContract.h"
#include <UiDriver.h>

namespace acceptance {

std::wstring BinDir() {
    std::vector<wchar_t> path(MAX_PATH);
    DWORD n = 0;
    while ((n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) == path.size())
        path.resize(path.size() * 2);
    std::wstring text(path.data(), n);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

HRESULT CallDllEntry(const std::wstring& dll, const char* name) {
    HMODULE module = LoadLibraryW((BinDir() + dll).c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(WINAPI*)();
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    HRESULT hr = entry ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool RegisterLocalServer(const CLSID& clsid, const std::wstring& exe) {
    const std::wstring key = L"CLSID\\" + GuidText(clsid) + L"\\LocalServer32";
    const std::wstring value = L"\"" + exe + L"\"";
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring ReadClassesRootString(const std::wstring& key, const wchar_t* name) {
    wchar_t data[512] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS)
        return std::wstring();
    return data;
}

HWND FindServerPanel() { return uidriver::FindTopLevel({kServerPanelCaption, L"", true, 0}); }

void WaitForServerEnd() {
    HWND panel = FindServerPanel();
    if (!panel) return;
    // Started by COM, the server runs until its panel is closed; with no client left it closes without asking.
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    uidriver::StopPanelNode(panel);   // started by COM, the server runs its node, which keeps the panel open
    uidriver::RequestClose(panel);
    if (uidriver::WaitUntilGone(panel, 15000)) return;
    ADD_FAILURE() << "lx6opc.exe does not end when its panel is closed with no client left";
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

namespace {

// 0: not tried yet, 1: registered, 2: not available.
int g_realServer = 0;
std::wstring g_realServerWhy;

DWORD RunAndWait(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs) {
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, BinDir().c_str(), &si, &pi))
        return static_cast<DWORD>(-1);
    DWORD code = static_cast<DWORD>(-2);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// The server started by COM serves the small test node of the source tree unless a suite asks for another.
bool UseTestNode() { return UseNodeFile("nodes/test/small.dbb"); }

class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        // A fresh prefix has no OPC proxies, so ours takes every interface (S_OK, not S_FALSE).
        ASSERT_EQ(CallDllEntry(L"lx6opcps.dll", "DllRegisterServer"), S_OK);
        ASSERT_TRUE(RegisterLocalServer(kTestServerClsid, BinDir() + kTestServerExe));
    }
    void TearDown() override {
        WaitForServerEnd();
        CoUninitialize();
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

}  // namespace

bool UseNodeFile(const char* relative) {
    std::wstring path = L"Z:";  // Wine sees the source tree on drive Z:
    for (char c : std::string(LX_SOURCE_DIR) + "/" + relative)
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    const wchar_t* key = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
    return RegSetKeyValueW(HKEY_CURRENT_USER, key, L"NodeFilePath", REG_SZ, path.c_str(),
                           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RealServerRegistered(std::wstring* why) {
    if (g_realServer == 0) {
        const std::wstring exe = BinDir() + L"lx6opc.exe";
        if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
            g_realServer = 2;
            g_realServerWhy = L"bin\\lx6opc.exe is not built";
        } else if (!UseTestNode()) {
            g_realServer = 2;
            g_realServerWhy = L"cannot write NodeFilePath";
        } else {
            DWORD code = RunAndWait(exe, L"/RegServer", 60000);
            g_realServer = code == 0 ? 1 : 2;
            if (code != 0) g_realServerWhy = L"lx6opc.exe /RegServer ended with " + std::to_wstring(code);
        }
    }
    if (why) *why = g_realServerWhy;
    return g_realServer == 1;
}

}  // namespace acceptance
