// The process command line: tokens and the switches they carry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lx {

// Splits the whole command line (program path included) into tokens.
// Every space or tab separates, so adjacent separators give empty tokens. A token
// that begins with a double quote absorbs the following ones (joined with one
// space) until it ends with a quote; then its quotes are removed.
std::vector<std::wstring> TokeniseCommandLine(std::wstring_view line);

enum class TokenAction {
    None,        // ignored
    Unregister,  // "/UNREGSERVER", "-UNREGSERVER"
    Register,    // "/REGSERVER", "-REGSERVER"
    AutoStart,   // "/EMBEDDING", "/AUTOMATION", "/RUN" and their "-" forms
    NodeFile,    // any other token ending in ".DBB"
};

// What one token asks for; the comparison ignores case and takes the whole token.
TokenAction ClassifyToken(const std::wstring& token);

// Upper-case copy (locale-independent, covers non-ASCII letters).
std::wstring ToUpper(std::wstring_view text);

// The executable directory: the parent of the program path (the first token).
std::wstring ExecutableDirectory(const std::wstring& programPath);

} // namespace lx
