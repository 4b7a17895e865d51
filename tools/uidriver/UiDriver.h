// Finding, reading and operating top-level windows of other processes: the small
// driver used by the process tests and by scripts (uidriver.exe).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace uidriver {

struct WindowQuery {
    std::wstring title;          // exact window text
    std::wstring className;      // exact class; empty: any
    bool excludeDialogs = false; // skip the dialog class "#32770" (message boxes)
    DWORD processId = 0;         // 0: any process
};

inline constexpr const wchar_t* kDialogClass = L"#32770";

HWND FindTopLevel(const WindowQuery& query);
// Polls until the window exists, the process ends (if `process` is given) or the time is up.
HWND WaitForWindow(const WindowQuery& query, DWORD timeoutMs, HANDLE process = nullptr);
bool WaitUntilGone(HWND window, DWORD timeoutMs);

std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);
// Texts of the static controls inside a dialog (a message box's text among them).
std::vector<std::wstring> StaticTexts(HWND dialog);
// Presses a button of a dialog by its control id (IDOK, IDYES, ...).
bool PressButton(HWND dialog, int id);
// Asks a window to close as its close box would (WM_SYSCOMMAND SC_CLOSE).
void RequestClose(HWND window);

struct TopLevel {
    HWND window;
    DWORD processId;
    std::wstring className;
    std::wstring title;
    bool visible;
};
std::vector<TopLevel> ListTopLevel();

} // namespace uidriver
