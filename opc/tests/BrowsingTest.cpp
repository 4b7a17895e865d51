#include "opc/server/AddressSpaceBrowser.h"
#include "opc/server/ItemProperties.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeRuntime.h"
#include "opc/common/OpcErrors.h"
#include "opcda.h"
#include "runtime/AddressSpace.h"

using opc::server::AddressSpaceBrowser;
using Names = std::vector<std::wstring>;

namespace {

// Plant (group 0)
//   Line (group 40): Temp (ch 7, type 4), Pump (ch 8, type 1)
//     Cell (group 41, parent 40): no channels
//   Flow.In (ch 9, type 2, no group; a name with a dot)
// Attribute names: "A<id>", attribute 2 "Value", attribute 8 "Lock".
struct Plant : ::testing::Test {
    Plant() {
        fake.AddGroup(0, "Plant");
        fake.AddGroup(40, "Line", 0).Channels({7, 8});
        fake.AddGroup(41, "Cell", 40);
        fake.AddChannel(7, 4, "Temp").Set(2, 21.5f).Set(0, 1.0f).Set(127, "Temp");
        fake.AddChannel(8, 1, "Pump").Set(2, 5).Set(3, 5).Set(45, 86400);
        fake.AddChannel(9, 2, "Flow.In");
        for (int a = 0; a < 256; ++a) fake.SetAttributeName(a, "A" + std::to_string(a));
        fake.SetAttributeName(2, "Value");
        fake.SetAttributeName(8, "Lock");
        root = BuildAddressSpace(fake);
    }
    Names Browse(AddressSpaceBrowser& b, DWORD type, const wchar_t* filter = L"", VARTYPE vt = VT_EMPTY,
                 DWORD rights = 0, HRESULT expected = S_OK) {
        Names names;
        EXPECT_EQ(b.BrowseNames(fake, type, filter, vt, rights, names), expected);
        return names;
    }
    const AttributeNode& Item(const wchar_t* id) {
        item = Resolve(*root, id);
        EXPECT_TRUE(item && !item->IsBranch());
        return static_cast<const AttributeNode&>(*item);
    }
    FakeRuntime fake;
    std::shared_ptr<GroupNode> root;
    std::shared_ptr<AddressSpaceNode> item;
};

std::wstring Id(const AddressSpaceBrowser& b, const wchar_t* text) {
    std::wstring id;
    EXPECT_EQ(b.ItemId(text, id), S_OK);
    return id;
}

TEST_F(Plant, ANewPositionIsAboveTheRoot) {
    AddressSpaceBrowser b(root);
    EXPECT_EQ(Browse(b, OPC_BRANCH), Names{L"Plant"});
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_EMPTY, 0, S_FALSE), Names{});
    EXPECT_EQ(Browse(b, OPC_BRANCH, L"X*", VT_EMPTY, 0, S_FALSE), Names{});
    EXPECT_EQ(Id(b, L""), L"");
    EXPECT_EQ(Id(b, nullptr), L"");
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_UP, nullptr), E_FAIL);
}

TEST_F(Plant, MovingUpAndDown) {
    AddressSpaceBrowser b(root);
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, L"Plant"), S_OK);
    EXPECT_EQ(Id(b, nullptr), L"Plant");
    EXPECT_EQ(Browse(b, OPC_BRANCH), (Names{L"Line", L"Flow.In"}));
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_UP, nullptr), S_OK);
    EXPECT_FALSE(b.Position());

    // Several components at once, then into a channel.
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, L"Plant.Line"), S_OK);
    EXPECT_EQ(Browse(b, OPC_BRANCH), (Names{L"Cell", L"Temp", L"Pump"}));
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, L"Temp"), S_OK);
    EXPECT_EQ(Id(b, L""), L"Plant.Line.Temp");
    EXPECT_EQ(Browse(b, OPC_BRANCH, L"", VT_EMPTY, 0, S_FALSE), Names{});

    // Failures leave the position as it was.
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, L"Value"), E_FAIL);  // a leaf
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, L"Nothing"), E_FAIL);
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, L""), E_INVALIDARG);
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_DOWN, nullptr), E_INVALIDARG);
    EXPECT_EQ(b.ChangePosition(7, L"Plant"), E_INVALIDARG);
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Line"), E_FAIL);  // not absolute
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Line.Temp.Value"), E_FAIL);
    EXPECT_EQ(Id(b, nullptr), L"Plant.Line.Temp");

    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Flow.In"), S_OK);  // a dotted channel name
    EXPECT_EQ(Id(b, nullptr), L"Plant.Flow.In");
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_UP, nullptr), S_OK);
    EXPECT_EQ(Id(b, nullptr), L"Plant");
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_TO, L""), S_OK);
    EXPECT_FALSE(b.Position());
    EXPECT_EQ(b.ChangePosition(OPC_BROWSE_TO, nullptr), S_OK);
}

