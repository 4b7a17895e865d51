// A server object made for a client in another process goes with that process: when the process ends, the
// object drops the client's sinks and removes its groups by itself (COM under Wine never tells). The client
// process here is this test program started suspended and ended by TerminateProcess.
#include "ServerTestSupport.h"

#include <ocidl.h>

#include "opc/server/ClientWatch.h"

namespace opc::test {
namespace {

// A process that runs no code of its own and ends when told.
class Bystander {
public:
    Bystander() {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path) + L"\" --gtest_list_tests";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si,
                       &info_);
    }
    ~Bystander() {
        if (!info_.hProcess) return;
        End();
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    DWORD Pid() const { return info_.dwProcessId; }
    void End() {
        TerminateProcess(info_.hProcess, 9);
        WaitForSingleObject(info_.hProcess, 10000);
    }

private:
    PROCESS_INFORMATION info_ = {};
};

ComPtr<IConnectionPoint> PointOf(IUnknown* object, REFIID iid) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(object->QueryInterface(IID_PPV_ARGS(&container)), S_OK);
    if (container) {
        EXPECT_EQ(container->FindConnectionPoint(iid, &point), S_OK);
    }
    return point;
}

DWORD GroupCount(IOPCServer* server) {
    OPCSERVERSTATUS* status = nullptr;
    DWORD count = 0xFFFFFFFF;
    if (server->GetStatus(&status) == S_OK && status) {
        count = status->dwGroupCount;
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    return count;
}

bool WaitFor(const std::function<bool()>& done, DWORD limitMs = 10000) {
    const ULONGLONG end = GetTickCount64() + limitMs;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        Sleep(10);
    }
    return true;
}

using DeadClients = ModuleFixture;

TEST_F(DeadClients, CallingProcessIsNoneInProcess) { EXPECT_EQ(::opc::server::CallingProcessId(), 0u); }

// Its sinks (shutdown and data callbacks, those of a group it removed but still held included) are released and
// its groups removed; an object made in process, and one watching a process that lives, are left alone.
TEST_F(DeadClients, TheEndOfTheClientProcessTearsItsServerObjectDown) {
    Bystander client, other;
    ASSERT_NE(client.Pid(), 0u);
    ASSERT_NE(other.Pid(), 0u);
    auto make = [](DWORD pid) {
        ComPtr<IOPCServer> server;
        EXPECT_EQ(::opc::server::da::com::CreateServerObject(IID_IOPCServer,
                                                             reinterpret_cast<void**>(server.GetAddressOf()), pid),
                  S_OK);
        return server;
    };
    auto dead = make(client.Pid());
    auto living = make(other.Pid());
    auto inProcess = make(0);
    ASSERT_TRUE(dead && living && inProcess);

    auto sink = MakeSink();
    DWORD cookie = 0;
    ASSERT_EQ(PointOf(dead.Get(), IID_IOPCShutdown)->Advise(static_cast<IOPCShutdown*>(sink.Get()), &cookie), S_OK);
    auto group = AddGroup(dead.Get(), L"kept");
    ASSERT_EQ(PointOf(group.Get(), IID_IOPCDataCallback)->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie),
              S_OK);
    OPCHANDLE removedHandle = 0;
    auto removed = AddGroup(dead.Get(), L"removed", 1000, TRUE, 78, &removedHandle);
    ASSERT_EQ(PointOf(removed.Get(), IID_IOPCDataCallback)
                  ->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie),
              S_OK);
    ASSERT_EQ(dead->RemoveGroup(removedHandle, FALSE), OPC_S_INUSE);
    auto others = {AddGroup(living.Get(), L"a"), AddGroup(inProcess.Get(), L"a")};
    EXPECT_EQ(sink->RefCount(), 4);

    client.End();
    EXPECT_TRUE(WaitFor([&] { return sink->RefCount() == 1; })) << "the dead client's sinks are still held";
    EXPECT_EQ(GroupCount(dead.Get()), 0u);
    EXPECT_EQ(GroupState(group.Get()), E_FAIL) << "its group is removed";
    EXPECT_TRUE(AsGroup(removed.Get()).IsRemoved());
    EXPECT_TRUE(sink->ShutdownReasons().empty()) << "a dead client is not asked to shut down";
    EXPECT_EQ(GroupCount(living.Get()), 1u);
    EXPECT_EQ(GroupCount(inProcess.Get()), 1u);
    for (const auto& g : others) EXPECT_EQ(GroupState(g.Get()), S_OK);

    // Gone, the object lets go of its module locks with the last reference held in this process.
    const long locks = module->LockCount();
    group.Reset();
    removed.Reset();
    dead.Reset();
    EXPECT_EQ(module->LockCount(), locks - 3);
}

} // namespace
} // namespace opc::test
