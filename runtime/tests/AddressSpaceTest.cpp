// Building the address-space tree from the runtime, full names and resolving identifiers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeRuntime.h"
#include "opc/common/OpcErrors.h"
#include "runtime/AddressSpace.h"
#include "runtime/ChannelTables.h"

namespace {

std::vector<std::wstring> ChildNames(const BranchNode& branch) {
    std::vector<std::wstring> names;
    for (const auto& child : branch.Children()) names.push_back(child->Name());
    return names;
}

const BranchNode& Branch(const std::shared_ptr<AddressSpaceNode>& node) {
    EXPECT_TRUE(node && node->IsBranch());
    return static_cast<const BranchNode&>(*node);
}

std::size_t AttributeCount(int type) {
    std::size_t n = 0;
    for (VARTYPE vt : ChannelTypeTable::Rows()[type]) n += vt != VT_EMPTY;
    return n;
}

// Group 0 "Plant", group 40 "Line" (parent 0), channel 7 "Temp" of type 4 in group 40.
struct PlantNode : ::testing::Test {
    PlantNode() {
        fake.AddGroup(0, "Plant");
        fake.AddGroup(40, "Line", 0).Channels({7});
        fake.AddChannel(7, 4, "Temp");
        fake.SetAttributeName(2, "Value");
    }
    FakeRuntime fake;
};

TEST_F(PlantNode, ItemIdentifierOfTheValueIsThePathOfNames) {
    const auto root = BuildAddressSpace(fake);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->Id(), 0);
    EXPECT_EQ(root->Name(), L"Plant");
    EXPECT_FALSE(root->Parent());

    const auto item = Resolve(*root, L"Plant.Line.Temp.Value");
    ASSERT_TRUE(item);
    ASSERT_FALSE(item->IsBranch());
    const auto& attribute = static_cast<const AttributeNode&>(*item);
    EXPECT_EQ(attribute.ChannelId(), 7);
    EXPECT_EQ(attribute.AttributeId(), 2);
    EXPECT_EQ(FullName(attribute), L"Plant.Line.Temp.Value");
    EXPECT_EQ(FullName(*root), L"Plant");

    const auto channel = Resolve(*root, L"Plant.Line.Temp");
    ASSERT_TRUE(channel && channel->IsBranch());
    EXPECT_EQ(Branch(channel).Kind(), BranchKind::Channel);
    EXPECT_EQ(Branch(channel).Id(), 7);
    EXPECT_EQ(item->Parent(), channel);
    const auto line = Resolve(*root, L"Plant.Line");
    EXPECT_EQ(Branch(line).Kind(), BranchKind::Group);
    EXPECT_EQ(Branch(line).Id(), 40);
    EXPECT_EQ(channel->Parent(), line);
    EXPECT_EQ(line->Parent().get(), root.get());
    EXPECT_EQ(Resolve(*root, L"Plant").get(), root.get());
}

TEST_F(PlantNode, ChannelHasOneAttributePerTableEntryInAscendingOrder) {
    const auto root = BuildAddressSpace(fake);
    const auto& temp = Branch(Resolve(*root, L"Plant.Line.Temp"));
    ASSERT_EQ(temp.Children().size(), AttributeCount(4));
    int previous = -1;
    for (const auto& child : temp.Children()) {
        const auto& a = static_cast<const AttributeNode&>(*child);
        EXPECT_GT(a.AttributeId(), previous);
        EXPECT_NE(ChannelTypeTable::Lookup(4, a.AttributeId()), VT_EMPTY);
        EXPECT_EQ(a.ChannelId(), 7);
        EXPECT_EQ(child->Parent().get(), &temp);
        previous = a.AttributeId();
    }
}

TEST_F(PlantNode, IdentifiersThatDoNotResolve) {
    const auto root = BuildAddressSpace(fake);
    for (const wchar_t* id : {L"", L"Plant.", L"plant.Line.Temp.Value", L"Plant.line.Temp.Value", L"PlantX",
                              L"Plant/Line.Temp.Value", L"Plant.Line/Temp.Value", L"Plant.Line.Temp/Value",
                              L"Plant.Line.Temp.Value.", L"Plant.Line.Temp.Value.Value", L"Plant..Line.Temp.Value",
                              L"Plant.Temp.Value", L"Plant.Line.Temp.Attr9999", L"Line.Temp.Value"})
        EXPECT_FALSE(Resolve(*root, id)) << id;
}

