// The operations of the runtime table on a loaded node.
#include "Runtime.h"
#include "TestNode.h"
#include "TextCodec.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

using namespace nrk;
using nrk::test::ManualClock;
using nrk::test::TempNodeFile;

namespace {

const char* const kNode = R"(node "Test Node" type 1
scan 300
operator admin secret
group 0 "Top"
group 40 "Line" parent 0
group 50 "Cell" parent 40
group 60 "Empty"
channel 2 type 4 "Temp.In" in 50 40
  set Value 21.5
  set Units "degC"
  set WriteLock 1
  set ChangeTime "2026-01-02 03:04:05"
channel 3 type 1 "Count" in 50
  set Value -5
channel 5 type 3 "Word"
  set Value 4000000000
channel 6 type 6 "Energy"
  set Value 0.1
channel 7 type 11 "Shown"
  set Visible 1
channel 8 type 11 "Hidden"
channel 9 type 7 "Link"
channel 10 type 2 "Bits"
channel 11 type 12 "Timer"
)";

class RuntimeContract : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rt.LoadNode(file.directory().c_str(), file.name().c_str()), 0) << rt.LastError();
    }
    std::string str(int ch, int attr) {
        char buf[NRK_TEXT_SIZE] = "junk";
        return rt.GetChannelString(ch, -1, buf, attr, 0) ? buf : "<fail>";
    }

    ManualClock clock;
    Runtime rt{nrk::test::quietOptions(clock)};
    TempNodeFile file{"contract.dbb", kNode};
};

TEST_F(RuntimeContract, NodeIdentityParametersAndState) {
    EXPECT_TRUE(rt.IsNodeLoaded());
    EXPECT_FALSE(rt.IsNodeRunning());
    int v = -1;
    ASSERT_TRUE(rt.GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(rt.GetNodeProperty(NRK_PROP_NODE_TYPE, &v));
    EXPECT_EQ(v, 1);
    EXPECT_FALSE(rt.GetNodeProperty(7, &v));
    EXPECT_EQ(rt.GetNodeParameter(NRK_PARAM_CHANNEL_END), 12);
    EXPECT_EQ(rt.GetNodeParameter(NRK_PARAM_SCAN_PERIOD), 300);
    EXPECT_EQ(rt.GetNodeParameter(55), 0);
    char name[NRK_TEXT_SIZE];
    ASSERT_TRUE(rt.GetNodeText(NRK_ATTR_NAME, name));
    EXPECT_STREQ(name, "Test Node");
    EXPECT_FALSE(rt.GetNodeText(1, name));

    rt.StartNode();
    EXPECT_TRUE(rt.IsNodeRunning());
    rt.StartNode(); // again: no change
    EXPECT_TRUE(rt.IsNodeRunning());
    rt.StopNode();
    EXPECT_FALSE(rt.IsNodeRunning());
    rt.UnloadNode();
    EXPECT_FALSE(rt.IsNodeLoaded());
    EXPECT_FALSE(rt.GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &v));
    EXPECT_EQ(rt.GetNodeParameter(NRK_PARAM_CHANNEL_END), 0);
    rt.StartNode(); // nothing loaded: nothing starts
    EXPECT_FALSE(rt.IsNodeRunning());
}

TEST_F(RuntimeContract, OtherNodeTypeLoadsButIsNotAccepted) {
    TempNodeFile other("other.dbb", "node x type 2\n");
    ASSERT_EQ(rt.LoadNode(other.directory().c_str(), other.name().c_str()), 0);
    int v = -1;
    ASSERT_TRUE(rt.GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &v));
    EXPECT_NE(v, 1);
    EXPECT_EQ(rt.GetNodeParameter(NRK_PARAM_CHANNEL_END), 1); // no channels
}

