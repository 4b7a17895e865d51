#include "module/Registrar.h"

#include "module/ModuleIds.h"

#include <oleauto.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <stdexcept>

using Microsoft::WRL::ComPtr;

namespace lx::reg {
namespace {

const std::wstring kServerClsid = lx::kServerClsidText;
const std::wstring kNodeClsid = L"{7A3E1C05-5B2D-4F60-9E11-2C8D0B6A4F01}";
const std::wstring kSetupClsid = L"{7A3E1C08-5B2D-4F60-9E11-2C8D0B6A4F01}";
const std::wstring kLibId = lx::kLibIdText;

Key K(std::wstring name, KeyFlag flag, std::vector<Value> values, std::vector<Key> subkeys = {}) {
    return Key{std::move(name), flag, std::move(values), std::move(subkeys)};
}
Value Default(std::wstring data) { return Value{L"", std::move(data)}; }
Value Named(std::wstring name, std::wstring data) { return Value{std::move(name), std::move(data)}; }

// Software\CorvanE\VELMARA\6\OPC, never removed, with `leaf` below it.
Key UserOpcPath(Key leaf) {
    Key opc = K(L"OPC", KeyFlag::NoRemove, {}, {std::move(leaf)});
    Key six = K(L"6", KeyFlag::NoRemove, {}, {std::move(opc)});
    Key velmara = K(L"VELMARA", KeyFlag::NoRemove, {}, {std::move(six)});
    Key corvane = K(L"CorvanE", KeyFlag::NoRemove, {}, {std::move(velmara)});
    return K(L"Software", KeyFlag::NoRemove, {}, {std::move(corvane)});
}

Script MakeAppIdScript() {
    return {{Hive::ClassesRoot,
             {K(L"AppID", KeyFlag::NoRemove, {},
                {K(lx::kAppIdText, KeyFlag::None, {Default(L"Velmara 6 OPC Server")})})}}};
}

Script MakeServerClassScript() {
    const std::wstring name = L"Velmara 6 OPC DA Server";
    return {{Hive::ClassesRoot,
             {K(lx::kProgId, KeyFlag::None, {Default(name)},
                {K(L"CLSID", KeyFlag::None, {Default(kServerClsid)}),
                 K(L"OPC", KeyFlag::ForceRemove, {Named(L"Vendor", L"Corvane Works, Ltd")})}),
              K(lx::kVersionIndependentProgId, KeyFlag::None, {Default(name)},
                {K(L"CLSID", KeyFlag::None, {Default(kServerClsid)}),
                 K(L"CurVer", KeyFlag::None, {Default(lx::kProgId)})}),
              K(L"CLSID", KeyFlag::NoRemove, {},
                {K(kServerClsid, KeyFlag::ForceRemove, {Default(name), Named(L"AppID", L"%APPID%")},
                   {K(L"ProgID", KeyFlag::None, {Default(lx::kProgId)}),
                    K(L"VersionIndependentProgID", KeyFlag::None, {Default(lx::kVersionIndependentProgId)}),
                    K(L"LocalServer32", KeyFlag::None, {Default(L"%MODULE%")}),
                    K(L"Implemented Categories", KeyFlag::None, {},
                      {K(L"{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}", KeyFlag::None,
                         {Default(L"OPC Data Access Servers Version 2.0")})})})})}}};
}

Script MakeNodePathScript() {
    return {{Hive::CurrentUser,
             {UserOpcPath(K(L"SERVER", KeyFlag::ForceRemove, {Named(lx::kNodeFilePathValue, L"%NODE_FILE_PATH%")}))}}};
}

// A class key of the earlier version: ForceRemove, so removal deletes it whole.
Key EarlierClass(const std::wstring& clsid, const std::wstring& name, const std::wstring& progId,
                 const std::wstring& independentProgId) {
    return K(clsid, KeyFlag::ForceRemove, {Default(name), Named(L"AppID", L"%APPID%")},
             {K(L"ProgID", KeyFlag::None, {Default(progId)}),
              K(L"VersionIndependentProgID", KeyFlag::None, {Default(independentProgId)}),
              K(L"LocalServer32", KeyFlag::None, {Default(L"%MODULE%")}),
              K(L"TypeLib", KeyFlag::None, {Default(kLibId)})});
}

Key EarlierProgId(const std::wstring& progId, const std::wstring& name, const std::wstring& clsid,
                  std::vector<Key> more = {}) {
    std::vector<Key> subkeys{K(L"CLSID", KeyFlag::None, {Default(clsid)})};
    for (auto& k : more) subkeys.push_back(std::move(k));
    return K(progId, KeyFlag::None, {Default(name)}, std::move(subkeys));
}

Script MakeEarlierVersionScript() {
    std::vector<Key> classes;
    classes.push_back(K(L"AppID", KeyFlag::NoRemove, {},
                        {K(lx::kAppIdText, KeyFlag::None, {Default(L"Velmara 6 OPC DA Server")}),
                         K(L"lx6opc.EXE", KeyFlag::None, {Named(L"AppID", L"%APPID%")})}));
    classes.push_back(EarlierProgId(L"Corvane.Lx6OpcServer.1", L"Velmara 6 OPC DA Server Class", kServerClsid,
                                    {K(L"OPC", KeyFlag::None, {Named(L"Vendor", L"Corvane")})}));
    classes.push_back(EarlierProgId(L"Corvane.Lx6OpcServer", L"Velmara OPC DA Server Class", kServerClsid,
                                    {K(L"CurVer", KeyFlag::None, {Default(L"Corvane.Lx6OpcServer.1")})}));
    classes.push_back(EarlierProgId(L"Corvane.Lx6Node.1", L"Lx6Node Class", kNodeClsid));
    classes.push_back(EarlierProgId(L"Corvane.Lx6Node", L"Lx6Node Class", kNodeClsid,
                                    {K(L"CurVer", KeyFlag::None, {Default(L"Corvane.Lx6Node.1")})}));
    classes.push_back(EarlierProgId(L"Corvane.Lx6OPCDAServerSetup.1", L"Lx6OPCDAServerSetup Class", kSetupClsid));
    classes.push_back(EarlierProgId(L"Corvane.Lx6OPCDAServerSetup", L"Lx6OPCDAServerSetup Class", kSetupClsid,
                                    {K(L"CurVer", KeyFlag::None, {Default(L"Corvane.Lx6OPCDAServerSetup.1")})}));
    classes.push_back(K(L"CLSID", KeyFlag::NoRemove, {},
                        {EarlierClass(kServerClsid, L"Velmara 6 OPC DA Server Class", L"Corvane.Lx6OpcServer.1",
                                      L"Corvane.Lx6OpcServer"),
                         EarlierClass(kNodeClsid, L"Lx6Node Class", L"Corvane.Lx6Node.1", L"Corvane.Lx6Node"),
                         EarlierClass(kSetupClsid, L"Lx6OPCDA ServerSetup Class", L"Corvane.Lx6OPCDAServerSetup.1",
                                      L"Corvane.Lx6OPCDAServerSetup")}));
    return {{Hive::ClassesRoot, std::move(classes)},
            {Hive::CurrentUser,
             {UserOpcPath(K(L"DA", KeyFlag::ForceRemove, {Named(lx::kNodeFilePathValue, L"%NODE_FILE_PATH%")}))}}};
}

// Substitutes %NAME% (case ignored) and "%%"; an unknown name is an error.
HRESULT Substitute(const std::wstring& text, const Replacements& replacements, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            out.push_back(text[i]);
            continue;
        }
        const size_t end = text.find(L'%', i + 1);
        if (end == std::wstring::npos)
            return E_UNEXPECTED;
        if (end == i + 1) {
            out.push_back(L'%');
        } else {
            const auto found = replacements.find(text.substr(i + 1, end - i - 1));
            if (found == replacements.end())
                return E_UNEXPECTED;
            out += found->second;
        }
        i = end;
    }
    return S_OK;
}