TEST_F(PlantNode, AttributeTypeAndRightsAreReadAfreshOnEveryQuery) {
    const auto root = BuildAddressSpace(fake);
    const auto value = std::static_pointer_cast<AttributeNode>(Resolve(*root, L"Plant.Line.Temp.Value"));
    const auto name = std::static_pointer_cast<AttributeNode>(Resolve(*root, L"Plant.Line.Temp.Attr127"));
    ASSERT_TRUE(value && name);
    EXPECT_EQ(value->CanonicalType(fake), VT_R4);
    EXPECT_EQ(value->AccessRights(fake), DWORD(OPC_READABLE | OPC_WRITEABLE));
    EXPECT_EQ(name->CanonicalType(fake), VT_BSTR);
    EXPECT_EQ(name->AccessRights(fake), DWORD(OPC_READABLE));

    fake.Channel(7).Set(81, 1);  // the other half holds the same rights
    EXPECT_EQ(value->AccessRights(fake), DWORD(OPC_READABLE | OPC_WRITEABLE));
    EXPECT_GE(fake.Calls("GetChannelInt", 7, 81), 2);

    fake.Channel(7).Set(48, 6);  // the runtime now reports type 6
    EXPECT_EQ(value->CanonicalType(fake), VT_R8);
    fake.Channel(7).Set(48, 11);
    EXPECT_EQ(value->AccessRights(fake), DWORD(OPC_READABLE));

    fake.Fail("GetChannelInt", 7, 48);
    EXPECT_THROW(value->CanonicalType(fake), std::out_of_range);
    EXPECT_THROW(value->AccessRights(fake), std::out_of_range);
}

struct ChannelCase {
    const char* what;
    int type;          // -1: the type cannot be read
    int visible;       // attribute 126; -1: not readable
    bool inTree;
};

TEST(AddressSpaceBuild, WhichChannelsGetANode) {
    const ChannelCase cases[] = {
        {"type 0", 0, 1, false},      {"type 7", 7, 1, false},     {"type 9", 9, 1, false},
        {"type 16", 16, 1, false},    {"negative type", -5, 1, false}, {"unreadable type", -1, 1, false},
        {"type 11, 126 = 0", 11, 0, false}, {"type 11, 126 unreadable", 11, -1, false},
        {"type 11, 126 = 3", 11, 3, true},  {"type 1", 1, -1, true},  {"type 4", 4, 0, true},
        {"type 15", 15, -1, true},
    };
    for (const ChannelCase& c : cases) {
        FakeRuntime fake;
        fake.AddGroup(0, "Plant");
        auto channel = fake.AddChannel(5, c.type, "Chan");
        if (c.visible >= 0) channel.Set(126, c.visible);
        if (c.type == -1) fake.Fail("GetChannelInt", 5, 48);
        const auto root = BuildAddressSpace(fake);
        ASSERT_EQ(root->Children().size(), c.inTree ? 1u : 0u) << c.what;
        EXPECT_EQ(static_cast<bool>(Resolve(*root, L"Plant.Chan.Attr127")), c.inTree) << c.what;
        if (c.inTree) {
            EXPECT_EQ(Branch(root->Children()[0]).Children().size(), AttributeCount(c.type)) << c.what;
        }
    }
}

TEST(AddressSpaceBuild, WithoutGroupZeroTheRootIsNamedByTheNode) {
    FakeRuntime fake;
    fake.SetNodeName("North");
    fake.AddChannel(1, 4, "Temp");
    auto root = BuildAddressSpace(fake);
    EXPECT_EQ(root->Id(), -1);
    EXPECT_EQ(root->Name(), L"North");
    EXPECT_TRUE(Resolve(*root, L"North.Temp.Attr2"));

    fake.Fail("GetNodeText");
    root = BuildAddressSpace(fake);
    EXPECT_EQ(root->Name(), L"");
    EXPECT_TRUE(Resolve(*root, L".Temp.Attr2"));
}

TEST(AddressSpaceBuild, OrderOfChildrenAndPlacement) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.AddGroup(50, "B", 0).Channels({3, 7, 2});    // 7 is also listed by group 40
    fake.AddGroup(40, "A", 0).Channels({7, 0, -4, 99, 4, 4});
    fake.AddGroup(45, "A1", 40).Channels({6});
    fake.AddGroup(60, "Orphan", 99).Channels({8});    // parent does not exist: under the root
    fake.AddGroup(20, "Low", 0).Channels({1});        // ids below 32 are never looked at
    for (int ch = 1; ch <= 9; ++ch) fake.AddChannel(ch, 4, "C" + std::to_string(ch));
    const auto root = BuildAddressSpace(fake);

    EXPECT_EQ(ChildNames(*root), (std::vector<std::wstring>{L"A", L"B", L"Orphan", L"C1", L"C5", L"C9"}));
    EXPECT_EQ(ChildNames(Branch(Resolve(*root, L"Plant.A"))), (std::vector<std::wstring>{L"A1", L"C7", L"C4"}));
    EXPECT_EQ(ChildNames(Branch(Resolve(*root, L"Plant.B"))), (std::vector<std::wstring>{L"C3", L"C2"}));
    EXPECT_EQ(ChildNames(Branch(Resolve(*root, L"Plant.A.A1"))), (std::vector<std::wstring>{L"C6"}));
    EXPECT_EQ(FullName(*Resolve(*root, L"Plant.A.A1.C6.Attr2")), L"Plant.A.A1.C6.Attr2");
    EXPECT_EQ(fake.Calls("IsGroup", 20), 0);
}

