// The panel in process: its layout, the stored rectangle's rules, the help location,
// the text handed to the runtime, and the real dialog on a fake runtime for what the
// node simulator cannot show (a node that refuses to start or stop).
#include "context/MessageFilter.h"
#include "context/ResourceIds.h"
#include "panel/ControlPanelFrame.h"
#include "panel/FrameRect.h"
#include "panel/HelpLauncher.h"
#include "panel/LoginDialog.h"
#include "panel/PanelLayout.h"
#include "tests/support/FakeRuntime.h"
#include "tests/support/TestContext.h"
#include "UiDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <thread>

namespace {

using lx::panel::ComputeLayout;
using lx::panel::LayoutInput;

std::string Text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

TEST(PanelLayout, ButtonColumnAnimationPathAndView) {
    LayoutInput in;
    in.width = 600;
    in.height = 400;
    in.marginX = 10;
    in.marginY = 11;
    in.button = SIZE{90, 24};
    in.labelWidth = 60;
    in.editHeight = 20;
    const struct {
        const char* name;
        bool loginRow;
        SIZE animation;
        RECT exit, help, startStop, login, animationRect, label, edit, view;
    } cases[] = {
        {"no operators, no animation", false, SIZE{0, 0}, {500, 365, 590, 389}, {500, 330, 590, 354},
         {500, 295, 590, 319}, {0, 0, 0, 0}, {545, 11, 545, 11}, {10, 11, 70, 31}, {80, 11, 490, 31},
         {10, 42, 490, 389}},
        {"operators and a 132 x 132 animation", true, SIZE{132, 132}, {500, 365, 590, 389}, {500, 330, 590, 354},
         {500, 295, 590, 319}, {500, 260, 590, 284}, {479, 11, 611, 143}, {10, 11, 70, 31}, {80, 11, 490, 31},
         {10, 42, 490, 389}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        in.loginRow = c.loginRow;
        in.animation = c.animation;
        const auto l = ComputeLayout(in);
        EXPECT_EQ(Text(l.exit), Text(c.exit));
        EXPECT_EQ(Text(l.help), Text(c.help));
        EXPECT_EQ(Text(l.startStop), Text(c.startStop));
        EXPECT_EQ(Text(l.login), Text(c.login));
        EXPECT_EQ(Text(l.animation), Text(c.animationRect));
        EXPECT_EQ(Text(l.label), Text(c.label));
        EXPECT_EQ(Text(l.edit), Text(c.edit));
        EXPECT_EQ(Text(l.nodeView), Text(c.view));
    }
}

TEST(FrameRect, OnlyASixteenByteBinaryRectangleWithAreaIsUsed) {
    auto bytes = [](std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b) {
        std::vector<BYTE> v(16);
        const std::int32_t in[4] = {l, t, r, b};
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 4; ++k) v[i * 4 + k] = static_cast<BYTE>((static_cast<std::uint32_t>(in[i]) >> (8 * k)) & 0xFF);
        return v;
    };
    const auto good = bytes(-8, 20, 640, 480);
    const auto decoded = lx::panel::DecodeFrameRect(REG_BINARY, good.data(), good.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(Text(*decoded), "-8,20,640,480");
    const auto flatW = bytes(100, 20, 100, 480), flatH = bytes(10, 20, 640, 20);
    EXPECT_FALSE(lx::panel::DecodeFrameRect(REG_BINARY, flatW.data(), 16)) << "zero width";
    EXPECT_FALSE(lx::panel::DecodeFrameRect(REG_BINARY, flatH.data(), 16)) << "zero height";
    EXPECT_FALSE(lx::panel::DecodeFrameRect(REG_BINARY, good.data(), 15));
    EXPECT_FALSE(lx::panel::DecodeFrameRect(REG_NONE, good.data(), 16));
    EXPECT_FALSE(lx::panel::DecodeFrameRect(REG_SZ, good.data(), 16));
}

TEST(Help, TopicBesideTheExecutableAlsoFromAQuotedPath) {
    const std::wstring topic = L"C:\\Program Files\\Velmara\\help\\dcs.chm::/OPC_server_VELMARA_6.htm>sss";
    EXPECT_EQ(lx::panel::HelpTopicFor(L"C:\\Program Files\\Velmara\\lx6opc.exe"), topic);
    EXPECT_EQ(lx::panel::HelpTopicFor(L"\"C:\\Program Files\\Velmara\\lx6opc.exe\""), topic);
}

TEST(Login, TextTheCodePageCannotHoldBecomesEmpty) {
    EXPECT_EQ(lx::panel::ToRuntimeText(L"admin"), "admin");
    EXPECT_EQ(lx::panel::ToRuntimeText(L""), "");
    EXPECT_EQ(lx::panel::ToRuntimeText(L"op\u4E2D"), "") << "no ANSI code page of ours has this character";
}

// The message loop's filter registry as the frame uses it.
struct Filters : lx::MessageFilterHost {
    void AddMessageFilter(lx::MessageFilter* f) override { added.push_back(f); }
    void RemoveMessageFilter(lx::MessageFilter* f) override {
        added.erase(std::remove(added.begin(), added.end(), f), added.end());
    }
    std::vector<lx::MessageFilter*> added;
};

// A panel of this process on the fake runtime, with the process's lock as the loop holds it.
class PanelWindow : public ::testing::Test {
protected:
    void SetUp() override {
        context.SetRuntime(&fake);
        context.SetNodePath(L"C:\\plant\\unit.dbb");
        context.SetShutdownDelay(1000);
        context.SetShutdownPause(0);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, lx::kUiKey, L"Frame");
    }
    void TearDown() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, lx::kUiKey, L"Frame"); }

    void Open() {
        frame = std::make_unique<lx::panel::ControlPanelFrame>(context, filters);
        ASSERT_TRUE(frame->Create());
        dialog = frame->Dialog().Window();
        ASSERT_NE(dialog, nullptr);
        context.Lock();   // the loop's lock for the panel
        frame->Show(SW_SHOWNORMAL);
        Pump();
    }
    static void Pump() {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }
    HWND Item(int id) const { return GetDlgItem(dialog, id); }
    bool Shows(int id) const { return IsWindowVisible(Item(id)) != FALSE; }

    // Sends a command and answers the message box it opens (from another thread, as the
    // box holds this one); the box's texts, or none if no box came.
    std::vector<std::wstring> CommandWithBox(int id) {
        auto answer = std::async(std::launch::async, [] {
            const HWND box = uidriver::WaitForWindow({L"Velmara 6 OPC Server", uidriver::kDialogClass, false,
                                                      GetCurrentProcessId()}, 5000);
            std::vector<std::wstring> texts;
            if (!box) return texts;
            texts = uidriver::StaticTexts(box);
            uidriver::PressButton(box, IDOK);
            return texts;
        });
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
        return answer.get();
    }

    FakeRuntime fake;
    lx::test::TestContext context;
    Filters filters;
    std::unique_ptr<lx::panel::ControlPanelFrame> frame;
    HWND dialog = nullptr;
};

