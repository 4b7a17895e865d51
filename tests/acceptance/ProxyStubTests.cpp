// The proxy/stub DLL across processes, against the stand-in server (acceptance_test_server.exe): every method
// whose [out] string parameter needs the corrected proxy format, strings inside structures, unique pointers,
// 16-bit enumerations and a callback from the server into a client sink.

#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>
#include <opccomn.h>
#include <opcda.h>

#include <string>
#include <vector>

#include "AcceptanceEnvironment.h"
#include "TestCom.h"
#include "TestServerContract.h"

namespace acceptance {
namespace {

// Frees a task-memory string when it goes.
struct CoStr {
    LPWSTR p = nullptr;
    ~CoStr() { CoTaskMemFree(p); }
    LPWSTR* out() { return &p; }
    std::wstring text() const { return p ? std::wstring(p) : std::wstring(L"<NULL>"); }
};

class ProxyStub : public ::testing::Test {
protected:
    void SetUp() override {
        HRESULT hr = CoCreateInstance(kTestServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&common_));
        ASSERT_EQ(hr, S_OK) << "COM activation of the stand-in server";
        ASSERT_EQ(common_.As(&server_), S_OK);
    }
    ComPtr<IOPCCommon> common_;
    ComPtr<IOPCServer> server_;
};

TEST_F(ProxyStub, CommonGetErrorStringFollowsTheLocale) {
    struct Case {
        LCID locale;
        const wchar_t* text;
    };
    for (const Case& c : {Case{0x409, kKnownErrorEnglish}, Case{0x419, kKnownErrorRussian},
                          Case{0, kKnownErrorEnglish}}) {
        SCOPED_TRACE(c.locale);
        ASSERT_EQ(common_->SetLocaleID(c.locale), S_OK);
        LCID stored = 0xFFFF;
        ASSERT_EQ(common_->GetLocaleID(&stored), S_OK);
        EXPECT_EQ(stored, c.locale);
        CoStr text;
        ASSERT_EQ(common_->GetErrorString(kKnownError, text.out()), S_OK);
        EXPECT_EQ(text.text(), c.text);  // NULL here means the [out] string proxy format is wrong
    }
}

TEST_F(ProxyStub, ServerGetErrorStringTakesTheLocaleArgument) {
    CoStr english, russian, unknown;
    ASSERT_EQ(server_->GetErrorString(kKnownError, 0x409, english.out()), S_OK);
    ASSERT_EQ(server_->GetErrorString(kKnownError, 0x419, russian.out()), S_OK);
    EXPECT_EQ(english.text(), kKnownErrorEnglish);
    EXPECT_EQ(russian.text(), kKnownErrorRussian);
    // A failing call returns no string, and the proxy does not invent one.
    EXPECT_EQ(server_->GetErrorString(E_FAIL, 0x409, unknown.out()), E_INVALIDARG);
    EXPECT_EQ(unknown.p, nullptr);
}

TEST_F(ProxyStub, QueryAvailableLocaleIDsReturnsTheCountedArray) {
    DWORD count = 0;
    LCID* ids = nullptr;
    ASSERT_EQ(common_->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 2u);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(ids[0], 0x409u);
    EXPECT_EQ(ids[1], 0x419u);
    CoTaskMemFree(ids);
}

TEST_F(ProxyStub, GetStatusCarriesTheVendorStringAndTheEnumeratedState) {
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server_->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_SUSPENDED);
    EXPECT_EQ(status->dwGroupCount, 7u);
    EXPECT_EQ(status->dwBandWidth, 0xFFFFFFFFu);
    EXPECT_EQ(status->wMajorVersion, 6);
    EXPECT_EQ(status->wMinorVersion, 1);
    EXPECT_EQ(status->wBuildNumber, 2);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, kVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(ProxyStub, BrowseGetItemIdAndOrganization) {
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(common_.As(&browse), S_OK);
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    ASSERT_EQ(browse->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
    CoStr id;
    wchar_t name[] = L"Насос1.Value";
    ASSERT_EQ(browse->GetItemID(name, id.out()), S_OK);
    EXPECT_EQ(id.text(), std::wstring(kItemIdPrefix) + name);
}

TEST_F(ProxyStub, GroupStateNameAndUniquePointers) {
    // AddGroup's time bias is a [unique] pointer: NULL must arrive as NULL, a value as that value.
    struct Case {
        const wchar_t* name;
        bool withBias;
        LONG bias;
    };
    for (const Case& c : {Case{L"Группа A", false, 0}, Case{L"", true, -180}}) {
        SCOPED_TRACE(c.withBias);
        LONG bias = c.bias;
        OPCHANDLE serverHandle = 0;
        DWORD revised = 0;
        ComPtr<IOPCGroupStateMgt> group;
        ASSERT_EQ(server_->AddGroup(c.name, TRUE, 250, 42, c.withBias ? &bias : nullptr, nullptr, 0x419,
                                    &serverHandle, &revised, IID_IOPCGroupStateMgt,
                                    reinterpret_cast<LPUNKNOWN*>(group.GetAddressOf())),
                  S_OK);
        ASSERT_TRUE(group);
        EXPECT_EQ(serverHandle, 1u);
        EXPECT_EQ(revised, 250u);
        DWORD rate = 0, lcid = 0;
        BOOL active = FALSE;
        LONG gotBias = 0;
        FLOAT deadband = -1;
        OPCHANDLE client = 0, server = 0;
        CoStr name;
        ASSERT_EQ(group->GetState(&rate, &active, name.out(), &gotBias, &deadband, &lcid, &client, &server), S_OK);
        EXPECT_EQ(name.text(), c.name);
        EXPECT_EQ(rate, 250u);
        EXPECT_TRUE(active);
        EXPECT_EQ(gotBias, c.withBias ? c.bias : kNoTimeBias);
        EXPECT_EQ(lcid, 0x419u);
        EXPECT_EQ(client, 42u);
        // SetState: only the given [unique] values change.
        DWORD newRate = 1000;
        ASSERT_EQ(group->SetState(&newRate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(revised, 1000u);
        CoStr again;
        ASSERT_EQ(group->GetState(&rate, &active, again.out(), &gotBias, &deadband, &lcid, &client, &server), S_OK);
        EXPECT_TRUE(active);
        EXPECT_EQ(lcid, 0x419u);
    }
}

TEST_F(ProxyStub, ItemPropertyStringArrays) {
    ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(common_.As(&properties), S_OK);
    wchar_t item[] = L"Plant.Pump1.Value";

    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(properties->QueryAvailableProperties(item, &count, &ids, &descriptions, &types), S_OK);
    ASSERT_EQ(count, 2u);
    ASSERT_NE(descriptions, nullptr);
    ASSERT_NE(descriptions[0], nullptr);
    EXPECT_STREQ(descriptions[0], L"Item Canonical Data Type");
    EXPECT_STREQ(descriptions[1], L"Item Value");
    EXPECT_EQ(ids[1], 2u);
    EXPECT_EQ(types[1], VT_R8);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(ids);
    CoTaskMemFree(types);

    DWORD wanted[] = {100, kUnknownProperty, 101};
    LPWSTR* newIds = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(properties->LookupItemIDs(item, 3, wanted, &newIds, &errors), S_FALSE);
    ASSERT_NE(newIds, nullptr);
    ASSERT_NE(errors, nullptr);
    ASSERT_NE(newIds[0], nullptr);
    EXPECT_EQ(std::wstring(newIds[0]), std::wstring(item) + L".100");
    EXPECT_EQ(newIds[1], nullptr);
    EXPECT_EQ(errors[1], static_cast<HRESULT>(0xC0040203));
    ASSERT_NE(newIds[2], nullptr);
    EXPECT_EQ(std::wstring(newIds[2]), std::wstring(item) + L".101");
    for (int i = 0; i < 3; ++i) CoTaskMemFree(newIds[i]);
    CoTaskMemFree(newIds);
    CoTaskMemFree(errors);
}

class ShutdownSink final : public ComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        reasons.push_back(szReason ? szReason : L"<NULL>");
        return S_OK;
    }
    std::vector<std::wstring> reasons;  // written on an RPC thread during the client's own call
};

TEST_F(ProxyStub, ShutdownRequestReachesTheClientSink) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(common_.As(&container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &none), CONNECT_E_NOCONNECTION);

    auto sink = Make<ShutdownSink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(sink.Get()), &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);

    ASSERT_EQ(common_->SetClientName(kCommandShutdown), S_OK);
    ASSERT_EQ(sink->reasons.size(), 1u);
    EXPECT_EQ(sink->reasons[0], kShutdownReason);

    // szReason is an [in, string] top-level pointer: a server cannot send NULL through the proxy; the call
    // fails in the server's proxy and the client never hears of it. A server must send a text (maybe empty).
    EXPECT_EQ(common_->SetClientName(kCommandShutdownNull), HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(sink->reasons.size(), 1u);

    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

}  // namespace
}  // namespace acceptance
