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

HWND FindControl(HWND top, int id) {
    std::vector<HWND> level{top};
    while (!level.empty()) {
        std::vector<HWND> next;
        for (HWND parent : level) {
            for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                if (GetDlgCtrlID(child) == id) return child;
                next.push_back(child);
            }
        }
        level.swap(next);
    }
    return nullptr;
}

ControlState ReadControl(HWND top, int id) {
    ControlState state;
    const HWND control = FindControl(top, id);
    if (!control) return state;
    state.exists = true;
    state.visible = IsWindowVisible(control) != FALSE;
    state.enabled = IsWindowEnabled(control) != FALSE;
    // A control keeps its own text (an edit's is not the window's caption): ask the control.
    DWORD_PTR length = 0;
    if (SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        DWORD_PTR copied = 0;
        if (SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                                SMTO_ABORTIFHUNG, 5000, &copied)) {
            text.resize(static_cast<size_t>(copied));
            state.text = text;
        }
    }
    return state;
}

bool ClickControl(HWND top, int id) {
    const HWND control = FindControl(top, id);
    if (!control || !IsWindowVisible(control) || !IsWindowEnabled(control)) return false;
    return PostMessageW(control, BM_CLICK, 0, 0) != FALSE;
}

bool PostCommand(HWND top, int id) {
    const HWND control = FindControl(top, id);
    if (!control) return false;
    return PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(control)) != FALSE;
}

HWND FocusedWindow(HWND top) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

bool FocusControl(HWND top, int id) {
    const HWND control = FindControl(top, id);
    if (!control) return false;
    // WM_NEXTDLGCTL moves the focus the way the dialog itself does (default button included).
    if (!PostMessageW(GetParent(control), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE)) return false;
    for (int i = 0; i < 100; ++i) {
        if (FocusedWindow(top) == control) return true;
        Sleep(20);
    }
    return false;
}

bool PressKey(HWND top, Key key) {
    HWND target = FocusedWindow(top);
    if (!target) target = top;
    UINT down = WM_KEYDOWN, up = WM_KEYUP;
    WPARAM vk = 0;
    LPARAM flags = 0;
    switch (key) {
    case Key::Escape: vk = VK_ESCAPE; break;
    case Key::Enter: vk = VK_RETURN; break;
    case Key::Tab: vk = VK_TAB; break;
    case Key::AltF4:
        vk = VK_F4;
        down = WM_SYSKEYDOWN;
        up = WM_SYSKEYUP;
        flags = LPARAM(1) << 29;   // the Alt key is down
        break;
    }
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), MAPVK_VK_TO_VSC);
    const LPARAM base = 1 | (static_cast<LPARAM>(scan) << 16) | flags;
    return PostMessageW(target, down, vk, base) != FALSE &&
           PostMessageW(target, up, vk, base | (LPARAM(1) << 30) | (LPARAM(1) << 31)) != FALSE;
}

bool StopPanelNode(HWND panel, DWORD timeoutMs) {
    constexpr int kStart = 202, kStop = 203;
    if (!ReadControl(panel, kStop).visible) return true;
    if (!ClickControl(panel, kStop)) return false;
    const ULONGLONG start = GetTickCount64();
    while (!ReadControl(panel, kStart).visible) {
        if (GetTickCount64() - start > timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

void RequestClose(HWND window) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

} // namespace uidriver
