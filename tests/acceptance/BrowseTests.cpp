// Browsing the demo node and reading item properties through the proxies, then adding a browsed item to a
// group: what a client's tag browser does.

#include <gtest/gtest.h>

#include <ocidl.h>
#include <opccomn.h>
#include <opcda.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "AcceptanceEnvironment.h"
#include "TestCom.h"

namespace acceptance {
namespace {

const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
constexpr HRESULT kUnknownItem = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT kInvalidFilter = static_cast<HRESULT>(0xC0040009);
constexpr HRESULT kInvalidPid = static_cast<HRESULT>(0xC0040203);

using Names = std::vector<std::wstring>;

bool Has(const Names& names, const wchar_t* name) { return std::find(names.begin(), names.end(), name) != names.end(); }

class DemoBrowse : public DemoNodeSuite {
protected:
    void SetUp() override {
        DemoNodeSuite::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server_)), S_OK);
        ASSERT_EQ(server_.As(&browse_), S_OK);
        ASSERT_EQ(server_.As(&properties_), S_OK);
    }

    Names Browse(OPCBROWSETYPE type, const wchar_t* filter = L"", VARTYPE vt = VT_EMPTY, DWORD rights = 0) {
        ComPtr<IEnumString> e;
        const HRESULT hr = browse_->BrowseOPCItemIDs(type, filter, vt, rights, e.GetAddressOf());
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
        Names names;
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        while (e && e->Next(1, &name, &fetched) == S_OK && fetched == 1) {
            names.emplace_back(name);
            CoTaskMemFree(name);
        }
        return names;
    }

    // A new active group, asked for its IOPCItemMgt.
    ComPtr<IOPCItemMgt> AddItemGroup(const wchar_t* name, OPCHANDLE* handle) {
        DWORD revised = 0;
        ComPtr<IOPCItemMgt> items;
        EXPECT_EQ(server_->AddGroup(name, TRUE, 1000, 1, nullptr, nullptr, 0x409, handle, &revised, IID_IOPCItemMgt,
                                    reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())),
                  S_OK);
        return items;
    }

    ComPtr<IOPCServer> server_;
    ComPtr<IOPCBrowseServerAddressSpace> browse_;
    ComPtr<IOPCItemProperties> properties_;
};

