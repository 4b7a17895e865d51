// The server object: registry, names, handles, locale, status, removal, enumerators,
// shutdown notices and teardown.
#include <cmath>
#include <cwctype>
#include <limits>
#include <random>

#include "ServerTestSupport.h"
#include "opc/common/OpcErrors.h"
#include "opc/server/ErrorText.h"
#include "opc/server/GroupName.h"
#include "opc/server/ShutdownRequests.h"

namespace opc::test {
namespace {

using ServerObject = ModuleFixture;

struct ReportedState {
    std::wstring name;
    FLOAT deadband = -1;
};

ReportedState GetState(IOPCGroupStateMgt* group) {
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    OPCHANDLE client = 0, server = 0;
    ReportedState state;
    EXPECT_EQ(group->GetState(&rate, &active, &name, &bias, &state.deadband, &lcid, &client, &server), S_OK);
    state.name = name ? name : L"";
    CoTaskMemFree(name);
    return state;
}

std::wstring GroupName(IOPCGroupStateMgt* group) { return GetState(group).name; }

bool LooksLikeUuid(const std::wstring& s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != L'-') return false;
        } else if (!std::iswxdigit(s[i]) || std::iswupper(s[i])) {
            return false;
        }
    }
    return s[14] == L'4' && (s[19] == L'8' || s[19] == L'9' || s[19] == L'a' || s[19] == L'b');
}

TEST(GroupNames, AreVersionFourUuidTextsDrawnLeastSignificantByteFirst) {
    std::mt19937 a(42), b(42);
    const std::wstring name = server::MakeGroupName(a);
    EXPECT_TRUE(LooksLikeUuid(name)) << name;
    // The first draw gives bytes 0..3, least significant byte first.
    const std::uint32_t first = static_cast<std::uint32_t>(b());
    wchar_t expected[9];
    swprintf(expected, 9, L"%02x%02x%02x%02x", first & 0xFF, (first >> 8) & 0xFF, (first >> 16) & 0xFF, first >> 24);
    EXPECT_EQ(name.substr(0, 8), expected);
}

TEST_F(ServerObject, AddGroupGeneratesDistinctNamesForNullAndEmpty) {
    auto server = NewServer();
    auto g1 = AddGroup(server.Get(), nullptr);
    auto g2 = AddGroup(server.Get(), L"");
    ASSERT_TRUE(g1 && g2);
    const std::wstring n1 = GroupName(g1.Get()), n2 = GroupName(g2.Get());
    EXPECT_TRUE(LooksLikeUuid(n1)) << n1;
    EXPECT_TRUE(LooksLikeUuid(n2)) << n2;
    EXPECT_NE(n1, n2);
}

TEST_F(ServerObject, AddGroupNamesAreCaseSensitiveAndUniquePerServer) {
    auto server = NewServer();
    auto other = NewServer();
    ASSERT_TRUE(AddGroup(server.Get(), L"Line"));
    ASSERT_TRUE(AddGroup(server.Get(), L"LINE"));
    ASSERT_TRUE(AddGroup(other.Get(), L"Line")); // names are per server object
    OPCHANDLE handle = 99;
    DWORD revised = 99;
    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(server->AddGroup(L"Line", TRUE, 1000, 1, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown, &unk),
              OPC_E_DUPLICATENAME);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(handle, 0u);
    // No trace of the refused group: the next one gets handle 3.
    OPCHANDLE next = 0;
    ASSERT_TRUE(AddGroup(server.Get(), L"third", 1000, TRUE, 1, &next));
    EXPECT_EQ(next, 3u);
}

