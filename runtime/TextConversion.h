// Text at the runtime boundary: the runtime speaks narrow (multibyte) text in the
// user's default code page; the server keeps wide (UTF-16) text.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Narrow to wide. Conversion stops at the first byte sequence that cannot be
// converted and keeps what was converted up to there. codePage defaults to the
// user's ANSI code page.
std::wstring NarrowToWide(std::string_view text, UINT codePage = CP_ACP);

// Wide to narrow. Gives "" when any character cannot be converted exactly (no
// default characters, no best-fit substitutes).
std::string WideToNarrow(std::wstring_view text, UINT codePage = CP_ACP);

// Like WideToNarrow, but tells a failed conversion apart from an empty text.
bool TryWideToNarrow(std::wstring_view text, std::string& narrow, UINT codePage = CP_ACP);