TEST_F(DemoBrowse, FromTheTopToAnAttributeAndIntoAGroup) {
    OPCNAMESPACETYPE organization = OPC_NS_FLAT;
    ASSERT_EQ(browse_->QueryOrganization(&organization), S_OK);
    EXPECT_EQ(organization, OPC_NS_HIERARCHIAL);

    EXPECT_EQ(Browse(OPC_BRANCH), Names{L"Plant"});
    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant"), S_OK);
    const Names top = Browse(OPC_BRANCH);
    EXPECT_TRUE(Has(top, L"Intake") && Has(top, L"Treatment") && Has(top, L"Utilities"));
    EXPECT_EQ(Browse(OPC_BRANCH, L"I*"), Names{L"Intake"});
    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Intake"), S_OK);
    EXPECT_EQ(Browse(OPC_BRANCH), (Names{L"Basin.Level", L"Flow.Total"}));
    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Basin.Level"), S_OK);  // a name with a dot

    const Names leaves = Browse(OPC_LEAF);
    EXPECT_TRUE(Has(leaves, L"Value") && Has(leaves, L"Name") && Has(leaves, L"Units"));
    const Names reals = Browse(OPC_LEAF, L"", VT_R4);
    EXPECT_TRUE(Has(reals, L"Value"));
    EXPECT_FALSE(Has(reals, L"Name"));
    const Names writable = Browse(OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE);
    EXPECT_TRUE(Has(writable, L"Value") && Has(writable, L"LowLimit"));
    EXPECT_FALSE(Has(writable, L"Name"));
    EXPECT_LT(writable.size(), leaves.size());
    EXPECT_EQ(Browse(OPC_LEAF, L"", VT_EMPTY, OPC_READABLE), leaves);

    ComPtr<IEnumString> none;
    EXPECT_EQ(browse_->BrowseOPCItemIDs(OPC_LEAF, L"[", VT_EMPTY, 0, none.GetAddressOf()), kInvalidFilter);
    EXPECT_FALSE(none);

    // The item's identifier crosses as an [out] string.
    LPWSTR id = nullptr;
    ASSERT_EQ(browse_->GetItemID(const_cast<LPWSTR>(L"Value"), &id), S_OK);
    ASSERT_NE(id, nullptr);
    const std::wstring itemId = id;
    CoTaskMemFree(id);
    EXPECT_EQ(itemId, L"Plant.Intake.Basin.Level.Value");
    ASSERT_EQ(browse_->GetItemID(const_cast<LPWSTR>(L""), &id), S_OK);  // a string parameter: "" not NULL
    EXPECT_STREQ(id, L"Plant.Intake.Basin.Level");
    CoTaskMemFree(id);

    ComPtr<IEnumString> paths;
    ASSERT_EQ(browse_->BrowseAccessPaths(itemId.c_str(), paths.GetAddressOf()), S_OK);
    LPOLESTR path = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(paths->Next(1, &path, &fetched), S_OK);
    EXPECT_EQ(std::wstring(path), itemId);
    CoTaskMemFree(path);

    // Properties: by the short name relative to the position and by the full identifier.
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(properties_->QueryAvailableProperties(const_cast<LPWSTR>(L"Value"), &count, &ids, &texts, &types),
              S_OK);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(types[1], VT_R4);
    EXPECT_STREQ(texts[1], L"Item Value");
    EXPECT_STREQ(texts[5], L"Server Scan Rate");
    EXPECT_STREQ(texts[6], L"Item EU Type");
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(texts[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(texts);
    CoTaskMemFree(types);

    DWORD wanted[] = {1, 2, 5, 9};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(properties_->GetItemProperties(const_cast<LPWSTR>(itemId.c_str()), 4, wanted, &values, &errors),
              S_FALSE);
    EXPECT_EQ(values[0].iVal, VT_R4);
    EXPECT_EQ(values[1].vt, VT_R4);
    EXPECT_EQ(values[2].lVal, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(errors[3], kInvalidPid);
    for (int i = 0; i < 4; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    EXPECT_EQ(properties_->QueryAvailableProperties(const_cast<LPWSTR>(L"Plant.Intake"), &count, &ids, &texts,
                                                    &types),
              kUnknownItem);

    // The browsed identifier is an item a group takes.
    OPCHANDLE groupHandle = 0;
    ComPtr<IOPCItemMgt> items = AddItemGroup(L"browsed", &groupHandle);
    ASSERT_TRUE(items);
    OPCITEMDEF def{};
    def.szItemID = const_cast<LPWSTR>(itemId.c_str());
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.bActive = TRUE;
    def.hClient = 5;
    OPCITEMRESULT* results = nullptr;
    ASSERT_EQ(items->AddItems(1, &def, &results, &errors), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(results[0].dwAccessRights, static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE));
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(server_->RemoveGroup(groupHandle, TRUE), S_OK);
}

// What common clients need beyond the walk: a flat browse that lists items, a group with their default
// percent deadband, and the scan-rate and EU-type properties.
TEST_F(DemoBrowse, FlatBrowseListsEveryItemIdentifierBelowThePosition) {
    const Names all = Browse(OPC_FLAT);  // above the root: the whole node
    ASSERT_GT(all.size(), 50u);
    EXPECT_TRUE(Has(all, L"Plant.Intake.Basin.Level.Value"));
    for (const auto& id : all) EXPECT_EQ(id.rfind(L"Plant.", 0), 0u) << std::string(id.begin(), id.end());

    // Every identifier is an item that a group takes.
    OPCHANDLE groupHandle = 0;
    ComPtr<IOPCItemMgt> items = AddItemGroup(L"flat", &groupHandle);
    ASSERT_TRUE(items);
    std::vector<OPCITEMDEF> defs(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        defs[i].szItemID = const_cast<LPWSTR>(all[i].c_str());
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->ValidateItems(static_cast<DWORD>(defs.size()), defs.data(), FALSE, &results, &errors), S_OK);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(server_->RemoveGroup(groupHandle, TRUE), S_OK);

    // Below a channel: the channel's leaves, as a LEAF browse there gives them, fully qualified.
    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Intake.Basin.Level"), S_OK);
    Names expected;
    for (const auto& leaf : Browse(OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE))
        expected.push_back(L"Plant.Intake.Basin.Level." + leaf);
    EXPECT_EQ(Browse(OPC_FLAT, L"", VT_EMPTY, OPC_WRITEABLE), expected);

    // Below a group, with the filter on the identifier, fetched in batches across the boundary.
    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Intake"), S_OK);
    ComPtr<IEnumString> e;
    ASSERT_EQ(browse_->BrowseOPCItemIDs(OPC_FLAT, L"*.Value", VT_EMPTY, 0, e.GetAddressOf()), S_OK);
    LPOLESTR batch[16] = {};
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(16, batch, &fetched), S_FALSE);
    Names values;
    for (ULONG i = 0; i < fetched; ++i) {
        values.emplace_back(batch[i]);
        CoTaskMemFree(batch[i]);
    }
    EXPECT_EQ(values, (Names{L"Plant.Intake.Basin.Level.Value", L"Plant.Intake.Flow.Total.Value"}));
    ComPtr<IEnumString> none;
    EXPECT_EQ(browse_->BrowseOPCItemIDs(OPC_FLAT, L"Value", VT_EMPTY, 0, none.GetAddressOf()), S_FALSE)
        << "the filter applies to the identifier, not to the leaf's name";
    EXPECT_EQ(browse_->BrowseOPCItemIDs(OPC_FLAT, L"[", VT_EMPTY, 0, none.ReleaseAndGetAddressOf()),
              kInvalidFilter);
    EXPECT_FALSE(none);
}

TEST_F(DemoBrowse, GroupsKeepTheirPercentDeadband) {
    struct Case {
        FLOAT deadband;
        HRESULT expected;
    };
    const Case cases[] = {{1.0f, S_OK}, {0.5f, S_OK}, {100.0f, S_OK}, {-1.0f, E_INVALIDARG},
                          {100.5f, E_INVALIDARG}, {std::numeric_limits<FLOAT>::quiet_NaN(), E_INVALIDARG}};
    int n = 0;
    for (const Case& c : cases) {
        FLOAT deadband = c.deadband;
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ComPtr<IOPCGroupStateMgt> group;
        const std::wstring name = L"deadband" + std::to_wstring(n++);
        const HRESULT hr = server_->AddGroup(name.c_str(), TRUE, 1000, 1, nullptr, &deadband, 0x409, &handle,
                                             &revised, IID_IOPCGroupStateMgt,
                                             reinterpret_cast<LPUNKNOWN*>(group.GetAddressOf()));
        EXPECT_EQ(hr, c.expected) << c.deadband;
        if (FAILED(hr)) continue;
        auto reported = [&] {
            DWORD rate = 0, lcid = 0;
            BOOL active = FALSE;
            LONG bias = 0;
            FLOAT got = -1;
            OPCHANDLE client = 0, server = 0;
            LPWSTR text = nullptr;
            EXPECT_EQ(group->GetState(&rate, &active, &text, &bias, &got, &lcid, &client, &server), S_OK);
            CoTaskMemFree(text);
            return got;
        };
        EXPECT_EQ(reported(), c.deadband);
        FLOAT changed = 25.0f, wrong = -0.5f;
        EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, &changed, nullptr, nullptr), S_OK);
        EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, &wrong, nullptr, nullptr), E_INVALIDARG);
        EXPECT_EQ(reported(), 25.0f);
        group.Reset();
        EXPECT_EQ(server_->RemoveGroup(handle, TRUE), S_OK);
    }
}

TEST_F(DemoBrowse, ScanRateAndEuTypeProperties) {
    LPWSTR item = const_cast<LPWSTR>(L"Plant.Intake.Basin.Level.Name");
    DWORD wanted[] = {6, 7};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(properties_->GetItemProperties(item, 2, wanted, &values, &errors), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(values[0].vt, VT_R4);
    EXPECT_EQ(values[0].fltVal, 500.0f) << "the demo node's scan period";
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(values[1].vt, VT_I4);
    EXPECT_EQ(values[1].lVal, OPC_NOENUM);
    for (int i = 0; i < 2; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

}  // namespace
}  // namespace acceptance
