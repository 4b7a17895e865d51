#include "module/ClassFactory.h"
#include "module/MessageLoop.h"
#include "module/ServerModule.h"

#include <gtest/gtest.h>

#include <wrl/client.h>

namespace {

TEST(ServerModule, IsTheInstanceWhileItLives) {
    {
        ServerModule module;
        EXPECT_EQ(ServerModule::Instance(), &module);
        EXPECT_FALSE(module.Failed());
        EXPECT_EQ(module.MainThreadId(), GetCurrentThreadId());
        EXPECT_EQ(lx::ProcessContext::Current(), &module.Context());
        EXPECT_EQ(module.Context().ShutdownDelay(), 5000u);
        EXPECT_EQ(module.Context().ShutdownPause(), 1000u);
        EXPECT_FALSE(module.Context().AutoStart());
        EXPECT_FALSE(module.Context().ShuttingDown());
    }
    EXPECT_EQ(ServerModule::Instance(), nullptr);
    EXPECT_EQ(lx::ProcessContext::Current(), nullptr);
}

TEST(ClassFactory, RefusesAggregationAndCountsServerLocks) {
    ServerModule module;
    lx::ClassFactory factory(module.Context());
    Microsoft::WRL::ComPtr<IClassFactory> cf;
    ASSERT_EQ(factory.QueryInterface(IID_PPV_ARGS(&cf)), S_OK);
    Microsoft::WRL::ComPtr<IUnknown> unknown;
    EXPECT_EQ(cf.As(&unknown), S_OK);
    Microsoft::WRL::ComPtr<IDispatch> dispatch;
    EXPECT_EQ(cf.As(&dispatch), E_NOINTERFACE);

    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(cf->CreateInstance(unknown.Get(), IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

    EXPECT_EQ(cf->LockServer(TRUE), S_OK);
    EXPECT_EQ(module.Context().LockCount(), 1);
    EXPECT_EQ(cf->LockServer(FALSE), S_OK);
    EXPECT_EQ(module.Context().LockCount(), 0);
    cf.Reset();
    unknown.Reset();
    EXPECT_EQ(factory.References(), 0u);
}

struct RecordingFilter : lx::MessageFilter {
    explicit RecordingFilter(bool consume) : consume(consume) {}
    bool PreTranslateMessage(MSG&) override {
        ++seen;
        return consume;
    }
    bool consume;
    int seen = 0;
};

TEST(MessageLoop, NewestFilterFirstAndAConsumedMessageStops) {
    lx::MessageLoop loop;
    RecordingFilter older(false), newer(true);
    loop.AddMessageFilter(&older);
    loop.AddMessageFilter(&newer);
    MSG message{};
    EXPECT_TRUE(loop.PreTranslate(message));
    EXPECT_EQ(newer.seen, 1);
    EXPECT_EQ(older.seen, 0);
    loop.RemoveMessageFilter(&newer);
    EXPECT_FALSE(loop.PreTranslate(message));
    EXPECT_EQ(older.seen, 1);
}

TEST(MessageLoop, RunsIdleHandlersUntilQuit) {
    struct CountingIdle : lx::IdleHandler {
        bool OnIdle() override {
            if (++calls == 3) PostQuitMessage(42);
            return calls < 3;   // more work twice, then none
        }
        int calls = 0;
    } idle;
    lx::MessageLoop loop;
    loop.AddIdleHandler(&idle);
    PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
    EXPECT_EQ(loop.Run(), 42);
    EXPECT_GE(idle.calls, 3);
}

TEST(MessageLoop, MessagesThatDoNotReenableIdleProcessing) {
    for (UINT m : {static_cast<UINT>(WM_MOUSEMOVE), static_cast<UINT>(WM_NCMOUSEMOVE), static_cast<UINT>(WM_PAINT),
                   0x0118u}) {
        MSG message{};
        message.message = m;
        EXPECT_FALSE(lx::MessageLoop::IsIdleMessage(message)) << m;
    }
    MSG key{};
    key.message = WM_KEYDOWN;
    EXPECT_TRUE(lx::MessageLoop::IsIdleMessage(key));
}

} // namespace
