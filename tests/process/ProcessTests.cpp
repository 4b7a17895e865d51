// The real lx6opc.exe as a process: registration switches, the single-instance
// guard, start-up failures with their message boxes, a normal start and its end.
// Every test starts the executable beside this program and drives its windows.
#include "RemoteControls.h"
#include "ProcessSupport.h"
#include "UiDriver.h"
#include "module/ModuleIds.h"
#include "module/Registrar.h"
#include "tests/support/RegistryDump.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <objbase.h>
#include <opcda.h>
#include <ocidl.h>
#include <opccomn.h>
#include <wrl/client.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <tuple>

using lxtest::KeyExists;
using namespace lxprocess;

namespace {

bool TypeLibraryBuilt() { return fs::exists(BinDir() / L"lx6opc.tlb"); }

// The entries registration leaves, for an executable at `exe`.
std::set<std::wstring> RegisteredClasses(const fs::path& exe) {
    const std::wstring p1 = L"Corvane.LX6.OPC.DA.Server.1", vi = L"Corvane.LX6.OPC.DA.Server";
    const std::wstring clsid = L"{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}", name = L"Velmara 6 OPC DA Server";
    const std::wstring c = kClsidKey, cat = c + L"\\Implemented Categories\\{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
    return {L"K " + kAppIdKey,
            L"V " + kAppIdKey + L"|(default)=Velmara 6 OPC Server",
            L"K " + p1, L"V " + p1 + L"|(default)=" + name,
            L"K " + p1 + L"\\CLSID", L"V " + p1 + L"\\CLSID|(default)=" + clsid,
            L"K " + p1 + L"\\OPC", L"V " + p1 + L"\\OPC|Vendor=Corvane Works, Ltd",
            L"K " + vi, L"V " + vi + L"|(default)=" + name,
            L"K " + vi + L"\\CLSID", L"V " + vi + L"\\CLSID|(default)=" + clsid,
            L"K " + vi + L"\\CurVer", L"V " + vi + L"\\CurVer|(default)=" + p1,
            L"K " + c, L"V " + c + L"|(default)=" + name,
            L"V " + c + L"|AppID={7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}",
            L"K " + c + L"\\ProgID", L"V " + c + L"\\ProgID|(default)=" + p1,
            L"K " + c + L"\\VersionIndependentProgID", L"V " + c + L"\\VersionIndependentProgID|(default)=" + vi,
            L"K " + c + L"\\LocalServer32", L"V " + c + L"\\LocalServer32|(default)=\"" + exe.wstring() + L"\"",
            L"K " + c + L"\\Implemented Categories",
            L"K " + cat, L"V " + cat + L"|(default)=OPC Data Access Servers Version 2.0"};
}

std::set<std::wstring> WithoutTypeLibrary(std::set<std::wstring> state) {
    for (auto it = state.begin(); it != state.end();)
        it = it->compare(2, kTypeLibKey.size(), kTypeLibKey) == 0 ? state.erase(it) : std::next(it);
    return state;
}

TEST_F(Process, RegisterAndUnregisterLeaveExactlyTheirEntries) {
    if (!TypeLibraryBuilt())
        GTEST_SKIP() << "lx6opc.tlb is not built beside the executable";
    // The earlier version's entries are there before.
    ASSERT_EQ(lx::reg::RunScript(lx::SCRIPT_EARLIER_VERSION, true, {{L"NODE_FILE_PATH", L"C:\\old.dbb"}},
                                 ServerExe().wstring()),
              S_OK);
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Corvane.Lx6Node"));

    for (int round = 0; round < 2; ++round) {   // twice: the same state
        ServerProcess reg(L"/RegServer");
        ASSERT_TRUE(reg.Started());
        EXPECT_EQ(reg.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
        EXPECT_EQ(WithoutTypeLibrary(ClassesState()), RegisteredClasses(ServerExe())) << "round " << round;
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kDaKey));
    }

    SetNodeFilePath(L"C:\\a.dbb");
    SetUserValue(kServerKey + L"\\UI", L"Frame", REG_BINARY, "0123456789abcdef", 16);
    ServerProcess unreg(L"-unregserver");
    EXPECT_EQ(unreg.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
    EXPECT_EQ(ClassesState(), std::set<std::wstring>{});
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kServerKey));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\CorvanE\\VELMARA\\6\\OPC"));
}

