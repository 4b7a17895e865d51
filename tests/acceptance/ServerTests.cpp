// The OPC DA server lx6opc.exe, started by COM activation (-Embedding) with a small test node and driven through
// the proxy/stub DLL, as an OPC client sees it.

#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>
#include <opccomn.h>
#include <opcda.h>

#include <UiDriver.h>

#include <limits>
#include <string>
#include <vector>

#include "AcceptanceEnvironment.h"
#include "TestCom.h"

namespace acceptance {
namespace {

const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
const std::wstring kUnknownItemEnglish =
    L"The item ID is not defined in the server address space or no longer exists in the server address space.";
constexpr HRESULT kUnknownItem = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT kDuplicateName = static_cast<HRESULT>(0xC004000C);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0xC0040011);
constexpr HRESULT kInUse = static_cast<HRESULT>(0x0004000F);
constexpr HRESULT kUnsupportedRate = static_cast<HRESULT>(0x0004000D);

struct CoStr {
    LPWSTR p = nullptr;
    ~CoStr() { CoTaskMemFree(p); }
    LPWSTR* out() { return &p; }
    std::wstring text() const { return p ? std::wstring(p) : std::wstring(L"<NULL>"); }
};

bool HasCyrillic(const std::wstring& text) {
    for (wchar_t c : text)
        if (c >= 0x0400 && c <= 0x04FF) return true;
    return false;
}

HWND Panel() { return FindServerPanel(); }

class Server : public ::testing::Test {
protected:
    static void TearDownTestSuite() { WaitForServerEnd(); }

    void SetUp() override {
        std::wstring why;
        if (!RealServerRegistered(&why)) GTEST_SKIP() << std::string(why.begin(), why.end());
        ASSERT_EQ(CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server_)), S_OK);
        ASSERT_EQ(server_.As(&common_), S_OK);
    }

    // AddGroup with the usual arguments; the group's IOPCGroupStateMgt.
    HRESULT AddGroup(const wchar_t* name, ComPtr<IOPCGroupStateMgt>& group, OPCHANDLE* handle = nullptr,
                     FLOAT* deadband = nullptr) {
        OPCHANDLE h = 0;
        DWORD revised = 0;
        HRESULT hr = server_->AddGroup(name, TRUE, 1000, 7, nullptr, deadband, 0x409, &h, &revised,
                                       IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(group.GetAddressOf()));
        if (handle) *handle = h;
        return hr;
    }

    static std::wstring GroupName(IOPCGroupStateMgt* group) {
        DWORD rate = 0, lcid = 0;
        BOOL active = FALSE;
        LONG bias = 0;
        FLOAT deadband = 0;
        OPCHANDLE client = 0, server = 0;
        CoStr name;
        HRESULT hr = group->GetState(&rate, &active, name.out(), &bias, &deadband, &lcid, &client, &server);
        return SUCCEEDED(hr) ? name.text() : L"<failed>";
    }

    ComPtr<IOPCServer> server_;
    ComPtr<IOPCCommon> common_;
};

TEST_F(Server, ErrorTextsInEnglishAndRussian) {
    CoStr english, russian, byLocale;
    ASSERT_EQ(server_->GetErrorString(kUnknownItem, 0x409, english.out()), S_OK);
    EXPECT_EQ(english.text(), kUnknownItemEnglish);
    ASSERT_EQ(server_->GetErrorString(kUnknownItem, 0x419, russian.out()), S_OK);
    EXPECT_TRUE(HasCyrillic(russian.text())) << "not Russian: " << std::string(russian.text().size(), '?');

    // IOPCCommon takes the language from SetLocaleID.
    ASSERT_EQ(common_->SetLocaleID(0x419), S_OK);
    ASSERT_EQ(common_->GetErrorString(kUnknownItem, byLocale.out()), S_OK);
    EXPECT_EQ(byLocale.text(), russian.text());
    CoStr back;
    ASSERT_EQ(common_->SetLocaleID(0x409), S_OK);
    ASSERT_EQ(common_->GetErrorString(kUnknownItem, back.out()), S_OK);
    EXPECT_EQ(back.text(), kUnknownItemEnglish);
}

