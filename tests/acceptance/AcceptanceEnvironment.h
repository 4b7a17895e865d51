// Shared set-up of the acceptance tests: COM in the multithreaded apartment, the proxy/stub DLL and the
// servers registered in the test run's own Wine prefix.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace acceptance {

// The OPC DA server class of lx6opc.exe.
inline constexpr CLSID kOpcServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};

// Folder of the test program (<build>/bin), with a trailing backslash.
std::wstring BinDir();

// Loads bin\<dll> and calls its entry `name` (HRESULT WINAPI (void)); the DLL's failure or a load failure.
HRESULT CallDllEntry(const std::wstring& dll, const char* name);

// HKCR\CLSID\{clsid}\LocalServer32 = "<exe>" (quoted); true on success.
bool RegisterLocalServer(const CLSID& clsid, const std::wstring& exe);

// A string value of HKCR\<key> ("" for the default value); empty if missing.
std::wstring ReadClassesRootString(const std::wstring& key, const wchar_t* name = L"");

// Registry text of a GUID: {XXXXXXXX-...}.
std::wstring GuidText(const GUID& guid);

// Points NodeFilePath at a node file of the source tree (e.g. "nodes/demo.dbb") for the next server start.
bool UseNodeFile(const char* relative);

// The OPC DA server: bin\lx6opc.exe registered with /RegServer; false (with the reason) when it is not there.
bool RealServerRegistered(std::wstring* why);

// The panel of a running lx6opc.exe (its title); nullptr if none.
inline constexpr wchar_t kServerPanelCaption[] = L"Velmara 6 OPC Server";
HWND FindServerPanel();

// Ends a running lx6opc.exe (a COM-started server runs until its panel is closed) by closing its panel, so that
// it does not outlive the test program holding the test runner's output pipes; one that does not end then is a
// test failure and is terminated.
void WaitForServerEnd();

// A suite served by another node: the server that COM starts next loads `Node` (a path in the source tree); at
// the end the suite ends that server and points NodeFilePath back at the small test node. Tests skip when the
// server is not there.
template <const char* Node>
class NodeFileSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ready_ = RealServerRegistered(nullptr) && UseNodeFile(Node); }
    static void TearDownTestSuite() {
        WaitForServerEnd();
        UseNodeFile("nodes/test/small.dbb");
    }
    void SetUp() override {
        if (!ready_) GTEST_SKIP() << "lx6opc.exe is not registered";
    }

private:
    static inline bool ready_ = false;
};

inline constexpr char kDemoNode[] = "nodes/demo.dbb";
inline constexpr char kAllTypesNode[] = "nodes/test/all-types.dbb";  // one channel of each type

// A suite served by the demo node.
using DemoNodeSuite = NodeFileSuite<kDemoNode>;
// A suite served by the node with one channel of each type.
using AllTypesNodeSuite = NodeFileSuite<kAllTypesNode>;

}  // namespace acceptance
