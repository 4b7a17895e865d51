// The control panel of the real lx6opc.exe, driven as an operator uses it: buttons
// pressed, keys typed, texts and states read, message boxes answered, and the saved
// window rectangle read and written. Nodes: small.dbb (no operators), all-types.dbb
// (operators admin/secret and guest/"", login needed to start and stop).
#include "ProcessSupport.h"
#include "UiDriver.h"
#include "module/ModuleIds.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "opccomn.h"
#include "opcda.h"

using namespace lxprocess;

namespace {

const std::wstring kUiKey = kServerKey + L"\\UI";
const std::wstring kLoginCaption = L"Login";
constexpr int kUserEdit = 217, kPasswordEdit = 218;

// Sets an environment variable for the processes started while it lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t old[4096];
        const DWORD length = GetEnvironmentVariableW(name, old, 4096);
        if (length > 0 && length < 4096) old_ = std::wstring(old, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

std::optional<RECT> StoredFrame() {
    std::int32_t r[4] = {};
    DWORD bytes = sizeof(r);
    if (RegGetValueW(HKEY_CURRENT_USER, kUiKey.c_str(), L"Frame", RRF_RT_REG_BINARY, nullptr, r, &bytes) !=
            ERROR_SUCCESS ||
        bytes != sizeof(r))
        return std::nullopt;
    return RECT{r[0], r[1], r[2], r[3]};
}

void StoreFrame(DWORD type, const void* data, DWORD bytes) { SetUserValue(kUiKey, L"Frame", type, data, bytes); }

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

class Panel : public Process {
protected:
    void Open(const char* node, const std::wstring& args = L"") {
        SetNodeFilePath(SourcePath(node).wstring());
        server = std::make_unique<ServerProcess>(args);
        ASSERT_TRUE(server->Started());
        panel = server->WaitForPanel();
        ASSERT_NE(panel, nullptr) << "no panel";
        ASSERT_TRUE(IsWindowVisible(panel)) << "the panel is not shown";
    }

    uidriver::ControlState State(int id) const { return uidriver::ReadControl(panel, id); }
    bool Shows(int id) const { return State(id).visible; }
    bool Enabled(int id) const { return State(id).enabled; }
    bool Click(int id) const { return uidriver::ClickControl(panel, id); }
    bool Running() const { return Shows(kStopId) && !Shows(kStartId); }

    // The server's message box (caption string 200), or null.
    HWND Box(DWORD timeoutMs = 10000) const {
        return uidriver::WaitForWindow({kCaption, uidriver::kDialogClass, false, server->Pid()}, timeoutMs,
                                       server->Handle());
    }
    std::vector<std::wstring> Answer(HWND box, int button) const {
        if (!box) return {};
        auto texts = uidriver::StaticTexts(box);
        uidriver::PressButton(box, button);
        uidriver::WaitUntilGone(box, 5000);
        return texts;
    }

    // Still running with its window after a while (the action did not end anything).
    void ExpectStillOpen(const char* what) const {
        EXPECT_FALSE(server->Wait(700)) << what << " ended the process";
        EXPECT_TRUE(IsWindow(panel)) << what << " closed the panel";
        EXPECT_EQ(Box(0), nullptr) << what << " showed a box";
    }
    void ExpectEnds(const char* what) const {
        EXPECT_EQ(server->Wait(kExitTimeout), std::optional<DWORD>(S_OK)) << what;
        EXPECT_FALSE(IsWindow(panel)) << what;
    }

    // The login dialog of the server, or null.
    HWND LoginDialog(DWORD timeoutMs = 10000) const {
        return uidriver::WaitForWindow({kLoginCaption, uidriver::kDialogClass, false, server->Pid()}, timeoutMs,
                                       server->Handle());
    }
    // Types a text into an edit of the login dialog, one character at a time.
    static void Type(HWND dialog, int id, const std::wstring& text) {
        const HWND edit = GetDlgItem(dialog, id);
        for (wchar_t c : text) PostMessageW(edit, WM_CHAR, c, 1);
    }
    static void Erase(HWND dialog, int id, size_t count) {
        const HWND edit = GetDlgItem(dialog, id);
        for (size_t i = 0; i < count; ++i) PostMessageW(edit, WM_CHAR, VK_BACK, 1);
    }
    static bool LoginEnabled(HWND dialog) { return IsWindowEnabled(GetDlgItem(dialog, IDOK)) != FALSE; }
    // Logs in through the dialog; true if Logout shows afterwards.
    bool LogIn(const std::wstring& user, const std::wstring& password) const {
        if (!Click(kLoginId)) return false;
        const HWND dialog = LoginDialog();
        if (!dialog) return false;
        Type(dialog, kUserEdit, user);
        Type(dialog, kPasswordEdit, password);
        if (!WaitUntil([&] { return LoginEnabled(dialog) || user.empty(); }, 5000)) return false;
        uidriver::PressButton(dialog, IDOK);
        uidriver::WaitUntilGone(dialog, 5000);
        Sleep(200);
        return Shows(kLogoutId);
    }

    std::unique_ptr<ServerProcess> server;
    HWND panel = nullptr;
};

TEST_F(Panel, StoppedNodeShowsStartAndThePathWithoutLoginButtons) {
    Open("nodes/test/small.dbb");
    EXPECT_EQ(State(kPathId).text, SourcePath("nodes/test/small.dbb").wstring());
    EXPECT_TRUE(Shows(kStartId) && Enabled(kStartId));
    EXPECT_FALSE(Shows(kStopId));
    EXPECT_TRUE(Shows(kExitId) && Enabled(kExitId));
    EXPECT_TRUE(Shows(kHelpId));
    EXPECT_FALSE(Shows(kLoginId)) << "the node has no operators";
    EXPECT_FALSE(Shows(kLogoutId));
    EXPECT_EQ(State(kStartId).text, L"Start");
    EXPECT_EQ(State(kExitId).text, L"Exit");

    // Start and Stop take each other's place; neither shows a login button.
    ASSERT_TRUE(Click(kStartId));
    ASSERT_TRUE(WaitUntil([&] { return Running(); }));
    EXPECT_FALSE(Enabled(kExitId));
    EXPECT_FALSE(Shows(kLoginId) || Shows(kLogoutId));
    ASSERT_TRUE(Click(kStopId));
    ASSERT_TRUE(WaitUntil([&] { return Shows(kStartId); }));
    EXPECT_TRUE(Enabled(kExitId));
    EXPECT_FALSE(Shows(kStopId));
    ASSERT_TRUE(Click(kExitId));
    ExpectEnds("Exit with no client");
}

// Started with a run-mode switch the node starts by itself; while it runs nothing
// closes the panel. Once stopped, Escape still does nothing and Enter on Exit exits.
TEST_F(Panel, RunningNodeKeepsThePanelOpen) {
    Open("nodes/test/small.dbb", L"/RUN");
    ASSERT_TRUE(WaitUntil([&] { return Running(); })) << "the node did not start by itself";
    EXPECT_FALSE(Enabled(kExitId));
    EXPECT_TRUE(Enabled(kStopId));

    const std::pair<const char*, std::function<void()>> closers[] = {
        {"the Exit command", [&] { uidriver::PostCommand(panel, kExitId); }},
        {"the close box", [&] { uidriver::RequestClose(panel); }},
        {"Alt+F4", [&] { uidriver::PressKey(panel, uidriver::Key::AltF4); }},
        {"Escape", [&] { uidriver::PressKey(panel, uidriver::Key::Escape); }},
    };
    for (const auto& [what, act] : closers) {
        act();
        ExpectStillOpen(what);
        EXPECT_TRUE(Running()) << what;
    }

    ASSERT_TRUE(uidriver::StopPanelNode(panel));
    EXPECT_EQ(uidriver::FocusedWindow(panel), uidriver::FindControl(panel, kStartId)) << "focus goes to Start";
    ASSERT_TRUE(uidriver::FocusControl(panel, kExitId));
    uidriver::PressKey(panel, uidriver::Key::Escape);
    ExpectStillOpen("Escape");
    uidriver::PressKey(panel, uidriver::Key::Enter);
    ExpectEnds("Enter on Exit");
}

// Enter anywhere but on Exit does nothing; the close box and Alt+F4 of a stopped node are Exit.
TEST_F(Panel, EnterOnlyOnExitAndCloseIsExit) {
    Open("nodes/test/small.dbb");
    ASSERT_TRUE(uidriver::FocusControl(panel, kHelpId));
    uidriver::PressKey(panel, uidriver::Key::Enter);
    ExpectStillOpen("Enter on Help");
    uidriver::PressKey(panel, uidriver::Key::AltF4);
    ExpectEnds("Alt+F4");

    ResetRegistry();
    Open("nodes/test/small.dbb");
    uidriver::RequestClose(panel);
    ExpectEnds("the close box");
}

// The rectangle is stored when the panel closes and used at the next start.
TEST_F(Panel, FrameRectangleRoundTrip) {
    const std::int32_t stored[4] = {120, 90, 820, 590};
    StoreFrame(REG_BINARY, stored, sizeof(stored));
    Open("nodes/test/small.dbb");
    RECT r{};
    GetWindowRect(panel, &r);
    EXPECT_TRUE(SameRect(r, RECT{120, 90, 820, 590})) << r.left << "," << r.top << "," << r.right << "," << r.bottom;

    ASSERT_TRUE(SetWindowPos(panel, nullptr, 150, 110, 760, 520, SWP_NOZORDER | SWP_NOACTIVATE));
    ASSERT_TRUE(WaitUntil([&] {
        GetWindowRect(panel, &r);
        return r.left == 150 && r.right == 910;
    }));
    ASSERT_TRUE(Click(kExitId));
    ExpectEnds("Exit");
    const auto saved = StoredFrame();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(SameRect(*saved, RECT{150, 110, 910, 630}))
        << saved->left << "," << saved->top << "," << saved->right << "," << saved->bottom;
}

// A stored value of the wrong type or size, or an empty rectangle, leaves the place to the system.
TEST_F(Panel, UnusableFrameValuesAreIgnored) {
    const std::int32_t zeroWidth[4] = {333, 222, 333, 622}, zeroHeight[4] = {333, 222, 733, 222};
    const std::int32_t good[5] = {333, 222, 733, 622, 0};
    const struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
    } cases[] = {
        {"zero width", REG_BINARY, zeroWidth, 16},
        {"zero height", REG_BINARY, zeroHeight, 16},
        {"15 bytes", REG_BINARY, good, 15},
        {"20 bytes", REG_BINARY, good, 20},
        {"not binary", REG_DWORD, good, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRegistry();
        StoreFrame(c.type, c.data, c.bytes);
        Open("nodes/test/small.dbb");
        RECT r{};
        GetWindowRect(panel, &r);
        EXPECT_NE(r.left, 333);
        EXPECT_GT(r.right - r.left, 0);
        EXPECT_GT(r.bottom - r.top, 0);
        uidriver::RequestClose(panel);
        ExpectEnds(c.name);
    }
}

// The panel's lock is the only one: a client object makes Exit ask (No keeps everything);
// Yes turns every further call into E_FAIL, sends ShutdownRequest and closes within
// about two seconds. (That a lock still held after both waits keeps the process without
// a window is shown in process by panel_tests: the server object here ends itself.)
class ShutdownSink : public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCShutdown) {
            *object = static_cast<IOPCShutdown*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR) override {
        ++requests;
        return S_OK;
    }
    std::atomic<ULONG> references{1};
    std::atomic<int> requests{0};
};

