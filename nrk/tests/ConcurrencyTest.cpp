// Many threads call the runtime while another loads, starts, stops and unloads.
#include "Runtime.h"
#include "TestNode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace nrk;
using nrk::test::TempNodeFile;

namespace {

std::string nodeText(int channels) {
    std::string s = "node busy type 1\nscan 100\ngroup 0 Top\ngroup 40 G\n";
    for (int ch = 1; ch <= channels; ++ch) {
        s += "channel " + std::to_string(ch) + " type 4 \"C" + std::to_string(ch) + "\" in 40\n";
        s += "  sim Value counter 0 1 1000\n  sim 26 sine 0 1 1\n";
    }
    return s;
}

TEST(Concurrency, ReadersAndWritersDuringLifecycleChanges) {
    TempNodeFile a("busy-a.dbb", nodeText(50));
    TempNodeFile b("busy-b.dbb", nodeText(20));
    RuntimeOptions o;
    o.reportErrors = false;
    Runtime rt(o);
    ASSERT_EQ(rt.LoadNode(a.directory().c_str(), a.name().c_str()), 0);

    std::atomic<bool> stop{false};
    std::atomic<long> bad{0}, reads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            char text[NRK_TEXT_SIZE];
            while (!stop.load()) {
                for (int ch = 1; ch <= 60; ++ch) {
                    int type = -1;
                    if (rt.GetChannelInt(ch, -1, &type, NRK_ATTR_TYPE) && type != 4) ++bad;
                    float f;
                    if (rt.GetChannelFloat(ch, -1, &f, 2) && !(f >= 0 && f <= 1000)) ++bad;
                    if (rt.GetChannelString(ch, -1, text, NRK_ATTR_NAME, 0) &&
                        text != "C" + std::to_string(ch))
                        ++bad;
                    if (t % 2) rt.SetChannelDouble(ch, -1, 500, 2);
                    rt.SetChannelString(ch, -1, "text", 79);
                    rt.GetAttributeName(ch, 2, text);
                    rt.IsNodeRunning();
                    rt.GetGroupChannel(40, ch % 10);
                    rt.GetNodeParameter(NRK_PARAM_CHANNEL_END);
                    ++reads;
                }
            }
        });
    }
    for (int i = 0; i < 60; ++i) {
        rt.StartNode();
        Sleep(2);
        rt.StopNode();
        if (i % 10 == 3) rt.UnloadNode();
        if (i % 10 == 5) {
            EXPECT_EQ(rt.LoadNode(b.directory().c_str(), b.name().c_str()), 0);
        }
        if (i % 10 == 8) {
            EXPECT_EQ(rt.LoadNode(a.directory().c_str(), a.name().c_str()), 0);
        }
    }
    stop.store(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_TRUE(rt.IsNodeLoaded());
}

TEST(Concurrency, WritesFromManyThreadsAllLand) {
    TempNodeFile a("writes.dbb", nodeText(8));
    RuntimeOptions o;
    o.reportErrors = false;
    Runtime rt(o);
    ASSERT_EQ(rt.LoadNode(a.directory().c_str(), a.name().c_str()), 0);
    rt.StartNode(); // the simulation runs too; written values leave it
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i <= 500; ++i) {
                rt.SetChannelInt(t + 1, -1, i, 2);
                rt.SetChannelString(t + 1, -1, ("w" + std::to_string(i)).c_str(), 80);
            }
        });
    for (auto& t : threads) t.join();
    rt.StopNode();
    for (int ch = 1; ch <= 8; ++ch) {
        int v = 0;
        ASSERT_TRUE(rt.GetChannelInt(ch, -1, &v, 2));
        EXPECT_EQ(v, 500) << ch;
        char text[NRK_TEXT_SIZE];
        ASSERT_TRUE(rt.GetChannelString(ch, -1, text, 80, 0));
        EXPECT_STREQ(text, "w500");
    }
}

} // namespace
