// The server object's browsing and item-property methods as a client calls them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "opc/common/ComMemory.h"
#include "opc/common/OpcErrors.h"
#include "runtime/AddressSpace.h"

namespace opc::test {
namespace {

class ServerBrowse : public ModuleFixture {
protected:
    void SetUp() override {
        ModuleFixture::SetUp();
        fake.AddGroup(0, "Plant");
        fake.AddGroup(40, "Line", 0).Channels({7});
        fake.AddChannel(7, 4, "Temp").Set(2, 21.5f);
        fake.AddChannel(9, 2, "Flow.In");
        for (int a = 0; a < 256; ++a) fake.SetAttributeName(a, "A" + std::to_string(a));
        fake.SetAttributeName(2, "Value");
        module->SetRoot(BuildAddressSpace(fake));
        server = NewServer();
        ASSERT_TRUE(server);
        ASSERT_EQ(server.As(&browse), S_OK);
        ASSERT_EQ(server.As(&properties), S_OK);
    }
    void TearDown() override {
        browse.Reset();
        properties.Reset();
        server.Reset();
        ModuleFixture::TearDown();
    }

    // All names of an enumerator.
    static std::vector<std::wstring> Names(IEnumString* e) {
        std::vector<std::wstring> names;
        if (!e) return names;
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        while (e->Next(1, &name, &fetched) == S_OK && fetched == 1) {
            names.emplace_back(name);
            CoTaskMemFree(name);
        }
        return names;
    }
    std::vector<std::wstring> Browse(OPCBROWSETYPE type, LPCWSTR filter, HRESULT expected) {
        ComPtr<IEnumString> e;
        EXPECT_EQ(browse->BrowseOPCItemIDs(type, filter, VT_EMPTY, 0, e.GetAddressOf()), expected);
        return Names(e.Get());
    }
    std::wstring ItemId(LPCWSTR text) {
        LPWSTR id = nullptr;
        EXPECT_EQ(browse->GetItemID(const_cast<LPWSTR>(text), &id), S_OK);
        std::wstring result = id ? id : L"<null>";
        CoTaskMemFree(id);
        return result;
    }

    ComPtr<IOPCServer> server;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ComPtr<IOPCItemProperties> properties;
};

TEST_F(ServerBrowse, WalksFromAboveTheRootDownToAChannel) {
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    EXPECT_EQ(browse->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(browse->QueryOrganization(nullptr), E_INVALIDARG);

    EXPECT_EQ(Browse(OPC_BRANCH, nullptr, S_OK), std::vector<std::wstring>{L"Plant"});
    EXPECT_TRUE(Browse(OPC_LEAF, nullptr, S_FALSE).empty());
    EXPECT_EQ(Browse(OPC_FLAT, L"*", S_OK).front(), L"Plant.Line.Temp.A0") << "above the root: the whole tree";
    EXPECT_EQ(ItemId(L""), L"");
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);

    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant.Line"), S_OK);
    EXPECT_EQ(Browse(OPC_BRANCH, L"", S_OK), std::vector<std::wstring>{L"Temp"});
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Temp"), S_OK);
    EXPECT_EQ(Browse(OPC_LEAF, L"Val*", S_OK), std::vector<std::wstring>{L"Value"});
    EXPECT_EQ(ItemId(L"Value"), L"Plant.Line.Temp.Value");
    EXPECT_EQ(ItemId(nullptr), L"Plant.Line.Temp");
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Value"), E_FAIL);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, nullptr), E_INVALIDARG);
    EXPECT_EQ(browse->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(9), L"x"), E_INVALIDARG);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK);
    EXPECT_EQ(ItemId(nullptr), L"");
}

TEST_F(ServerBrowse, EachServerObjectHasItsOwnPosition) {
    ComPtr<IOPCServer> other = NewServer();
    ComPtr<IOPCBrowseServerAddressSpace> otherBrowse;
    ASSERT_EQ(other.As(&otherBrowse), S_OK);
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line"), S_OK);
    LPWSTR id = nullptr;
    ASSERT_EQ(otherBrowse->GetItemID(nullptr, &id), S_OK);
    EXPECT_STREQ(id, L"");
    CoTaskMemFree(id);
}