TEST_F(Process, WithoutTypeLibraryRegistrationFailsAfterTheClassEntries) {
    // A copy of the executable (and our DLLs) in a folder without lx6opc.tlb.
    for (const auto& entry : fs::directory_iterator(BinDir())) {
        const std::wstring ext = entry.path().extension().wstring();
        if (entry.path().filename() == L"lx6opc.exe" || ext == L".dll" || ext == L".DLL")
            fs::copy_file(entry.path(), scratch / entry.path().filename());
    }
    const fs::path copy = scratch / L"lx6opc.exe";

    ServerProcess reg(L"/REGSERVER", scratch, copy);
    const auto regCode = reg.Wait(kExitTimeout);
    ASSERT_TRUE(regCode);
    EXPECT_TRUE(FAILED(static_cast<HRESULT>(*regCode))) << std::hex << *regCode;
    EXPECT_EQ(ClassesState(), RegisteredClasses(copy));

    SetNodeFilePath(L"C:\\a.dbb");
    ServerProcess unreg(L"/UnregServer", scratch, copy);
    EXPECT_EQ(unreg.Wait(kExitTimeout), regCode);   // the same loading error
    // The class is gone. The AppID is not removed as such (that needs the first step to
    // succeed), but the earlier version's entries share its key, and they are removed
    // in any case, like the per-user keys.
    EXPECT_EQ(ClassesState(), std::set<std::wstring>{});
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kServerKey));
}

LRESULT CALLBACK PlainWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

TEST_F(Process, SecondInstanceBringsTheFirstToFrontAndDoesNothingElse) {
    // This test process plays the running instance: the mutex and a minimised window.
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, lx::kInstanceMutexName);
    ASSERT_NE(mutex, nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = &PlainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Lx6OpcFirstInstance";
    RegisterClassW(&wc);
    const HWND first = CreateWindowW(wc.lpszClassName, kCaption.c_str(), WS_OVERLAPPEDWINDOW, 10, 10, 300, 200,
                                     nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(first, nullptr);
    ShowWindow(first, SW_SHOWMINIMIZED);
    ASSERT_TRUE(IsIconic(first));

    for (const wchar_t* args : {L"/RegServer", L"-UnregServer", L"C:\\plant\\unit.dbb", L""}) {
        ServerProcess second(args);
        EXPECT_EQ(second.Wait(kExitTimeout), std::optional<DWORD>(0)) << args;
        EXPECT_EQ(ClassesState(), std::set<std::wstring>{}) << args;
        EXPECT_FALSE(NodeFilePath()) << args;
    }
    // The placement is applied asynchronously: pump until it arrives.
    for (int i = 0; i < 50 && IsIconic(first); ++i) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(50);
    }
    EXPECT_FALSE(IsIconic(first));
    DestroyWindow(first);
    CloseHandle(mutex);
}

struct FailureCase {
    const char* what;
    std::function<void(const fs::path& scratch)> setUp;
    UINT id;
    const wchar_t* text;
};

