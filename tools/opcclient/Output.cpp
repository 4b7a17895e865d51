#include "Output.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <mutex>

namespace opcclient {

namespace {
std::mutex g_outputLock;

void Write(std::FILE* stream, const std::wstring& line) {
    std::lock_guard<std::mutex> lock(g_outputLock);
    const std::string text = Utf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}
}  // namespace

void InitOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

void Print(const std::wstring& line) { Write(stdout, line); }

void PrintError(const std::wstring& line) { Write(stderr, line); }

std::wstring JsonString(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += L"\\\""; break;
        case L'\\': out += L"\\\\"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\t': out += L"\\t"; break;
        default:
            if (c < 0x20) {
                wchar_t escape[8];
                std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + L"\"";
}

JsonObject& JsonObject::Add(const wchar_t* name, const std::wstring& json) {
    if (!body_.empty()) body_ += L",";
    body_ += JsonString(name) + L":" + json;
    return *this;
}

JsonArray& JsonArray::Add(const std::wstring& json) {
    if (!body_.empty()) body_ += L",";
    body_ += json;
    return *this;
}

}  // namespace opcclient
