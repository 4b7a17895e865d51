#include "RegistryDump.h"

#include <cstdio>
#include <vector>

namespace lxtest {
namespace {

void Walk(HKEY key, const std::wstring& path, std::set<std::wstring>& out) {
    out.insert(L"K " + path);
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(bytes + sizeof(wchar_t), 0);
        nameLength = 16384;
        DWORD size = bytes;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size);
        std::wstring text;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            text.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') text.pop_back();
        } else {
            wchar_t hex[4];
            text = L"hex(" + std::to_wstring(type) + L"):";
            for (DWORD b = 0; b < size; ++b) {
                std::swprintf(hex, 4, L"%02x", data[b]);
                text += hex;
            }
        }
        out.insert(L"V " + path + L"|" + (nameLength ? std::wstring(name, nameLength) : L"(default)") + L"=" + text);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            Walk(sub, path + L"\\" + name, out);
            RegCloseKey(sub);
        }
    }
}

} // namespace

std::set<std::wstring> DumpRegistry(HKEY root, const std::wstring& path) {
    std::set<std::wstring> out;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    Walk(key, path, out);
    RegCloseKey(key);
    return out;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

ScratchRegistry::ScratchRegistry(const std::wstring& name)
    : path_(L"Software\\lx6opc-test\\" + name + L"-" + std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegCreateKeyExW(HKEY_CURRENT_USER, (path_ + L"\\HKCR").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &classes_, nullptr);
    RegCreateKeyExW(HKEY_CURRENT_USER, (path_ + L"\\HKCU").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user_,
                    nullptr);
}

ScratchRegistry::~ScratchRegistry() {
    if (classes_) RegCloseKey(classes_);
    if (user_) RegCloseKey(user_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

} // namespace lxtest
