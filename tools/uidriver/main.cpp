// uidriver: a small driver for the server's windows, for scripts and people.
//   uidriver list                         top-level windows: handle, process, class, title
//   uidriver wait TITLE [MS]              waits for a non-dialog window with this title; prints its handle
//   uidriver box CAPTION [MS] [BUTTON]    waits for a message box, prints its text, presses BUTTON (default OK=1)
//   uidriver close TITLE [MS]             asks the window to close (close box) and waits until it is gone
//   uidriver tree TITLE                   the items of the window's tree: depth, image, text (tab-separated)
//   uidriver select TITLE PATH            selects the tree item at PATH ("Plant/Intake/Basin.Level")
//   uidriver rows TITLE                   the rows of the window's list: Name and Value (tab-separated)
//   uidriver edit TITLE ROW TEXT          edits the list row's value: starts editing, types TEXT, Enter
//   uidriver state TITLE ID               a control: "visible|hidden enabled|disabled" and its text
//   uidriver press TITLE ID               clicks a visible, enabled button (1 if it is neither)
//   uidriver command TITLE ID             sends the control's command whatever its state
//   uidriver focus TITLE ID               gives the control the keyboard focus
//   uidriver key TITLE escape|enter|tab|altf4   presses a key at the focused window
//   uidriver frame [L T R B]              prints (or stores) the panel's saved rectangle "Frame"
// Exit code: 0 done, 1 not found / not gone, 2 usage.
#include "RemoteControls.h"
#include "UiDriver.h"

#include <commctrl.h>
#include "context/ResourceIds.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void Print(const std::wstring& text) {
    // UTF-8 on standard output, whatever the console.
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    std::printf("%s\n", out.c_str());
}

DWORD Number(int argc, wchar_t** argv, int index, DWORD fallback) {
    return index < argc ? static_cast<DWORD>(std::wcstoul(argv[index], nullptr, 0)) : fallback;
}

int Usage() {
    std::fprintf(stderr, "usage: uidriver list | wait TITLE [MS] | box CAPTION [MS] [BUTTON] | close TITLE [MS] |\n"
                         "       state|press|command|focus TITLE ID | key TITLE escape|enter|tab|altf4 |\n"
                         "       frame [L T R B] | tree TITLE | select TITLE PATH | rows TITLE | edit TITLE ROW TEXT\n");
    return 2;
}

// The control of a class inside the top-level window titled argv[2].
HWND Control(wchar_t** argv, const wchar_t* className) {
    const HWND top = uidriver::FindTopLevel({argv[2], L"", true, 0});
    return top ? uidriver::FindDescendant(top, className) : nullptr;
}

int TreeVerb(int, wchar_t** argv) {
    const HWND tree = Control(argv, WC_TREEVIEWW);
    if (!tree) return 1;
    for (const auto& line : uidriver::ReadTree(tree))
        Print(std::to_wstring(line.depth) + L"\t" + std::to_wstring(line.image) + L"\t" + line.text);
    return 0;
}

int SelectVerb(int argc, wchar_t** argv) {
    if (argc < 4) return Usage();
    const HWND tree = Control(argv, WC_TREEVIEWW);
    return tree && uidriver::SelectTreeItem(tree, argv[3]) ? 0 : 1;
}

// Rows as the operator reads them: Name (sub-item 1), then Value (sub-item 0).
int RowsVerb(int, wchar_t** argv) {
    const HWND list = Control(argv, WC_LISTVIEWW);
    if (!list) return 1;
    for (const auto& row : uidriver::ReadListRows(list, 2)) Print(row[1] + L"\t" + row[0]);
    return 0;
}

int EditVerb(int argc, wchar_t** argv) {
    if (argc < 5) return Usage();
    const HWND list = Control(argv, WC_LISTVIEWW);
    return list && uidriver::EditListLabel(list, static_cast<int>(Number(argc, argv, 3, 0)), argv[4]) ? 0 : 1;
}