TEST_F(ServerBrowse, LongFiltersOnBranchesAndLeaves) {
    // A run of '*' means what one '*' means; the long forms once stalled the server object.
    const std::wstring stars(1000, L'*');
    struct Case {
        const wchar_t* position;
        OPCBROWSETYPE type;
        std::wstring filter;
        const wchar_t* sameAs; // the short form, listing the same names
        std::size_t atLeast;
    };
    const Case cases[] = {
        {L"Plant", OPC_BRANCH, stars + L"#", L"*#", 0},
        {L"Plant", OPC_BRANCH, stars + L"n", L"*n", 1},
        {L"Plant", OPC_BRANCH, stars + L"." + stars, L"*.*", 1},
        {L"Plant.Line.Temp", OPC_LEAF, stars + L"A2#", L"*A2#", 1},
        {L"Plant.Line.Temp", OPC_LEAF, stars + L"e", L"*e", 1},
        {L"Plant.Line.Temp", OPC_LEAF, stars + L"#x", L"*#x", 0},
        {L"Plant.Line.Temp", OPC_FLAT, stars + L".Value", L"*.Value", 1},   // matched against the whole ID
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.sameAs)) + " type " + std::to_string(c.type));
        ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, c.position), S_OK);
        const auto expected = Browse(c.type, c.sameAs, c.atLeast ? S_OK : S_FALSE);
        EXPECT_GE(expected.size(), c.atLeast);
        EXPECT_EQ(Browse(c.type, c.filter.c_str(), expected.empty() ? S_FALSE : S_OK), expected);
    }
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    EXPECT_EQ(Browse(OPC_LEAF, (stars + L"e").c_str(), S_OK), std::vector<std::wstring>{L"Value"});
}

TEST_F(ServerBrowse, ABrowseInProgressDoesNotHoldUpTheServerObject) {
    using namespace std::chrono_literals;
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    // The data-type filter reads the channel's type: the browse waits there.
    std::promise<void> entered, gate;
    std::shared_future<void> open = gate.get_future().share();
    std::atomic<bool> held{false};
    fake.Hook("GetChannelInt", [&] {
        if (held.exchange(true)) return;
        entered.set_value();
        open.wait();
    });
    std::thread browsing([&] {
        ComPtr<IEnumString> e;
        EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_LEAF, L"V*", VT_R4, 0, e.GetAddressOf()), S_OK);
        EXPECT_EQ(Names(e.Get()), std::vector<std::wstring>{L"Value"});
    });
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    auto status = std::async(std::launch::async, [&] {
        OPCSERVERSTATUS* st = nullptr;
        const HRESULT hr = server->GetStatus(&st);
        if (st) {
            CoTaskMemFree(st->szVendorInfo);
            CoTaskMemFree(st);
        }
        return hr;
    });
    EXPECT_EQ(status.wait_for(10s), std::future_status::ready) << "GetStatus waited for the browse";
    gate.set_value();
    browsing.join();
    EXPECT_EQ(status.get(), S_OK);
    fake.Hook("GetChannelInt", nullptr);
}

TEST_F(ServerBrowse, ArgumentAndFilterFailuresReturnNoEnumerator) {
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, nullptr), E_INVALIDARG);
    IEnumString* e = reinterpret_cast<IEnumString*>(0x1);
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, L"[", VT_EMPTY, 0, &e), OPC_E_INVALIDFILTER);
    EXPECT_EQ(e, nullptr);
    e = reinterpret_cast<IEnumString*>(0x1);
    EXPECT_EQ(browse->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(0), L"", VT_EMPTY, 0, &e), E_INVALIDARG);
    EXPECT_EQ(e, nullptr);

    LPWSTR id = reinterpret_cast<LPWSTR>(0x1);
    EXPECT_EQ(browse->GetItemID(const_cast<LPWSTR>(L"Nothing"), &id), E_FAIL);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(browse->GetItemID(const_cast<LPWSTR>(L"Plant"), nullptr), E_INVALIDARG);
}

