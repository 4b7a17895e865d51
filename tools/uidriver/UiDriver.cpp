#include "UiDriver.h"

namespace uidriver {

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

namespace {

BOOL CALLBACK AddTopLevel(HWND window, LPARAM context) {
    auto* list = reinterpret_cast<std::vector<TopLevel>*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    list->push_back({window, pid, ClassName(window), WindowText(window), IsWindowVisible(window) != FALSE});
    return TRUE;
}

BOOL CALLBACK AddStaticText(HWND child, LPARAM context) {
    std::wstring cls = ClassName(child);
    if (CompareStringOrdinal(cls.c_str(), -1, L"Static", -1, TRUE) == CSTR_EQUAL) {
        std::wstring text = WindowText(child);
        if (!text.empty())
            reinterpret_cast<std::vector<std::wstring>*>(context)->push_back(text);
    }
    return TRUE;
}

} // namespace

std::vector<TopLevel> ListTopLevel() {
    std::vector<TopLevel> all;
    EnumWindows(&AddTopLevel, reinterpret_cast<LPARAM>(&all));
    return all;
}

HWND FindTopLevel(const WindowQuery& query) {
    for (const TopLevel& w : ListTopLevel()) {
        if (w.title != query.title) continue;
        if (!query.className.empty() && w.className != query.className) continue;
        if (query.excludeDialogs && w.className == kDialogClass) continue;
        if (query.processId && w.processId != query.processId) continue;
        return w.window;
    }
    return nullptr;
}

HWND WaitForWindow(const WindowQuery& query, DWORD timeoutMs, HANDLE process) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (HWND found = FindTopLevel(query))
            return found;
        if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            return nullptr;
        if (GetTickCount64() - start > timeoutMs)
            return nullptr;
        Sleep(50);
    }
}

bool WaitUntilGone(HWND window, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    while (IsWindow(window)) {
        if (GetTickCount64() - start > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

std::vector<std::wstring> StaticTexts(HWND dialog) {
    std::vector<std::wstring> texts;
    EnumChildWindows(dialog, &AddStaticText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

bool PressButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != FALSE;
}

void RequestClose(HWND window) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

} // namespace uidriver