TEST_F(Process, EveryStartupFailureShowsItsBoxAndEndsWithEFail) {
    const auto setString = [](const std::wstring& s) {
        return [s](const fs::path&) { SetNodeFilePath(s); };
    };
    const auto setRaw = [](DWORD type, std::vector<BYTE> data) {
        return [type, data](const fs::path&) {
            SetUserValue(kServerKey, lx::kNodeFilePathValue, type, data.data(), static_cast<DWORD>(data.size()));
        };
    };
    const wchar_t* notDefined = L"OPC server startup node not defined.";
    const wchar_t* notFound = L"OPC server startup node not found.";
    const std::vector<FailureCase> cases = {
        {"no key", [](const fs::path&) {}, lx::IDS_NODE_NOT_DEFINED, notDefined},
        {"no value", [](const fs::path&) { SetUserValue(kServerKey, L"Other", REG_SZ, L"x", 4); },
         lx::IDS_NODE_NOT_DEFINED, notDefined},
        {"empty value", setString(L""), lx::IDS_NODE_NOT_DEFINED, notDefined},
        {"260 characters", setString(L"C:\\" + std::wstring(253, L'n') + L".dbb"), lx::IDS_NODE_NOT_DEFINED,
         notDefined},
        {"REG_DWORD", setRaw(REG_DWORD, {1, 0, 0, 0}), lx::IDS_NODE_NOT_DEFINED, notDefined},
        {"odd byte length", setRaw(REG_SZ, {'a', 0, 0}), lx::IDS_NODE_NOT_DEFINED, notDefined},
        // The registry counts a NUL that directly follows the data: let a character follow.
        {"not terminated",
         [](const fs::path&) { SetUserValue(kServerKey, lx::kNodeFilePathValue, REG_SZ, L"a.dbbX", 10); },
         lx::IDS_NODE_NOT_DEFINED, notDefined},
        {"no match", [](const fs::path& s) { SetNodeFilePath((s / L"none*.dbb").wstring()); },
         lx::IDS_NODE_NOT_FOUND, notFound},
        {"wildcard in the directory",
         [](const fs::path& s) {
             std::ofstream(s / L"a.dbb") << "x";
             SetNodeFilePath((s.parent_path() / L"lx6opc-proc*" / L"a.dbb").wstring());
         },
         lx::IDS_NODE_NOT_FOUND, notFound},
        {"missing file", [](const fs::path& s) { SetNodeFilePath((s / L"missing.dbb").wstring()); },
         lx::IDS_NODE_NOT_FOUND, notFound},
        {"a directory", [](const fs::path& s) { SetNodeFilePath(s.wstring()); }, lx::IDS_NODE_NOT_FOUND, notFound},
        {"refused by the runtime",
         [](const fs::path& s) {
             std::ofstream(s / L"broken.dbb") << "this is not a node file\n{{{\n";
             SetNodeFilePath((s / L"broken.dbb").wstring());
         },
         lx::IDS_NODE_LOAD_FAILED, L"Failed to load OPC server startup node."},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        ResetRegistry();
        c.setUp(scratch);
        ServerProcess server(L"", scratch);
        ASSERT_TRUE(server.Started());
        const auto texts = server.AnswerBox();
        ASSERT_TRUE(texts) << "no message box";
        EXPECT_EQ(*texts, std::vector<std::wstring>{c.text});
        EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(E_FAIL));
        EXPECT_EQ(ClassesState(), std::set<std::wstring>{});   // nothing registered on the way
    }
}

TEST_F(Process, NodeOfAnotherTypeIsRefused) {
    const fs::path node = SourcePath("nodes/test/other-type.dbb");
    if (!fs::exists(node))
        GTEST_SKIP() << "no test node of another type";
    SetNodeFilePath(node.wstring());
    ServerProcess server(L"");
    const auto texts = server.AnswerBox();
    ASSERT_TRUE(texts);
    EXPECT_EQ(*texts, std::vector<std::wstring>{L"Invalid node type."});
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(E_FAIL));
}

TEST_F(Process, NodeFileArgumentIsRememberedAsWrittenAndDropsTheSavedLayout) {
    SetNodeFilePath(L"C:\\before.dbb");
    SetUserValue(kServerKey + L"\\UI", L"Frame", REG_BINARY, "0123456789abcdef", 16);
    const std::wstring argument = L"C:\\plant\\Unit.dbb";
    ServerProcess server(L"-regserverx " + argument);   // an unknown switch is ignored; the server runs
    const auto texts = server.AnswerBox();
    ASSERT_TRUE(texts);
    EXPECT_EQ(*texts, std::vector<std::wstring>{L"OPC server startup node not found."});
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(E_FAIL));
    EXPECT_EQ(DumpRegistry(HKEY_CURRENT_USER, kServerKey),
              (std::set<std::wstring>{L"K " + kServerKey, L"V " + kServerKey + L"|NodeFilePath=" + argument}));
    EXPECT_EQ(ClassesState(), std::set<std::wstring>{});
}

