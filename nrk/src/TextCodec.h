// Text at the boundary: the runtime keeps UTF-8, callers speak the user's ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace nrk {

// UTF-8 to the ANSI code page; false when a character cannot be represented
// (or the UTF-8 is invalid).
bool utf8ToAnsi(std::string_view utf8, std::string& out);
// ANSI code page to UTF-8; false when the text is not valid in that code page.
bool ansiToUtf8(std::string_view ansi, std::string& out);
// True when the text is well-formed UTF-8.
bool validUtf8(std::string_view text);
// Copies text with its NUL into buffer; false (buffer "") when it does not fit.
bool copyOut(std::string_view text, char* buffer, int size);
// Copies text with its NUL into a getter's buffer of NRK_TEXT_SIZE bytes; a longer text
// is cut at the last whole character of the ANSI code page that fits. False only for NULL.
bool copyText(std::string_view text, char* buffer);
// The length of the longest prefix of at most `limit` bytes that ends at a character
// boundary of the ANSI code page.
std::size_t ansiPrefix(std::string_view text, std::size_t limit);
// UTF-8 to UTF-16 for file names and console output; false on invalid input.
bool utf8ToWide(std::string_view utf8, std::wstring& out);
bool ansiToWide(std::string_view ansi, std::wstring& out);

} // namespace nrk