TEST(AddressSpaceBuild, ParentTextIsReadAsADecimalNumber) {
    struct Case {
        std::string text;
        bool underGroup40;
    };
    const Case cases[] = {{"40", true}, {"  +40", true}, {"40abc", true}, {"0", false}, {"abc", false},
                          {"-40", false}, {"", false},   {"99", false},   {"4000000000000", false}};
    for (const Case& c : cases) {
        FakeRuntime fake;
        fake.AddGroup(0, "Plant");
        fake.AddGroup(40, "Line", 0);
        fake.AddGroup(41, "Cell").ParentText(c.text);
        const auto root = BuildAddressSpace(fake);
        EXPECT_EQ(static_cast<bool>(Resolve(*root, L"Plant.Line.Cell")), c.underGroup40) << c.text;
        EXPECT_EQ(static_cast<bool>(Resolve(*root, L"Plant.Cell")), !c.underGroup40) << c.text;
    }
}

TEST(AddressSpaceBuild, GroupWithoutParentTextDropsItsSubtree) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.AddGroup(40, "Line").NoParentText().Channels({1});
    fake.AddGroup(41, "Cell", 40).Channels({2});
    fake.AddGroup(42, "Other", 0).Channels({3});
    for (int ch = 1; ch <= 4; ++ch) fake.AddChannel(ch, 4, "C" + std::to_string(ch));
    const auto root = BuildAddressSpace(fake);
    // Channels 1 and 2 count as placed, in a subtree that is not in the tree.
    EXPECT_EQ(ChildNames(*root), (std::vector<std::wstring>{L"Other", L"C4"}));
    EXPECT_FALSE(Resolve(*root, L"Plant.Line"));
    EXPECT_FALSE(Resolve(*root, L"Plant.C1.Attr2"));
}

TEST(AddressSpaceBuild, GroupsInACycleAreLeftOut) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.AddGroup(40, "A", 41).Channels({1});
    fake.AddGroup(41, "B", 40);
    fake.AddGroup(42, "Self", 42).Channels({2});
    fake.AddChannel(1, 4, "C1");
    fake.AddChannel(2, 4, "C2");
    fake.AddChannel(3, 4, "C3");
    const auto root = BuildAddressSpace(fake);
    EXPECT_EQ(ChildNames(*root), (std::vector<std::wstring>{L"C3"}));
    EXPECT_FALSE(Resolve(*root, L"Plant.A"));
}

TEST(AddressSpaceBuild, FailedReadsLeaveNamesEmptyOrDropOnlyTheirPart) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.AddGroup(40, "Line", 0).Channels({1, 2});
    fake.AddChannel(1, 4, "C1");
    fake.AddChannel(2, 4, "C2");
    fake.Fail("GetChannelString", 1, 127);
    fake.Fail("GetAttributeName", 2, 2);
    fake.Fail("GetGroupChannelCount", 40);
    const auto root = BuildAddressSpace(fake);
    // The group's channels could not be listed: both end up under the root.
    EXPECT_EQ(ChildNames(*root), (std::vector<std::wstring>{L"Line", L"", L"C2"}));
    EXPECT_TRUE(Resolve(*root, L"Plant..Attr2"));
    const auto& c2 = Branch(Resolve(*root, L"Plant.C2"));
    EXPECT_EQ(c2.Children()[2]->Name(), L"");  // attributes 0, 1, 2
    EXPECT_TRUE(Resolve(*root, L"Plant.C2."));
}

TEST(AddressSpaceBuild, NoChannelsBelowChannelEndTwo) {
    for (int end : {-1, 0, 1}) {
        FakeRuntime fake;
        fake.AddChannel(1, 4, "C1");
        fake.SetParameter(1, end);
        EXPECT_TRUE(BuildAddressSpace(fake)->Children().empty());
        EXPECT_EQ(fake.Calls("GetChannelInt"), 0);
    }
}