// The saved panel rectangle: printed, or stored when four numbers are given.
int Frame(int argc, wchar_t** argv) {
    if (argc == 6) {
        INT32 r[4];
        for (int i = 0; i < 4; ++i) r[i] = static_cast<INT32>(std::wcstol(argv[2 + i], nullptr, 0));
        return RegSetKeyValueW(HKEY_CURRENT_USER, lx::kUiKey, L"Frame", REG_BINARY, r, sizeof(r)) == ERROR_SUCCESS
                   ? 0 : 1;
    }
    if (argc != 2) return Usage();
    INT32 r[4] = {};
    DWORD bytes = sizeof(r);
    if (RegGetValueW(HKEY_CURRENT_USER, lx::kUiKey, L"Frame", RRF_RT_REG_BINARY, nullptr, r, &bytes) != ERROR_SUCCESS ||
        bytes != sizeof(r))
        return 1;
    wchar_t line[80];
    std::swprintf(line, 80, L"%d %d %d %d", r[0], r[1], r[2], r[3]);
    Print(line);
    return 0;
}

bool KeyByName(const std::wstring& name, uidriver::Key& key) {
    if (name == L"escape") key = uidriver::Key::Escape;
    else if (name == L"enter") key = uidriver::Key::Enter;
    else if (name == L"tab") key = uidriver::Key::Tab;
    else if (name == L"altf4") key = uidriver::Key::AltF4;
    else return false;
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    if (command == L"list") {
        for (const auto& w : uidriver::ListTopLevel()) {
            wchar_t line[64];
            std::swprintf(line, 64, L"%p %lu %ls ", static_cast<void*>(w.window), w.processId,
                          w.visible ? L"visible" : L"hidden");
            Print(line + w.className + L" \"" + w.title + L"\"");
        }
        return 0;
    }
    if (command == L"frame") return Frame(argc, argv);
    if (argc < 3) return Usage();
    if (command == L"tree") return TreeVerb(argc, argv);
    if (command == L"select") return SelectVerb(argc, argv);
    if (command == L"rows") return RowsVerb(argc, argv);
    if (command == L"edit") return EditVerb(argc, argv);
    const std::wstring title = argv[2];
    if (command == L"state" || command == L"press" || command == L"command" || command == L"focus" ||
        command == L"key") {
        if (argc < 4) return Usage();
        HWND w = uidriver::FindTopLevel({title, L"", true, 0});
        if (!w) return 1;
        if (command == L"key") {
            uidriver::Key key;
            if (!KeyByName(argv[3], key)) return Usage();
            return uidriver::PressKey(w, key) ? 0 : 1;
        }
        const int id = static_cast<int>(std::wcstol(argv[3], nullptr, 0));
        if (command == L"press") return uidriver::ClickControl(w, id) ? 0 : 1;
        if (command == L"command") return uidriver::PostCommand(w, id) ? 0 : 1;
        if (command == L"focus") return uidriver::FocusControl(w, id) ? 0 : 1;
        const uidriver::ControlState state = uidriver::ReadControl(w, id);
        if (!state.exists) return 1;
        Print(std::wstring(state.visible ? L"visible " : L"hidden ") + (state.enabled ? L"enabled " : L"disabled ") +
              state.text);
        return 0;
    }
    if (command == L"wait") {
        HWND w = uidriver::WaitForWindow({title, L"", true, 0}, Number(argc, argv, 3, 10000));
        if (!w) return 1;
        wchar_t line[32];
        std::swprintf(line, 32, L"%p", static_cast<void*>(w));
        Print(line);
        return 0;
    }
    if (command == L"box") {
        HWND box = uidriver::WaitForWindow({title, uidriver::kDialogClass, false, 0}, Number(argc, argv, 3, 10000));
        if (!box) return 1;
        for (const auto& text : uidriver::StaticTexts(box))
            Print(text);
        uidriver::PressButton(box, static_cast<int>(Number(argc, argv, 4, IDOK)));
        return uidriver::WaitUntilGone(box, 5000) ? 0 : 1;
    }
    if (command == L"close") {
        HWND w = uidriver::FindTopLevel({title, L"", true, 0});
        if (!w) return 1;
        uidriver::RequestClose(w);
        return uidriver::WaitUntilGone(w, Number(argc, argv, 3, 10000)) ? 0 : 1;
    }
    return Usage();
}