TEST_F(Plant, LeavesOfAChannelWithTypeAndRightsFilters) {
    AddressSpaceBrowser b(root);
    ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    const Names all = Browse(b, OPC_LEAF);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0], L"A0");
    EXPECT_EQ(all[2], L"Value");
    EXPECT_EQ(Browse(b, OPC_LEAF, L"*", VT_EMPTY, OPC_READABLE), all);
    EXPECT_EQ(Browse(b, OPC_LEAF, nullptr), all);
    // Type 4: attribute 2 and 26-32 are writable.
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE),
              (Names{L"Value", L"A26", L"A27", L"A28", L"A29", L"A30", L"A31", L"A32"}));
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE | OPC_READABLE | 0xF0),
              (Names{L"Value", L"A26", L"A27", L"A28", L"A29", L"A30", L"A31", L"A32"}));
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_BSTR), (Names{L"A47", L"A79", L"A80", L"A126", L"A127"}));
    EXPECT_EQ(Browse(b, OPC_LEAF, L"A12?", VT_BSTR), (Names{L"A126", L"A127"}));
    EXPECT_EQ(Browse(b, OPC_LEAF, L"V*"), Names{L"Value"});
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_CY, 0, S_FALSE), Names{});
}

TEST_F(Plant, FlatBrowseListsTheIdentifiersOfEveryLeafBelowThePosition) {
    // What LEAF browses of the channels, in tree order, give with the same filters, fully qualified.
    auto leavesOf = [&](const std::vector<const wchar_t*>& channels, const wchar_t* filter, VARTYPE vt,
                        DWORD rights) {
        Names ids;
        for (const wchar_t* channel : channels) {
            AddressSpaceBrowser at(root);
            EXPECT_EQ(at.ChangePosition(OPC_BROWSE_TO, channel), S_OK);
            Names leaves;
            EXPECT_TRUE(SUCCEEDED(at.BrowseNames(fake, OPC_LEAF, filter, vt, rights, leaves)));
            for (const auto& leaf : leaves) ids.push_back(std::wstring(channel) + L"." + leaf);
        }
        return ids;
    };
    const auto temp = L"Plant.Line.Temp", pump = L"Plant.Line.Pump", flow = L"Plant.Flow.In";
    struct Case {
        const wchar_t* position;  // "" above the root
        std::vector<const wchar_t*> channels;
    };
    const Case cases[] = {
        {L"", {temp, pump, flow}}, {L"Plant", {temp, pump, flow}},   {L"Plant.Line", {temp, pump}},
        {L"Plant.Line.Pump", {pump}}, {L"Plant.Flow.In", {flow}}, {L"Plant.Line.Cell", {}},
    };
    struct Filter {
        VARTYPE vt;
        DWORD rights;
    };
    const Filter filters[] = {{VT_EMPTY, 0}, {VT_EMPTY, OPC_READABLE}, {VT_BSTR, 0}, {VT_EMPTY, OPC_WRITEABLE},
                              {VT_R4, OPC_WRITEABLE}, {VT_CY, 0}};
    for (const Case& c : cases) {
        AddressSpaceBrowser b(root);
        ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, c.position), S_OK);
        for (const Filter& f : filters) {
            const Names expected = leavesOf(c.channels, L"", f.vt, f.rights);
            EXPECT_EQ(Browse(b, OPC_FLAT, L"", f.vt, f.rights, expected.empty() ? S_FALSE : S_OK), expected)
                << c.position << " type " << f.vt << " rights " << f.rights;
        }
    }
    AddressSpaceBrowser b(root);
    EXPECT_GT(Browse(b, OPC_FLAT).size(), 100u);
    EXPECT_EQ(Browse(b, OPC_FLAT).front(), L"Plant.Line.Temp.A0");
}

