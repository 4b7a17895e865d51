// Reading and operating tree and list controls of another process. Their item texts live
// in that process, so each request is built in memory allocated there.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace uidriver {

// The first descendant of window with this class (e.g. L"SysTreeView32"), or null.
HWND FindDescendant(HWND window, const std::wstring& className);

struct TreeLine {
    HTREEITEM item;
    int depth;
    std::wstring text;
    int image;
};
// Every item of a tree in display order, collapsed branches included.
std::vector<TreeLine> ReadTree(HWND tree);
// Selects the item at the path of names from the top ("Plant/Intake/Basin.Level"); false if absent.
bool SelectTreeItem(HWND tree, const std::wstring& path, wchar_t separator = L'/');

// The texts of every row of a report list, one vector of column texts per row (by sub-item).
std::vector<std::vector<std::wstring>> ReadListRows(HWND list, int columns);
// Edits the label of a row as an operator would: starts editing, types text, presses Enter.
bool EditListLabel(HWND list, int row, const std::wstring& text);

// The pixels (0x00RRGGBB) of a window as the screen shows them now, row by row.
std::vector<std::uint32_t> WindowPixels(HWND window);

} // namespace uidriver