TEST(AddressSpaceBuild, GroupLimitBoundsTheGroupsLookedAt) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.AddGroup(32, "First", 0);
    fake.AddGroup(33, "Second", 0);
    fake.SetGroupLimit(33);
    auto root = BuildAddressSpace(fake);
    EXPECT_EQ(ChildNames(*root), (std::vector<std::wstring>{L"First"}));
    fake.SetGroupLimit(32);
    root = BuildAddressSpace(fake);
    EXPECT_TRUE(root->Children().empty());
    EXPECT_EQ(fake.Calls("IsGroup", 33), 0);
}

// Channels whose names contain "." and children that share a name.
struct DottedNames : ::testing::Test {
    DottedNames() {
        fake.AddGroup(0, "Plant");
        fake.AddGroup(40, "A", 0).Channels({1});
        fake.AddChannel(1, 4, "B");             // Plant.A.B
        fake.AddChannel(2, 4, "A.B");           // Plant.A.B too, after group A
        fake.Channel(2).AttributeName(3, "OnlyInDotted");
        fake.AddChannel(3, 4, "Dup");
        fake.AddChannel(4, 4, "Dup");
        fake.Channel(4).AttributeName(2, "Special");
        fake.AddChannel(5, 4, "Temp");
        fake.AddChannel(6, 4, "Temp.Attr2");    // a channel named like an item of channel 5
        fake.AddChannel(7, 4, "x.y.z");
        fake.AddChannel(8, 4, "p.q");           // before "p", whose attribute 2 is "q.Attr2"
        fake.AddChannel(9, 4, "p").AttributeName(2, "q.Attr2");
    }
    std::shared_ptr<AddressSpaceNode> Resolved(const wchar_t* id) { return Resolve(*root, id); }
    FakeRuntime fake;
    std::shared_ptr<GroupNode> root = nullptr;
};

TEST_F(DottedNames, EveryMatchingPrefixIsTriedInChildOrder) {
    root = BuildAddressSpace(fake);
    struct Case {
        const wchar_t* id;
        int channel;    // 0: no result
        int attribute;  // -1: the channel itself
    };
    const Case cases[] = {
        {L"Plant.A.B.Attr2", 1, 2},            // group A comes first and has B
        {L"Plant.A.B.OnlyInDotted", 2, 3},     // not below group A: the channel "A.B"
        {L"Plant.A.B", 2, -1},                 // the exact name comes before any path
        {L"Plant.x.y.z.Attr2", 7, 2},
        {L"Plant.x.y.z", 7, -1},
        {L"Plant.x.y", 0, 0},
        {L"Plant.Dup.Attr2", 3, 2},            // the first of two channels named Dup
        {L"Plant.Dup.Special", 4, 2},          // only the second has it
        {L"Plant.Dup.Attr127", 3, 127},
        {L"Plant.Temp.Attr2", 6, -1},          // an exact name wins over a path
        {L"Plant.Temp.Attr2.Attr2", 6, 2},
        {L"Plant.Temp.Attr3", 5, 3},
        {L"Plant.A.B:Attr2", 0, 0},
        {L"Plant.p.q.Attr2", 8, 2},            // the longer prefix names the earlier child
    };
    for (const Case& c : cases) {
        const auto node = Resolved(c.id);
        if (c.channel == 0) {
            EXPECT_FALSE(node) << c.id;
            continue;
        }
        ASSERT_TRUE(node) << c.id;
        if (c.attribute < 0) {
            ASSERT_TRUE(node->IsBranch()) << c.id;
            EXPECT_EQ(Branch(node).Id(), c.channel) << c.id;
            EXPECT_EQ(Branch(node).Kind(), BranchKind::Channel) << c.id;
        } else {
            ASSERT_FALSE(node->IsBranch()) << c.id;
            EXPECT_EQ(static_cast<const AttributeNode&>(*node).ChannelId(), c.channel) << c.id;
            EXPECT_EQ(static_cast<const AttributeNode&>(*node).AttributeId(), c.attribute) << c.id;
        }
        EXPECT_EQ(FullName(*node), c.id);
    }
}