TEST_F(Plant, FlatBrowseFilterAppliesToTheIdentifier) {
    AddressSpaceBrowser b(root);
    const Names values = Browse(b, OPC_FLAT, L"*.Value");
    ASSERT_FALSE(values.empty());
    for (const auto& id : values) EXPECT_EQ(id.substr(id.size() - 6), L".Value") << id;
    EXPECT_EQ(values.front(), L"Plant.Line.Temp.Value");
    EXPECT_EQ(Browse(b, OPC_FLAT, L"Plant.Line.Temp.A12?", VT_BSTR),
              (Names{L"Plant.Line.Temp.A126", L"Plant.Line.Temp.A127"}));
    EXPECT_EQ(Browse(b, OPC_FLAT, L"Plant.Line.[!P]*.A12#", VT_BSTR),
              (Names{L"Plant.Line.Temp.A126", L"Plant.Line.Temp.A127"}));
    EXPECT_EQ(Browse(b, OPC_FLAT, L"Value", VT_EMPTY, 0, S_FALSE), Names{}) << "a leaf's name is not its identifier";
    ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    EXPECT_EQ(Browse(b, OPC_FLAT, L"A12?", VT_EMPTY, 0, S_FALSE), Names{});
    EXPECT_EQ(Browse(b, OPC_FLAT, L"*A12?", VT_BSTR), (Names{L"Plant.Line.Temp.A126", L"Plant.Line.Temp.A127"}));
    Names names{L"stale"};
    EXPECT_EQ(b.BrowseNames(fake, OPC_FLAT, L"[", VT_EMPTY, 0, names), OPC_E_INVALIDFILTER);
    EXPECT_TRUE(names.empty());
}

TEST_F(Plant, BadFiltersAndTypes) {
    AddressSpaceBrowser b(root);
    ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant"), S_OK);
    Names names{L"stale"};
    EXPECT_EQ(b.BrowseNames(fake, OPC_BRANCH, L"[", VT_EMPTY, 0, names), OPC_E_INVALIDFILTER);
    EXPECT_TRUE(names.empty());
    // An invalid filter text is reported before an unknown filter type.
    EXPECT_EQ(b.BrowseNames(fake, 9, L"[", VT_EMPTY, 0, names), OPC_E_INVALIDFILTER);
    EXPECT_EQ(b.BrowseNames(fake, 9, L"", VT_EMPTY, 0, names), E_INVALIDARG);
    EXPECT_EQ(b.BrowseNames(fake, 0, L"", VT_EMPTY, 0, names), E_INVALIDARG);
}

TEST_F(Plant, LeavesOfAChannelWhoseTypeCannotBeReadAreLeftOutOnlyWhenFiltered) {
    AddressSpaceBrowser b(root);
    ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    fake.Fail("GetChannelInt", 7, 48);
    EXPECT_FALSE(Browse(b, OPC_LEAF).empty());
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_R4, 0, S_FALSE), Names{});
    EXPECT_EQ(Browse(b, OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE, S_FALSE), Names{});
}

TEST_F(Plant, ItemIdsRelativeToThePosition) {
    AddressSpaceBrowser b(root);
    EXPECT_EQ(Id(b, L"Plant.Line.Temp.Value"), L"Plant.Line.Temp.Value");
    ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Line"), S_OK);
    EXPECT_EQ(Id(b, L"Temp.Value"), L"Plant.Line.Temp.Value");
    EXPECT_EQ(Id(b, L"Cell"), L"Plant.Line.Cell");
    std::wstring id = L"stale";
    EXPECT_EQ(b.ItemId(L"Plant.Line.Temp", id), E_FAIL);  // relative only
    EXPECT_EQ(id, L"");
    EXPECT_EQ(b.ItemId(L"Temp/Value", id), E_FAIL);
}

TEST_F(Plant, PropertyLookupTriesRelativeThenAbsoluteAndRefusesBranches) {
    AddressSpaceBrowser b(root);
    EXPECT_TRUE(b.FindItem(L"Plant.Line.Temp.Value"));
    EXPECT_FALSE(b.FindItem(L"Plant.Line.Temp"));
    EXPECT_FALSE(b.FindItem(L"Plant.Line"));
    EXPECT_FALSE(b.FindItem(L"Value"));
    ASSERT_EQ(b.ChangePosition(OPC_BROWSE_TO, L"Plant.Line.Temp"), S_OK);
    auto shortName = b.FindItem(L"Value");
    ASSERT_TRUE(shortName);
    EXPECT_EQ(FullName(*shortName), L"Plant.Line.Temp.Value");
    EXPECT_TRUE(b.FindItem(L"Plant.Line.Temp.Value"));
}

TEST_F(Plant, AvailablePropertiesCarryTheCanonicalType) {
    auto props = opc::server::QueryAvailableProperties(fake, Item(L"Plant.Line.Temp.Value"));
    ASSERT_EQ(props.ids.size(), 7u);
    const VARTYPE expected[] = {VT_I2, VT_R4, VT_I2, VT_DATE, VT_I4, VT_R4, VT_I4};
    const wchar_t* texts[] = {L"Item Canonical Data Type", L"Item Value",       L"Item Quality", L"Item Timestamp",
                              L"Item Access Rights",       L"Server Scan Rate", L"Item EU Type"};
    for (DWORD i = 0; i < 7; ++i) {
        EXPECT_EQ(props.ids.at(i), i + 1);
        EXPECT_EQ(props.dataTypes.at(i), expected[i]);
        EXPECT_STREQ(props.descriptions.at(i), texts[i]);
    }
}

