// The node file format: what loads, and the message of each kind of bad file.
#include "NodeFile.h"
#include "TestNode.h"

#include <gtest/gtest.h>

#include <string>

using namespace nrk;

namespace {

const char* const kHead = "node \"N\" type 1\n";

NodeDefinition parseOk(const std::string& content) {
    NodeDefinition def;
    std::string error;
    EXPECT_TRUE(parseNodeFile(content, "t.dbb", def, error)) << error;
    return def;
}

} // namespace

TEST(NodeFile, FullExampleGivesEveryPart) {
    NodeDefinition d = parseOk(
        "\xEF\xBB\xBF# comment line\n"
        "node \"Demo \\\"1\\\"\" type 1   # trailing comment\r\n"
        "scan 250\n"
        "operator admin \"s e c\"\n"
        "login-required start view\n"
        "group 0 Plant\n"
        "group 40 \"Line\" parent 0\n"
        "group 41 Sub parent 40\n"
        "\n"
        "channel 9 type 4 \"Temp.In\" in 41 40\n"
        "  set Value 21.5\n"
        "  set 79 \"degC\"\n"
        "  sim 27 sine 10 2 30 90\n"
        "channel 3 type 7 Link\n"
        "members 40 3\n");
    EXPECT_EQ(d.name, "Demo \"1\"");
    EXPECT_EQ(d.nodeType, 1);
    EXPECT_EQ(d.scanPeriod, 250);
    ASSERT_EQ(d.operators.size(), 1u);
    EXPECT_EQ(d.operators[0].password, "s e c");
    EXPECT_TRUE(d.loginToStart);
    EXPECT_FALSE(d.loginToStop);
    EXPECT_TRUE(d.loginToView);
    ASSERT_EQ(d.groups.size(), 3u);
    EXPECT_EQ(d.groups.at(41).parent, 40);
    EXPECT_EQ(d.groups.at(40).channels, (std::vector<int>{9, 3}));
    EXPECT_EQ(d.groups.at(41).channels, (std::vector<int>{9}));
    ASSERT_EQ(d.channels.size(), 2u);
    EXPECT_EQ(d.channels[0].id, 3); // ascending id
    const ChannelDefinition& c = d.channels[1];
    EXPECT_EQ(c.name, "Temp.In");
    ASSERT_EQ(c.settings.size(), 2u);
    EXPECT_EQ(c.settings[0].attr, 2);
    EXPECT_DOUBLE_EQ(c.settings[0].number, 21.5);
    EXPECT_EQ(c.settings[1].text, "degC");
    ASSERT_EQ(c.simulations.size(), 1u);
    EXPECT_EQ(c.simulations[0].attr, 27);
    EXPECT_EQ(c.simulations[0].sim.kind, SimKind::Sine);
    EXPECT_DOUBLE_EQ(c.simulations[0].sim.p[3], 90);
}

TEST(NodeFile, DefaultsAndOptionalParts) {
    NodeDefinition d = parseOk(std::string(kHead) + "channel 1 type 4 A\n  sim 2 square 0 1 10\n  sim 0 walk 5 1 0 10\n"
                                                    "  sim 1 counter 0 2 6\n");
    EXPECT_EQ(d.scanPeriod, 1000);
    EXPECT_TRUE(d.groups.empty());
    auto& s = d.channels[0].simulations;
    EXPECT_DOUBLE_EQ(s[0].sim.p[3], 50);            // duty
    EXPECT_EQ(s[1].sim.seed, 1u * 256 + 0);         // seed from channel and attribute
    EXPECT_TRUE(s[2].sim.hasLimit);
}

struct BadFile {
    const char* what;
    std::string content;
    const char* message;
};

class NodeFileErrors : public ::testing::TestWithParam<BadFile> {};

TEST_P(NodeFileErrors, RefusedWithFileLineAndProblem) {
    NodeDefinition def;
    std::string error;
    EXPECT_FALSE(parseNodeFile(GetParam().content, "demo.dbb", def, error));
    EXPECT_EQ(error, GetParam().message);
}