TEST_F(PanelWindow, StartOrStopThatLeavesTheNodeAsItWasShowsItsBox) {
    fake.SetRunning(false);
    Open();
    EXPECT_EQ(filters.added.size(), 1u) << "the keyboard filter is registered";
    fake.Fail("StartNode");
    EXPECT_EQ(CommandWithBox(202), std::vector<std::wstring>{L"Failed to start node."});
    EXPECT_TRUE(Shows(202));
    EXPECT_FALSE(Shows(203));
    EXPECT_EQ(GetFocus(), Item(202));

    fake.Heal();
    SendMessageW(dialog, WM_COMMAND, 202, 0);
    EXPECT_TRUE(Shows(203));
    EXPECT_FALSE(IsWindowEnabled(Item(1))) << "Exit while the node runs";
    EXPECT_EQ(GetFocus(), Item(203));
    fake.Fail("StopNode");
    EXPECT_EQ(CommandWithBox(203), std::vector<std::wstring>{L"Failed to stop node."});
    EXPECT_TRUE(Shows(203));
    EXPECT_EQ(GetFocus(), Item(203));
    fake.Heal();
    SendMessageW(dialog, WM_COMMAND, 203, 0);
    EXPECT_TRUE(Shows(202));
    EXPECT_EQ(GetFocus(), Item(202));
}

