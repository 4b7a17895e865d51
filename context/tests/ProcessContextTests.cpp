#include "context/ProcessContext.h"

#include <gtest/gtest.h>

namespace {

TEST(ProcessContext, IsCurrentWhileItLives) {
    {
        lx::ProcessContext context;
        EXPECT_EQ(lx::ProcessContext::Current(), &context);
        EXPECT_EQ(context.ShutdownDelay(), 5000u);
        EXPECT_EQ(context.ShutdownPause(), 1000u);
        EXPECT_FALSE(context.AutoStart());
        EXPECT_FALSE(context.ShuttingDown());
        EXPECT_EQ(context.Runtime(), nullptr);
    }
    EXPECT_EQ(lx::ProcessContext::Current(), nullptr);
}

TEST(ProcessContext, UnlockToZeroRaisesActivityAndWakesTheMonitor) {
    lx::ProcessContext context;
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    context.SetShutdownEvent(event);
    EXPECT_EQ(context.Lock(), 1);
    EXPECT_EQ(context.Lock(), 2);
    EXPECT_EQ(context.Unlock(), 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(context.TakeActivity());
    EXPECT_EQ(context.Unlock(), 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(context.TakeActivity());
    EXPECT_FALSE(context.TakeActivity());   // taken once
    EXPECT_EQ(context.LockCount(), 0);
    context.SetShutdownEvent(nullptr);
    CloseHandle(event);
}

} // namespace
