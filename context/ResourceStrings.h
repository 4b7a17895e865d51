// Texts of the string table in the thread's language.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace lx {

// The string with this id, or nothing if it cannot be loaded.
std::optional<std::wstring> LoadResourceString(UINT id);

// The string, or `fallback` if it cannot be loaded.
std::wstring ResourceStringOr(UINT id, const wchar_t* fallback);

// Error box without owner: text = string `textId`, caption = string 200.
void ShowErrorBox(UINT textId, HWND owner = nullptr);

} // namespace lx