TEST_F(RuntimeContract, RefusedLoadKeepsTheLoadedNodeAndGivesTheReason) {
    TempNodeFile bad("bad.dbb", "node x type 1\nchannel 1 type 17 y\n");
    EXPECT_NE(rt.LoadNode(bad.directory().c_str(), bad.name().c_str()), 0);
    EXPECT_EQ(rt.LastError(), "bad.dbb:2: unknown channel type 17");
    char buf[NRK_TEXT_SIZE];
    ASSERT_TRUE(rt.CopyLastError(buf, sizeof buf));
    EXPECT_STREQ(buf, "bad.dbb:2: unknown channel type 17");
    EXPECT_FALSE(rt.CopyLastError(buf, 5)); // too small
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(rt.IsNodeLoaded());
    EXPECT_EQ(str(2, NRK_ATTR_NAME), "Temp.In");

    EXPECT_NE(rt.LoadNode(bad.directory().c_str(), "missing.dbb"), 0);
    EXPECT_EQ(rt.LastError(), "missing.dbb: cannot open the file (no such file)");
    EXPECT_NE(rt.LoadNode(bad.directory().c_str(), nullptr), 0);
    EXPECT_NE(rt.LoadNode(nullptr, ""), 0);
}

TEST_F(RuntimeContract, RootDirectoryServesWhenNoDirectoryIsGiven) {
    rt.SetRootDirectory(file.directory().c_str());
    EXPECT_EQ(rt.LoadNode("", file.name().c_str()), 0) << rt.LastError();
    EXPECT_EQ(rt.LoadNode(nullptr, file.name().c_str()), 0) << rt.LastError();
}