TEST_F(ServerObject, AddGroupArgumentChecksClearTheOutputs) {
    auto server = NewServer();
    struct Case {
        const char* what;
        float deadband;
        bool withDeadband;
        HRESULT expected;
    };
    const Case cases[] = {
        {"no deadband", 0.0f, false, S_OK},
        {"deadband 0.0", 0.0f, true, S_OK},
        {"deadband 0.5", 0.5f, true, S_OK},
        {"deadband 100", 100.0f, true, S_OK},
        {"deadband NaN", std::numeric_limits<float>::quiet_NaN(), true, E_INVALIDARG},
        {"deadband -1", -1.0f, true, E_INVALIDARG},
        {"deadband 101", 101.0f, true, E_INVALIDARG},
    };
    int n = 0;
    for (const Case& c : cases) {
        float deadband = c.deadband;
        OPCHANDLE handle = 0xDEAD;
        DWORD revised = 0xDEAD;
        IUnknown* unk = reinterpret_cast<IUnknown*>(1);
        const std::wstring name = L"g" + std::to_wstring(n++);
        HRESULT hr = server->AddGroup(name.c_str(), TRUE, 1000, 1, nullptr, c.withDeadband ? &deadband : nullptr, 0,
                                      &handle, &revised, IID_IUnknown, &unk);
        EXPECT_EQ(hr, c.expected) << c.what;
        if (FAILED(hr)) {
            EXPECT_EQ(handle, 0u) << c.what;
            EXPECT_EQ(revised, 0u) << c.what;
            EXPECT_EQ(unk, nullptr) << c.what;
        } else {
            ComPtr<IOPCGroupStateMgt> group;
            ASSERT_EQ(unk->QueryInterface(IID_PPV_ARGS(&group)), S_OK);
            unk->Release();
            EXPECT_EQ(GetState(group.Get()).deadband, c.deadband) << c.what << ": kept and reported";
        }
    }
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    EXPECT_EQ(server->AddGroup(L"x", TRUE, 0, 0, nullptr, nullptr, 0, nullptr, &revised, IID_IUnknown, &unk),
              E_INVALIDARG);
    EXPECT_EQ(server->AddGroup(L"x", TRUE, 0, 0, nullptr, nullptr, 0, &handle, nullptr, IID_IUnknown, &unk),
              E_INVALIDARG);
    EXPECT_EQ(server->AddGroup(L"x", TRUE, 0, 0, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown, nullptr),
              E_INVALIDARG);
    // An interface the group does not offer: no group is left behind.
    EXPECT_EQ(server->AddGroup(L"x", TRUE, 0, 0, nullptr, nullptr, 0, &handle, &revised, IID_IOPCServer, &unk),
              E_NOINTERFACE);
    IUnknown* found = nullptr;
    EXPECT_EQ(server->GetGroupByName(L"x", IID_IUnknown, &found), OPC_E_NOTFOUND);
}

TEST_F(ServerObject, AddGroupRevisesTheRateToAtLeastTheScanPeriod) {
    fake.SetParameter(NRK_PARAM_SCAN_PERIOD, 250);
    auto server = NewServer();
    struct Case {
        DWORD requested;
        DWORD revised;
        HRESULT result;
    };
    const Case cases[] = {{0, 250, OPC_S_UNSUPPORTEDRATE},
                          {100, 250, OPC_S_UNSUPPORTEDRATE},
                          {250, 250, S_OK},
                          {1001, 1001, S_OK}};
    int n = 0;
    for (const Case& c : cases) {
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ComPtr<IUnknown> group;
        const std::wstring name = L"r" + std::to_wstring(n++);
        EXPECT_EQ(server->AddGroup(name.c_str(), TRUE, c.requested, 1, nullptr, nullptr, 0, &handle, &revised,
                                   IID_IUnknown, group.GetAddressOf()),
                  c.result)
            << c.requested;
        EXPECT_EQ(revised, c.revised) << c.requested;
        EXPECT_TRUE(group) << "the group exists also with a revised rate";
    }
}

TEST_F(ServerObject, HandlesStartAtOneAndRemovedOnesAreNotPreferred) {
    auto server = NewServer();
    OPCHANDLE h1 = 0, h2 = 0, h3 = 0;
    AddGroup(server.Get(), L"a", 1000, TRUE, 1, &h1);
    AddGroup(server.Get(), L"b", 1000, TRUE, 1, &h2);
    EXPECT_EQ(h1, 1u);
    EXPECT_EQ(h2, 2u);
    EXPECT_EQ(server->RemoveGroup(h1, FALSE), S_OK);
    AddGroup(server.Get(), L"c", 1000, TRUE, 1, &h3);
    EXPECT_EQ(h3, 3u);
    auto second = NewServer();
    OPCHANDLE first = 0;
    AddGroup(second.Get(), L"a", 1000, TRUE, 1, &first);
    EXPECT_EQ(first, 1u) << "handles are per server object";
}

