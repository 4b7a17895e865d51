#include "module/Registrar.h"

#include "module/ModuleIds.h"
#include "tests/support/RegistryDump.h"

#include <gtest/gtest.h>

using lxtest::DumpRegistry;
using lxtest::KeyExists;

namespace {

const std::wstring kModule = L"C:\\Program Files\\Velmara 6\\lx6opc.exe";
const std::wstring kClsid = L"CLSID\\{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}";
const std::wstring kAppId = L"AppID\\{7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}";
const std::wstring kServerKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
const std::wstring kDaKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\DA";

void SetString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::set<std::wstring> Union(std::initializer_list<std::set<std::wstring>> parts) {
    std::set<std::wstring> all;
    for (const auto& p : parts) all.insert(p.begin(), p.end());
    return all;
}

class Registrar : public ::testing::Test {
protected:
    lxtest::ScratchRegistry scratch{L"registrar"};
    lx::reg::Roots roots{scratch.ClassesRoot(), scratch.CurrentUser(), false};

    HRESULT Run(int id, bool registering, const std::wstring& nodePath = L"") {
        lx::reg::Replacements r;
        if (id == lx::SCRIPT_NODE_PATH || id == lx::SCRIPT_EARLIER_VERSION)
            r[L"NODE_FILE_PATH"] = nodePath;
        return lx::reg::RunScript(id, registering, r, kModule, roots);
    }
    std::set<std::wstring> Classes(const std::wstring& path) { return DumpRegistry(scratch.ClassesRoot(), path); }
    std::set<std::wstring> User(const std::wstring& path) { return DumpRegistry(scratch.CurrentUser(), path); }
    std::set<std::wstring> AllClasses() {
        return Union({Classes(L"AppID"), Classes(L"CLSID"), Classes(L"Corvane.LX6.OPC.DA.Server.1"),
                      Classes(L"Corvane.LX6.OPC.DA.Server"), Classes(L"Corvane.Lx6OpcServer.1"),
                      Classes(L"Corvane.Lx6OpcServer"), Classes(L"Corvane.Lx6Node.1"), Classes(L"Corvane.Lx6Node"),
                      Classes(L"Corvane.Lx6OPCDAServerSetup.1"), Classes(L"Corvane.Lx6OPCDAServerSetup")});
    }
};

TEST_F(Registrar, ServerClassScriptWritesTheClassAndItsProgIds) {
    ASSERT_EQ(Run(lx::SCRIPT_SERVER_CLASS, true), S_OK);
    const std::wstring progId = L"Corvane.LX6.OPC.DA.Server.1", vi = L"Corvane.LX6.OPC.DA.Server";
    const std::wstring clsid = L"{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}";
    const std::wstring name = L"Velmara 6 OPC DA Server";
    const std::wstring cat = kClsid + L"\\Implemented Categories\\{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
    EXPECT_EQ(Classes(progId), (std::set<std::wstring>{
                                   L"K " + progId, L"V " + progId + L"|(default)=" + name,
                                   L"K " + progId + L"\\CLSID", L"V " + progId + L"\\CLSID|(default)=" + clsid,
                                   L"K " + progId + L"\\OPC", L"V " + progId + L"\\OPC|Vendor=Corvane Works, Ltd"}));
    EXPECT_EQ(Classes(vi), (std::set<std::wstring>{
                               L"K " + vi, L"V " + vi + L"|(default)=" + name, L"K " + vi + L"\\CLSID",
                               L"V " + vi + L"\\CLSID|(default)=" + clsid, L"K " + vi + L"\\CurVer",
                               L"V " + vi + L"\\CurVer|(default)=" + progId}));
    EXPECT_EQ(Classes(kClsid), (std::set<std::wstring>{
                                   L"K " + kClsid,
                                   L"V " + kClsid + L"|(default)=" + name,
                                   L"V " + kClsid + L"|AppID={7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}",
                                   L"K " + kClsid + L"\\ProgID",
                                   L"V " + kClsid + L"\\ProgID|(default)=" + progId,
                                   L"K " + kClsid + L"\\VersionIndependentProgID",
                                   L"V " + kClsid + L"\\VersionIndependentProgID|(default)=" + vi,
                                   L"K " + kClsid + L"\\LocalServer32",
                                   L"V " + kClsid + L"\\LocalServer32|(default)=\"" + kModule + L"\"",
                                   L"K " + kClsid + L"\\Implemented Categories",
                                   L"K " + cat,
                                   L"V " + cat + L"|(default)=OPC Data Access Servers Version 2.0"}));
}

TEST_F(Registrar, RegisteringTwiceGivesTheSameState) {
    for (int id : {lx::SCRIPT_APPID, lx::SCRIPT_SERVER_CLASS, lx::SCRIPT_NODE_PATH}) {
        ASSERT_EQ(Run(id, true, L"C:\\a.dbb"), S_OK) << id;
        const auto once = Union({AllClasses(), User(L"Software")});
        ASSERT_EQ(Run(id, true, L"C:\\a.dbb"), S_OK) << id;
        EXPECT_EQ(Union({AllClasses(), User(L"Software")}), once) << id;
    }
}

TEST_F(Registrar, ForceRemoveRecreatesTheKeyAndNoFlagKeepsForeignEntries) {
    SetString(scratch.ClassesRoot(), kClsid + L"\\InprocServer32", L"", L"stale.dll");
    SetString(scratch.ClassesRoot(), L"Corvane.LX6.OPC.DA.Server.1\\Foreign", L"", L"x");
    SetString(scratch.ClassesRoot(), L"Corvane.LX6.OPC.DA.Server.1\\OPC", L"Stale", L"x");
    ASSERT_EQ(Run(lx::SCRIPT_SERVER_CLASS, true), S_OK);
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), kClsid + L"\\InprocServer32"));   // ForceRemove
    EXPECT_FALSE(Classes(L"Corvane.LX6.OPC.DA.Server.1\\OPC").count(
        L"V Corvane.LX6.OPC.DA.Server.1\\OPC|Stale=x"));                            // ForceRemove
    EXPECT_TRUE(KeyExists(scratch.ClassesRoot(), L"Corvane.LX6.OPC.DA.Server.1\\Foreign"));   // no flag

    // On removal a key without flag stays while foreign subkeys are left; its own go.
    ASSERT_EQ(Run(lx::SCRIPT_SERVER_CLASS, false), S_OK);
    EXPECT_EQ(Classes(L"Corvane.LX6.OPC.DA.Server.1"),
              (std::set<std::wstring>{L"K Corvane.LX6.OPC.DA.Server.1", L"K Corvane.LX6.OPC.DA.Server.1\\Foreign",
                                      L"V Corvane.LX6.OPC.DA.Server.1\\Foreign|(default)=x",
                                      L"V Corvane.LX6.OPC.DA.Server.1|(default)=Velmara 6 OPC DA Server"}));
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), L"Corvane.LX6.OPC.DA.Server"));
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), kClsid));
}