TEST_F(Server, LocaleIdsAccepted) {
    for (LCID lcid : {0x0u, 0x400u, 0x409u, 0x419u, 0x800u}) {
        EXPECT_EQ(common_->SetLocaleID(lcid), S_OK) << lcid;
        LCID stored = 0xFFFF;
        EXPECT_EQ(common_->GetLocaleID(&stored), S_OK);
        EXPECT_EQ(stored, lcid);
    }
    ASSERT_EQ(common_->SetLocaleID(0x419), S_OK);
    EXPECT_EQ(common_->SetLocaleID(1031), E_FAIL);
    LCID stored = 0;
    EXPECT_EQ(common_->GetLocaleID(&stored), S_OK);
    EXPECT_EQ(stored, 0x419u);

    DWORD count = 0;
    LCID* ids = nullptr;
    ASSERT_EQ(common_->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(std::vector<LCID>(ids, ids + count), (std::vector<LCID>{0, 1024, 2048, 1033, 1049}));
    CoTaskMemFree(ids);
    EXPECT_EQ(common_->SetClientName(L"acceptance"), S_OK);
}

TEST_F(Server, StatusOfThisConnection) {
    const auto read = [&] {
        OPCSERVERSTATUS* status = nullptr;
        EXPECT_EQ(server_->GetStatus(&status), S_OK);
        return status;
    };
    OPCSERVERSTATUS* status = read();
    ASSERT_NE(status, nullptr);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, L"Velmara 6 OPC Server");
    EXPECT_EQ(status->wMajorVersion, 6);
    EXPECT_EQ(status->wMinorVersion, 0);
    EXPECT_EQ(status->wBuildNumber, 0);
    EXPECT_EQ(status->dwBandWidth, 0xFFFFFFFFu);
    EXPECT_EQ(status->dwGroupCount, 0u);
    EXPECT_TRUE(status->dwServerState == OPC_STATUS_RUNNING || status->dwServerState == OPC_STATUS_SUSPENDED)
        << status->dwServerState;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    EXPECT_LE(ticks(status->ftStartTime), ticks(status->ftCurrentTime));
    EXPECT_LT((ticks(now) > ticks(status->ftCurrentTime) ? ticks(now) - ticks(status->ftCurrentTime)
                                                          : ticks(status->ftCurrentTime) - ticks(now)),
              600000000ull);  // within a minute of this machine's clock
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    ComPtr<IOPCGroupStateMgt> group;
    ASSERT_TRUE(SUCCEEDED(AddGroup(L"counted", group)));
    status = read();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwGroupCount, 1u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(Server, GroupsByNameAndHandle) {
    ComPtr<IOPCGroupStateMgt> first, again, otherCase, generated;
    OPCHANDLE h1 = 0, h2 = 0, h3 = 0;
    HRESULT hr = AddGroup(L"Group1", first, &h1);
    ASSERT_TRUE(hr == S_OK || hr == kUnsupportedRate) << std::hex << hr;
    EXPECT_EQ(h1, 1u);
    EXPECT_EQ(GroupName(first.Get()), L"Group1");
    EXPECT_EQ(AddGroup(L"Group1", again), kDuplicateName);
    EXPECT_FALSE(again);
    EXPECT_TRUE(SUCCEEDED(AddGroup(L"group1", otherCase, &h2)));
    EXPECT_EQ(h2, 2u);

    // An empty name gets a generated one: a lower-case version-4 UUID text.
    ASSERT_TRUE(SUCCEEDED(AddGroup(L"", generated, &h3)));
    const std::wstring name = GroupName(generated.Get());
    ASSERT_EQ(name.size(), 36u) << std::string(name.begin(), name.end());
    EXPECT_EQ(name[8], L'-');
    EXPECT_EQ(name[14], L'4');
    for (wchar_t c : name) EXPECT_TRUE(c == L'-' || (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'));

    // A percent deadband outside 0..100: E_INVALIDARG and cleared outputs.
    FLOAT tooLarge = 100.5f;
    OPCHANDLE handle = 99;
    DWORD revised = 99;
    ComPtr<IUnknown> refused;
    EXPECT_EQ(server_->AddGroup(L"deadband", TRUE, 1000, 1, nullptr, &tooLarge, 0, &handle, &revised, IID_IUnknown,
                                refused.GetAddressOf()),
              E_INVALIDARG);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(revised, 0u);
    EXPECT_FALSE(refused);

    ComPtr<IUnknown> byName, identity;
    ASSERT_EQ(server_->GetGroupByName(L"Group1", IID_IUnknown, byName.GetAddressOf()), S_OK);
    ASSERT_EQ(first.As(&identity), S_OK);
    EXPECT_EQ(byName.Get(), identity.Get());
    ComPtr<IUnknown> missing;
    EXPECT_EQ(server_->GetGroupByName(L"nope", IID_IUnknown, missing.GetAddressOf()), kNotFound);

    // The client still holds the group: removal without force leaves it to die with the last reference.
    EXPECT_EQ(server_->RemoveGroup(h1, FALSE), kInUse);
    EXPECT_EQ(server_->RemoveGroup(h1, FALSE), kNotFound);
    EXPECT_EQ(server_->GetGroupByName(L"Group1", IID_IUnknown, missing.ReleaseAndGetAddressOf()), kNotFound);
}

std::vector<std::wstring> AllStrings(IEnumString* e) {
    std::vector<std::wstring> names;
    LPOLESTR text = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &text, &fetched) == S_OK && fetched == 1) {
        names.push_back(text);
        CoTaskMemFree(text);
    }
    return names;
}

TEST_F(Server, GroupEnumerators) {
    ComPtr<IEnumString> empty;
    EXPECT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                             reinterpret_cast<LPUNKNOWN*>(empty.GetAddressOf())),
              S_FALSE);
    ASSERT_TRUE(empty);
    LPOLESTR text = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(empty->Next(1, &text, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(empty->Skip(1), S_FALSE);

    ComPtr<IOPCGroupStateMgt> a, b, c;
    ASSERT_TRUE(SUCCEEDED(AddGroup(L"A", a)));
    ASSERT_TRUE(SUCCEEDED(AddGroup(L"B", b)));
    ASSERT_TRUE(SUCCEEDED(AddGroup(L"C", c)));

    ComPtr<IEnumString> names;
    ASSERT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_PRIVATE_CONNECTIONS, IID_IEnumString,
                                             reinterpret_cast<LPUNKNOWN*>(names.GetAddressOf())),
              S_OK);
    ASSERT_EQ(names->Next(1, &text, &fetched), S_OK);
    EXPECT_STREQ(text, L"A");
    CoTaskMemFree(text);
    ComPtr<IEnumString> clone;
    ASSERT_EQ(names->Clone(&clone), S_OK);
    EXPECT_EQ(AllStrings(clone.Get()), (std::vector<std::wstring>{L"B", L"C"}));
    EXPECT_EQ(AllStrings(names.Get()), (std::vector<std::wstring>{L"B", L"C"}));  // the clone did not move it
    EXPECT_EQ(names->Reset(), S_OK);
    // (Next(2, ..., NULL) cannot be seen across processes: the proxy always passes a count pointer.)
    LPOLESTR two[2] = {};
    EXPECT_EQ(names->Next(0, two, &fetched), E_INVALIDARG);
    EXPECT_EQ(fetched, 0u);

    ComPtr<IEnumUnknown> groups;
    ASSERT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                             reinterpret_cast<LPUNKNOWN*>(groups.GetAddressOf())),
              S_OK);
    IUnknown* got[4] = {};
    ASSERT_EQ(groups->Next(4, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    ComPtr<IUnknown> firstIdentity;
    ASSERT_EQ(a.As(&firstIdentity), S_OK);
    ComPtr<IUnknown> gotIdentity;
    ASSERT_EQ(got[0]->QueryInterface(IID_PPV_ARGS(&gotIdentity)), S_OK);
    EXPECT_EQ(gotIdentity.Get(), firstIdentity.Get());
    for (ULONG i = 0; i < fetched; ++i) got[i]->Release();

    ComPtr<IUnknown> variants;
    EXPECT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumVARIANT, variants.GetAddressOf()),
              E_NOINTERFACE);
}