TEST_F(ServerObject, LocaleIds) {
    auto server = NewServer();
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(server.As(&common), S_OK);
    for (LCID ok : {0x400u, 0x409u, 0x419u, 0x800u, 0u}) {
        EXPECT_EQ(common->SetLocaleID(ok), S_OK) << ok;
        LCID now = 1;
        EXPECT_EQ(common->GetLocaleID(&now), S_OK);
        EXPECT_EQ(now, ok);
    }
    EXPECT_EQ(common->SetLocaleID(0x419), S_OK);
    EXPECT_EQ(common->SetLocaleID(1031), E_FAIL);
    LCID now = 0;
    EXPECT_EQ(common->GetLocaleID(&now), S_OK);
    EXPECT_EQ(now, 0x419u);
    EXPECT_EQ(common->GetLocaleID(nullptr), E_INVALIDARG);

    DWORD count = 7;
    LCID* ids = reinterpret_cast<LCID*>(1);
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 5u);
    EXPECT_EQ(std::vector<LCID>(ids, ids + 5), (std::vector<LCID>{0, 1024, 2048, 1033, 1049}));
    CoTaskMemFree(ids);
    count = 7;
    EXPECT_EQ(common->QueryAvailableLocaleIDs(&count, nullptr), E_INVALIDARG);
    EXPECT_EQ(count, 0u);
    ids = reinterpret_cast<LCID*>(1);
    EXPECT_EQ(common->QueryAvailableLocaleIDs(nullptr, &ids), E_INVALIDARG);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(common->SetClientName(nullptr), S_OK);
}

