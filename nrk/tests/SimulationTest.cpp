// Value simulation with an injected clock: every form is reproducible.
#include "Runtime.h"
#include "Simulation.h"
#include "TestNode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace nrk;
using nrk::test::ManualClock;
using nrk::test::TempNodeFile;

namespace {

// Scan period 1 s: step k is at k seconds.
const char* const kNode = R"(node sim type 1
scan 1000
channel 1 type 6 Ramp
  sim Value ramp 0 10 10
channel 2 type 6 Sine
  sim Value sine 5 2 8 90
channel 3 type 6 Square
  sim Value square -1 1 4 25
channel 4 type 1 Counter
  sim Value counter 10 5 25
channel 5 type 6 Walk
  sim Value walk 50 3 0 100 7
channel 6 type 6 Still
  set Value 3
  sim 9 constant 8
channel 7 type 2 Clamped
  sim Value counter 65530 2
channel 8 type 4 Float
  sim Value ramp 0 1 3
)";

class Simulated : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rt.LoadNode(file.directory().c_str(), file.name().c_str()), 0) << rt.LastError(); }
    double value(int ch, int attr = 2) {
        double d = NAN;
        EXPECT_TRUE(rt.GetChannelDouble(ch, -1, &d, attr));
        return d;
    }
    // Runs to whole second `s` since the start (in one jump or step by step).
    void runTo(int s, bool stepwise = true) {
        while (stepwise && elapsed_ + 1 < s) {
            clock.advance(1000);
            ++elapsed_;
            rt.AdvanceSimulation();
        }
        clock.advance((s - elapsed_) * 1000);
        elapsed_ = s;
        rt.AdvanceSimulation();
    }

    ManualClock clock;
    Runtime rt{nrk::test::quietOptions(clock)};
    TempNodeFile file{"sim.dbb", kNode};
    int elapsed_ = 0;
};

TEST_F(Simulated, ValuesAtLoadAreStepZero) {
    EXPECT_EQ(value(1), 0);
    EXPECT_DOUBLE_EQ(value(2), 7); // 5 + 2 sin(90 degrees)
    EXPECT_EQ(value(3), 1);        // high in the first 25 %
    EXPECT_EQ(value(4), 10);
    EXPECT_EQ(value(5), 50);
    EXPECT_EQ(value(6), 3);
    EXPECT_EQ(value(6, 9), 8);
}

TEST_F(Simulated, ClosedFormsFollowTheStepTime) {
    rt.StartNode();
    struct At {
        int second;
        double ramp, square, counter;
    };
    for (At a : {At{1, 1, -1, 15}, At{3, 3, -1, 25}, At{4, 4, 1, 10}, At{9, 9, -1, 15}, At{10, 0, -1, 20},
                 At{17, 7, -1, 15}}) {
        runTo(a.second);
        EXPECT_DOUBLE_EQ(value(1), a.ramp) << a.second;
        EXPECT_DOUBLE_EQ(value(2), 5 + 2 * std::sin(2 * 3.14159265358979323846 * a.second / 8 + 3.14159265358979323846 / 2))
            << a.second;
        EXPECT_EQ(value(3), a.square) << a.second;
        EXPECT_EQ(value(4), a.counter) << a.second;
    }
    EXPECT_EQ(value(6), 3); // not simulated
}

TEST_F(Simulated, NothingMovesWhileStoppedAndTimeStoppedIsSkipped) {
    rt.StartNode();
    runTo(2);
    EXPECT_EQ(value(1), 2);
    rt.StopNode();
    clock.advance(60000);
    rt.AdvanceSimulation();
    EXPECT_EQ(value(1), 2); // a stopped node holds its values
    rt.StartNode();
    clock.advance(1000);
    rt.AdvanceSimulation();
    EXPECT_EQ(value(1), 3); // continues where it stopped
}

TEST_F(Simulated, WalkIsTheSameForTheSameSeedAndClockAndStaysInBounds) {
    rt.StartNode();
    std::vector<double> first;
    for (int s = 1; s <= 40; ++s) {
        runTo(s);
        first.push_back(value(5));
        EXPECT_GE(first.back(), 0);
        EXPECT_LE(first.back(), 100);
        if (s > 1) {
            EXPECT_LE(std::fabs(first.back() - first[first.size() - 2]), 3.0);
        }
    }
    EXPECT_NE(first.front(), first.back());

    // Another runtime, the same file and clock, advanced in one jump: the same walk.
    ManualClock other;
    Runtime second(nrk::test::quietOptions(other));
    ASSERT_EQ(second.LoadNode(file.directory().c_str(), file.name().c_str()), 0);
    second.StartNode();
    other.advance(40000);
    second.AdvanceSimulation();
    double d = 0;
    ASSERT_TRUE(second.GetChannelDouble(5, -1, &d, 2));
    EXPECT_EQ(d, first.back());
}

TEST_F(Simulated, WalkSeedsDiffer) {
    Simulation a;
    a.kind = SimKind::Walk;
    a.p[0] = 50; a.p[1] = 10; a.p[2] = 0; a.p[3] = 100;
    a.seed = 1;
    Simulation b = a;
    b.seed = 2;
    double va = 50, vb = 50;
    int differ = 0;
    for (int k = 1; k < 20; ++k) {
        va = simulate(a, k, 1, va, 0);
        vb = simulate(b, k, 1, vb, 0);
        differ += va != vb;
    }
    EXPECT_GT(differ, 10);
}

TEST_F(Simulated, WrittenValueLeavesTheSimulation) {
    rt.StartNode();
    runTo(2);
    ASSERT_TRUE(rt.SetChannelDouble(1, -1, 77, 2));
    runTo(5);
    EXPECT_EQ(value(1), 77);
    EXPECT_EQ(value(4), 15); // other channels go on (step 5 of 10, 15, 20, 25)
}

TEST_F(Simulated, ValuesStayInsideTheAttributesType) {
    rt.StartNode();
    runTo(3);
    EXPECT_EQ(value(7), 65535); // UI2 counter clamped, never wrapped
    EXPECT_EQ(value(8), 0);     // R4 ramp of period 3 s at 3 s starts again
    runTo(4);
    EXPECT_EQ(value(8), static_cast<double>(1.0f / 3));
}

TEST(SimulationThread, AdvancesOnItsOwnWhileRunning) {
    TempNodeFile file("thread.dbb", "node t type 1\nscan 100\nchannel 1 type 1 c\n  sim Value counter 0 1\n");
    RuntimeOptions o;
    o.reportErrors = false;
    Runtime rt(o);
    ASSERT_EQ(rt.LoadNode(file.directory().c_str(), file.name().c_str()), 0);
    rt.StartNode();
    int v = 0;
    for (int i = 0; i < 200 && v < 3; ++i) {
        Sleep(20);
        ASSERT_TRUE(rt.GetChannelInt(1, -1, &v, 2));
    }
    EXPECT_GE(v, 3);
    rt.StopNode();
    int held = 0;
    ASSERT_TRUE(rt.GetChannelInt(1, -1, &held, 2));
    Sleep(300);
    ASSERT_TRUE(rt.GetChannelInt(1, -1, &v, 2));
    EXPECT_EQ(v, held);
}

} // namespace