TEST_F(Process, NormalStartServesTheDemoNodeUntilThePanelIsClosed) {
    const fs::path demo = SourcePath("nodes/demo.dbb");
    if (!fs::exists(demo))
        GTEST_SKIP() << "no demo node";
    for (const wchar_t* args : {L"", L"-Embedding"}) {
        SCOPED_TRACE(args);
        ResetRegistry();
        SetNodeFilePath(demo.wstring());
        ServerProcess server(args);
        const HWND panel = server.WaitForPanel();
        ASSERT_NE(panel, nullptr) << "no panel window";
        EXPECT_EQ(uidriver::FindTopLevel({kCaption, uidriver::kDialogClass, false, server.Pid()}), nullptr);
        Sleep(500);
        EXPECT_FALSE(server.Wait(0)) << "the server ended by itself";
        // A run-mode switch starts the node, and a running node keeps the panel open.
        const bool runMode = *args != L'\0';
        EXPECT_EQ(WaitUntil([&] { return uidriver::ReadControl(panel, kStopId).visible; }, runMode ? 10000 : 500),
                  runMode);
        EXPECT_TRUE(uidriver::StopPanelNode(panel));
        uidriver::RequestClose(panel);
        EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
        EXPECT_FALSE(IsWindow(panel));
    }
}

TEST_F(Process, WildcardValueIsResolvedAgainstTheCurrentDirectory) {
    const fs::path demo = SourcePath("nodes/demo.dbb");
    if (!fs::exists(demo))
        GTEST_SKIP() << "no demo node";
    fs::create_directories(scratch / L"nodes");
    fs::copy_file(demo, scratch / L"nodes" / L"Plant1.DBB");
    SetNodeFilePath(L"nodes\\plant?.dbb");
    ServerProcess server(L"", scratch);
    const HWND panel = server.WaitForPanel();
    ASSERT_NE(panel, nullptr);
    uidriver::RequestClose(panel);
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
}

// A client's object: Exit asks first (No changes nothing); Yes sends the notices,
// after which the server objects end whatever their clients hold, and the window
// closes. The process then ends at once, or, if an object survived, as soon as the
// client lets go of it; it never runs on for good.
TEST_F(Process, ExitWithAConnectedClientEndsTheProcess) {
    const fs::path demo = SourcePath("nodes/demo.dbb");
    if (!fs::exists(demo))
        GTEST_SKIP() << "no demo node";
    {
        ServerProcess reg(L"/RegServer");   // the class entries (the type library is not needed here)
        ASSERT_TRUE(reg.Wait(kExitTimeout));
    }
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey + L"\\LocalServer32"));
    SetNodeFilePath(demo.wstring());
    ServerProcess server(L"");
    const HWND panel = server.WaitForPanel();
    ASSERT_NE(panel, nullptr);

    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        Microsoft::WRL::ComPtr<IClassFactory> factory;
        ASSERT_EQ(CoGetClassObject(lx::kServerClsid, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
        // A server object holds a module lock while it lives. (LockServer through a
        // proxy never reaches the server: COM answers it on the client's side.)
        Microsoft::WRL::ComPtr<IUnknown> object;
        const HRESULT created = factory->CreateInstance(nullptr, IID_PPV_ARGS(&object));
        if (created == E_NOTIMPL) {
            factory.Reset();
            uidriver::RequestClose(panel);
            server.Wait(kExitTimeout);
            CoUninitialize();
            GTEST_SKIP() << "server objects cannot be created yet";
        }
        ASSERT_EQ(created, S_OK);

        // A client that lets go of its last object does not end the process.
        {
            Microsoft::WRL::ComPtr<IUnknown> another;
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&another)), S_OK);
        }
        EXPECT_FALSE(server.Wait(2000));
        EXPECT_TRUE(IsWindow(panel));

        const auto question = [&](int answer) {
            uidriver::RequestClose(panel);
            HWND box = uidriver::WaitForWindow({kCaption, uidriver::kDialogClass, false, server.Pid()}, 20000,
                                               server.Handle());
            if (!box) return std::vector<std::wstring>{};
            auto texts = uidriver::StaticTexts(box);
            uidriver::PressButton(box, answer);
            uidriver::WaitUntilGone(box, 5000);
            return texts;
        };
        const std::vector<std::wstring> expected{
            L"Exterior clients are connected to the OPC server. Are you sure that want to quit?"};
        EXPECT_EQ(question(IDNO), expected);
        Sleep(500);
        EXPECT_TRUE(IsWindow(panel));
        EXPECT_FALSE(server.Wait(0));

        EXPECT_EQ(question(IDYES), expected);
        EXPECT_TRUE(uidriver::WaitUntilGone(panel, 15000));   // after both waits for the client
        server.Wait(1000);
        object.Reset();
        factory.Reset();
    }
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK)) << "the process runs on without its window";
    if (SUCCEEDED(init))
        CoUninitialize();
}