TEST_F(Registrar, NoRemoveKeysSurviveRemoval) {
    SetString(scratch.ClassesRoot(), L"CLSID\\{00000000-0000-0000-0000-000000000001}", L"", L"other class");
    SetString(scratch.ClassesRoot(), L"AppID\\{00000000-0000-0000-0000-000000000002}", L"", L"other app");
    ASSERT_EQ(Run(lx::SCRIPT_APPID, true), S_OK);
    ASSERT_EQ(Run(lx::SCRIPT_SERVER_CLASS, true), S_OK);
    EXPECT_EQ(Classes(kAppId), (std::set<std::wstring>{L"K " + kAppId,
                                                       L"V " + kAppId + L"|(default)=Velmara 6 OPC Server"}));
    ASSERT_EQ(Run(lx::SCRIPT_SERVER_CLASS, false), S_OK);
    ASSERT_EQ(Run(lx::SCRIPT_APPID, false), S_OK);
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), kAppId));
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), kClsid));
    EXPECT_TRUE(KeyExists(scratch.ClassesRoot(), L"CLSID\\{00000000-0000-0000-0000-000000000001}"));
    EXPECT_TRUE(KeyExists(scratch.ClassesRoot(), L"AppID\\{00000000-0000-0000-0000-000000000002}"));
    // Even emptied, NoRemove keys stay.
    ASSERT_EQ(RegDeleteKeyW(scratch.ClassesRoot(), L"CLSID\\{00000000-0000-0000-0000-000000000001}"), ERROR_SUCCESS);
    ASSERT_EQ(Run(lx::SCRIPT_SERVER_CLASS, false), S_OK);
    EXPECT_TRUE(KeyExists(scratch.ClassesRoot(), L"CLSID"));
}

