#include "module/CommandLine.h"

#include <windows.h>

namespace lx {

std::vector<std::wstring> TokeniseCommandLine(std::wstring_view line) {
    std::vector<std::wstring> raw;
    std::wstring current;
    for (wchar_t c : line) {
        if (c == L' ' || c == L'\t') {
            raw.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    raw.push_back(std::move(current));

    std::vector<std::wstring> tokens;
    for (size_t i = 0; i < raw.size(); ++i) {
        std::wstring token = std::move(raw[i]);
        if (!token.empty() && token.front() == L'"') {
            auto closed = [&token] { return token.size() > 1 && token.back() == L'"'; };
            while (!closed() && i + 1 < raw.size()) {
                token.push_back(L' ');
                token += raw[++i];
            }
            if (token.size() == 1)
                token.clear();
            else if (closed())
                token = token.substr(1, token.size() - 2);
            else
                token.erase(0, 1);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::wstring ToUpper(std::wstring_view text) {
    std::wstring upper(text);
    if (!upper.empty())
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

TokenAction ClassifyToken(const std::wstring& token) {
    const std::wstring upper = ToUpper(token);
    if (upper == L"/UNREGSERVER" || upper == L"-UNREGSERVER")
        return TokenAction::Unregister;
    if (upper == L"/REGSERVER" || upper == L"-REGSERVER")
        return TokenAction::Register;
    for (const wchar_t* s : {L"/EMBEDDING", L"-EMBEDDING", L"/AUTOMATION", L"-AUTOMATION", L"/RUN", L"-RUN"})
        if (upper == s)
            return TokenAction::AutoStart;
    static constexpr std::wstring_view kDbb = L".DBB";
    if (upper.size() >= kDbb.size() && upper.compare(upper.size() - kDbb.size(), kDbb.size(), kDbb) == 0)
        return TokenAction::NodeFile;
    return TokenAction::None;
}

std::wstring ExecutableDirectory(const std::wstring& programPath) {
    const auto cut = programPath.find_last_of(L"\\/");
    if (cut == std::wstring::npos) {
        // Started by a bare name (found through the search path): the directory of
        // the running image is the only sound answer.
        wchar_t buffer[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return L".";
        std::wstring image(buffer, n);
        const auto slash = image.find_last_of(L"\\/");
        return slash == std::wstring::npos ? std::wstring(L".") : image.substr(0, slash);
    }
    // Keep the root's separator ("C:\x.exe" -> "C:\").
    if (cut == 0 || (cut == 2 && programPath[1] == L':'))
        return programPath.substr(0, cut + 1);
    return programPath.substr(0, cut);
}

} // namespace lx