TEST_F(RuntimeContract, Groups) {
    EXPECT_EQ(rt.GetGroupLimit(1), 61);
    EXPECT_EQ(rt.GetGroupLimit(2), 0);
    EXPECT_TRUE(rt.IsGroup(0));
    EXPECT_TRUE(rt.IsGroup(40));
    EXPECT_FALSE(rt.IsGroup(41));
    EXPECT_FALSE(rt.IsGroup(-1));
    EXPECT_FALSE(rt.IsGroup(100000));
    char buf[NRK_TEXT_SIZE];
    ASSERT_TRUE(rt.GetGroupName(50, buf));
    EXPECT_STREQ(buf, "Cell");
    EXPECT_FALSE(rt.GetGroupName(41, buf));
    EXPECT_STREQ(buf, "");

    struct Parent {
        int group;
        const char* parent;
    };
    for (Parent p : {Parent{40, "0"}, Parent{50, "40"}, Parent{60, "0"}, Parent{0, "0"}}) {
        char text[NRK_TEXT_SIZE];
        ASSERT_TRUE(rt.GetObjectText(p.group + NRK_GROUP_OBJECT, NRK_ATTR_PARENT, text, 0)) << p.group;
        EXPECT_STREQ(text, p.parent) << p.group;
    }
    EXPECT_FALSE(rt.GetObjectText(41 + NRK_GROUP_OBJECT, NRK_ATTR_PARENT, buf, 0));
    EXPECT_FALSE(rt.GetObjectText(40 + NRK_GROUP_OBJECT, 3, buf, 0));
    ASSERT_TRUE(rt.GetObjectText(2, NRK_ATTR_NAME, buf, 0)); // a channel object
    EXPECT_STREQ(buf, "Temp.In");

    int count = -1;
    ASSERT_TRUE(rt.GetGroupChannelCount(50, &count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(rt.GetGroupChannel(50, 0), 2);
    EXPECT_EQ(rt.GetGroupChannel(50, 1), 3);
    EXPECT_LE(rt.GetGroupChannel(50, 2), 0);
    EXPECT_LE(rt.GetGroupChannel(50, -1), 0);
    ASSERT_TRUE(rt.GetGroupChannelCount(40, &count));
    EXPECT_EQ(count, 1);
    ASSERT_TRUE(rt.GetGroupChannelCount(60, &count));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(rt.GetGroupChannelCount(41, &count));
    EXPECT_FALSE(rt.GetGroupChannelCount(40, nullptr));
}

TEST_F(RuntimeContract, GroupLimitWithoutGroupsIsTheFirstGroupId) {
    TempNodeFile plain("plain.dbb", "node x type 1\nchannel 1 type 4 a\n");
    ASSERT_EQ(rt.LoadNode(plain.directory().c_str(), plain.name().c_str()), 0);
    EXPECT_EQ(rt.GetGroupLimit(1), 32);
    EXPECT_FALSE(rt.IsGroup(0));
}

TEST_F(RuntimeContract, ChannelAttributesTypeNameAndVisibility) {
    int v = -1;
    struct Case {
        int ch, attr;
        bool ok;
        int value;
    };
    for (Case c : {Case{2, NRK_ATTR_TYPE, true, 4}, Case{9, NRK_ATTR_TYPE, true, 7}, Case{7, NRK_ATTR_VISIBLE, true, 1},
                   Case{8, NRK_ATTR_VISIBLE, true, 0}, Case{2, NRK_ATTR_RIGHTS_HALF, true, 0},
                   Case{2, NRK_ATTR_WRITE_LOCK, true, 1}, Case{9, NRK_ATTR_VALUE, false, 0},
                   Case{9, NRK_ATTR_RIGHTS_HALF, false, 0}, Case{4, NRK_ATTR_TYPE, false, 0},
                   Case{0, NRK_ATTR_TYPE, false, 0}, Case{12, NRK_ATTR_TYPE, false, 0},
                   Case{2, 256, false, 0}, Case{2, -1, false, 0}, Case{2, 200, false, 0}}) {
        v = -77;
        EXPECT_EQ(rt.GetChannelInt(c.ch, -1, &v, c.attr), c.ok) << c.ch << "." << c.attr;
        EXPECT_EQ(v, c.ok ? c.value : -77) << c.ch << "." << c.attr << " (untouched on failure)";
    }
    EXPECT_FALSE(rt.GetChannelInt(2, 5, &v, NRK_ATTR_TYPE)); // only element -1 (or 0) exists
    EXPECT_FALSE(rt.GetChannelInt(2, -1, nullptr, NRK_ATTR_TYPE));
    EXPECT_EQ(str(2, NRK_ATTR_NAME), "Temp.In");
    EXPECT_EQ(str(9, NRK_ATTR_NAME), "Link");
    EXPECT_EQ(str(8, NRK_ATTR_VISIBLE), "0");
}

TEST_F(RuntimeContract, AttributeNames) {
    char buf[NRK_TEXT_SIZE];
    struct Case {
        int ch, attr;
        const char* name;
    };
    for (Case c : {Case{2, 2, "Value"}, Case{2, 8, "WriteLock"}, Case{2, 48, "Type"}, Case{2, 127, "Name"},
                   Case{7, 126, "Visible"}, Case{9, 48, "Type"}, Case{9, 127, "Name"}}) {
        ASSERT_TRUE(rt.GetAttributeName(c.ch, c.attr, buf)) << c.ch << "." << c.attr;
        EXPECT_STREQ(buf, c.name);
    }
    EXPECT_FALSE(rt.GetAttributeName(9, 2, buf)); // type 7 has no value
    EXPECT_FALSE(rt.GetAttributeName(2, 200, buf));
    EXPECT_FALSE(rt.GetAttributeName(4, 2, buf));
    EXPECT_STREQ(buf, "");
}

TEST_F(RuntimeContract, TypedGettersConvertFromTheAttributesOwnType) {
    int i = 0;
    float f = 0;
    double d = 0;
    // R4 value 21.5
    ASSERT_TRUE(rt.GetChannelFloat(2, -1, &f, 2));
    EXPECT_EQ(f, 21.5f);
    ASSERT_TRUE(rt.GetChannelDouble(2, -1, &d, 2));
    EXPECT_EQ(d, 21.5);
    ASSERT_TRUE(rt.GetChannelInt(2, -1, &i, 2));
    EXPECT_EQ(i, 22); // rounded
    EXPECT_EQ(str(2, 2), "21.5");
    // I4 value -5
    ASSERT_TRUE(rt.GetChannelDouble(3, -1, &d, 2));
    EXPECT_EQ(d, -5);
    EXPECT_EQ(str(3, 2), "-5");
    // UI4 4000000000: the integer getter hands out the bit pattern
    ASSERT_TRUE(rt.GetChannelInt(5, -1, &i, 2));
    EXPECT_EQ(static_cast<unsigned>(i), 4000000000u);
    ASSERT_TRUE(rt.GetChannelDouble(5, -1, &d, 2));
    EXPECT_EQ(d, 4000000000.0);
    EXPECT_EQ(str(5, 2), "4000000000");
    // R8
    ASSERT_TRUE(rt.GetChannelDouble(6, -1, &d, 2));
    EXPECT_EQ(d, 0.1);
    EXPECT_EQ(str(6, 2), "0.1");
    // DATE as time_t
    ASSERT_TRUE(rt.GetChannelInt(2, -1, &i, 45));
    EXPECT_EQ(i, 1767323045);
    EXPECT_EQ(str(2, 45), "2026-01-02 03:04:05");
    // BOOL
    ASSERT_TRUE(rt.GetChannelInt(2, -1, &i, 8));
    EXPECT_EQ(i, 1);
    // Text: as text, and as a number when it reads as one
    EXPECT_EQ(str(2, 79), "degC");
    EXPECT_FALSE(rt.GetChannelInt(2, -1, &i, 79));
    ASSERT_TRUE(rt.SetChannelString(2, -1, " 42 ", 79));
    ASSERT_TRUE(rt.GetChannelInt(2, -1, &i, 79));
    EXPECT_EQ(i, 42);
    ASSERT_TRUE(rt.GetChannelDouble(2, -1, &d, 79));
    EXPECT_EQ(d, 42);
}

TEST_F(RuntimeContract, TextGettersFillTheCallersFixedBuffer) {
    char buf[NRK_TEXT_SIZE];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(rt.GetChannelString(2, -1, buf, 79, 0));
    EXPECT_STREQ(buf, "degC");
    EXPECT_TRUE(rt.GetChannelString(2, -1, buf, 2, 0));
    EXPECT_STREQ(buf, "21.5");
    EXPECT_FALSE(rt.GetChannelString(2, -1, nullptr, 2, 0));
    EXPECT_FALSE(rt.GetChannelString(4, -1, buf, 2, 0));
    EXPECT_STREQ(buf, "") << "a failed read leaves an empty text";
    // The longest text a node holds fills the buffer exactly.
    const std::string longest(NRK_TEXT_SIZE - 1, 'L');
    ASSERT_TRUE(rt.SetChannelString(2, -1, longest.c_str(), 79));
    std::memset(buf, 'x', sizeof buf);
    ASSERT_TRUE(rt.GetChannelString(2, -1, buf, 79, 0));
    EXPECT_EQ(std::string(buf), longest);
}

TEST(TextCopy, LongerTextsAreCutToTheBufferAtACharacterBoundary) {
    struct Case {
        std::string text;
        std::size_t kept;
    };
    const Case cases[] = {
        {"", 0},
        {"Temp", 4},
        {std::string(NRK_TEXT_SIZE - 1, 'a'), NRK_TEXT_SIZE - 1},
        {std::string(NRK_TEXT_SIZE, 'a'), NRK_TEXT_SIZE - 1},
        {std::string(1000, 'a'), NRK_TEXT_SIZE - 1},
    };
    for (const Case& c : cases) {
        std::vector<char> buf(NRK_TEXT_SIZE + 8, 'x');
        ASSERT_TRUE(nrk::copyText(c.text, buf.data()));
        EXPECT_EQ(std::strlen(buf.data()), c.kept) << c.text.size();
        EXPECT_EQ(buf[NRK_TEXT_SIZE], 'x') << "nothing written past the buffer";
    }
    EXPECT_FALSE(nrk::copyText("Temp", nullptr));
    // In a code page with two-byte characters a cut never splits one.
    const std::string pairs = "a\x82\xa0\x82\xa0";
    std::size_t end = nrk::ansiPrefix(pairs, 2);
    EXPECT_TRUE(end == 1 || end == 2) << end; // 1 where 0x82 leads a pair, 2 in single-byte code pages
    if (IsDBCSLeadByteEx(CP_ACP, 0x82)) {
        EXPECT_EQ(end, 1u);
    }
}

struct Write {
    const char* what;
    int ch, attr;
    char setter; // i, f, d, s
    double number;
    const char* text;
    bool ok;
    const char* after; // text read back when ok
};

class RuntimeWrites : public RuntimeContract, public ::testing::WithParamInterface<Write> {};

TEST_P(RuntimeWrites, SetterConvertsIntoTheAttributesType) {
    const Write& w = GetParam();
    const std::string before = str(w.ch, w.attr);
    bool ok = false;
    switch (w.setter) {
    case 'i': ok = rt.SetChannelInt(w.ch, -1, static_cast<int>(w.number), w.attr); break;
    case 'f': ok = rt.SetChannelFloat(w.ch, -1, static_cast<float>(w.number), w.attr); break;
    case 'd': ok = rt.SetChannelDouble(w.ch, -1, w.number, w.attr); break;
    default: ok = rt.SetChannelString(w.ch, -1, w.text, w.attr); break;
    }
    EXPECT_EQ(ok, w.ok);
    EXPECT_EQ(str(w.ch, w.attr), w.ok ? std::string(w.after) : before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RuntimeWrites,
    ::testing::Values(
        Write{"r4_from_int", 2, 2, 'i', 7, nullptr, true, "7"},
        Write{"r4_from_double", 2, 2, 'd', 0.1, nullptr, true, "0.1"},
        Write{"r4_from_text", 2, 2, 's', 0, "-3.25", true, "-3.25"},
        Write{"r4_from_bad_text", 2, 2, 's', 0, "3,25", false, nullptr},
        Write{"r4_too_large", 2, 2, 'd', 1e300, nullptr, false, nullptr},
        Write{"i4_from_double_rounds", 3, 2, 'd', 2.5, nullptr, true, "3"},
        Write{"i4_from_nan", 3, 2, 'd', NAN, nullptr, false, nullptr},
        Write{"i4_out_of_range", 3, 2, 'd', 3e9, nullptr, false, nullptr},
        Write{"i4_fraction_text", 3, 2, 's', 0, "1.5", false, nullptr},
        Write{"i4_hex_text", 3, 2, 's', 0, "0x10", true, "16"},
        Write{"ui4_from_negative_int_is_bits", 5, 2, 'i', -1, nullptr, true, "4294967295"},
        Write{"ui4_from_negative_double", 5, 2, 'd', -1, nullptr, false, nullptr},
        Write{"ui2_in_range", 10, 2, 'i', 65535, nullptr, true, "65535"},
        Write{"ui2_out_of_range", 10, 2, 'i', 65536, nullptr, false, nullptr},
        Write{"ui1_negative", 2, 5, 'i', -1, nullptr, false, nullptr},
        Write{"bool_from_int", 2, 8, 'i', 5, nullptr, true, "1"},
        Write{"bool_from_text", 2, 8, 's', 0, "false", true, "0"},
        Write{"bool_from_bad_text", 2, 8, 's', 0, "maybe", false, nullptr},
        Write{"date_from_int", 2, 45, 'i', 86400, nullptr, true, "1970-01-02 00:00:00"},
        Write{"date_from_text", 2, 45, 's', 0, "2000-02-29 12:00", true, "2000-02-29 12:00:00"},
        Write{"date_from_bad_text", 2, 45, 's', 0, "2001-02-29", false, nullptr},
        Write{"text_from_text", 2, 79, 's', 0, "K", true, "K"},
        Write{"text_from_int", 2, 79, 'i', 12, nullptr, true, "12"},
        Write{"text_from_double", 2, 79, 'd', 0.25, nullptr, true, "0.25"},
        Write{"text_too_long", 2, 79, 's', 0,
              "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
              "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
              "01234567890123456789012345678901234567890123456789012345",
              false, nullptr},
        Write{"name_rename", 2, 127, 's', 0, "Other", true, "Other"},
        Write{"name_empty", 2, 127, 's', 0, "", false, nullptr},
        Write{"type_changes_refused", 2, 48, 'i', 5, nullptr, false, nullptr},
        Write{"type_same_value", 2, 48, 'i', 4, nullptr, true, "4"},
        Write{"readonly_by_server_table_still_written", 11, 10, 's', 0, "2026-03-01", true, "2026-03-01 00:00:00"},
        Write{"missing_attribute", 2, 200, 'i', 1, nullptr, false, "<fail>"},
        Write{"missing_channel", 4, 2, 'i', 1, nullptr, false, "<fail>"},
        Write{"no_value_on_link", 9, 2, 'd', 1, nullptr, false, "<fail>"},
        Write{"null_text", 2, 79, 's', 0, nullptr, false, nullptr}),
    [](const ::testing::TestParamInfo<Write>& info) { return std::string(info.param.what); });

TEST_F(RuntimeContract, WritesStickWhileStoppedAndRunningAndIgnoreTheWriteLock) {
    // Attribute 8 is the server's business: the runtime writes attribute 2 anyway.
    ASSERT_TRUE(rt.SetChannelDouble(2, -1, 30.5, 2));
    EXPECT_EQ(str(2, 2), "30.5");
    rt.StartNode();
    clock.advance(5000);
    rt.AdvanceSimulation();
    EXPECT_EQ(str(2, 2), "30.5");
    ASSERT_TRUE(rt.SetChannelInt(3, -1, 9, 2));
    rt.StopNode();
    EXPECT_EQ(str(3, 2), "9");
    EXPECT_FALSE(rt.SetChannelInt(3, 3, 9, 2)); // unknown element
}

TEST_F(RuntimeContract, TextCrossesInTheAnsiCodePage) {
    // Stored UTF-8 "Temp°C" reaches the caller as code page text, and back.
    if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
    ASSERT_TRUE(rt.SetChannelString(2, -1, "Temp\xB0" "C", 79));
    EXPECT_EQ(str(2, 79), "Temp\xB0" "C");
    // A character the code page lacks fails instead of coming out garbled.
    TempNodeFile cyr("cyr.dbb", "node \"\xD0\xA3\xD0\xB7\xD0\xB5\xD0\xBB\" type 1\nchannel 1 type 4 \"\xD0\x90\"\n");
    ASSERT_EQ(rt.LoadNode(cyr.directory().c_str(), cyr.name().c_str()), 0) << rt.LastError();
    char buf[NRK_TEXT_SIZE];
    EXPECT_FALSE(rt.GetNodeText(NRK_ATTR_NAME, buf));
    EXPECT_FALSE(rt.GetChannelString(1, -1, buf, NRK_ATTR_NAME, 0));
}

TEST_F(RuntimeContract, OperatorLoginAndPermissions) {
    EXPECT_EQ(rt.GetOperatorCount(), 1);
    EXPECT_LT(rt.Login({"admin", "wrong"}), 0);
    EXPECT_LT(rt.Login({"Admin", "secret"}), 0);
    EXPECT_LT(rt.Login({nullptr, "secret"}), 0);
    EXPECT_GE(rt.Login({"admin", "secret"}), 0);
    rt.Logout(0, 0);
    EXPECT_TRUE(rt.CanStart());
    EXPECT_FALSE(rt.CanStop());
    EXPECT_TRUE(rt.CanViewValues());
    rt.StartNode();
    EXPECT_FALSE(rt.CanStart());
    EXPECT_TRUE(rt.CanStop());
    rt.UnloadNode();
    EXPECT_FALSE(rt.CanStart());
    EXPECT_FALSE(rt.CanViewValues());
    EXPECT_EQ(rt.GetOperatorCount(), 0);
    EXPECT_LT(rt.Login({"admin", "secret"}), 0);
}

TEST_F(RuntimeContract, LoginRequiredGuardsStartStopAndView) {
    TempNodeFile guarded("guarded.dbb", "node g type 1\noperator op pw\nlogin-required start stop view\n");
    ASSERT_EQ(rt.LoadNode(guarded.directory().c_str(), guarded.name().c_str()), 0);
    EXPECT_FALSE(rt.CanStart());
    EXPECT_FALSE(rt.CanViewValues());
    ASSERT_GE(rt.Login({"op", "pw"}), 0);
    EXPECT_TRUE(rt.CanStart());
    EXPECT_TRUE(rt.CanViewValues());
    rt.StartNode();
    EXPECT_TRUE(rt.CanStop());
    rt.Logout(0, 0);
    EXPECT_FALSE(rt.CanStop());
}

} // namespace
