// Registration of the OPC proxy/stub DLL.
//
// The OPC interfaces are machine-wide: HKCR\Interface\{IID}\ProxyStubClsid32 names one proxy DLL for every
// client and server on the machine, normally the OPC Foundation's core components. This DLL therefore
// registers itself only for interfaces that have no usable proxy yet:
//
//   DllRegisterServer            takes an interface if it has no ProxyStubClsid32, if it already names us, or if
//                                the class it names has no InprocServer32 file; otherwise leaves it alone.
//                                S_OK: every interface is ours; S_FALSE: some stay with another proxy DLL.
//   DllRegisterServer with LX6OPCPS_FORCE=1 in the environment, or DllInstall(TRUE, L"force")
//   (regsvr32 /n /i:force lx6opcps.dll): takes every interface; a replaced entry is remembered beside ours.
//   DllUnregisterServer          removes only entries that name our class, restoring a remembered one, and
//                                our class key only if it points at this file.
//   DllInstall(FALSE, ...)       same as DllUnregisterServer.

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

extern "C" {
// ProxyDllData.c
int LxProxyInterface(unsigned index, const IID** iid, const char** name, unsigned long* methods);
const CLSID* LxProxyClsid(void);
HINSTANCE LxProxyModule(void);
}

namespace {

constexpr wchar_t kPreviousValue[] = L"lx6opcps.PreviousProxyStubClsid32";
constexpr wchar_t kForceVariable[] = L"LX6OPCPS_FORCE";

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

std::wstring ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(LxProxyModule(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

// The string value `name` ("" = default) of HKCR\sub; false if the key or the value is missing.
bool ReadString(const std::wstring& sub, const wchar_t* name, std::wstring& out) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
        ERROR_SUCCESS)
        return false;
    out.assign(data.data());
    if (type == REG_EXPAND_SZ) {
        DWORD n = ExpandEnvironmentStringsW(out.c_str(), nullptr, 0);
        std::vector<wchar_t> expanded(n + 1, L'\0');
        if (n && ExpandEnvironmentStringsW(out.c_str(), expanded.data(), n)) out.assign(expanded.data());
    }
    return true;
}

LSTATUS WriteString(const std::wstring& sub, const wchar_t* name, const std::wstring& value) {
    RegKey key;
    LSTATUS rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                 nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void DeleteValue(const std::wstring& sub, const wchar_t* name) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name);
}

// Does the proxy class `clsid` (registry text) lead to an existing in-process server file?
bool ProxyClassUsable(const std::wstring& clsid) {
    std::wstring path;
    if (!ReadString(L"CLSID\\" + clsid + L"\\InprocServer32", L"", path)) return false;
    if (path.size() >= 2 && path.front() == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
    if (path.empty()) return false;
    if (path.find(L'\\') == std::wstring::npos && path.find(L'/') == std::wstring::npos) {
        wchar_t found[MAX_PATH];
        return SearchPathW(nullptr, path.c_str(), nullptr, MAX_PATH, found, nullptr) != 0;
    }
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ForceRequested() {
    wchar_t value[8] = {};
    DWORD n = GetEnvironmentVariableW(kForceVariable, value, 8);
    return n > 0 && n < 8 && value[0] != L'0';
}

struct InterfaceEntry {
    std::wstring iid;
    std::wstring name;
    unsigned long methods;
};

std::vector<InterfaceEntry> Interfaces() {
    std::vector<InterfaceEntry> list;
    const IID* iid = nullptr;
    const char* name = nullptr;
    unsigned long methods = 0;
    for (unsigned i = 0; LxProxyInterface(i, &iid, &name, &methods); ++i)
        list.push_back({GuidText(*iid), std::wstring(name, name + std::strlen(name)), methods});
    return list;
}

HRESULT Register(bool force) {
    try {
        const std::wstring path = ModulePath();
        if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
        const std::wstring ours = GuidText(*LxProxyClsid());
        const std::wstring classKey = L"CLSID\\" + ours;
        LSTATUS rc = WriteString(classKey, L"", L"PSFactoryBuffer");
        if (rc == ERROR_SUCCESS) rc = WriteString(classKey + L"\\InprocServer32", L"", path);
        if (rc == ERROR_SUCCESS) rc = WriteString(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);

        bool skipped = false;
        for (const InterfaceEntry& entry : Interfaces()) {
            const std::wstring key = L"Interface\\" + entry.iid;
            std::wstring current;
            const bool present = ReadString(key + L"\\ProxyStubClsid32", L"", current) && !current.empty();
            const bool mine = present && SameText(current, ours);
            if (present && !mine) {
                if (!force && ProxyClassUsable(current)) {
                    skipped = true;
                    continue;
                }
                std::wstring saved;
                if (!ReadString(key + L"\\ProxyStubClsid32", kPreviousValue, saved)) {
                    rc = WriteString(key + L"\\ProxyStubClsid32", kPreviousValue, current);
                    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
                }
            }
            rc = WriteString(key, L"", entry.name);
            if (rc == ERROR_SUCCESS) rc = WriteString(key + L"\\NumMethods", L"", std::to_wstring(entry.methods));
            if (rc == ERROR_SUCCESS) rc = WriteString(key + L"\\ProxyStubClsid32", L"", ours);
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        }
        return skipped ? S_FALSE : S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Unregister() {
    try {
        const std::wstring ours = GuidText(*LxProxyClsid());
        for (const InterfaceEntry& entry : Interfaces()) {
            const std::wstring key = L"Interface\\" + entry.iid;
            std::wstring current;
            if (!ReadString(key + L"\\ProxyStubClsid32", L"", current) || !SameText(current, ours)) continue;
            std::wstring previous;
            if (ReadString(key + L"\\ProxyStubClsid32", kPreviousValue, previous) && !previous.empty()) {
                LSTATUS rc = WriteString(key + L"\\ProxyStubClsid32", L"", previous);
                if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
                DeleteValue(key + L"\\ProxyStubClsid32", kPreviousValue);
                continue;
            }
            RegDeleteTreeW(HKEY_CLASSES_ROOT, (key + L"\\ProxyStubClsid32").c_str());
            RegDeleteTreeW(HKEY_CLASSES_ROOT, (key + L"\\NumMethods").c_str());
            RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());  // fails, and keeps the key, if others use it
        }
        std::wstring server;
        const std::wstring classKey = L"CLSID\\" + ours;
        if (ReadString(classKey + L"\\InprocServer32", L"", server) && SameText(server, ModulePath()))
            RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey.c_str());
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

extern "C" {

HRESULT WINAPI DllRegisterServer() { return Register(ForceRequested()); }

HRESULT WINAPI DllUnregisterServer() { return Unregister(); }

HRESULT WINAPI DllInstall(BOOL install, PCWSTR commandLine) {
    if (!install) return Unregister();
    bool force = ForceRequested();
    if (commandLine) {
        std::wstring text(commandLine);
        for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
        force = force || text.find(L"force") != std::wstring::npos;
    }
    return Register(force);
}

}  // extern "C"