HRESULT CallProxyEntry(const char* entry) {
    const HMODULE proxy = LoadLibraryW((BinDir() / L"lx6opcps.dll").c_str());
    if (!proxy) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto call = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(proxy, entry)));
    const HRESULT hr = call ? call() : E_NOTIMPL;
    FreeLibrary(proxy);
    return hr;
}

TEST_F(Panel, ExitWithAClientAsksNotifiesAndCloses) {
    {
        ServerProcess reg(L"/RegServer");
        ASSERT_TRUE(reg.Wait(kExitTimeout));
    }
    ASSERT_EQ(CallProxyEntry("DllRegisterServer"), S_OK) << "the OPC interfaces' proxies";
    struct Unregister {
        ~Unregister() { CallProxyEntry("DllUnregisterServer"); }
    } unregister;
    Open("nodes/test/small.dbb");
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ShutdownSink sink;
    {
        Microsoft::WRL::ComPtr<IOPCServer> opc;
        ASSERT_EQ(CoCreateInstance(lx::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&opc)), S_OK);
        Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(opc.As(&container), S_OK);
        Microsoft::WRL::ComPtr<IConnectionPoint> point;
        ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
        OPCSERVERSTATUS* status = nullptr;
        ASSERT_EQ(opc->GetStatus(&status), S_OK);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);

        const std::vector<std::wstring> question{
            L"Exterior clients are connected to the OPC server. Are you sure that want to quit?"};
        ASSERT_TRUE(Click(kExitId));
        EXPECT_EQ(Answer(Box(), IDNO), question);
        ExpectStillOpen("No");
        status = nullptr;
        ASSERT_EQ(opc->GetStatus(&status), S_OK) << "No changes nothing";
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);

        ASSERT_TRUE(Click(kExitId));
        const HWND box = Box();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(Answer(box, IDYES), question);
        EXPECT_TRUE(WaitUntil([&] { return sink.requests.load() > 0; }, 5000)) << "no ShutdownRequest";
        // The client keeps its object through the first wait: its calls now fail.
        status = nullptr;
        EXPECT_EQ(opc->GetStatus(&status), E_FAIL);
        EXPECT_EQ(status, nullptr);
        EXPECT_TRUE(uidriver::WaitUntilGone(panel, 10000)) << "the panel closes after the two waits";
        // Forced down by the second notice, the server object no longer answers; the
        // process ends at the latest when the client lets go.
        status = nullptr;
        EXPECT_NE(opc->GetStatus(&status), S_OK);
        point.Reset();
        container.Reset();
        opc.Reset();
    }
    EXPECT_EQ(server->Wait(kExitTimeout), std::optional<DWORD>(S_OK)) << "does not end when the client lets go";
    if (SUCCEEDED(init)) CoUninitialize();
}