const std::string H = kHead;
INSTANTIATE_TEST_SUITE_P(
    Table, NodeFileErrors,
    ::testing::Values(
        BadFile{"empty", "", "demo.dbb:1: empty file: a node file starts with 'node NAME type N'"},
        BadFile{"only comments", "# x\n\n", "demo.dbb:1: no node line: a node file starts with 'node NAME type N'"},
        BadFile{"node not first", "scan 100\n", "demo.dbb:1: the node line ('node NAME type N') must come first, found 'scan'"},
        BadFile{"second node", H + "node b type 1\n", "demo.dbb:2: second node line (first on line 1)"},
        BadFile{"node usage", "node x\n", "demo.dbb:1: expected: node NAME type N"},
        BadFile{"unknown channel type", H + "scan 500\nchannel 1 type 17 x\n", "demo.dbb:3: unknown channel type 17"},
        BadFile{"negative type", H + "channel 1 type -1 x\n", "demo.dbb:2: unknown channel type -1"},
        BadFile{"type not a number", H + "channel 1 type four x\n", "demo.dbb:2: bad number 'four' for channel type"},
        BadFile{"duplicate channel", H + "channel 4 type 4 a\nchannel 4 type 1 b\n",
                "demo.dbb:3: duplicate channel id 4 (first on line 2)"},
        BadFile{"duplicate group", H + "group 40 a\n\ngroup 40 b\n", "demo.dbb:4: duplicate group id 40 (first on line 2)"},
        BadFile{"reserved group", H + "group 5 a\n", "demo.dbb:2: group id 5 is reserved (use 0 for the top group or 32..65535)"},
        BadFile{"group too big", H + "group 70000 a\n", "demo.dbb:2: group id 70000 out of range (0..65535)"},
        BadFile{"channel id 0", H + "channel 0 type 4 a\n", "demo.dbb:2: channel id 0 out of range (1..1000000)"},
        BadFile{"scan too short", H + "scan 50\n", "demo.dbb:2: scan period 50 out of range (100..3600000)"},
        BadFile{"scan not a number", H + "scan fast\n", "demo.dbb:2: bad number 'fast' for scan period"},
        BadFile{"unknown directive", H + "chanel 1 type 4 a\n", "demo.dbb:2: unknown directive 'chanel'"},
        BadFile{"set before channel", H + "set 2 1\n", "demo.dbb:2: 'set' before any channel line"},
        BadFile{"attribute type lacks", H + "channel 7 type 4 a\n  set 200 1\n", "demo.dbb:3: channel 7 (type 4) has no attribute 200"},
        // A long all-digit name is no attribute id (it once overflowed while being read as one).
        BadFile{"attribute id of many digits", H + "channel 7 type 4 a\n  set 4444444444 1\n",
                "demo.dbb:3: channel 7 (type 4) has no attribute named '4444444444'"},
        BadFile{"attribute name unknown", H + "channel 7 type 4 a\n  set Colour 1\n",
                "demo.dbb:3: channel 7 (type 4) has no attribute named 'Colour'"},
        BadFile{"link channel has no value", H + "channel 7 type 7 a\n  set Value 1\n",
                "demo.dbb:3: channel 7 (type 7) has no attribute named 'Value'"},
        BadFile{"bad value", H + "channel 7 type 4 a\n  set Value abc\n", "demo.dbb:3: bad value 'abc' for attribute 2 (Value, R4)"},
        BadFile{"value out of range", H + "channel 7 type 4 a\n  set Priority 300\n",
                "demo.dbb:3: bad value '300' for attribute 5 (Priority, UI1)"},
        BadFile{"fraction for integer", H + "channel 7 type 1 a\n  set Value 1.5\n",
                "demo.dbb:3: bad value '1.5' for attribute 2 (Value, I4)"},
        BadFile{"bad date", H + "channel 7 type 4 a\n  set ChangeTime 2026-02-30\n",
                "demo.dbb:3: bad value '2026-02-30' for attribute 45 (ChangeTime, DATE)"},
        BadFile{"type attribute", H + "channel 7 type 4 a\n  set 48 5\n", "demo.dbb:3: attribute 48 (Type) is given by the channel line"},
        BadFile{"text too long", H + "channel 7 type 4 a\n  set Units " + std::string(256, 'x') + "\n",
                "demo.dbb:3: text longer than 255 bytes"},
        BadFile{"name too long", H + "channel 7 type 4 " + std::string(256, 'x') + "\n",
                "demo.dbb:2: channel name longer than 255 bytes"},
        BadFile{"empty name", H + "channel 7 type 4 \"\"\n", "demo.dbb:2: empty channel name"},
        BadFile{"unterminated", H + "channel 7 type 4 \"abc\n", "demo.dbb:2: unterminated quoted text"},
        BadFile{"bad escape", H + "group 0 \"a\\n\"\n", "demo.dbb:2: bad escape in quoted text (only \\\" and \\\\ are known)"},
        BadFile{"binary junk", H + "\x01\x02\xff\xfe\n", "demo.dbb:2: text is not valid UTF-8"},
        BadFile{"control character", H + "group 0 a\x01" "b\n", "demo.dbb:2: control character 0x01"},
        BadFile{"nul byte", H + std::string("group 0 a\0b\n", 12), "demo.dbb:2: NUL byte in line (not a text file?)"},
        BadFile{"huge line", H + "# " + std::string(70000, 'x') + "\n", "demo.dbb:2: line longer than 65536 bytes"},
        BadFile{"missing parent", H + "group 40 a parent 99\n", "demo.dbb:2: group 40: parent group 99 does not exist"},
        BadFile{"parent loop", H + "group 40 a parent 41\ngroup 41 b parent 40\n", "demo.dbb:2: group 40: the parent chain forms a loop"},
        BadFile{"nested too deep", H + [] {
                    std::string s = "group 32 g\n";
                    for (int g = 33; g <= 96; ++g) s += "group " + std::to_string(g) + " g parent " + std::to_string(g - 1) + "\n";
                    return s;
                }(), "demo.dbb:66: group 96: groups nested deeper than 64 levels"},
        BadFile{"top group with parent", H + "group 0 a parent 40\n", "demo.dbb:2: the top group 0 has no parent"},
        BadFile{"member of unknown group", H + "channel 1 type 4 a in 40\n", "demo.dbb:2: group 40 does not exist"},
        BadFile{"unknown member", H + "group 40 a\nmembers 40 1 2\nchannel 1 type 4 a\n",
                "demo.dbb:3: group 40 lists unknown channel 2"},
        BadFile{"listed twice", H + "group 40 a\nchannel 1 type 4 a in 40\nmembers 40 1\n",
                "demo.dbb:4: channel 1 is listed twice in group 40"},
        BadFile{"unknown simulation", H + "channel 1 type 4 a\n sim 2 zigzag 1\n",
                "demo.dbb:3: unknown simulation 'zigzag' (constant, ramp, sine, square, walk, counter)"},
        BadFile{"simulation usage", H + "channel 1 type 4 a\n sim 2 ramp 1 2\n", "demo.dbb:3: expected: sim ATTRIBUTE ramp FROM TO SECONDS"},
        BadFile{"simulation period", H + "channel 1 type 4 a\n sim 2 sine 1 2 0\n", "demo.dbb:3: the period must be at least 0.001 seconds"},
        BadFile{"simulated text", H + "channel 1 type 4 a\n sim Units constant 1\n",
                "demo.dbb:3: attribute 79 (Units, BSTR) is text and cannot be simulated"},
        BadFile{"simulated twice", H + "channel 1 type 4 a\n sim 2 constant 1\n sim 2 constant 2\n",
                "demo.dbb:4: attribute 2 is already simulated"},
        BadFile{"simulation out of range", H + "channel 1 type 2 a\n sim 2 ramp 0 70000 10\n",
                "demo.dbb:3: simulated value 70000 does not fit attribute 2 (Value, UI2)"},
        BadFile{"walk bounds", H + "channel 1 type 4 a\n sim 2 walk 20 1 0 10\n", "demo.dbb:3: walk: START outside MIN..MAX"},
        BadFile{"duplicate operator", H + "operator a b\noperator a c\n", "demo.dbb:3: duplicate operator 'a'"},
        BadFile{"login-required word", H + "login-required restart\n",
                "demo.dbb:2: unknown login-required action 'restart' (start, stop or view)"}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
        std::string n = info.param.what;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(NodeFile, UnreadableFileNamesTheFile) {
    NodeDefinition def;
    std::string error;
    EXPECT_FALSE(readNodeFile(L"Z:\\no\\such\\dir\\gone.dbb", "gone.dbb", def, error));
    EXPECT_EQ(error, "gone.dbb: cannot open the file (no such file)");
}

TEST(NodeFile, RandomJunkNeverCrashes) {
    // Bytes of every kind, in lines of every length: always a clean refusal or a load.
    unsigned state = 12345;
    for (int round = 0; round < 200; ++round) {
        std::string content = round % 2 ? std::string(kHead) : std::string();
        int n = (round * 37) % 3000;
        for (int i = 0; i < n; ++i) {
            state = state * 1103515245u + 12345u;
            char c = static_cast<char>(state >> 16);
            if (round % 3 == 0) c = "channel 1type4\"\\ \n#set sim -9x"[(state >> 8) % 30];
            content += c;
        }
        NodeDefinition def;
        std::string error;
        if (!parseNodeFile(content, "junk.dbb", def, error)) {
            EXPECT_EQ(error.rfind("junk.dbb:", 0), 0u) << error;
        }
    }
}