TEST_F(ServerObject, ErrorStringsFallBackToTheSystemAndFailCleanly) {
    auto server = NewServer();
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(server.As(&common), S_OK);
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    ASSERT_EQ(server->GetErrorString(E_OUTOFMEMORY, 0, &text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(wcslen(text), 0u);
    CoTaskMemFree(text);
    // An unknown locale on IOPCCommon falls back to language 0.
    ASSERT_EQ(common->SetLocaleID(0x419), S_OK);
    text = nullptr;
    EXPECT_EQ(common->GetErrorString(E_OUTOFMEMORY, &text), S_OK);
    EXPECT_NE(text, nullptr);
    CoTaskMemFree(text);
    // A code that nothing knows: a failure and no text.
    text = reinterpret_cast<LPWSTR>(1);
    EXPECT_TRUE(FAILED(server->GetErrorString(static_cast<HRESULT>(0xE1234567), 0, &text)));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(server->GetErrorString(E_FAIL, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(common->GetErrorString(E_FAIL, nullptr), E_INVALIDARG);
}

// The executable's message table, loaded as data from beside the test program.
class MessageTable {
public:
    MessageTable() {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring exe(path);
        exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"lx6opc.exe";
        module_ = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module_) server::SetMessageModule(module_);
    }
    ~MessageTable() {
        server::SetMessageModule(nullptr);
        if (module_) FreeLibrary(module_);
    }
    bool Loaded() const { return module_ != nullptr; }

private:
    HMODULE module_ = nullptr;
};

std::wstring Text(LPWSTR text) {
    std::wstring s = text ? text : L"";
    CoTaskMemFree(text);
    return s;
}

TEST_F(ServerObject, ErrorStringsComeInTheRequestedLanguage) {
    MessageTable table;
    if (!table.Loaded()) GTEST_SKIP() << "lx6opc.exe is not beside the tests";
    auto server = NewServer();
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(server.As(&common), S_OK);
    LPWSTR text = nullptr;
    ASSERT_EQ(server->GetErrorString(OPC_E_DUPLICATENAME, 0x409, &text), S_OK);
    EXPECT_EQ(Text(text), L"Duplicate name not allowed.") << "no line end";
    ASSERT_EQ(server->GetErrorString(OPC_E_DUPLICATENAME, 0x419, &text), S_OK);
    EXPECT_EQ(Text(text), L"Повторяющееся имя не допускается.");
    ASSERT_EQ(common->SetLocaleID(0x419), S_OK);
    ASSERT_EQ(common->GetErrorString(OPC_S_INUSE, &text), S_OK);
    const std::wstring russian = Text(text);
    ASSERT_EQ(common->SetLocaleID(0x409), S_OK);
    ASSERT_EQ(common->GetErrorString(OPC_S_INUSE, &text), S_OK);
    const std::wstring english = Text(text);
    EXPECT_FALSE(russian.empty());
    EXPECT_NE(russian, english);
}

TEST_F(ServerObject, StatusReportsNodeStateVersionAndOwnGroupCount) {
    auto server = NewServer();
    auto other = NewServer();
    auto g1 = AddGroup(server.Get(), L"a");
    auto g2 = AddGroup(server.Get(), L"b");
    auto g3 = AddGroup(other.Get(), L"c");
    fake.SetRunning(false);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_SUSPENDED);
    EXPECT_EQ(status->dwGroupCount, 2u);
    EXPECT_EQ(status->dwBandWidth, 0xFFFFFFFFu);
    EXPECT_EQ(status->wMajorVersion, 6);
    EXPECT_EQ(status->wMinorVersion, 0);
    EXPECT_EQ(status->wBuildNumber, 0);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, L"Velmara 6 OPC Server");
    // Whole milliseconds in every FILETIME.
    const ULONGLONG start = (ULONGLONG(status->ftStartTime.dwHighDateTime) << 32) | status->ftStartTime.dwLowDateTime;
    EXPECT_EQ(start % 10000, 0u);
    EXPECT_GT(start, 0u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    fake.SetRunning(true);
    ASSERT_EQ(other->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->dwGroupCount, 1u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    EXPECT_EQ(server->GetStatus(nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, RemoveGroupInUseThenNotFound) {
    auto server = NewServer();
    OPCHANDLE handle = 0;
    auto group = AddGroup(server.Get(), L"held", 1000, TRUE, 1, &handle);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_E_NOTFOUND);
    // The removed group refuses every call, QueryInterface included.
    DWORD revised = 0;
    EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    ComPtr<IUnknown> unk;
    EXPECT_EQ(group.As(&unk), E_FAIL);
    EXPECT_EQ(server->RemoveGroup(12345, TRUE), OPC_E_NOTFOUND);
    IUnknown* found = nullptr;
    EXPECT_EQ(server->GetGroupByName(L"held", IID_IUnknown, &found), OPC_E_NOTFOUND);
}

TEST_F(ServerObject, RemoveGroupWithForceCutsTheGroupOff) {
    auto server = NewServer();
    OPCHANDLE handle = 0;
    auto group = AddGroup(server.Get(), L"held", 1000, TRUE, 1, &handle);
    EXPECT_EQ(server->RemoveGroup(handle, TRUE), S_OK);
    DWORD revised = 0;
    EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    // A group that only the registry held goes at once.
    const long locks = module->LockCount();
    OPCHANDLE other = 0;
    AddGroup(server.Get(), L"gone", 1000, TRUE, 1, &other).Reset();
    EXPECT_EQ(module->LockCount(), locks + 1);
    EXPECT_EQ(server->RemoveGroup(other, FALSE), S_OK);
    EXPECT_EQ(module->LockCount(), locks) << "the group object was destroyed";
}

TEST_F(ServerObject, GetGroupByName) {
    auto server = NewServer();
    auto group = AddGroup(server.Get(), L"Line");
    ComPtr<IOPCGroupStateMgt> found;
    ASSERT_EQ(server->GetGroupByName(L"Line", IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(found.GetAddressOf())),
              S_OK);
    EXPECT_EQ(found.Get(), group.Get());
    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(server->GetGroupByName(L"line", IID_IUnknown, &unk), OPC_E_NOTFOUND);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(server->GetGroupByName(L"", IID_IUnknown, &unk), E_INVALIDARG);
    EXPECT_EQ(server->GetGroupByName(nullptr, IID_IUnknown, &unk), E_INVALIDARG);
    EXPECT_EQ(server->GetGroupByName(L"Line", IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(server->GetGroupByName(L"Line", IID_IOPCServer, &unk), E_NOINTERFACE);
}

TEST_F(ServerObject, GroupEnumerators) {
    auto server = NewServer();
    IUnknown* unk = nullptr;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &unk), S_FALSE);
    ComPtr<IEnumString> empty = ::opc::com::Adopt(static_cast<IEnumString*>(unk));
    LPOLESTR one = nullptr;
    ULONG fetched = 9;
    EXPECT_EQ(empty->Next(1, &one, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumVARIANT, &unk), E_NOINTERFACE);
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr), E_INVALIDARG);

    auto b = AddGroup(server.Get(), L"b");
    auto a = AddGroup(server.Get(), L"a");
    ComPtr<IEnumString> names;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumString,
                                            reinterpret_cast<IUnknown**>(names.GetAddressOf())),
              S_OK);
    LPOLESTR got[3] = {};
    ASSERT_EQ(names->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_STREQ(got[0], L"b") << "ascending handle order";
    EXPECT_STREQ(got[1], L"a");
    CoTaskMemFree(got[0]);
    CoTaskMemFree(got[1]);
    // The snapshot does not follow later changes.
    auto c = AddGroup(server.Get(), L"c");
    names->Reset();
    EXPECT_EQ(names->Skip(3), S_FALSE);

    ComPtr<IEnumUnknown> groups;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumUnknown,
                                            reinterpret_cast<IUnknown**>(groups.GetAddressOf())),
              S_OK);
    IUnknown* first = nullptr;
    ASSERT_EQ(groups->Next(1, &first, nullptr), S_OK);
    ComPtr<IUnknown> bIdentity;
    b.As(&bIdentity);
    EXPECT_EQ(first, bIdentity.Get());
    first->Release();
}

