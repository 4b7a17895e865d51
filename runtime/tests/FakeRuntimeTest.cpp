// The scripted runtime that many tests stand on: texts, failures, counters, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FakeRuntime.h"

namespace {

TEST(FakeRuntime, TextsFollowTheRuntimesBufferRules) {
    FakeRuntime fake;
    fake.AddChannel(7, 4, "Temp").Set(80, std::string(300, 'L'));
    char text[NRK_TEXT_SIZE + 1];
    text[NRK_TEXT_SIZE] = 'x';
    EXPECT_TRUE(fake.GetChannelString(7, -1, text, 127, 0));
    EXPECT_STREQ(text, "Temp");
    EXPECT_TRUE(fake.GetChannelString(7, -1, text, 80, 0));  // cut to the buffer
    EXPECT_EQ(std::string(text), std::string(NRK_TEXT_SIZE - 1, 'L'));
    EXPECT_EQ(text[NRK_TEXT_SIZE], 'x');
    EXPECT_FALSE(fake.GetChannelString(7, -1, text, 126, 0));   // never set
    EXPECT_STREQ(text, "");

    int value = 0;
    fake.Channel(7).Set(2, 21.75f).Set(3, "42");
    EXPECT_TRUE(fake.GetChannelInt(7, -1, &value, 2));
    EXPECT_EQ(value, 21);
    EXPECT_TRUE(fake.GetChannelInt(7, -1, &value, 3));
    EXPECT_EQ(value, 42);
    char number[NRK_TEXT_SIZE];
    EXPECT_TRUE(fake.GetChannelString(7, -1, number, 2, 0));
    EXPECT_STREQ(number, "21.75");
}

TEST(FakeRuntime, FailuresMatchTheirKeysAndCountsAreKept) {
    FakeRuntime fake;
    fake.AddChannel(7, 4, "Temp").Set(8, 0);
    fake.Fail("GetChannelInt", 7, 8);
    fake.Throw("GetChannelFloat", FakeRuntime::kAny, 2);
    int value = -1;
    float f = 0;
    EXPECT_FALSE(fake.GetChannelInt(7, -1, &value, 8));
    EXPECT_TRUE(fake.GetChannelInt(7, -1, &value, 48));
    EXPECT_EQ(value, 4);
    EXPECT_THROW(fake.GetChannelFloat(9, -1, &f, 2), std::runtime_error);
    EXPECT_EQ(fake.Calls("GetChannelInt"), 2);
    EXPECT_EQ(fake.Calls("GetChannelInt", 7, 8), 1);
    EXPECT_EQ(fake.Calls("GetChannelInt", 7), 2);
    EXPECT_EQ(fake.Calls("GetChannelFloat", 9, 2), 1);
    fake.Heal();
    EXPECT_TRUE(fake.GetChannelInt(7, -1, &value, 8));
    EXPECT_FALSE(fake.GetChannelFloat(9, -1, &f, 2));
    fake.ResetCalls();
    EXPECT_EQ(fake.Calls("GetChannelInt"), 0);
}

TEST(FakeRuntime, NodeOperations) {
    FakeRuntime fake;
    EXPECT_FALSE(fake.IsNodeRunning());
    EXPECT_TRUE(fake.CanStart());
    fake.StartNode();
    EXPECT_TRUE(fake.IsNodeRunning());
    EXPECT_TRUE(fake.CanStop());
    fake.Fail("StopNode");
    fake.StopNode();
    EXPECT_TRUE(fake.IsNodeRunning());
    int accepted = 0;
    EXPECT_TRUE(fake.GetNodeProperty(129, &accepted));
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(fake.GetNodeParameter(104), 100);
    fake.SetAnswer("LoadNode", 3);
    EXPECT_EQ(fake.LoadNode("C:\\nodes\\", "plant.DBB"), 3);
    EXPECT_EQ(fake.LoadedFile(), "plant.DBB");
    fake.SetAnswer("Login", -1);
    EXPECT_LT(fake.Login(CredentialPair{"op", "secret"}), 0);
    ASSERT_EQ(fake.Logins().size(), 1u);
    EXPECT_EQ(fake.Logins()[0].second, "secret");
}

TEST(FakeRuntime, CallsFromManyThreadsAreAllCounted) {
    FakeRuntime fake;
    fake.AddChannel(1, 4, "Temp").Set(2, 1.0f);
    std::atomic<int> hooked{0};
    fake.Hook("SetChannelFloat", [&] { ++hooked; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&fake, t] {
            for (int i = 0; i < 500; ++i) {
                float f = 0;
                fake.GetChannelFloat(1, -1, &f, 2);
                fake.SetChannelFloat(1, -1, static_cast<float>(t * 1000 + i), 2);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(fake.Calls("GetChannelFloat"), 2000);
    EXPECT_EQ(fake.Calls("SetChannelFloat", 1, 2), 2000);
    EXPECT_EQ(hooked.load(), 2000);
}

} // namespace