// An IOPCShutdown sink that signals its notice and, if `hold` is set, does not return from it until it is
// let go (or a minute has passed).
class ShutdownSink final : public IOPCShutdown {
public:
    explicit ShutdownSink(bool hold) : hold_(hold) {}
    ~ShutdownSink() {
        CloseHandle(notified_);
        CloseHandle(release_);
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IOPCShutdown) return E_NOINTERFACE;
        *object = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override {
        SetEvent(notified_);
        if (hold_) WaitForSingleObject(release_, 60000);
        return S_OK;
    }
    bool Notified(DWORD timeoutMs) const { return WaitForSingleObject(notified_, timeoutMs) == WAIT_OBJECT_0; }
    void LetGo() { SetEvent(release_); }

private:
    LONG refs_ = 1;
    const bool hold_;
    HANDLE notified_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// A client whose ShutdownRequest does not return holds neither the Exit nor the other client's notice:
// the other client hears of the shutdown, the objects are ended after the waits, and the process ends
// while the first client still holds its call.
TEST_F(Process, ExitIsNotHeldByAClientThatDoesNotReturnFromItsShutdownRequest) {
    const fs::path demo = SourcePath("nodes/demo.dbb");
    if (!fs::exists(demo))
        GTEST_SKIP() << "no demo node";
    {
        ServerProcess reg(L"/RegServer");
        ASSERT_TRUE(reg.Wait(kExitTimeout));
    }
    {   // IOPCShutdown crosses processes through the proxy/stub DLL
        const HMODULE proxies = LoadLibraryW((BinDir() / L"lx6opcps.dll").c_str());
        ASSERT_NE(proxies, nullptr) << "build lx6opcps first";
        using Entry = HRESULT(WINAPI*)();
        const auto reg = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(proxies, "DllRegisterServer")));
        ASSERT_NE(reg, nullptr);
        EXPECT_TRUE(SUCCEEDED(reg()));
        FreeLibrary(proxies);
    }
    SetNodeFilePath(demo.wstring());
    ServerProcess server(L"");
    const HWND panel = server.WaitForPanel();
    ASSERT_NE(panel, nullptr);

    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto* holding = new ShutdownSink(true);
    auto* prompt = new ShutdownSink(false);
    {
        struct LetGoAtEnd {
            ShutdownSink* sink;
            ~LetGoAtEnd() { sink->LetGo(); }
        } letGo{holding};
        Microsoft::WRL::ComPtr<IUnknown> objects[2];
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(CoCreateInstance(lx::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&objects[i])), S_OK);
            Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
            Microsoft::WRL::ComPtr<IConnectionPoint> point;
            DWORD cookie = 0;
            ASSERT_EQ(objects[i].As(&container), S_OK);
            ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
            ASSERT_EQ(point->Advise(i == 0 ? holding : prompt, &cookie), S_OK);
        }

        uidriver::RequestClose(panel);
        HWND box = uidriver::WaitForWindow({kCaption, uidriver::kDialogClass, false, server.Pid()}, 20000,
                                           server.Handle());
        ASSERT_NE(box, nullptr);
        uidriver::PressButton(box, IDYES);
        EXPECT_TRUE(holding->Notified(10000));
        EXPECT_TRUE(prompt->Notified(10000)) << "the other client must get its notice";
        objects[1].Reset();   // a client that lets go when asked
        // Both waits of the Exit (about a second each), then the process ends by itself.
        EXPECT_TRUE(server.Wait(15000)) << "the process waits for the client that holds its notice";
    }
    holding->Release();
    prompt->Release();
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
    if (SUCCEEDED(init))
        CoUninitialize();
}

