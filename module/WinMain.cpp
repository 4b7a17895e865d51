// Process entry of lx6opc.exe: one instance per session, then the module.
#include "module/ModuleIds.h"
#include "context/ResourceStrings.h"
#include "module/ServerModule.h"
#include "nrk/NRK_Server.h"

#include <clocale>
#include <string>

namespace {

// Owns the single-instance mutex until the entry function returns.
class MutexHandle {
public:
    explicit MutexHandle(HANDLE handle) : handle_(handle) {}
    ~MutexHandle() {
        if (handle_) CloseHandle(handle_);
    }
    MutexHandle(const MutexHandle&) = delete;
    MutexHandle& operator=(const MutexHandle&) = delete;
    explicit operator bool() const { return handle_ != nullptr; }
private:
    HANDLE handle_;
};

struct FindByTitle {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM context) {
    auto* find = reinterpret_cast<FindByTitle*>(context);
    const int length = GetWindowTextLengthW(window);
    if (length != static_cast<int>(find->title.size()))
        return TRUE;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    if (text != find->title)
        return TRUE;
    find->found = window;
    return FALSE;
}

// The running instance's window, restored unless maximised, to the front.
void BringRunningInstanceToFront() {
    FindByTitle find;
    // The panel's own title, fallback included, so that it is found also when string 200 is missing.
    find.title = lx::ResourceStringOr(lx::IDS_PRODUCT, lx::kFallbackTitle);
    EnumWindows(&MatchTitle, reinterpret_cast<LPARAM>(&find));
    if (!find.found)
        return;
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    bool placed = false;
    if (GetWindowPlacement(find.found, &placement)) {
        if (placement.showCmd != SW_SHOWMAXIMIZED)
            placement.showCmd = SW_SHOWNORMAL;
        placement.flags |= WPF_ASYNCWINDOWPLACEMENT;
        placed = SetWindowPlacement(find.found, &placement) != FALSE;
    } else {
        placement.showCmd = IsZoomed(find.found) ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    }
    // Some systems place only their own process's windows: show it asynchronously instead.
    if (!placed)
        ShowWindowAsync(find.found, static_cast<int>(placement.showCmd));
    SetForegroundWindow(find.found);
}

bool GetRuntime(int version, NRK_Server** server) {
#ifdef LX_NO_RUNTIME
    (void)version;
    *server = nullptr;
    return false;
#else
    return NRK_GET_INTERFACE(version, server);
#endif
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");

    if (HANDLE other = OpenMutexW(MUTEX_MODIFY_STATE, FALSE, lx::kInstanceMutexName)) {
        BringRunningInstanceToFront();
        CloseHandle(other);
        return 0;
    }
    MutexHandle mutex(CreateMutexW(nullptr, FALSE, lx::kInstanceMutexName));
    if (!mutex)
        return -1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {   // started at the same moment as another
        BringRunningInstanceToFront();
        return 0;
    }

    int result = -1;
    {
        ServerModule module;
        if (!module.Failed())
            result = module.Main(GetCommandLineW(), showCommand, &GetRuntime);
    }
    return result;
}