TEST_F(Registrar, NodePathScriptReplacesTheWholeServerKey) {
    SetString(scratch.CurrentUser(), kServerKey + L"\\UI", L"Frame", L"x");
    SetString(scratch.CurrentUser(), L"Software\\CorvanE\\Other", L"", L"kept");
    ASSERT_EQ(Run(lx::SCRIPT_NODE_PATH, true, L"c:\\Plant\\Unit.dbb"), S_OK);
    EXPECT_EQ(User(kServerKey), (std::set<std::wstring>{L"K " + kServerKey,
                                                        L"V " + kServerKey + L"|NodeFilePath=c:\\Plant\\Unit.dbb"}));
    ASSERT_EQ(Run(lx::SCRIPT_NODE_PATH, false), S_OK);
    EXPECT_FALSE(KeyExists(scratch.CurrentUser(), kServerKey));
    EXPECT_TRUE(KeyExists(scratch.CurrentUser(), L"Software\\CorvanE\\VELMARA\\6\\OPC"));
    EXPECT_TRUE(KeyExists(scratch.CurrentUser(), L"Software\\CorvanE\\Other"));
    // Removing what is not there is not an error.
    EXPECT_EQ(Run(lx::SCRIPT_NODE_PATH, false), S_OK);
}

TEST_F(Registrar, RegisterServerClearsTheEarlierVersion) {
    ASSERT_EQ(Run(lx::SCRIPT_EARLIER_VERSION, true, L"C:\\old.dbb"), S_OK);
    ASSERT_TRUE(KeyExists(scratch.ClassesRoot(), L"CLSID\\{7A3E1C05-5B2D-4F60-9E11-2C8D0B6A4F01}\\TypeLib"));
    ASSERT_TRUE(KeyExists(scratch.ClassesRoot(), L"AppID\\lx6opc.EXE"));
    ASSERT_TRUE(KeyExists(scratch.CurrentUser(), kDaKey));

    ASSERT_EQ(lx::reg::RegisterServer(kModule, roots), S_OK);

    // Only the current entries are left in the classes root; the user's DA key is gone.
    lxtest::ScratchRegistry clean(L"registrar-clean");
    lx::reg::Roots cleanRoots{clean.ClassesRoot(), clean.CurrentUser(), false};
    ASSERT_EQ(lx::reg::RegisterServer(kModule, cleanRoots), S_OK);
    EXPECT_EQ(AllClasses(), Union({DumpRegistry(clean.ClassesRoot(), L"AppID"),
                                   DumpRegistry(clean.ClassesRoot(), L"CLSID"),
                                   DumpRegistry(clean.ClassesRoot(), L"Corvane.LX6.OPC.DA.Server.1"),
                                   DumpRegistry(clean.ClassesRoot(), L"Corvane.LX6.OPC.DA.Server")}));
    EXPECT_TRUE(KeyExists(scratch.ClassesRoot(), kAppId));
    EXPECT_TRUE(KeyExists(scratch.ClassesRoot(), kClsid + L"\\LocalServer32"));
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), kClsid + L"\\TypeLib"));
    EXPECT_FALSE(KeyExists(scratch.CurrentUser(), kDaKey));
}

TEST_F(Registrar, UnregisterServerRemovesEverything) {
    ASSERT_EQ(lx::reg::RegisterServer(kModule, roots), S_OK);
    ASSERT_EQ(lx::reg::RememberNodePath(L"C:\\a.dbb", kModule, roots), S_OK);
    SetString(scratch.CurrentUser(), kServerKey + L"\\UI", L"Frame", L"x");
    SetString(scratch.CurrentUser(), kDaKey, L"NodeFilePath", L"C:\\old.dbb");
    ASSERT_EQ(lx::reg::UnregisterServer(kModule, roots), S_OK);
    EXPECT_EQ(AllClasses(), (std::set<std::wstring>{L"K AppID", L"K CLSID"}));
    EXPECT_EQ(User(L"Software"),
              (std::set<std::wstring>{L"K Software", L"K Software\\CorvanE", L"K Software\\CorvanE\\VELMARA",
                                      L"K Software\\CorvanE\\VELMARA\\6", L"K Software\\CorvanE\\VELMARA\\6\\OPC"}));
}

TEST_F(Registrar, ReplacementsAndTheModulePathLimit) {
    const auto r = lx::reg::MakeReplacements({{L"NODE_FILE_PATH", L"x"}}, L"C:\\a b\\s.exe");
    EXPECT_EQ(r.at(L"module"), L"\"C:\\a b\\s.exe\"");   // names ignore case
    EXPECT_EQ(r.at(L"MODULE_RAW"), L"C:\\a b\\s.exe");
    EXPECT_EQ(r.at(L"AppId"), L"{7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}");
    EXPECT_EQ(r.at(L"node_file_path"), L"x");

    const std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH, L'x') + L".exe";
    EXPECT_EQ(lx::reg::RunScript(lx::SCRIPT_APPID, true, {}, tooLong, roots),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(KeyExists(scratch.ClassesRoot(), kAppId));
    EXPECT_EQ(lx::reg::RegisterServer(tooLong, roots), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
}

} // namespace
