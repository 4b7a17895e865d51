// What the reliability programs share: starting lx6opc.exe on a given node file by COM
// activation, and the server process's private bytes, handle and thread counts.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "common/PrivateBytes.h"

#include <opccomn.h>
#include <opcda.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

inline const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};

inline std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

// The handles in the system's handle list (for Wine, whose GetProcessHandleCount answers 0 for another
// process): f(process id, handle value, object type index) for each; false when the list cannot be read.
template <class F>
bool ForEachSystemHandle(F&& f) {
    struct Entry {
        PVOID object;
        ULONG_PTR process;
        ULONG_PTR handle;
        ULONG access;
        USHORT creatorBackTraceIndex;
        USHORT objectTypeIndex;
        ULONG attributes;
        ULONG reserved;
    };
    struct List {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return false;
    std::string buffer(1 << 20, '\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(64 /* SystemExtendedHandleInformation */, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const auto* list = reinterpret_cast<const List*>(buffer.data());
            for (ULONG_PTR i = 0; i < list->count; ++i)
                f(list->entries[i].process, list->entries[i].handle, list->entries[i].objectTypeIndex);
            return true;
        }
        if (status != static_cast<LONG>(0xC0000004L)) return false; // not STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 65536));
    }
    return false;
}

// The handles that process `pid` holds, by object type index.
inline std::map<USHORT, DWORD> HandlesByType(DWORD pid) {
    std::map<USHORT, DWORD> types;
    ForEachSystemHandle([&](ULONG_PTR process, ULONG_PTR, USHORT type) {
        if (process == pid) ++types[type];
    });
    return types;
}

inline DWORD CountHandles(DWORD pid) {
    DWORD count = 0;
    for (const auto& [type, n] : HandlesByType(pid)) count += n;
    return count;
}

// The handles a process holds: GetProcessHandleCount where it answers, else the system's list.
inline DWORD HandleCount(HANDLE process, DWORD pid) {
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count) return count;
    return CountHandles(pid);
}

// A name for each object type index that objects made here show: event, thread, process, file, key and so on.
inline std::map<USHORT, std::string> HandleTypeNames() {
    std::vector<std::pair<HANDLE, const char*>> samples;
    samples.push_back({CreateEventW(nullptr, FALSE, FALSE, nullptr), "event"});
    samples.push_back({CreateSemaphoreW(nullptr, 0, 1, nullptr), "semaphore"});
    samples.push_back({CreateMutexW(nullptr, FALSE, nullptr), "mutex"});
    samples.push_back({CreateWaitableTimerW(nullptr, FALSE, nullptr), "timer"});
    samples.push_back({OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()), "process"});
    samples.push_back({OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()), "thread"});
    samples.push_back({CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1), "completion"});
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    samples.push_back({CreateFileW(exe, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr),
                       "file"});
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key);
    samples.push_back({reinterpret_cast<HANDLE>(key), "key"});
    samples.push_back({CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr), "section"});
    std::map<USHORT, std::string> names;
    const DWORD self = GetCurrentProcessId();
    ForEachSystemHandle([&](ULONG_PTR process, ULONG_PTR handle, USHORT type) {
        if (process != self) return;
        for (const auto& [h, name] : samples)
            if (h && reinterpret_cast<ULONG_PTR>(h) == handle) names[type] = name;
    });
    for (const auto& [h, name] : samples) {
        if (!h || h == INVALID_HANDLE_VALUE) continue;
        if (std::string(name) == "key") RegCloseKey(reinterpret_cast<HKEY>(h));
        else CloseHandle(h);
    }
    return names;
}

struct ServerStats {
    double privateBytes = 0;
    DWORD handles = 0, threads = 0;
    bool alive = false;
};

// The server process, found by its image name after the first activation.
class ServerProcess {
public:
    ~ServerProcess() {
        if (process_) CloseHandle(process_);
    }

