// Selection, load and type check of the startup node.
//
// The node file is named by the per-user value NodeFilePath. A value with '*' or
// '?' in its file name is a pattern searched in candidate directories; any other
// value is a path, resolved against the current and then the executable directory.
// Every failure throws lx::StartupFailure with the id of its message
// (4096 not defined, 4097 not found, 4098 not loaded, 4103 wrong type).
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

class NRK_Server;

namespace lx::node {

// Reads the configuration value the way RegQueryValueExW does.
class ConfigReader {
public:
    virtual ~ConfigReader() = default;
    // Opens the configuration key; false if it cannot be opened.
    virtual bool Open() = 0;
    // Reads NodeFilePath into buffer (*bytes in: its size; out: the data size);
    // returns a Win32 error code (ERROR_MORE_DATA when the buffer is too small).
    virtual LONG Query(DWORD* type, BYTE* buffer, DWORD* bytes) = 0;
};

// The real key: HKEY_CURRENT_USER\Software\CorvanE\VELMARA\6\OPC\SERVER.
class RegistryConfigReader : public ConfigReader {
public:
    explicit RegistryConfigReader(HKEY root = HKEY_CURRENT_USER);
    ~RegistryConfigReader() override;
    RegistryConfigReader(const RegistryConfigReader&) = delete;
    RegistryConfigReader& operator=(const RegistryConfigReader&) = delete;
    bool Open() override;
    LONG Query(DWORD* type, BYTE* buffer, DWORD* bytes) override;
private:
    HKEY root_;
    HKEY key_ = nullptr;
};

// Longest accepted value: 259 characters and the terminating NUL.
constexpr size_t kMaxNodePath = 260;

// The configured value: a NUL-terminated REG_SZ or REG_EXPAND_SZ (not expanded) of
// even byte length, not empty, shorter than kMaxNodePath. Otherwise 4096.
std::wstring ReadNodeFilePath(ConfigReader& reader);

// The regular expression for a file-name pattern: "." -> "\.", "*" -> ".*",
// "?" -> ".?" (zero or one character); every other character stands for itself.
std::wstring PatternToRegex(const std::wstring& fileNamePattern);

// True if the whole name matches the pattern, case ignored.
bool MatchesPattern(const std::wstring& fileNamePattern, const std::wstring& name);

bool HasWildcard(const std::wstring& value);

// Directories searched for a pattern whose directory part is `directory`.
std::vector<std::filesystem::path> CandidateDirectories(const std::filesystem::path& directory,
                                                        const std::filesystem::path& currentDir,
                                                        const std::filesystem::path& exeDir);

struct Selection {
    std::wstring nodePath;              // as chosen (the pattern's match or the value itself)
    std::filesystem::path resolved;     // the existing file that is loaded
};

// Steps from the value to an existing regular file (4097 when there is none).
Selection SelectNodeFile(const std::wstring& value, const std::filesystem::path& currentDir,
                         const std::filesystem::path& exeDir);

// LoadNode with the file's directory (ending in '\') and name in the ANSI code page
// (4098 when refused), then the type check GetNodeProperty(129) == 1 (4103).
void LoadAndCheck(NRK_Server& runtime, const std::filesystem::path& resolved);

// The whole operation; returns the node path to keep in the module.
std::wstring SelectAndLoadNode(ConfigReader& reader, NRK_Server& runtime, const std::filesystem::path& currentDir,
                               const std::filesystem::path& exeDir);

// Wide text in the ANSI code page.
std::string ToAnsi(const std::wstring& text);

} // namespace lx::node
