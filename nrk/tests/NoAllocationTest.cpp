// The numeric getters run on the server's hot paths: they must not allocate.
// This test program counts every operator new of the calling thread.
#include "Runtime.h"
#include "TestNode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
thread_local long allocations = 0;
}

// The replacements pair malloc with free, which GCC cannot see through.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

TEST(NoAllocation, NumericGettersAndStructureQueries) {
    nrk::test::ManualClock clock;
    nrk::Runtime rt(nrk::test::quietOptions(clock));
    nrk::test::TempNodeFile file("noalloc.dbb", "node n type 1\ngroup 0 T\ngroup 40 G\n"
                                                "channel 1 type 4 \"A long channel name beyond small strings\" in 40\n"
                                                "  sim Value sine 1 1 10\n  set Units \"12.5\"\n"
                                                "channel 2 type 3 B in 40\n  set Value 4000000000\n");
    ASSERT_EQ(rt.LoadNode(file.directory().c_str(), file.name().c_str()), 0);
    rt.StartNode();
    int i = 0;
    float f = 0;
    double d = 0;
    const long before = allocations;
    for (int n = 0; n < 1000; ++n) {
        for (int ch = 0; ch <= 3; ++ch) {
            rt.GetChannelInt(ch, -1, &i, 2);
            rt.GetChannelFloat(ch, -1, &f, 2);
            rt.GetChannelDouble(ch, -1, &d, 2);
            rt.GetChannelInt(ch, -1, &i, 48);
            rt.GetChannelDouble(ch, -1, &d, 79); // a text read as a number
        }
        rt.IsNodeRunning();
        rt.IsNodeLoaded();
        rt.GetNodeParameter(NRK_PARAM_SCAN_PERIOD);
        rt.GetGroupChannel(40, 1);
        rt.GetGroupChannelCount(40, &i);
        rt.IsGroup(40);
        rt.GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &i);
        rt.SetChannelDouble(2, -1, 5, 2); // numeric writes too
        rt.SetChannelInt(1, -1, 5, 8);
    }
    EXPECT_EQ(allocations - before, 0);
    // The counter is live: a text getter copying a long name does allocate.
    char text[NRK_TEXT_SIZE];
    const long beforeText = allocations;
    ASSERT_TRUE(rt.GetChannelString(1, -1, text, NRK_ATTR_NAME, 0));
    EXPECT_GT(allocations - beforeText, 0);
    EXPECT_TRUE(rt.GetChannelDouble(1, -1, &d, 79));
    EXPECT_EQ(d, 12.5);
}

} // namespace