TEST_F(ServerObject, QueryInterfaceMapAndIdentity) {
    auto server = NewServer();
    struct Case {
        const IID* iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IOPCCommon, S_OK},
        {&IID_IOPCServer, S_OK},
        {&IID_IConnectionPointContainer, S_OK},
        {&IID_IOPCServerPublicGroups, E_NOINTERFACE},
        {&IID_IPersistFile, E_NOINTERFACE},
        {&IID_IOPCGroupStateMgt, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        ComPtr<IUnknown> unk;
        EXPECT_EQ(server->QueryInterface(*c.iid, reinterpret_cast<void**>(unk.GetAddressOf())), c.expected);
    }
    EXPECT_EQ(server->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    ComPtr<IOPCCommon> common;
    ComPtr<IUnknown> u1, u2;
    server.As(&common);
    server.As(&u1);
    common.As(&u2);
    EXPECT_EQ(u1.Get(), u2.Get());
}

TEST_F(ServerObject, EveryCallFailsWhileShuttingDown) {
    auto server = NewServer();
    OPCHANDLE handle = 0;
    auto group = AddGroup(server.Get(), L"g", 1000, TRUE, 1, &handle);
    ComPtr<IOPCCommon> common;
    server.As(&common);
    module->SetShuttingDown(true);
    OPCHANDLE h = 0;
    DWORD revised = 0, count = 0;
    IUnknown* unk = nullptr;
    LPWSTR text = nullptr;
    LCID lcid = 0;
    LCID* lcids = nullptr;
    OPCSERVERSTATUS* status = nullptr;
    EXPECT_EQ(server->AddGroup(L"x", TRUE, 0, 0, nullptr, nullptr, 0, &h, &revised, IID_IUnknown, &unk), E_FAIL);
    EXPECT_EQ(server->GetErrorString(E_FAIL, 0, &text), E_FAIL);
    EXPECT_EQ(server->GetGroupByName(L"g", IID_IUnknown, &unk), E_FAIL);
    EXPECT_EQ(server->GetStatus(&status), E_FAIL);
    EXPECT_EQ(server->RemoveGroup(handle, TRUE), E_FAIL);
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &unk), E_FAIL);
    EXPECT_EQ(common->SetLocaleID(0), E_FAIL);
    EXPECT_EQ(common->GetLocaleID(&lcid), E_FAIL);
    EXPECT_EQ(common->QueryAvailableLocaleIDs(&count, &lcids), E_FAIL);
    EXPECT_EQ(common->GetErrorString(E_FAIL, &text), E_FAIL);
    EXPECT_EQ(common->SetClientName(L"c"), E_FAIL);
    EXPECT_EQ(server->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&unk)), E_FAIL);
    EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(group->SetName(L"n"), E_FAIL);
    EXPECT_EQ(group->CloneGroup(L"n", IID_IUnknown, &unk), E_FAIL);
    EXPECT_EQ(group->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), E_FAIL);
    // Argument checks that come before the flag still come first.
    EXPECT_EQ(common->GetLocaleID(nullptr), E_INVALIDARG);
    module->SetShuttingDown(false);
}