    // Registers the server and its proxy/stub DLL and points NodeFilePath at `node`.
    static bool Prepare(const std::wstring& node) {
        const wchar_t* key = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
        if (RegSetKeyValueW(HKEY_CURRENT_USER, key, L"NodeFilePath", REG_SZ, node.c_str(),
                            static_cast<DWORD>((node.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
            return false;
        const std::wstring exe = BinDir() + L"lx6opc.exe";
        std::wstring command = L"\"" + exe + L"\" /RegServer";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, BinDir().c_str(), &si, &pi))
            return false;
        DWORD code = 1;
        if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        HMODULE module = LoadLibraryW((BinDir() + L"lx6opcps.dll").c_str());
        if (!module) return false;
        using Entry = HRESULT(WINAPI*)();
        auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
        const HRESULT hr = entry ? entry() : E_FAIL;
        FreeLibrary(module);
        return code == 0 && SUCCEEDED(hr);
    }

    bool Attach() {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return false;
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
            if (_wcsicmp(entry.szExeFile, L"lx6opc.exe") == 0) pid_ = entry.th32ProcessID;
        CloseHandle(snapshot);
        if (pid_)
            process_ = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                   pid_);
        return process_ != nullptr;
    }

    ServerStats Stats() const {
        ServerStats s;
        if (!process_) return s;
        s.alive = WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
        s.privateBytes = PrivateBytes(process_);
        s.handles = HandleCount(process_, pid_);
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        if (snapshot != INVALID_HANDLE_VALUE) {
            THREADENTRY32 t = {};
            t.dwSize = sizeof(t);
            for (BOOL ok = Thread32First(snapshot, &t); ok; ok = Thread32Next(snapshot, &t))
                if (t.th32OwnerProcessID == pid_) ++s.threads;
            CloseHandle(snapshot);
        }
        return s;
    }

    // Stops the node and closes the server's panel once no client is left; ends it by force
    // if that does not end it.
    void Close() {
        if (!process_) return;
        Sleep(500);
        PanelCommand(203);   // Stop: a panel whose node runs does not close
        Sleep(500);
        if (const HWND frame = PanelFrame()) PostMessageW(frame, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process_, 15000) != WAIT_OBJECT_0) {
            std::printf("lx6opc.exe still runs 15 s after its panel was closed: ended\n");
            TerminateProcess(process_, 1);
        }
    }

    // Posts a panel command (202: Start, 203: Stop) to the server's control-panel dialog.
    bool PanelCommand(WPARAM command) const {
        const HWND frame = PanelFrame();
        const HWND dialog = frame ? FindWindowExW(frame, nullptr, WC_DIALOG, nullptr) : nullptr;
        return dialog && PostMessageW(dialog, WM_COMMAND, command, 0) != FALSE;
    }

    // The server's control-panel frame, or null.
    HWND PanelFrame() const {
        std::pair<DWORD, HWND> find{pid_, nullptr};
        EnumWindows(&FindPanelFrame, reinterpret_cast<LPARAM>(&find));
        return find.second;
    }

    HANDLE Handle() const { return process_; }
    DWORD Pid() const { return pid_; }

private:
    static BOOL CALLBACK FindPanelFrame(HWND window, LPARAM data) {
        auto* find = reinterpret_cast<std::pair<DWORD, HWND>*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (owner != find->first || wcscmp(name, L"Lx6OpcControlPanel") != 0) return TRUE;
        find->second = window;
        return FALSE;
    }

    DWORD pid_ = 0;
    HANDLE process_ = nullptr;
};

// The IUnknown of a sink that is both a data callback and a shutdown sink: made with one reference
// and deleted with its last.
class DataAndShutdownSink : public IOPCDataCallback, public IOPCShutdown {
public:
    virtual ~DataAndShutdownSink() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) *object = static_cast<IOPCDataCallback*>(this);
        else if (riid == IID_IOPCShutdown) *object = static_cast<IOPCShutdown*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

private:
    volatile LONG refs_ = 1;
};

// A data callback and shutdown sink that counts what arrives; the owner reads the counters.
class CountingSink final : public DataAndShutdownSink {
public:
    volatile LONG dataChanges = 0, itemUpdates = 0, readCompletes = 0, writeCompletes = 0, cancelCompletes = 0, shutdowns = 0;

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override {
        InterlockedIncrement(&dataChanges);
        InterlockedExchangeAdd(&itemUpdates, static_cast<LONG>(count));
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        InterlockedIncrement(&readCompletes);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        InterlockedIncrement(&writeCompletes);
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override {
        InterlockedIncrement(&cancelCompletes);
        return S_OK;
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override {
        InterlockedIncrement(&shutdowns);
        return S_OK;
    }
};

} // namespace bench