TEST(AddressSpaceResolve, LargeNodeWithSharedNamesResolvesEveryChannel) {
    FakeRuntime fake;
    fake.CountKeys(false);
    fake.AddGroup(0, "Plant");
    const int count = 3000;
    for (int ch = 1; ch <= count; ++ch) {
        // every tenth channel repeats the name of the one before it
        const int nameOf = ch % 10 == 0 ? ch - 1 : ch;
        fake.AddChannel(ch, 13, "Channel." + std::to_string(nameOf));
    }
    const auto root = BuildAddressSpace(fake);
    ASSERT_EQ(root->Children().size(), static_cast<std::size_t>(count));
    for (int ch = 1; ch <= count; ++ch) {
        const int nameOf = ch % 10 == 0 ? ch - 1 : ch;
        const auto node = Resolve(*root, L"Plant.Channel." + std::to_wstring(nameOf) + L".Attr2");
        ASSERT_TRUE(node) << ch;
        EXPECT_EQ(static_cast<const AttributeNode&>(*node).ChannelId(), nameOf) << ch;
    }
    EXPECT_FALSE(Resolve(*root, L"Plant.Channel.3001.Attr2"));
    EXPECT_FALSE(Resolve(*root, L"Plant.Channel.10.Attr2"));
}

// Channels of one type share one name table only while their attributes bear the same
// names in the same order; a channel with names of its own (a renamed attribute, or
// two attributes of one name) is looked up by its own names.
TEST(AddressSpaceResolve, ChannelsOfOneTypeWithNamesOfTheirOwn) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.SetAttributeName(2, "Value");
    fake.AddChannel(1, 4, "A");
    fake.AddChannel(2, 4, "B").AttributeName(2, "PV");
    fake.AddChannel(3, 4, "C").AttributeName(26, "Value");  // 2 and 26 both "Value"
    fake.AddChannel(4, 4, "D");
    fake.AddChannel(5, 5, "E");  // another type, the same common names
    const auto root = BuildAddressSpace(fake);
    struct Case {
        const wchar_t* id;
        int channel;  // 0: does not resolve
        int attribute;
    };
    for (const Case& c : {Case{L"Plant.A.Value", 1, 2}, Case{L"Plant.B.Value", 0, 0}, Case{L"Plant.B.PV", 2, 2},
                          Case{L"Plant.B.Attr26", 2, 26}, Case{L"Plant.C.Value", 3, 2}, Case{L"Plant.C.Attr26", 0, 0},
                          Case{L"Plant.D.Value", 4, 2}, Case{L"Plant.D.PV", 0, 0}, Case{L"Plant.E.Value", 5, 2},
                          Case{L"Plant.E.Attr33", 5, 33}, Case{L"Plant.A.Attr33", 0, 0}}) {
        const auto node = Resolve(*root, c.id);
        if (c.channel == 0) {
            EXPECT_FALSE(node) << c.id;
            continue;
        }
        ASSERT_TRUE(node && !node->IsBranch()) << c.id;
        const auto& attribute = static_cast<const AttributeNode&>(*node);
        EXPECT_EQ(attribute.ChannelId(), c.channel) << c.id;
        EXPECT_EQ(attribute.AttributeId(), c.attribute) << c.id;
        EXPECT_EQ(FullName(attribute), c.id);
    }
    // The second "Value" of C comes after the first in child order.
    const auto& channelC = Branch(Resolve(*root, L"Plant.C"));
    const std::uint32_t first = channelC.FirstChildNamed(L"Value");
    ASSERT_NE(first, ChildNameIndex::npos);
    const std::uint32_t second = channelC.NextChildNamed(first);
    ASSERT_NE(second, ChildNameIndex::npos);
    EXPECT_EQ(static_cast<const AttributeNode&>(*channelC.Children()[second]).AttributeId(), 26);
    EXPECT_EQ(channelC.NextChildNamed(second), ChildNameIndex::npos);
    const auto& channelA = Branch(Resolve(*root, L"Plant.A"));
    EXPECT_EQ(channelA.NextChildNamed(channelA.FirstChildNamed(L"Value")), ChildNameIndex::npos);
}

// An item keeps its attribute node, name included, after the tree is gone (a node unloaded
// while clients still hold items).
TEST(AddressSpaceResolve, AttributeOutlivesItsTree) {
    FakeRuntime fake;
    fake.AddGroup(0, "Plant");
    fake.AddChannel(1, 4, "A").AttributeName(2, "Level");
    auto root = BuildAddressSpace(fake);
    std::shared_ptr<AddressSpaceNode> item = Resolve(*root, L"Plant.A.Level");
    ASSERT_TRUE(item);
    std::weak_ptr<BranchNode> channel = item->Parent();
    root.reset();
    EXPECT_TRUE(channel.expired());
    EXPECT_FALSE(item->Parent());
    EXPECT_EQ(item->Name(), L"Level");
    EXPECT_EQ(static_cast<const AttributeNode&>(*item).AttributeId(), 2);
}

} // namespace