// Group state, rename and clone through the proxies (GetState's name crosses as an [out] string).
TEST_F(Server, GroupStateRenameAndClone) {
    ComPtr<IOPCGroupStateMgt> alpha, beta;
    OPCHANDLE alphaHandle = 0, betaHandle = 0;
    ASSERT_EQ(AddGroup(L"alpha", alpha, &alphaHandle), S_OK);
    ASSERT_EQ(AddGroup(L"beta", beta, &betaHandle), S_OK);
    EXPECT_EQ(GroupName(alpha.Get()), L"alpha");

    // A rate below the scan period (250 ms for the test node) is revised up to it.
    DWORD requested = 0, revised = 0;
    BOOL active = FALSE;
    LONG bias = 60;
    OPCHANDLE client = 99;
    ASSERT_EQ(alpha->SetState(&requested, &revised, &active, &bias, nullptr, nullptr, &client), S_OK);
    EXPECT_EQ(revised, 250u);
    FLOAT percent = 5.0f, notANumber = std::numeric_limits<FLOAT>::quiet_NaN();
    EXPECT_EQ(alpha->SetState(nullptr, &revised, nullptr, nullptr, &percent, nullptr, nullptr), S_OK);
    EXPECT_EQ(alpha->SetState(nullptr, &revised, nullptr, nullptr, &notANumber, nullptr, nullptr), E_INVALIDARG);

    DWORD rate = 0, lcid = 0;
    BOOL isActive = TRUE;
    LONG timeBias = 0;
    FLOAT deadband = 1;
    OPCHANDLE clientHandle = 0, serverHandle = 0;
    CoStr name;
    ASSERT_EQ(alpha->GetState(&rate, &isActive, name.out(), &timeBias, &deadband, &lcid, &clientHandle,
                              &serverHandle),
              S_OK);
    EXPECT_EQ(rate, 250u);
    EXPECT_FALSE(isActive);
    EXPECT_EQ(timeBias, 60);
    EXPECT_EQ(deadband, 5.0f);
    EXPECT_EQ(clientHandle, 99u);
    EXPECT_EQ(serverHandle, alphaHandle);

    EXPECT_EQ(alpha->SetName(L"beta"), kDuplicateName);
    EXPECT_EQ(alpha->SetName(L"alpha"), S_OK);
    ASSERT_EQ(alpha->SetName(L"gamma"), S_OK);
    ComPtr<IOPCGroupStateMgt> found;
    EXPECT_EQ(server_->GetGroupByName(L"gamma", IID_IOPCGroupStateMgt,
                                      reinterpret_cast<LPUNKNOWN*>(found.GetAddressOf())),
              S_OK);
    EXPECT_EQ(GroupName(found.Get()), L"gamma");

    ComPtr<IOPCGroupStateMgt> clone;
    EXPECT_EQ(alpha->CloneGroup(L"beta", IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(clone.GetAddressOf())),
              kDuplicateName);
    ASSERT_EQ(alpha->CloneGroup(L"delta", IID_IOPCGroupStateMgt,
                                reinterpret_cast<LPUNKNOWN*>(clone.GetAddressOf())),
              S_OK);
    CoStr cloneName;
    OPCHANDLE cloneHandle = 0;
    ASSERT_EQ(clone->GetState(&rate, &isActive, cloneName.out(), &timeBias, &deadband, &lcid, &clientHandle,
                              &cloneHandle),
              S_OK);
    EXPECT_EQ(cloneName.text(), L"delta");
    EXPECT_EQ(deadband, 5.0f);
    EXPECT_FALSE(isActive);
    EXPECT_EQ(clientHandle, 99u);
    EXPECT_NE(cloneHandle, alphaHandle);

    for (OPCHANDLE h : {alphaHandle, betaHandle, cloneHandle}) EXPECT_EQ(server_->RemoveGroup(h, TRUE), S_OK);
}