TEST_F(ServerBrowse, FlatBrowseEnumeratorMakesTheIdentifiersAsTheyAreFetched) {
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant"), S_OK);
    const long locks = module->LockCount();
    ComPtr<IEnumString> e;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, e.GetAddressOf()), S_OK);
    EXPECT_EQ(module->LockCount(), locks + 1);
    const std::vector<std::wstring> all = Names(e.Get());
    ASSERT_GT(all.size(), 8u);
    EXPECT_EQ(all.front(), L"Plant.Line.Temp.A0");
    EXPECT_EQ(all.back().rfind(L"Plant.Flow.In.", 0), 0u) << "the second channel last";
    auto slice = [&](std::size_t from, std::size_t count) {
        return std::vector<std::wstring>(all.begin() + from, all.begin() + std::min(all.size(), from + count));
    };

    // Batches, Skip, Clone and Reset over the same walk.
    const ULONG n = static_cast<ULONG>(all.size());
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(Take(e.Get(), 3, S_OK), slice(0, 3));
    EXPECT_EQ(e->Skip(2), S_OK);
    ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(module->LockCount(), locks + 2);
    EXPECT_EQ(Take(clone.Get(), n, S_FALSE), slice(5, n)) << "a clone goes on from where its source stands";
    EXPECT_EQ(Take(e.Get(), 1, S_OK), slice(5, 1)) << "and moves on its own";
    EXPECT_EQ(e->Skip(n), S_FALSE);
    EXPECT_EQ(Take(e.Get(), 1, S_FALSE), std::vector<std::wstring>{});
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(n), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ(Take(clone.Get(), n + 1, S_FALSE), all);

    ExpectEnumeratorArgumentChecks(e.Get());

    // The enumerators outlive the server object that made them.
    browse.Reset();
    properties.Reset();
    server.Reset();
    ASSERT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(Take(e.Get(), 2, S_OK), slice(0, 2));
    e.Reset();
    clone.Reset();
    EXPECT_EQ(module->LockCount(), locks - 1) << "the server object's lock went with it";
}

TEST_F(ServerBrowse, FlatBrowseThatFindsNothingStillGivesAnEnumerator) {
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    ComPtr<IEnumString> e;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, L"Value", VT_EMPTY, 0, e.GetAddressOf()), S_FALSE);
    ASSERT_TRUE(e);
    EXPECT_EQ(Take(e.Get(), 1, S_FALSE), std::vector<std::wstring>{});
    e.Reset();
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, L"*.Value", VT_R4, OPC_WRITEABLE, e.GetAddressOf()), S_OK);
    EXPECT_EQ(Names(e.Get()), std::vector<std::wstring>{L"Plant.Line.Temp.Value"});
    e.Reset();
    IEnumString* none = reinterpret_cast<IEnumString*>(0x1);
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, L"[", VT_EMPTY, 0, &none), OPC_E_INVALIDFILTER);
    EXPECT_EQ(none, nullptr);
}