TEST_F(Panel, OperatorLogin) {
    Open("nodes/test/all-types.dbb");
    EXPECT_TRUE(Shows(kLoginId) && Enabled(kLoginId));
    EXPECT_FALSE(Shows(kLogoutId));
    EXPECT_TRUE(Shows(kStartId));
    EXPECT_FALSE(Enabled(kStartId)) << "the node needs a login to start";
    EXPECT_EQ(State(kLoginId).text, L"Login...");

    // The dialog's Login is enabled exactly while there is a user name; Cancel asks nothing.
    ASSERT_TRUE(Click(kLoginId));
    HWND dialog = LoginDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(LoginEnabled(dialog));
    Type(dialog, kUserEdit, L"a");
    EXPECT_TRUE(WaitUntil([&] { return LoginEnabled(dialog); }, 3000));
    Erase(dialog, kUserEdit, 1);
    EXPECT_TRUE(WaitUntil([&] { return !LoginEnabled(dialog); }, 3000));
    uidriver::PressKey(dialog, uidriver::Key::Escape);
    EXPECT_TRUE(uidriver::WaitUntilGone(dialog, 5000)) << "Escape cancels the login";
    EXPECT_TRUE(Shows(kLoginId));

    // A refused login closes the dialog without a word; an accepted one shows Logout.
    EXPECT_FALSE(LogIn(L"admin", L"wrong"));
    EXPECT_EQ(LoginDialog(0), nullptr);
    EXPECT_EQ(Box(0), nullptr);
    EXPECT_TRUE(Shows(kLoginId));
    EXPECT_FALSE(Enabled(kStartId));
    EXPECT_TRUE(LogIn(L"admin", L"secret"));
    EXPECT_FALSE(Shows(kLoginId));
    EXPECT_TRUE(Enabled(kStartId)) << "logged in, the operator may start";
    EXPECT_EQ(State(kLogoutId).text, L"Logout");

    // Login while logged in logs out first; cancelling leaves the panel logged out.
    ASSERT_TRUE(uidriver::PostCommand(panel, kLoginId));
    dialog = LoginDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(Shows(kLoginId)) << "logged out before asking";
    uidriver::PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(uidriver::WaitUntilGone(dialog, 5000));
    EXPECT_TRUE(Shows(kLoginId));
    EXPECT_FALSE(Enabled(kStartId));

    // An account with an empty password; Logout gives Login... back.
    EXPECT_TRUE(LogIn(L"guest", L""));
    ASSERT_TRUE(Click(kLogoutId));
    EXPECT_TRUE(WaitUntil([&] { return Shows(kLoginId) && !Shows(kLogoutId); }));
    EXPECT_FALSE(Enabled(kStartId));
    ASSERT_TRUE(Click(kExitId));
    ExpectEnds("Exit");
}