// Owns an opened registry key.
class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() { reset(); }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HKEY get() const { return key_; }
    HKEY* put() { reset(); return &key_; }
    void reset() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }
private:
    HKEY key_ = nullptr;
};

HRESULT FromWin32(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

bool Missing(LONG error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

HRESULT RegisterKey(HKEY parent, const Key& key, const Replacements& replacements) {
    if (key.flag == KeyFlag::ForceRemove) {
        const LONG deleted = RegDeleteTreeW(parent, key.name.c_str());
        if (deleted == ERROR_SUCCESS || Missing(deleted))
            RegDeleteKeyW(parent, key.name.c_str());   // RegDeleteTree leaves the key itself on some systems
    }
    KeyHandle handle;
    LONG error = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, handle.put(), nullptr);
    if (error != ERROR_SUCCESS)
        return FromWin32(error);
    for (const Value& value : key.values) {
        std::wstring data;
        if (HRESULT hr = Substitute(value.data, replacements, data); FAILED(hr))
            return hr;
        error = RegSetValueExW(handle.get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        if (error != ERROR_SUCCESS)
            return FromWin32(error);
    }
    for (const Key& sub : key.subkeys)
        if (HRESULT hr = RegisterKey(handle.get(), sub, replacements); FAILED(hr))
            return hr;
    return S_OK;
}

HRESULT RemoveKey(HKEY parent, const Key& key) {
    if (key.flag == KeyFlag::ForceRemove) {
        LONG error = RegDeleteTreeW(parent, key.name.c_str());
        if (error == ERROR_SUCCESS)
            error = RegDeleteKeyW(parent, key.name.c_str());
        return (error == ERROR_SUCCESS || Missing(error)) ? S_OK : FromWin32(error);
    }
    HRESULT result = S_OK;
    bool empty = false;
    {
        KeyHandle handle;
        const LONG error = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, handle.put());
        if (Missing(error))
            return S_OK;
        if (error != ERROR_SUCCESS)
            return FromWin32(error);
        for (const Key& sub : key.subkeys) {
            const HRESULT hr = RemoveKey(handle.get(), sub);
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
        DWORD subkeys = 0;
        if (RegQueryInfoKeyW(handle.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            empty = subkeys == 0;
        if (key.flag == KeyFlag::NoRemove || !empty) {
            // The key stays; the named values this script put there go.
            for (const Value& value : key.values)
                if (!value.name.empty())
                    RegDeleteValueW(handle.get(), value.name.c_str());
        }
    }
    if (key.flag == KeyFlag::None && empty) {
        const LONG error = RegDeleteKeyW(parent, key.name.c_str());
        if (error != ERROR_SUCCESS && !Missing(error) && SUCCEEDED(result))
            result = FromWin32(error);
    }
    return result;
}

} // namespace

bool CaseInsensitiveLess::operator()(const std::wstring& a, const std::wstring& b) const {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

const Script& ScriptById(int id) {
    static const Script appId = MakeAppIdScript();
    static const Script serverClass = MakeServerClassScript();
    static const Script nodePath = MakeNodePathScript();
    static const Script earlier = MakeEarlierVersionScript();
    switch (id) {
    case SCRIPT_APPID: return appId;
    case SCRIPT_SERVER_CLASS: return serverClass;
    case SCRIPT_NODE_PATH: return nodePath;
    case SCRIPT_EARLIER_VERSION: return earlier;
    default: throw std::out_of_range("no registry script with this id");
    }
}

Replacements MakeReplacements(Replacements caller, const std::wstring& modulePath) {
    caller[L"APPID"] = lx::kAppIdText;
    caller[L"Module"] = L"\"" + modulePath + L"\"";
    caller[L"Module_Raw"] = modulePath;
    return caller;
}

HRESULT Apply(const Script& script, bool registering, const Replacements& replacements, const Roots& roots) {
    HRESULT result = S_OK;
    for (const HiveKeys& hive : script) {
        const HKEY root = hive.hive == Hive::ClassesRoot ? roots.classesRoot : roots.currentUser;
        for (const Key& key : hive.keys) {
            const HRESULT hr = registering ? RegisterKey(root, key, replacements) : RemoveKey(root, key);
            if (FAILED(hr)) {
                if (registering)
                    return hr;
                if (SUCCEEDED(result))
                    result = hr;
            }
        }
    }
    return result;
}

HRESULT ModulePath(std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (n == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (n >= MAX_PATH || GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    path.assign(buffer, n);
    return S_OK;
}

HRESULT RunScript(int id, bool registering, const Replacements& caller, const std::wstring& modulePath,
                  const Roots& roots) {
    try {
        if (modulePath.size() >= MAX_PATH)
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        return Apply(ScriptById(id), registering, MakeReplacements(caller, modulePath), roots);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

namespace {

// The type library: from the executable itself, else from "<executable>.tlb".
HRESULT LoadServerTypeLibrary(const std::wstring& modulePath, ComPtr<ITypeLib>& library, std::wstring& file) {
    HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) {
        file = modulePath;
        return hr;
    }
    std::wstring tlb = modulePath;
    const auto slash = tlb.find_last_of(L"\\/");
    const auto dot = tlb.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        tlb.erase(dot);
    tlb += L".tlb";
    hr = LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, library.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr))
        file = tlb;
    return hr;
}

Replacements NodePath(const std::wstring& path) {
    Replacements r;
    r[L"NODE_FILE_PATH"] = path;
    return r;
}

} // namespace

HRESULT RegisterTypeLibrary(const std::wstring& modulePath) {
    ComPtr<ITypeLib> library;
    std::wstring file;
    HRESULT hr = LoadServerTypeLibrary(modulePath, library, file);
    if (FAILED(hr))
        return hr;
    const auto slash = file.find_last_of(L"\\/");
    std::wstring directory = slash == std::wstring::npos ? std::wstring() : file.substr(0, slash);
    return RegisterTypeLib(library.Get(), file.data(), directory.empty() ? nullptr : directory.data());
}

HRESULT UnregisterTypeLibrary(const std::wstring& modulePath) {
    ComPtr<ITypeLib> library;
    std::wstring file;
    HRESULT hr = LoadServerTypeLibrary(modulePath, library, file);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    return UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
}

HRESULT RegisterServer(const std::wstring& modulePath, const Roots& roots) {
    RunScript(SCRIPT_EARLIER_VERSION, false, NodePath(L""), modulePath, roots);
    HRESULT hr = RunScript(SCRIPT_APPID, true, {}, modulePath, roots);
    if (FAILED(hr))
        return hr;
    hr = RunScript(SCRIPT_SERVER_CLASS, true, {}, modulePath, roots);
    if (FAILED(hr))
        return hr;
    return roots.typeLibrary ? RegisterTypeLibrary(modulePath) : S_OK;
}

HRESULT UnregisterServer(const std::wstring& modulePath, const Roots& roots) {
    HRESULT hr = RunScript(SCRIPT_SERVER_CLASS, false, {}, modulePath, roots);
    if (SUCCEEDED(hr) && roots.typeLibrary)
        hr = UnregisterTypeLibrary(modulePath);
    if (SUCCEEDED(hr))
        hr = RunScript(SCRIPT_APPID, false, {}, modulePath, roots);
    RunScript(SCRIPT_EARLIER_VERSION, false, NodePath(L""), modulePath, roots);
    RunScript(SCRIPT_NODE_PATH, false, NodePath(L""), modulePath, roots);
    return hr;
}

HRESULT RememberNodePath(const std::wstring& nodePath, const std::wstring& modulePath, const Roots& roots) {
    return RunScript(SCRIPT_NODE_PATH, true, NodePath(nodePath), modulePath, roots);
}

} // namespace lx::reg