TEST_F(ServerBrowse, AccessPathsAreTheIdentifierItself) {
    ComPtr<IEnumString> e;
    EXPECT_EQ(browse->BrowseAccessPaths(L"Plant.Line.Temp.Value", e.GetAddressOf()), S_OK);
    EXPECT_EQ(Names(e.Get()), std::vector<std::wstring>{L"Plant.Line.Temp.Value"});
    e.Reset();
    EXPECT_EQ(browse->BrowseAccessPaths(L"Plant.Nothing", e.GetAddressOf()), E_FAIL);
    EXPECT_FALSE(e);
    EXPECT_EQ(browse->BrowseAccessPaths(nullptr, e.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(browse->BrowseAccessPaths(L"Plant", nullptr), E_INVALIDARG);
}

TEST_F(ServerBrowse, PropertiesOfItemsNotOfBranches) {
    DWORD count = 9;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_EQ(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"Plant.Line.Temp"), &count, &ids, &texts,
                                                   &types),
              OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(properties->QueryAvailableProperties(const_cast<LPWSTR>(L""), &count, &ids, &texts, &types),
              E_INVALIDARG);
    EXPECT_EQ(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"Plant.Line.Temp.Value"), &count, &ids,
                                                   &texts, nullptr),
              E_INVALIDARG);
    ASSERT_EQ(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"Plant.Line.Temp.Value"), &count, &ids,
                                                   &texts, &types),
              S_OK);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(types[1], VT_R4);
    EXPECT_STREQ(texts[4], L"Item Access Rights");
    EXPECT_EQ(ids[5], 6u);
    EXPECT_EQ(types[5], VT_R4);
    EXPECT_EQ(ids[6], 7u);
    EXPECT_EQ(types[6], VT_I4);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(texts[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(texts);
    CoTaskMemFree(types);
}

TEST_F(ServerBrowse, ItemPropertiesWithPerEntryErrorsAndRelativeNames) {
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    DWORD ids[] = {1, 8, 3, 6, 7};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(properties->GetItemProperties(const_cast<LPWSTR>(L"Value"), 5, ids, &values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALID_PID);
    EXPECT_EQ(errors[2], S_OK);
    EXPECT_EQ(values[0].iVal, VT_R4);
    EXPECT_EQ(values[1].vt, VT_EMPTY);
    EXPECT_EQ(values[2].iVal, 192);
    EXPECT_EQ(errors[3], S_OK);
    EXPECT_EQ(values[3].vt, VT_R4);
    EXPECT_EQ(values[3].fltVal, 100.0f) << "the node's scan period";
    EXPECT_EQ(errors[4], S_OK);
    EXPECT_EQ(values[4].vt, VT_I4);
    EXPECT_EQ(values[4].lVal, 0) << "no engineering units";
    for (int i = 0; i < 5; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(ServerBrowse, ItemPropertiesRefusals) {
    DWORD ids[] = {1};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR item = const_cast<LPWSTR>(L"Plant.Line.Temp.Value");
    EXPECT_EQ(properties->GetItemProperties(item, 0, ids, &values, &errors), E_INVALIDARG);
    EXPECT_EQ(properties->GetItemProperties(item, 0xFFFFFFFFu, ids, &values, &errors), E_INVALIDARG);
    EXPECT_EQ(properties->GetItemProperties(item, 1, nullptr, &values, &errors), E_INVALIDARG);
    EXPECT_EQ(properties->GetItemProperties(const_cast<LPWSTR>(L"Plant.Line"), 1, ids, &values, &errors),
              OPC_E_UNKNOWNITEMID);
    fake.Fail("GetChannelInt", 7, 48);  // the channel's type cannot be read any more
    EXPECT_EQ(properties->GetItemProperties(item, 1, ids, &values, &errors), E_FAIL);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(errors, nullptr);

    LPWSTR* newIds = reinterpret_cast<LPWSTR*>(0x1);
    errors = reinterpret_cast<HRESULT*>(0x1);
    EXPECT_EQ(properties->LookupItemIDs(item, 1, ids, &newIds, &errors), OPC_E_NOTSUPPORTED);
    EXPECT_EQ(newIds, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(properties->LookupItemIDs(item, 0, ids, &newIds, &errors), E_INVALIDARG);
}

TEST_F(ServerBrowse, EveryMethodRefusesWhileShuttingDown) {
    module->SetShuttingDown(true);
    EXPECT_EQ(browse->QueryOrganization(nullptr), E_FAIL);  // the flag comes first here
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""), E_FAIL);
    ComPtr<IEnumString> e;
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, e.GetAddressOf()), E_FAIL);
    EXPECT_EQ(browse->BrowseAccessPaths(L"Plant", e.GetAddressOf()), E_FAIL);
    LPWSTR id = nullptr;
    EXPECT_EQ(browse->GetItemID(nullptr, &id), E_FAIL);
    DWORD ids[] = {1};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR item = const_cast<LPWSTR>(L"Plant.Line.Temp.Value");
    EXPECT_EQ(properties->GetItemProperties(item, 1, ids, &values, &errors), E_FAIL);
    LPWSTR* newIds = nullptr;
    EXPECT_EQ(properties->LookupItemIDs(item, 1, ids, &newIds, &errors), E_FAIL);
    module->SetShuttingDown(false);
}

} // namespace
} // namespace opc::test