// COM starts the registered server by itself (with -Embedding) when a client asks
// for the class object; the process then serves until its window is closed.
TEST_F(Process, ComActivationStartsTheServer) {
    const fs::path demo = SourcePath("nodes/demo.dbb");
    if (!fs::exists(demo))
        GTEST_SKIP() << "no demo node";
    {
        ServerProcess reg(L"/RegServer");
        ASSERT_TRUE(reg.Wait(kExitTimeout));
    }
    SetNodeFilePath(demo.wstring());
    ASSERT_EQ(uidriver::FindTopLevel({kCaption, L"", true, 0}), nullptr) << "a server runs already";

    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HWND panel = nullptr;
    {
        Microsoft::WRL::ComPtr<IClassFactory> factory;
        EXPECT_EQ(CoGetClassObject(lx::kServerClsid, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
        panel = uidriver::WaitForWindow({kCaption, L"", true, 0}, 30000);
    }
    ASSERT_NE(panel, nullptr) << "no server window";
    DWORD pid = 0;
    GetWindowThreadProcessId(panel, &pid);
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return uidriver::ReadControl(panel, kStopId).visible; })) << "started by COM, the node runs";
    EXPECT_TRUE(uidriver::StopPanelNode(panel));
    uidriver::RequestClose(panel);
    const bool ended = WaitForSingleObject(process, kExitTimeout) == WAIT_OBJECT_0;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    if (!ended)
        TerminateProcess(process, 99);   // started for this test
    CloseHandle(process);
    EXPECT_TRUE(ended);
    EXPECT_EQ(code, static_cast<DWORD>(S_OK));
    if (SUCCEEDED(init))
        CoUninitialize();
}

// ---- The node view and the activity animation in the panel ----

const std::wstring kUiKey = kServerKey + L"\\UI";

using Rows = std::vector<std::vector<std::wstring>>;

// Polls until the condition holds or the time is up.
bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() - start > timeoutMs) return false;
        Sleep(100);
    }
}

// The panel's tree, list and animation.
struct PanelControls {
    explicit PanelControls(HWND panel) {
        tree = uidriver::FindDescendant(panel, L"SysTreeView32");
        list = uidriver::FindDescendant(panel, L"SysListView32");
        animation = uidriver::FindDescendant(panel, L"Lx6OpcActivityAnimation");
    }
    Rows ListRows() const { return uidriver::ReadListRows(list, 2); }
    // The Value (sub-item 0) of the row whose Name (sub-item 1) is name.
    std::optional<std::wstring> Value(const std::wstring& name) const {
        for (const auto& row : ListRows())
            if (row[1] == name) return row[0];
        return std::nullopt;
    }
    int RowOf(const std::wstring& name) const {
        const Rows rows = ListRows();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i][1] == name) return static_cast<int>(i);
        return -1;
    }
    HWND tree = nullptr, list = nullptr, animation = nullptr;
};

void PressPanelButton(HWND panel, int id) {
    uidriver::PostCommand(panel, id);   // to the panel's dialog, as its buttons do
}

std::set<std::wstring> ClipCopies() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::set<std::wstring> copies;
    for (const auto& entry : fs::directory_iterator(temp)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"ani", 0) == 0 && entry.path().extension() == L".tmp") copies.insert(entry.path().wstring());
    }
    return copies;
}