// Help shows the server's topic from help\dcs.chm in the HTML Help window.
TEST_F(Panel, HelpOpensTheServersTopic) {
    if (!fs::exists(BinDir() / L"help" / L"dcs.chm")) GTEST_SKIP() << "help/dcs.chm is not built";
    Open("nodes/test/small.dbb");
    ASSERT_TRUE(Click(kHelpId));
    const HWND help =
        uidriver::WaitForWindow({L"Velmara 6 OPC Server Help", L"", true, server->Pid()}, 15000, server->Handle());
    EXPECT_NE(help, nullptr) << "no help window";
    ExpectStillOpen("Help");
    if (help) PostMessageW(help, WM_CLOSE, 0, 0);
    ASSERT_TRUE(Click(kExitId));
    ExpectEnds("Exit");
}

// Without the HTML Help control, Help does nothing, the second time too.
TEST_F(Panel, HelpWithoutTheControlDoesNothing) {
    const ScopedEnvironment noControl(L"WINEDLLOVERRIDES", L"mscoree,mshtml=;winemenubuilder.exe=d;hhctrl.ocx=");
    Open("nodes/test/small.dbb");
    const size_t windows = uidriver::ListTopLevel().size();
    for (int press = 0; press < 2; ++press) {
        ASSERT_TRUE(Click(kHelpId));
        ExpectStillOpen("Help");
    }
    size_t ours = 0;
    for (const auto& w : uidriver::ListTopLevel())
        if (w.processId == server->Pid() && w.visible) ++ours;
    EXPECT_EQ(ours, 1u) << "only the panel (" << windows << " top-level windows in all)";
    ASSERT_TRUE(Click(kExitId));
    ExpectEnds("Exit");
}

} // namespace
