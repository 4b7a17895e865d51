#include "context/ResourceStrings.h"

#include "context/ResourceIds.h"

namespace lx {

std::optional<std::wstring> LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text)
        return std::nullopt;
    return std::wstring(text, static_cast<size_t>(length));
}

std::wstring ResourceStringOr(UINT id, const wchar_t* fallback) {
    try {
        if (auto text = LoadResourceString(id))
            return *text;
    } catch (...) {
    }
    return fallback;
}

void ShowErrorBox(UINT textId, HWND owner) {
    const std::wstring text = ResourceStringOr(textId, kFallbackText);
    const std::wstring caption = ResourceStringOr(IDS_PRODUCT, kFallbackCaption);
    MessageBoxW(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

} // namespace lx