TEST_F(Plant, PropertyValuesAndPerEntryErrors) {
    fake.SetRunning(true);
    const DWORD ids[] = {1, 8, 3, 2, 5, 0, 2, 6, 7, 100};
    auto r = opc::server::GetItemProperties(fake, Item(L"Plant.Line.Temp.Value"), 10, ids, 250.0f);
    EXPECT_TRUE(r.anyError);
    const HRESULT errors[] = {S_OK, OPC_E_INVALID_PID, S_OK, S_OK, S_OK, OPC_E_INVALID_PID, S_OK, S_OK, S_OK,
                              OPC_E_INVALID_PID};
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(r.errors.at(i), errors[i]) << i;
    EXPECT_EQ(r.values.at(0).vt, VT_I2);
    EXPECT_EQ(r.values.at(0).iVal, VT_R4);
    EXPECT_EQ(r.values.at(1).vt, VT_EMPTY);
    EXPECT_EQ(r.values.at(2).iVal, 192);
    EXPECT_EQ(r.values.at(3).vt, VT_R4);
    EXPECT_FLOAT_EQ(r.values.at(3).fltVal, 21.5f);
    EXPECT_EQ(r.values.at(4).vt, VT_I4);
    EXPECT_EQ(r.values.at(4).lVal, 3);
    EXPECT_EQ(r.values.at(6).vt, VT_R4);
    EXPECT_EQ(r.values.at(7).vt, VT_R4) << "the server's scan rate";
    EXPECT_EQ(r.values.at(7).fltVal, 250.0f);
    EXPECT_EQ(r.values.at(8).vt, VT_I4) << "EU type";
    EXPECT_EQ(r.values.at(8).lVal, OPC_NOENUM);
    EXPECT_EQ(r.values.at(9).vt, VT_EMPTY);

    fake.SetRunning(false);
    const DWORD quality[] = {3, 5};
    auto stopped = opc::server::GetItemProperties(fake, Item(L"Plant.Line.Temp.A0"), 2, quality, 100.0f);
    EXPECT_FALSE(stopped.anyError);
    EXPECT_EQ(stopped.values.at(0).iVal, 28);
    EXPECT_EQ(stopped.values.at(1).lVal, 1);  // read-only
}

TEST_F(Plant, ItemValuePropertyByCanonicalType) {
    const DWORD two[] = {2, 4};
    auto flag = opc::server::GetItemProperties(fake, Item(L"Plant.Line.Pump.A3"), 2, two, 100.0f);  // BOOL holding 5
    EXPECT_EQ(flag.values.at(0).vt, VT_BOOL);
    EXPECT_EQ(flag.values.at(0).boolVal, VARIANT_TRUE);
    EXPECT_EQ(flag.values.at(1).vt, VT_DATE);
    EXPECT_GT(flag.values.at(1).date, 46000.0);  // some time after 2025

    auto date = opc::server::GetItemProperties(fake, Item(L"Plant.Line.Pump.A45"), 1, two, 100.0f);
    EXPECT_EQ(date.values.at(0).vt, VT_DATE);
    EXPECT_DOUBLE_EQ(date.values.at(0).date, 25570.0);  // 1970-01-02

    auto text = opc::server::GetItemProperties(fake, Item(L"Plant.Line.Temp.A127"), 1, two, 100.0f);
    EXPECT_EQ(text.values.at(0).vt, VT_BSTR);
    EXPECT_STREQ(text.values.at(0).bstrVal, L"Temp");

    // A getter that fails: E_FAIL and VT_EMPTY, the call goes on.
    auto unset = opc::server::GetItemProperties(fake, Item(L"Plant.Line.Temp.A1"), 2, two, 100.0f);
    EXPECT_EQ(unset.errors.at(0), E_FAIL);
    EXPECT_EQ(unset.values.at(0).vt, VT_EMPTY);
    EXPECT_EQ(unset.errors.at(1), S_OK);
}

TEST_F(Plant, AChannelTypeThatCannotBeReadFailsTheLookup) {
    const AttributeNode& value = Item(L"Plant.Line.Temp.Value");
    fake.Fail("GetChannelInt", 7, 48);
    const DWORD one[] = {1};
    EXPECT_THROW(opc::server::GetItemProperties(fake, value, 1, one, 100.0f), std::out_of_range);
    EXPECT_THROW(opc::server::QueryAvailableProperties(fake, value), std::out_of_range);
}

} // namespace