TEST_F(PanelWindow, KeyboardFilter) {
    Open();
    lx::MessageFilter& filter = frame->Dialog();
    auto key = [&](HWND target, UINT message, WPARAM vk) {
        MSG m{target, message, vk, 1, 0, {}};
        return filter.PreTranslateMessage(m);
    };
    SetFocus(Item(9));
    EXPECT_TRUE(key(Item(9), WM_KEYDOWN, VK_ESCAPE));
    EXPECT_TRUE(key(Item(9), WM_KEYUP, VK_ESCAPE));
    EXPECT_TRUE(key(Item(9), WM_KEYDOWN, VK_RETURN)) << "Enter off Exit is swallowed";
    MSG posted;
    EXPECT_FALSE(PeekMessageW(&posted, dialog, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    SetFocus(Item(1));
    EXPECT_TRUE(key(Item(1), WM_KEYDOWN, VK_RETURN));
    EXPECT_TRUE(key(Item(1), WM_KEYUP, VK_RETURN));
    ASSERT_TRUE(PeekMessageW(&posted, dialog, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(LOWORD(posted.wParam), 1) << "Enter on Exit is Exit";
    EXPECT_FALSE(PeekMessageW(&posted, dialog, WM_COMMAND, WM_COMMAND, PM_REMOVE)) << "once per key press";
    const HWND view = Item(205);
    ASSERT_NE(view, nullptr);
    SetFocus(view);
    EXPECT_FALSE(key(view, WM_KEYDOWN, VK_RETURN)) << "Enter in the node view is the view's";
}

// Destruction keeps the rectangle, sets the delays to 0 and gives the lock back.
TEST_F(PanelWindow, ExitWithoutClientsClosesAndGivesTheLockBack) {
    Open();
    SetWindowPos(frame->Window(), nullptr, 40, 50, 700, 500, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);   // Cancel is Exit
    Pump();
    EXPECT_EQ(frame->Window(), nullptr);
    EXPECT_EQ(context.LockCount(), 0);
    EXPECT_EQ(context.ShutdownDelay(), 0u);
    EXPECT_EQ(context.ShutdownPause(), 0u);
    EXPECT_FALSE(context.ShuttingDown()) << "no client, no notices";
    EXPECT_TRUE(filters.added.empty());
    const auto stored = lx::panel::ReadFrameRect();
    ASSERT_TRUE(stored);
    EXPECT_EQ(Text(*stored), "40,50,740,550");
}

// A client's lock: Exit asks, raises both notices with the delay after each, and closes
// the window although the lock is still held (the process then runs on without it).
TEST_F(PanelWindow, ExitWithAClientLockThatOutlivesBothWaits) {
    Open();
    context.Lock();   // a client's object that never lets go
    int first = 0, second = 0;
    auto c1 = context.FirstShutdownNotice().connect([&] { ++first; });
    auto c2 = context.SecondShutdownNotice().connect([&] { ++second; });
    auto answer = std::async(std::launch::async, [] {
        const HWND box = uidriver::WaitForWindow({L"Velmara 6 OPC Server", uidriver::kDialogClass, false,
                                                  GetCurrentProcessId()}, 5000);
        if (!box) return std::vector<std::wstring>{};
        auto texts = uidriver::StaticTexts(box);
        uidriver::PressButton(box, IDYES);
        return texts;
    });
    const ULONGLONG start = GetTickCount64();
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ(answer.get(), std::vector<std::wstring>{
                                L"Exterior clients are connected to the OPC server. Are you sure that want to quit?"});
    EXPECT_TRUE(context.ShuttingDown());
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_GE(took, 2000u) << "a wait of the shutdown delay after each notice";
    Pump();
    EXPECT_EQ(frame->Window(), nullptr) << "the window closes anyway";
    EXPECT_EQ(context.LockCount(), 1) << "the client's lock is left";
    c1.disconnect();
    c2.disconnect();
    context.Unlock();
}

TEST_F(PanelWindow, LoginNarrowsThroughTheUserCodePage) {
    fake.SetAnswer("GetOperatorCount", 1);
    fake.SetAnswer("Login", -1);
    Open();
    EXPECT_TRUE(Shows(215));
    EXPECT_FALSE(Shows(216));
    auto typeIn = std::async(std::launch::async, [] {
        const HWND login = uidriver::WaitForWindow({L"Login", uidriver::kDialogClass, false, GetCurrentProcessId()}, 5000);
        if (!login) return false;
        SendMessageW(GetDlgItem(login, 217), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"op\u4E2D"));
        SendMessageW(GetDlgItem(login, 218), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pw"));
        const bool enabled = IsWindowEnabled(GetDlgItem(login, IDOK)) != FALSE;
        uidriver::PressButton(login, IDOK);
        return enabled;
    });
    SendMessageW(dialog, WM_COMMAND, 215, 0);
    EXPECT_TRUE(typeIn.get()) << "a user name enables Login";
    ASSERT_EQ(fake.Logins().size(), 1u);
    EXPECT_EQ(fake.Logins()[0].first, "");
    EXPECT_EQ(fake.Logins()[0].second, "pw");
    EXPECT_EQ(frame->Dialog().LoginValue(), -1) << "refused";
    EXPECT_TRUE(Shows(215));
    EXPECT_EQ(GetFocus(), Item(215));
}

} // namespace
