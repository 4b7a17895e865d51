#include "panel/HelpLauncher.h"

#include "panel/PanelText.h"
#include "runtime/TextConversion.h"

namespace lx::panel {
namespace {

using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);
constexpr UINT kDisplayTopic = 0;   // HH_DISPLAY_TOPIC
constexpr const wchar_t* kControlServerKey = L"CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

// The HTML Help control's HtmlHelpW (export 15): from its registered in-process server,
// else by name. Looked up once; a failure is remembered.
HtmlHelpFunction LocateHtmlHelp() {
    HMODULE library = nullptr;
    wchar_t path[MAX_PATH] = {};
    DWORD bytes = static_cast<DWORD>(sizeof(path) - sizeof(wchar_t));
    if (RegGetValueW(HKEY_CLASSES_ROOT, kControlServerKey, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr,
                     path, &bytes) == ERROR_SUCCESS &&
        path[0])
        library = LoadLibraryW(path);
    if (!library)
        library = LoadLibraryW(L"hhctrl.ocx");
    if (!library)
        return nullptr;
    return reinterpret_cast<HtmlHelpFunction>(reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(15))));
}

} // namespace

std::wstring HelpTopicFor(std::wstring exePath) {
    if (!exePath.empty() && exePath.front() == L'"') {
        exePath.erase(0, 1);
        if (!exePath.empty()) exePath.pop_back();
    }
    const std::wstring::size_type slash = exePath.find_last_of(L"\\/");
    const std::wstring directory = slash == std::wstring::npos ? std::wstring() : exePath.substr(0, slash);
    return directory + L"\\" + NarrowToWide(kHelpLocation, UserCodePage());
}

void ShowHelp(HWND owner) noexcept {
    static const HtmlHelpFunction htmlHelp = LocateHtmlHelp();
    if (!htmlHelp) return;
    try {
        wchar_t exe[MAX_PATH + 1] = {};
        const DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return;
        const std::wstring topic = HelpTopicFor(exe);
        htmlHelp(owner, topic.c_str(), kDisplayTopic, 0);
    } catch (...) {
    }
}

} // namespace lx::panel