class CountingSink final : public ComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        ++calls;
        reason = szReason ? szReason : L"<NULL>";
        return S_OK;
    }
    std::atomic<int> calls{0};
    std::wstring reason;
};

class NotASink final : public ComObject<IOPCCommon> {
public:
    STDMETHODIMP SetLocaleID(LCID) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocaleID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD*, LCID**) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientName(LPCWSTR) override { return E_NOTIMPL; }
};

TEST_F(Server, ShutdownConnectionPoint) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server_.As(&container), S_OK);
    ComPtr<IConnectionPoint> point, none;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &none), CONNECT_E_NOCONNECTION);
    IID iid = {};
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));

    auto first = Make<CountingSink>();
    auto second = Make<CountingSink>();
    auto third = Make<CountingSink>();
    DWORD c1 = 0, c2 = 0, c3 = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(first.Get()), &c1), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(second.Get()), &c2), S_OK);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(c2, 2u);
    EXPECT_EQ(point->Unadvise(c1), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(third.Get()), &c3), S_OK);
    EXPECT_EQ(c3, 1u);  // the freed slot is taken again
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(50), CONNECT_E_NOCONNECTION);

    auto wrong = Make<NotASink>();
    DWORD cookie = 9;
    EXPECT_EQ(point->Advise(static_cast<IOPCCommon*>(wrong.Get()), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);

    // EnumConnections is not checked across processes: when the sinks are the caller's own objects (as here),
    // Wine's own proxy for IEnumConnections::Next delivers the elements but misreports the count and the
    // result (0, or whatever the reply buffer held). random_calls shows it at its start on an enumerator of its
    // own, across two apartments of one process.
    EXPECT_EQ(point->Unadvise(c2), S_OK);
    EXPECT_EQ(point->Unadvise(c3), S_OK);
}

