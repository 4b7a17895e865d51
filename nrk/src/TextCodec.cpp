#include "TextCodec.h"

#include "nrk/NRK_Server.h"

#include <windows.h>

#include <cstring>

namespace nrk {
namespace {

bool ascii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

bool toWide(UINT codePage, std::string_view in, std::wstring& out) {
    out.clear();
    if (in.empty()) return true;
    if (in.size() > 0x7fffffff / 2) return false;
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) return false;
    out.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out.data(),
                               n) == n;
}

bool fromWide(UINT codePage, const std::wstring& in, std::string& out) {
    out.clear();
    if (in.empty()) return true;
    BOOL usedDefault = FALSE;
    const bool utf = codePage == CP_UTF8 || (codePage == CP_ACP && GetACP() == CP_UTF8);
    DWORD flags = utf ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL* used = utf ? nullptr : &usedDefault;
    int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    out.resize(static_cast<std::size_t>(n));
    n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr, used);
    return n > 0 && !usedDefault;
}

} // namespace

bool validUtf8(std::string_view text) {
    if (ascii(text)) return true;
    std::wstring w;
    return toWide(CP_UTF8, text, w);
}

bool utf8ToAnsi(std::string_view utf8, std::string& out) {
    if (ascii(utf8)) {
        out.assign(utf8);
        return true;
    }
    std::wstring w;
    return toWide(CP_UTF8, utf8, w) && fromWide(CP_ACP, w, out);
}

bool ansiToUtf8(std::string_view ansi, std::string& out) {
    if (ascii(ansi)) {
        out.assign(ansi);
        return true;
    }
    std::wstring w;
    return toWide(CP_ACP, ansi, w) && fromWide(CP_UTF8, w, out);
}

bool copyOut(std::string_view text, char* buffer, int size) {
    if (!buffer || size <= 0) return false;
    if (text.size() + 1 > static_cast<std::size_t>(size)) {
        buffer[0] = 0;
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = 0;
    return true;
}

std::size_t ansiPrefix(std::string_view text, std::size_t limit) {
    if (limit >= text.size()) return text.size();
    if (GetACP() == CP_UTF8) {
        while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
        return limit;
    }
    std::size_t end = 0;
    while (end < limit) {
        const std::size_t step = IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[end])) ? 2 : 1;
        if (end + step > limit) break;
        end += step;
    }
    return end;
}

bool copyText(std::string_view text, char* buffer) {
    if (!buffer) return false;
    const std::size_t n = ansiPrefix(text, NRK_TEXT_SIZE - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return true;
}

bool utf8ToWide(std::string_view utf8, std::wstring& out) { return toWide(CP_UTF8, utf8, out); }
bool ansiToWide(std::string_view ansi, std::wstring& out) { return toWide(CP_ACP, ansi, out); }

} // namespace nrk
