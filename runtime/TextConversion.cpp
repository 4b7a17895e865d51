#include "runtime/TextConversion.h"

#include <climits>

namespace {

// Converts the whole of text or fails (returns false).
bool ConvertAll(std::string_view text, UINT codePage, std::wstring& out) {
    if (text.empty()) {
        out.clear();
        return true;
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int n = static_cast<int>(text.size());
    const int need = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
    if (need <= 0) return false;
    out.resize(static_cast<std::size_t>(need));
    const int got = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), n, out.data(), need);
    if (got <= 0) return false;
    out.resize(static_cast<std::size_t>(got));
    return true;
}

bool IsUtfCodePage(UINT codePage) {
    if (codePage == CP_ACP) codePage = GetACP();
    return codePage == CP_UTF8 || codePage == CP_UTF7;
}

} // namespace

std::wstring NarrowToWide(std::string_view text, UINT codePage) {
    std::wstring out;
    if (ConvertAll(text, codePage, out)) return out;
    // Some sequence cannot be converted: keep the longest prefix that converts. No
    // character of any code page is longer than 4 bytes, so once 4 bytes past the
    // last good prefix still fail, the sequence there is the first bad one.
    constexpr std::size_t kLongestCharacter = 4;
    std::size_t good = 0;
    std::wstring best;
    std::wstring trial;
    for (std::size_t len = 1; len <= text.size() && len - good <= kLongestCharacter; ++len) {
        if (ConvertAll(text.substr(0, len), codePage, trial)) {
            good = len;
            best.swap(trial);
        }
    }
    return best;
}

bool TryWideToNarrow(std::wstring_view text, std::string& narrow, UINT codePage) {
    narrow.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int n = static_cast<int>(text.size());
    const bool utf = IsUtfCodePage(codePage);
    // UTF code pages refuse default characters; others report their use.
    const DWORD flags = utf ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultArg = utf ? nullptr : &usedDefault;
    const int need = WideCharToMultiByte(codePage, flags, text.data(), n, nullptr, 0, nullptr, usedDefaultArg);
    if (need <= 0 || usedDefault) return false;
    std::string out(static_cast<std::size_t>(need), '\0');
    const int got = WideCharToMultiByte(codePage, flags, text.data(), n, out.data(), need, nullptr, usedDefaultArg);
    if (got <= 0 || usedDefault) return false;
    out.resize(static_cast<std::size_t>(got));
    narrow.swap(out);
    return true;
}

std::string WideToNarrow(std::wstring_view text, UINT codePage) {
    std::string narrow;
    if (!TryWideToNarrow(text, narrow, codePage)) return std::string();
    return narrow;
}
