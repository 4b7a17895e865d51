#include "runtime/NodeSelection.h"

#include "module/CommandLine.h"
#include "module/ModuleIds.h"
#include "module/StartupFailure.h"
#include "nrk/NRK_Server.h"

#include <regex>
#include <system_error>

namespace fs = std::filesystem;

namespace lx::node {

RegistryConfigReader::RegistryConfigReader(HKEY root) : root_(root) {}

RegistryConfigReader::~RegistryConfigReader() {
    if (key_) RegCloseKey(key_);
}

bool RegistryConfigReader::Open() {
    if (key_) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
    return RegOpenKeyExW(root_, lx::kConfigKey, 0, KEY_READ, &key_) == ERROR_SUCCESS;
}

LONG RegistryConfigReader::Query(DWORD* type, BYTE* buffer, DWORD* bytes) {
    if (!key_) return ERROR_INVALID_HANDLE;
    return RegQueryValueExW(key_, lx::kNodeFilePathValue, nullptr, type, buffer, bytes);
}

std::wstring ReadNodeFilePath(ConfigReader& reader) {
    if (!reader.Open())
        throw StartupFailure(IDS_NODE_NOT_DEFINED);
    wchar_t buffer[kMaxNodePath] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(buffer);
    const LONG error = reader.Query(&type, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (error != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        throw StartupFailure(IDS_NODE_NOT_DEFINED);
    if (bytes == 0 || bytes > sizeof(buffer) || bytes % sizeof(wchar_t) != 0)
        throw StartupFailure(IDS_NODE_NOT_DEFINED);
    const size_t chars = bytes / sizeof(wchar_t);
    if (buffer[chars - 1] != L'\0')
        throw StartupFailure(IDS_NODE_NOT_DEFINED);
    std::wstring value(buffer);   // up to the first NUL
    if (value.empty())
        throw StartupFailure(IDS_NODE_NOT_DEFINED);
    return value;
}

bool HasWildcard(const std::wstring& value) {
    return value.find_first_of(L"*?") != std::wstring::npos;
}

std::wstring PatternToRegex(const std::wstring& fileNamePattern) {
    std::wstring regex;
    for (wchar_t c : fileNamePattern) {
        switch (c) {
        case L'.': regex += L"\\."; break;
        case L'*': regex += L".*"; break;
        case L'?': regex += L".?"; break;
        // Characters with a meaning in the expression stand for themselves in a file
        // name ("unit(2).dbb", "a+b.dbb", "[x].dbb").
        case L'^': case L'$': case L'|': case L'(': case L')': case L'[': case L']':
        case L'{': case L'}': case L'+': case L'\\':
            regex += L'\\';
            regex += c;
            break;
        default: regex += c;
        }
    }
    return regex;
}

bool MatchesPattern(const std::wstring& fileNamePattern, const std::wstring& name) {
    try {
        const std::wregex expression(PatternToRegex(ToUpper(fileNamePattern)), std::regex_constants::extended);
        return std::regex_match(ToUpper(name), expression);
    } catch (const std::regex_error&) {
        return false;
    }
}

std::vector<fs::path> CandidateDirectories(const fs::path& directory, const fs::path& currentDir,
                                           const fs::path& exeDir) {
    if (!directory.empty() && directory.has_root_name() && directory.has_root_directory())
        return {directory};
    if (directory.empty())
        return {currentDir, exeDir};
    return {currentDir / directory, exeDir / directory};
}

namespace {

bool IsRegularFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The first regular file in `directory` whose name matches; empty if none.
fs::path FindMatch(const fs::path& directory, const std::wstring& pattern) {
    std::error_code ec;
    if (!fs::is_directory(directory, ec))
        return {};
    fs::directory_iterator it(directory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && MatchesPattern(pattern, it->path().filename().wstring()))
            return directory / it->path().filename();
    }
    return {};
}

} // namespace

Selection SelectNodeFile(const std::wstring& value, const fs::path& currentDir, const fs::path& exeDir) {
    Selection selection;
    if (HasWildcard(value)) {
        const fs::path pattern(value);
        const std::wstring fileName = pattern.filename().wstring();
        fs::path chosen;
        for (const fs::path& candidate : CandidateDirectories(pattern.parent_path(), currentDir, exeDir)) {
            chosen = FindMatch(candidate, fileName);
            if (!chosen.empty())
                break;
        }
        if (chosen.empty())
            throw StartupFailure(IDS_NODE_NOT_FOUND);
        selection.nodePath = chosen.wstring();
    } else {
        selection.nodePath = value;
    }

    const fs::path path(selection.nodePath);
    if (path.is_absolute()) {
        selection.resolved = path;
    } else if (IsRegularFile(currentDir / path)) {
        selection.resolved = currentDir / path;
    } else if (IsRegularFile(exeDir / path)) {
        selection.resolved = exeDir / path;
    } else {
        throw StartupFailure(IDS_NODE_NOT_FOUND);
    }
    std::error_code ec;
    const fs::file_status status = fs::status(selection.resolved, ec);
    if (ec || !fs::exists(status) || !fs::is_regular_file(status))
        throw StartupFailure(IDS_NODE_NOT_FOUND);
    return selection;
}

std::string ToAnsi(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
}

void LoadAndCheck(NRK_Server& runtime, const fs::path& resolved) {
    std::string directory = ToAnsi(resolved.parent_path().wstring());
    if (directory.empty() || (directory.back() != '\\' && directory.back() != '/'))
        directory += '\\';
    const std::string fileName = ToAnsi(resolved.filename().wstring());
    if (runtime.LoadNode(directory.c_str(), fileName.c_str()) != 0)
        throw StartupFailure(IDS_NODE_LOAD_FAILED);
    int type = -1;
    if (!runtime.GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &type) || type != 1)
        throw StartupFailure(IDS_INVALID_NODE_TYPE);
}

std::wstring SelectAndLoadNode(ConfigReader& reader, NRK_Server& runtime, const fs::path& currentDir,
                               const fs::path& exeDir) {
    const std::wstring value = ReadNodeFilePath(reader);
    const Selection selection = SelectNodeFile(value, currentDir, exeDir);
    LoadAndCheck(runtime, selection.resolved);
    return selection.nodePath;
}

} // namespace lx::node
