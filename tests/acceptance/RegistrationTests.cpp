// Registration of the proxy/stub DLL (it never takes over another vendor's proxies unless forced, and gives them
// back on removal) and the type library (it describes the server class without re-routing the interfaces).

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <opccomn.h>
#include <opcda.h>

#include <string>

#include "AcceptanceEnvironment.h"
#include "TestCom.h"

namespace acceptance {
namespace {

const std::wstring kOurProxyClsid = L"{F892DF06-6364-42EC-9450-9CB663F71255}";
// A stand-in for another vendor's proxy class whose DLL exists (ole32.dll, enough for the file check).
const std::wstring kForeignProxyClsid = L"{0D8A43A3-2A65-4B57-9C2E-1B1F7D1D0A11}";

void SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

HRESULT CallDllInstall(BOOL install, const wchar_t* commandLine) {
    HMODULE module = LoadLibraryW((BinDir() + L"lx6opcps.dll").c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(WINAPI*)(BOOL, PCWSTR);
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllInstall")));
    HRESULT hr = entry ? entry(install, commandLine) : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}

// Uses IOPCServerList2 (the server browser's interface, which no other test marshals) as the contested IID.
class ProxyRegistration : public ::testing::Test {
protected:
    const std::wstring key_ = L"Interface\\" + GuidText(IID_IOPCServerList2) + L"\\ProxyStubClsid32";

    void SetUp() override {
        SetString(L"CLSID\\" + kForeignProxyClsid + L"\\InprocServer32", L"", L"ole32.dll");
        SetString(key_, L"", kForeignProxyClsid);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"LX6OPCPS_FORCE", nullptr);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + kForeignProxyClsid).c_str());
        // Leave the machine as the environment set it up: every interface ours.
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"Interface\\" + GuidText(IID_IOPCServerList2)).c_str());
        EXPECT_EQ(CallDllEntry(L"lx6opcps.dll", "DllRegisterServer"), S_OK);
    }
    std::wstring Current() const { return ReadClassesRootString(key_); }
};

TEST_F(ProxyRegistration, LeavesAnotherVendorsProxyAlone) {
    EXPECT_EQ(CallDllEntry(L"lx6opcps.dll", "DllRegisterServer"), S_FALSE);
    EXPECT_EQ(Current(), kForeignProxyClsid);
    // Interfaces that were ours stay ours.
    EXPECT_EQ(ReadClassesRootString(L"Interface\\" + GuidText(IID_IOPCCommon) + L"\\ProxyStubClsid32"),
              kOurProxyClsid);
    // Removal does not touch what is not ours.
    EXPECT_EQ(CallDllEntry(L"lx6opcps.dll", "DllUnregisterServer"), S_OK);
    EXPECT_EQ(Current(), kForeignProxyClsid);
    EXPECT_EQ(ReadClassesRootString(L"Interface\\" + GuidText(IID_IOPCCommon) + L"\\ProxyStubClsid32"), L"");
    EXPECT_EQ(ReadClassesRootString(L"CLSID\\" + kOurProxyClsid + L"\\InprocServer32"), L"");
}

TEST_F(ProxyRegistration, ForcedTakeOverIsUndoneByRemoval) {
    struct Case {
        const char* how;
        bool environment;
    };
    for (const Case& c : {Case{"DllInstall(TRUE, \"force\")", false}, Case{"LX6OPCPS_FORCE=1", true}}) {
        SCOPED_TRACE(c.how);
        SetString(key_, L"", kForeignProxyClsid);
        if (c.environment) {
            SetEnvironmentVariableW(L"LX6OPCPS_FORCE", L"1");
            EXPECT_EQ(CallDllEntry(L"lx6opcps.dll", "DllRegisterServer"), S_OK);
            SetEnvironmentVariableW(L"LX6OPCPS_FORCE", nullptr);
        } else {
            EXPECT_EQ(CallDllInstall(TRUE, L"Force"), S_OK);
        }
        EXPECT_EQ(Current(), kOurProxyClsid);
        // Registering again (unforced) keeps ours and the remembered previous entry.
        EXPECT_EQ(CallDllEntry(L"lx6opcps.dll", "DllRegisterServer"), S_OK);
        EXPECT_EQ(CallDllInstall(FALSE, nullptr), S_OK);
        EXPECT_EQ(Current(), kForeignProxyClsid);
    }
}

TEST_F(ProxyRegistration, TakesOverAnEntryWhoseDllIsGone) {
    SetString(L"CLSID\\" + kForeignProxyClsid + L"\\InprocServer32", L"", L"C:\\nowhere\\missing-proxy.dll");
    EXPECT_EQ(CallDllEntry(L"lx6opcps.dll", "DllRegisterServer"), S_OK);
    EXPECT_EQ(Current(), kOurProxyClsid);
}

TEST(TypeLibrary, DescribesTheServerClassAndLeavesTheProxiesInPlace) {
    const std::wstring path = BinDir() + L"lx6opc.tlb";
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library), S_OK);
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    const GUID libid = {0x7A3E1C03, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
    EXPECT_TRUE(IsEqualGUID(attributes->guid, libid));
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    const WORD major = attributes->wMajorVerNum, minor = attributes->wMinorVerNum;
    const LCID lcid = attributes->lcid;
    const SYSKIND syskind = attributes->syskind;
    library->ReleaseTLibAttr(attributes);

    const CLSID server = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(server, &coclass), S_OK);
    TYPEATTR* type = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(type->typekind, TKIND_COCLASS);
    EXPECT_GE(type->cImplTypes, 5);
    coclass->ReleaseTypeAttr(type);
    for (const IID* iid : {&IID_IOPCServer, &IID_IOPCCommon, &IID_IOPCItemMgt, &IID_IOPCSyncIO,
                           &IID_IOPCAsyncIO2, &IID_IOPCDataCallback, &IID_IOPCShutdown}) {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(library->GetTypeInfoOfGuid(*iid, &info), S_OK) << GuidText(*iid).c_str();
    }

    // What the server's registration does with it: the Interface keys must keep our NDR proxy, not the
    // type-library marshaller (which cannot marshal these interfaces).
    std::wstring file = path, folder = BinDir();
    ASSERT_EQ(RegisterTypeLib(library.Get(), &file[0], &folder[0]), S_OK);
    for (const IID* iid : {&IID_IOPCServer, &IID_IOPCCommon, &IID_IOPCShutdown}) {
        EXPECT_EQ(ReadClassesRootString(L"Interface\\" + GuidText(*iid) + L"\\ProxyStubClsid32"), kOurProxyClsid)
            << GuidText(*iid).c_str();
    }
    EXPECT_EQ(UnRegisterTypeLib(libid, major, minor, lcid, syskind), S_OK);
    EXPECT_EQ(ReadClassesRootString(L"Interface\\" + GuidText(IID_IOPCServer) + L"\\ProxyStubClsid32"),
              kOurProxyClsid);
}

}  // namespace
}  // namespace acceptance
