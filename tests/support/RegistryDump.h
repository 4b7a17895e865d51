// Registry subtrees as sets of text lines, for comparing registry states in tests.
#pragma once

#include <windows.h>

#include <set>
#include <string>

namespace lxtest {

// Lines "K <path>" for every key and "V <path>|<name>=<data>" for every value of the
// subtree at root\path ("(default)" for the unnamed value; non-string data as hex).
// Paths are relative to `root` and keep `path` as their first part. Empty if absent.
std::set<std::wstring> DumpRegistry(HKEY root, const std::wstring& path);

bool KeyExists(HKEY root, const std::wstring& path);

// A scratch key HKCU\Software\lx6opc-test\<name>-<pid> with subkeys standing in for
// the classes root and the user hive; deleted with its subtree at the end.
class ScratchRegistry {
public:
    explicit ScratchRegistry(const std::wstring& name);
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;
    HKEY ClassesRoot() const { return classes_; }
    HKEY CurrentUser() const { return user_; }
private:
    std::wstring path_;
    HKEY classes_ = nullptr;
    HKEY user_ = nullptr;
};

} // namespace lxtest