TEST_F(ServerObject, ModuleLockLivesWithTheServerObject) {
    const long before = module->LockCount();
    {
        auto server = NewServer();
        EXPECT_EQ(module->LockCount(), before + 1);
    }
    EXPECT_EQ(module->LockCount(), before);
}

// Busy blocks on every heap of the process.
std::size_t HeapBlocks() {
    std::size_t blocks = 0;
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    for (DWORD h = 0; h < count && h < 256; ++h) {
        if (!HeapLock(heaps[h])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[h], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++blocks;
        HeapUnlock(heaps[h]);
    }
    return blocks;
}

// Objects made and destroyed by the thousand leave nothing behind: each group, its lifetime
// token, its connection point and each enumerator takes its locks, and a lock that was once
// taken must not outlive its object (the standard mutexes of this toolchain did: two blocks
// were left per group, one per enumerator).
TEST_F(ServerObject, GroupsAndEnumeratorsLeaveNoMemoryBehind) {
    auto server = NewServer();
    auto sink = MakeSink();
    auto cycle = [&](int n) {
        for (int i = 0; i < n; ++i) {
            OPCHANDLE handle = 0;
            auto group = AddGroup(server.Get(), L"", 1000, TRUE, 1, &handle);
            ASSERT_TRUE(group);
            ComPtr<IConnectionPointContainer> container;
            ComPtr<IConnectionPoint> point;
            DWORD cookie = 0;
            ASSERT_EQ(group.As(&container), S_OK);
            ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
            ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie), S_OK);
            ComPtr<IEnumUnknown> groups;
            ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                                    reinterpret_cast<IUnknown**>(groups.GetAddressOf())),
                      S_OK);
            IUnknown* first = nullptr;
            ASSERT_EQ(groups->Next(1, &first, nullptr), S_OK);
            first->Release();
            ASSERT_EQ(point->Unadvise(cookie), S_OK);
            point.Reset();
            container.Reset();
            group.Reset();
            groups.Reset();
            ASSERT_EQ(server->RemoveGroup(handle, i % 2 == 0), S_OK);
        }
    };
    cycle(100); // what is made once (the update service, caches) is made now
    const std::size_t before = HeapBlocks();
    cycle(2000);
    const std::size_t after = HeapBlocks();
    EXPECT_LT(after, before + 200) << "heap blocks left behind by 2000 groups: " << after - before;
}

TEST_F(ServerObject, ShutdownNoticesReachEverySinkAndTearEverythingDown) {
    auto server = NewServer();
    auto group = AddGroup(server.Get(), L"g");
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server.As(&container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf()), S_OK);
    auto alive = MakeSink();
    auto dead = MakeSink();
    auto second = MakeSink();
    dead->Answer(static_cast<HRESULT>(0x800706BA)); // its process is gone
    DWORD c1 = 0, c2 = 0, c3 = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(alive.Get()), &c1), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(dead.Get()), &c2), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(second.Get()), &c3), S_OK);

    module->SetShuttingDown(true);
    module->FirstShutdownNotice()();
    ASSERT_TRUE(::opc::server::WaitForShutdownRequests(10000));
    for (auto* sink : {alive.Get(), dead.Get(), second.Get()}) {
        ASSERT_EQ(sink->ShutdownReasons().size(), 1u);
        EXPECT_EQ(sink->ShutdownReasons()[0], L"");
    }
    // The sink of the dead client was dropped; the others stay.
    EXPECT_EQ(point->Unadvise(c2), CONNECT_E_NOCONNECTION);

    const long locks = module->LockCount();
    module->SecondShutdownNotice()();
    EXPECT_EQ(static_cast<Server*>(static_cast<IOPCServer*>(server.Get()))->GroupCount(), 0u);
    EXPECT_TRUE(AsGroup(group.Get()).IsRemoved());
    // The group's object stays valid for the reference we hold, and is gone with it.
    group.Reset();
    EXPECT_EQ(module->LockCount(), locks - 1);
    Server* object = static_cast<Server*>(static_cast<IOPCServer*>(server.Get()));
    point.Reset();
    container.Reset();
    EXPECT_EQ(object->RefCount(), 1) << "only our reference is left";
    server.Reset();
    EXPECT_EQ(module->LockCount(), locks - 2);
    module->SetShuttingDown(false);
}

