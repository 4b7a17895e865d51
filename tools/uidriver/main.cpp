// uidriver: a small driver for the server's windows, for scripts and people.
//   uidriver list                         top-level windows: handle, process, class, title
//   uidriver wait TITLE [MS]              waits for a non-dialog window with this title; prints its handle
//   uidriver box CAPTION [MS] [BUTTON]    waits for a message box, prints its text, presses BUTTON (default OK=1)
//   uidriver close TITLE [MS]             asks the window to close (close box) and waits until it is gone
// Exit code: 0 done, 1 not found / not gone, 2 usage.
#include "UiDriver.h"

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
    std::fprintf(stderr, "usage: uidriver list | wait TITLE [MS] | box CAPTION [MS] [BUTTON] | close TITLE [MS]\n");
    return 2;
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
    if (argc < 3) return Usage();
    const std::wstring title = argv[2];
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