// An item's value read through OPC (IOPCItemProperties, property 2), as text.
std::optional<std::wstring> ReadThroughOpc(const std::wstring& itemId) {
    Microsoft::WRL::ComPtr<IOPCItemProperties> properties;
    if (FAILED(CoCreateInstance(lx::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&properties))))
        return std::nullopt;
    DWORD ids[] = {2};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    std::optional<std::wstring> text;
    if (properties->GetItemProperties(const_cast<LPWSTR>(itemId.c_str()), 1, ids, &values, &errors) == S_OK) {
        VARIANT converted;
        VariantInit(&converted);
        if (SUCCEEDED(VariantChangeType(&converted, &values[0], 0, VT_BSTR))) text = std::wstring(converted.bstrVal);
        VariantClear(&converted);
        VariantClear(&values[0]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    return text;
}

HRESULT RegisterProxies() {
    const HMODULE module = LoadLibraryW((BinDir() / L"lx6opcps.dll").c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(WINAPI*)();
    const auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    const HRESULT hr = entry ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

// The demo node in the panel: its tree, the rows of a channel, values that move only while the
// node runs (in the list's cells and on the screen), the animation likewise, values edited in
// place and read back through OPC, and the clip's temporary copy gone once the panel has closed.
TEST_F(Process, NodeViewShowsTheNodeAndItsLiveValues) {
    const fs::path demo = SourcePath("nodes/demo.dbb");
    if (!fs::exists(demo)) GTEST_SKIP() << "no demo node";
    {
        ServerProcess reg(L"/RegServer");
        ASSERT_TRUE(reg.Wait(kExitTimeout));
    }
    ASSERT_EQ(RegisterProxies(), S_OK);
    SetNodeFilePath(demo.wstring());
    const std::set<std::wstring> copiesBefore = ClipCopies();
    ServerProcess server(L"");
    const HWND panel = server.WaitForPanel();
    ASSERT_NE(panel, nullptr);
    SetForegroundWindow(panel);
    const PanelControls c(panel);
    ASSERT_TRUE(c.tree && c.list && c.animation);

    // Groups and channels, with the tree's images: the top group open, the others closed, channels by type.
    std::vector<std::tuple<int, std::wstring, int>> tree;
    for (const auto& line : uidriver::ReadTree(c.tree)) tree.emplace_back(line.depth, line.text, line.image);
    const std::vector<std::tuple<int, std::wstring, int>> expectedTop{
        {0, L"Plant", 17}, {1, L"Intake", 16}, {2, L"Basin.Level", 4}, {2, L"Flow.Total", 1}, {1, L"Treatment", 16},
        {2, L"Pumps", 16}, {3, L"PumpStates", 2}, {3, L"PumpStarts", 3}};
    ASSERT_GE(tree.size(), expectedTop.size());
    EXPECT_EQ(std::vector(tree.begin(), tree.begin() + static_cast<long>(expectedTop.size())), expectedTop);

    // A group shows no rows; a channel shows every attribute's name and value.
    ASSERT_TRUE(uidriver::SelectTreeItem(c.tree, L"Plant/Intake"));
    EXPECT_TRUE(c.ListRows().empty());
    ASSERT_TRUE(uidriver::SelectTreeItem(c.tree, L"Plant/Intake/Basin.Level"));
    const Rows rows = c.ListRows();
    ASSERT_GT(rows.size(), 5u);
    for (const auto& row : rows) EXPECT_FALSE(row[1].empty());
    EXPECT_EQ(c.Value(L"Units"), std::optional<std::wstring>(L"m"));
    EXPECT_EQ(c.Value(L"Description"), std::optional<std::wstring>(L"Raw water basin level"));

    // What the operator sees move: the value's cell, the list on the screen, the clip.
    const auto look = [&] {
        return std::make_tuple(c.Value(L"Value"), uidriver::WindowPixels(c.list),
                               uidriver::WindowPixels(c.animation));
    };
    const auto expectStill = [&](const char* when) {
        const auto before = look();
        Sleep(1500);
        const auto after = look();
        EXPECT_EQ(std::get<0>(after), std::get<0>(before)) << when;
        EXPECT_TRUE(std::get<1>(after) == std::get<1>(before)) << when << ": the list moved";
        EXPECT_TRUE(std::get<2>(after) == std::get<2>(before)) << when << ": the clip moved";
        return before;
    };
    // Stopped: nothing moves, and the clip stands on its first frame.
    const auto stopped = expectStill("before the start");

    // Running: the values change in the cells and on the screen; the clip plays.
    PressPanelButton(panel, 202);
    EXPECT_TRUE(Eventually([&] { return c.Value(L"Value") != std::get<0>(stopped); }, 10000));
    EXPECT_TRUE(Eventually([&] { return uidriver::WindowPixels(c.list) != std::get<1>(stopped); }, 10000));
    EXPECT_TRUE(Eventually([&] { return uidriver::WindowPixels(c.animation) != std::get<2>(stopped); }, 5000));

    // Stopped again: the list and the clip freeze where they were.
    PressPanelButton(panel, 203);
    Sleep(1000);
    expectStill("after the stop");

    // An edited value reaches the runtime; an empty edit writes nothing.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int description = c.RowOf(L"Description");
    ASSERT_GE(description, 0);
    ASSERT_TRUE(uidriver::EditListLabel(c.list, description, L"Edited in the panel"));
    EXPECT_TRUE(Eventually([&] { return c.Value(L"Description") == L"Edited in the panel"; }, 5000));
    EXPECT_EQ(ReadThroughOpc(L"Plant.Intake.Basin.Level.Description"), std::optional<std::wstring>(L"Edited in the panel"));
    ASSERT_TRUE(uidriver::EditListLabel(c.list, description, L""));
    Sleep(300);
    EXPECT_EQ(ReadThroughOpc(L"Plant.Intake.Basin.Level.Description"), std::optional<std::wstring>(L"Edited in the panel"));
    if (SUCCEEDED(init)) CoUninitialize();

    // The clip's copy exists while the panel is open and is gone after it closed.
    std::set<std::wstring> copies;
    for (const auto& copy : ClipCopies())
        if (!copiesBefore.count(copy)) copies.insert(copy);
    EXPECT_EQ(copies.size(), 1u);
    uidriver::RequestClose(panel);
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
    for (const auto& copy : copies) EXPECT_FALSE(fs::exists(copy)) << std::string(copy.begin(), copy.end());
}

std::optional<std::vector<std::int32_t>> StoredView() {
    std::int32_t fields[4] = {};
    DWORD size = sizeof(fields), type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kUiKey.c_str(), L"View", RRF_RT_ANY, &type, fields, &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size != 12)
        return std::nullopt;
    return std::vector<std::int32_t>{fields[0], fields[1], fields[2]};
}

// "View": a first start puts the bar in the middle with two equal columns and saves them on
// close; a stored layout comes back at the next start.
TEST_F(Process, NodeViewLayoutIsSavedAndComesBack) {
    const fs::path node = SourcePath("nodes/test/small.dbb");
    if (!fs::exists(node)) GTEST_SKIP() << "no small test node";
    SetNodeFilePath(node.wstring());
    const auto layout = [](HWND panel) {
        const PanelControls c(panel);
        RECT tree{};
        GetWindowRect(c.tree, &tree);
        return std::vector<std::int32_t>{tree.right - tree.left,
                                         static_cast<std::int32_t>(SendMessageW(c.list, LVM_GETCOLUMNWIDTH, 0, 0)),
                                         static_cast<std::int32_t>(SendMessageW(c.list, LVM_GETCOLUMNWIDTH, 1, 0))};
    };
    std::vector<std::int32_t> first;
    {
        ServerProcess server(L"");
        const HWND panel = server.WaitForPanel();
        ASSERT_NE(panel, nullptr);
        // The frame sizes the dialog asynchronously after it is shown: the bar settles in the
        // middle of the view's final width.
        RECT splitter{};
        for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 5000; Sleep(50)) {
            first = layout(panel);
            GetClientRect(GetParent(PanelControls(panel).tree), &splitter);
            if (first[0] == splitter.right / 2) break;
        }
        ASSERT_GT(first[0], 0);
        EXPECT_EQ(first[0], splitter.right / 2);
        EXPECT_EQ(first[1], first[2]);
        uidriver::RequestClose(panel);
        EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
    }
    EXPECT_EQ(StoredView(), std::optional(first));
    const std::int32_t stored[3] = {150, 90, 70};
    SetUserValue(kUiKey, L"View", REG_BINARY, stored, sizeof(stored));
    ServerProcess server(L"");
    const HWND panel = server.WaitForPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(layout(panel), (std::vector<std::int32_t>{150, 90, 70}));
    uidriver::RequestClose(panel);
    EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
}

// A node whose values may be viewed only by a logged-in operator shows no rows without one;
// the same node without that rule shows the channel's attributes.
TEST_F(Process, NodeWhoseValuesMayNotBeViewedShowsNoRows) {
    for (bool hidden : {true, false}) {
        SCOPED_TRACE(hidden ? "login required to view" : "values free to view");
        const fs::path node = scratch / (hidden ? L"hidden.dbb" : L"shown.dbb");
        std::ofstream(node) << "node \"Hidden\" type 1\nscan 250\noperator \"op\" \"pw\"\n"
                            << (hidden ? "login-required view\n" : "")
                            << "group 0 \"Plant\"\nchannel 7 type 4 \"Temp\" in 0\n  set Value 21.5\n";
        SetNodeFilePath(node.wstring());
        ServerProcess server(L"");
        const HWND panel = server.WaitForPanel();
        ASSERT_NE(panel, nullptr) << "the node was not served";
        const PanelControls c(panel);
        ASSERT_TRUE(c.tree && c.list);
        ASSERT_TRUE(uidriver::SelectTreeItem(c.tree, L"Plant/Temp"));
        EXPECT_EQ(c.ListRows().empty(), hidden);
        uidriver::RequestClose(panel);
        EXPECT_EQ(server.Wait(kExitTimeout), std::optional<DWORD>(S_OK));
    }
}

} // namespace
