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

// A control of a window by its id: the one nearest to `top` (direct children first, so
// that a dialog's buttons win over ids inside its child windows).
HWND FindControl(HWND top, int id);

struct ControlState {
    bool exists = false;
    bool visible = false;
    bool enabled = false;
    std::wstring text;
};
ControlState ReadControl(HWND top, int id);

// Clicks a button as a person would: only a visible, enabled one (false otherwise).
// Posted, so that a message box the click opens does not hold the caller.
bool ClickControl(HWND top, int id);
// Sends the command of a control to its parent whatever the control's state.
bool PostCommand(HWND top, int id);

// The window that has the keyboard focus in `top`'s thread (null if none).
HWND FocusedWindow(HWND top);
enum class Key { Escape, Enter, Tab, AltF4 };
// Presses and releases a key in `top`'s thread, at its focused window (or `top`), as
// the keyboard would: through the thread's message queue.
bool PressKey(HWND top, Key key);
// Gives the focus to a control of `top` (for the keys that act on the focused one).
bool FocusControl(HWND top, int id);

// The server's panel: a running node keeps it open (Exit is disabled), so the operator
// stops the node first. Presses Stop if it shows and waits until Start shows again.
bool StopPanelNode(HWND panel, DWORD timeoutMs = 10000);

struct TopLevel {
    HWND window;
    DWORD processId;
    std::wstring className;
    std::wstring title;
    bool visible;
};
std::vector<TopLevel> ListTopLevel();

} // namespace uidriver
