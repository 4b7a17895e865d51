// The registry entries of the server: four scripts of keys, values and key flags,
// applied for registration or removal with %NAME% replacements.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace lx::reg {

enum class KeyFlag {
    None,         // created if missing; on removal deleted after its subkeys when none is left
    ForceRemove,  // on registration deleted with its subtree first; on removal deleted whole
    NoRemove,     // never deleted on removal (its subkeys are processed)
};

enum class Hive { ClassesRoot, CurrentUser };

struct Value {
    std::wstring name;   // empty: the key's default value
    std::wstring data;   // REG_SZ, may hold %NAME% replacements
};

struct Key {
    std::wstring name;   // one path component
    KeyFlag flag = KeyFlag::None;
    std::vector<Value> values;
    std::vector<Key> subkeys;
};

struct HiveKeys {
    Hive hive;
    std::vector<Key> keys;
};

using Script = std::vector<HiveKeys>;

// The script of one resource id (101, 102, 104, 105); throws std::out_of_range for others.
const Script& ScriptById(int id);

// The registry roots a script run writes under: the real hives, or scratch keys in tests.
struct Roots {
    HKEY classesRoot = HKEY_CLASSES_ROOT;
    HKEY currentUser = HKEY_CURRENT_USER;
    bool typeLibrary = true;   // register / unregister the type library too
};

// Replacement names are matched without regard to case.
struct CaseInsensitiveLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};
using Replacements = std::map<std::wstring, std::wstring, CaseInsensitiveLess>;

// The caller's replacements, then "APPID", then "Module" (quoted) and "Module_Raw".
Replacements MakeReplacements(Replacements caller, const std::wstring& modulePath);

// Writes (registering) or deletes (removing) the keys of a script in its order.
HRESULT Apply(const Script& script, bool registering, const Replacements& replacements, const Roots& roots);

// The executable's full path; HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) if it
// does not fit into MAX_PATH characters.
HRESULT ModulePath(std::wstring& path);

// One script run as the server does it: replacements collected (the caller's,
// APPID, Module, Module_Raw from modulePath), then the keys of script `id`.
HRESULT RunScript(int id, bool registering, const Replacements& caller, const std::wstring& modulePath,
                  const Roots& roots = Roots());

// The full operations behind "/RegServer", "/UnregServer" and a ".DBB" argument.
// modulePath is the executable's path; the type library is looked for in it and then
// beside it with the extension ".tlb".
HRESULT RegisterServer(const std::wstring& modulePath, const Roots& roots = Roots());
HRESULT UnregisterServer(const std::wstring& modulePath, const Roots& roots = Roots());
HRESULT RememberNodePath(const std::wstring& nodePath, const std::wstring& modulePath,
                         const Roots& roots = Roots());

// Only the type-library part of registration (tests and the steps above).
HRESULT RegisterTypeLibrary(const std::wstring& modulePath);
HRESULT UnregisterTypeLibrary(const std::wstring& modulePath);

} // namespace lx::reg
