// Standard output of opcclient: whole UTF-8 lines, "\n" only (also when piped), and small JSON builders.
#pragma once

#include <string>

namespace opcclient {

// Puts standard output and error into binary mode: the C runtime's text mode would turn every "\n" into "\r\n",
// which scripts reading a pipe see as part of the line.
void InitOutput();

std::string Utf8(const std::wstring& text);

// One line (a "\n" is added), whole even when callbacks print from other threads.
void Print(const std::wstring& line);
void PrintError(const std::wstring& line);

// A JSON string literal of the text, quoted and escaped.
std::wstring JsonString(const std::wstring& text);

// {"name": value, ...} in the order added; values are JSON texts.
class JsonObject {
public:
    JsonObject& Add(const wchar_t* name, const std::wstring& json);
    JsonObject& AddString(const wchar_t* name, const std::wstring& text) { return Add(name, JsonString(text)); }
    JsonObject& AddNumber(const wchar_t* name, unsigned long long value) {
        return Add(name, std::to_wstring(value));
    }
    JsonObject& AddBool(const wchar_t* name, bool value) { return Add(name, value ? L"true" : L"false"); }
    std::wstring Text() const { return L"{" + body_ + L"}"; }

private:
    std::wstring body_;
};

// [value, ...]; values are JSON texts.
class JsonArray {
public:
    JsonArray& Add(const std::wstring& json);
    std::wstring Text() const { return L"[" + body_ + L"]"; }

private:
    std::wstring body_;
};

}  // namespace opcclient