// A client whose ShutdownRequest does not return until it is let go.
class HoldingSink : public RecordingSink {
public:
    HoldingSink() : entered_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~HoldingSink() override {
        CloseHandle(entered_);
        CloseHandle(release_);
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        SetEvent(entered_);
        WaitForSingleObject(release_, 30000);
        return RecordingSink::ShutdownRequest(szReason);
    }
    bool Entered(DWORD limitMs) const { return WaitForSingleObject(entered_, limitMs) == WAIT_OBJECT_0; }
    void LetGo() { SetEvent(release_); }

private:
    HANDLE entered_;
    HANDLE release_;
};

// The notice neither waits for a client that holds its ShutdownRequest nor keeps the other clients from
// theirs, and the forced teardown is not held up by it either: the module's locks go with the objects.
TEST_F(ServerObject, ShutdownRequestThatDoesNotReturnHoldsNoOneElse) {
    const long before = module->LockCount();
    auto held = NewServer();
    auto other = NewServer();
    auto holding = ::opc::com::MakeComObject<HoldingSink>();
    auto recording = MakeSink();
    for (auto [server, sink] : {std::pair<IOPCServer*, IOPCShutdown*>{held.Get(), holding.Get()},
                                std::pair<IOPCServer*, IOPCShutdown*>{other.Get(), recording.Get()}}) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        ASSERT_EQ(server->QueryInterface(IID_PPV_ARGS(container.GetAddressOf())), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf()), S_OK);
        ASSERT_EQ(point->Advise(sink, &cookie), S_OK);
    }

    module->SetShuttingDown(true);
    module->FirstShutdownNotice()(); // returns while the first client still holds its call
    ASSERT_TRUE(holding->Entered(10000));
    for (int i = 0; i < 1000 && recording->ShutdownReasons().empty(); ++i) Sleep(10);
    EXPECT_EQ(recording->ShutdownReasons(), std::vector<std::wstring>{L""});
    EXPECT_TRUE(holding->ShutdownReasons().empty()) << "still held";
    EXPECT_FALSE(::opc::server::WaitForShutdownRequests(0));

    module->SecondShutdownNotice()();
    held.Reset();
    other.Reset();
    EXPECT_EQ(module->LockCount(), before) << "the held call keeps no server object alive";

    holding->LetGo();
    EXPECT_TRUE(::opc::server::WaitForShutdownRequests(10000));
    EXPECT_EQ(holding->ShutdownReasons(), std::vector<std::wstring>{L""});
}

TEST_F(ServerObject, ReleasingTheServerTearsItsGroupsDown) {
    auto server = NewServer();
    auto group = AddGroup(server.Get(), L"g");
    const long locks = module->LockCount();
    server.Reset();
    EXPECT_EQ(module->LockCount(), locks - 1);
    DWORD revised = 0;
    EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(group->SetName(L"other"), E_FAIL) << "never reaches the server object that is gone";
    group.Reset();
    EXPECT_EQ(module->LockCount(), locks - 2);
}

TEST_F(ServerObject, CreationFailsWithoutAModule) {
    module.reset();
    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(::opc::server::da::com::CreateServerObject(IID_IUnknown, reinterpret_cast<void**>(&unk)), E_FAIL);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(::opc::server::da::com::CreateServerObject(IID_IUnknown, nullptr), E_POINTER);
}

} // namespace
} // namespace opc::test