// Last test of the suite: it ends the server. Exit in the panel with a client connected asks first; on Yes the
// server sends ShutdownRequest to every advised sink. szReason is an [in, string] pointer: it must carry a text
// (possibly empty) to cross the process boundary at all.
TEST_F(Server, ExitSendsShutdownRequestToEveryAdvisedSink) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server_.As(&container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    auto first = Make<CountingSink>();
    auto second = Make<CountingSink>();
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(first.Get()), &c1), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(second.Get()), &c2), S_OK);

    const HWND panel = Panel();
    ASSERT_NE(panel, nullptr);
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    ASSERT_TRUE(uidriver::StopPanelNode(panel)) << "a running node keeps the panel open";
    uidriver::RequestClose(panel);
    const HWND box = uidriver::WaitForWindow({kServerPanelCaption, uidriver::kDialogClass, false, pid}, 20000);
    ASSERT_NE(box, nullptr) << "no confirmation box";
    uidriver::PressButton(box, IDYES);
    for (int i = 0; i < 150 && (first->calls.load() == 0 || second->calls.load() == 0); ++i) Sleep(100);
    EXPECT_EQ(first->calls.load(), 1);
    EXPECT_EQ(second->calls.load(), 1);
    // A client lets go when it is asked to.
    point.Reset();
    container.Reset();
    common_.Reset();
    server_.Reset();
}

}  // namespace
}  // namespace acceptance
