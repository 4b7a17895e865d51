// The demo node through the library's entry point, as the server sees it.
#include <nrk/NRK_Server.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

namespace {

class DemoThroughDll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(NRK_GET_INTERFACE(0, &rt));
        ASSERT_NE(rt, nullptr);
        ASSERT_EQ(rt->LoadNode(NRK_NODES_DIR, "demo.dbb"), 0);
    }
    void TearDown() override {
        if (rt) {
            rt->StopNode();
            rt->UnloadNode();
        }
    }
    std::string str(int ch, int attr) {
        char buf[NRK_TEXT_SIZE];
        return rt->GetChannelString(ch, -1, buf, attr, 0) ? buf : "<fail>";
    }
    int type(int ch) {
        int t = -1;
        return rt->GetChannelInt(ch, -1, &t, NRK_ATTR_TYPE) ? t : -1;
    }
    NRK_Server* rt = nullptr;
};

TEST(Dll, InterfaceVersionAndLastError) {
    NRK_Server* p = nullptr;
    EXPECT_FALSE(NRK_GET_INTERFACE(1, &p));
    EXPECT_FALSE(NRK_GET_INTERFACE(0, nullptr));
    ASSERT_TRUE(NRK_GET_INTERFACE(0, &p));
    NRK_Server* q = nullptr;
    ASSERT_TRUE(NRK_GET_INTERFACE(0, &q));
    EXPECT_EQ(p, q); // one table per process
    EXPECT_NE(p->LoadNode(NRK_NODES_DIR "test\\", "malformed.dbb"), 0);
    char text[NRK_TEXT_SIZE];
    ASSERT_TRUE(NRK_GetLastError(text, sizeof text));
    EXPECT_STREQ(text, "malformed.dbb:5: unknown channel type 17");
    EXPECT_FALSE(NRK_GetLastError(text, 3));
    EXPECT_FALSE(NRK_GetLastError(nullptr, 10));
    ASSERT_EQ(p->LoadNode(NRK_NODES_DIR "test\\", "other-type.dbb"), 0);
    int accepted = -1;
    ASSERT_TRUE(p->GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &accepted));
    EXPECT_NE(accepted, 1);
    p->UnloadNode();
}

TEST_F(DemoThroughDll, AcceptedNodeWithScanPeriodAndOperator) {
    int accepted = -1;
    ASSERT_TRUE(rt->GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &accepted));
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(rt->GetNodeParameter(NRK_PARAM_SCAN_PERIOD), 500);
    EXPECT_EQ(rt->GetOperatorCount(), 1);
    EXPECT_GE(rt->Login({"operator", "velmara"}), 0);
    rt->Logout(0, 0);
}

TEST_F(DemoThroughDll, GroupsChannelsAndTypesThePlantPromises) {
    char buf[NRK_TEXT_SIZE];
    ASSERT_TRUE(rt->IsGroup(0));
    ASSERT_TRUE(rt->GetGroupName(0, buf));
    EXPECT_STREQ(buf, "Plant");
    // Nested groups: some group's parent is another group.
    bool nested = false;
    std::multiset<int> listed;
    for (int g = 32; g < rt->GetGroupLimit(1); ++g) {
        if (!rt->IsGroup(g)) continue;
        ASSERT_TRUE(rt->GetObjectText(g + NRK_GROUP_OBJECT, NRK_ATTR_PARENT, buf, 0));
        nested |= std::stoi(buf) != 0;
        int n = 0;
        ASSERT_TRUE(rt->GetGroupChannelCount(g, &n));
        for (int i = 0; i < n; ++i) listed.insert(rt->GetGroupChannel(g, i));
    }
    EXPECT_TRUE(nested);
    std::set<int> types;
    bool twice = false, loose = false, dotted = false, shown11 = false, hidden11 = false;
    for (int ch = 1; ch < rt->GetNodeParameter(NRK_PARAM_CHANNEL_END); ++ch) {
        int t = type(ch);
        if (t < 0) continue;
        types.insert(t);
        twice |= listed.count(ch) > 1;
        loose |= listed.count(ch) == 0;
        dotted |= str(ch, NRK_ATTR_NAME).find('.') != std::string::npos;
        if (t == 11) {
            int v = -1;
            ASSERT_TRUE(rt->GetChannelInt(ch, -1, &v, NRK_ATTR_VISIBLE));
            (v ? shown11 : hidden11) = true;
        }
    }
    for (int t : {1, 2, 3, 4, 5, 6, 8, 10, 11, 12, 13, 14, 15}) EXPECT_TRUE(types.count(t)) << "type " << t;
    EXPECT_TRUE(types.count(7) || types.count(9));
    EXPECT_TRUE(twice);
    EXPECT_TRUE(loose);
    EXPECT_TRUE(dotted);
    EXPECT_TRUE(shown11);
    EXPECT_TRUE(hidden11);
}

TEST_F(DemoThroughDll, ValuesMoveWhileRunningAndWritesStick) {
    std::string before = str(2, NRK_ATTR_VALUE); // the flow counter
    rt->StartNode();
    ASSERT_TRUE(rt->IsNodeRunning());
    std::string now = before;
    for (int i = 0; i < 100 && now == before; ++i) {
        Sleep(50);
        now = str(2, NRK_ATTR_VALUE);
    }
    EXPECT_NE(now, before);
    // The write-locked valve: attribute 8 reads non-zero; the setpoint takes writes.
    int lock = 0;
    ASSERT_TRUE(rt->GetChannelInt(8, -1, &lock, NRK_ATTR_WRITE_LOCK));
    EXPECT_NE(lock, 0);
    ASSERT_TRUE(rt->SetChannelDouble(9, -1, 4.25, NRK_ATTR_VALUE));
    rt->StopNode();
    EXPECT_FALSE(rt->IsNodeRunning());
    EXPECT_EQ(str(9, NRK_ATTR_VALUE), "4.25");
}

} // namespace
