// A second OPC client process for the acceptance tests (test only): subscribes to one moving item of the
// demo node and behaves in its callbacks as the test asks.
//
//   acceptance_test_client reenter SECONDS      in every OnDataChange, GetState and a cache Read on its own
//                                               group; exit 0 when at least two callbacks came in SECONDS and
//                                               every call inside them succeeded, else 3
//   acceptance_test_client sleep MS SECONDS     sleeps MS in its first OnDataChange; exit 0 when a second
//                                               callback came within SECONDS, else 3
//   acceptance_test_client hold COUNT EVENT     COUNT items (the same attribute), and besides what a client
//                                               may hold: a shutdown sink, a group enumerator, a browse
//                                               enumerator and a second group that it removed but still
//                                               holds; sets the named event at its first callback and then
//                                               waits to be killed
// Exit code 2: the subscription could not be made.
#include <windows.h>
#include <shellapi.h>

#include <ocidl.h>
#include <opccomn.h>
#include <opcda.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "QuietDataCallback.h"
#include "TestCom.h"

#ifndef OPC_S_INUSE
#define OPC_S_INUSE ((HRESULT)0x0004000FL)
#endif

namespace {

using acceptance::ComPtr;

const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
const wchar_t kItem[] = L"Plant.Intake.Basin.Level.Value"; // changes at every scan

enum class Mode { Reenter, Sleep, Hold };

class ShutdownSink final : public acceptance::ComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
};

class Sink final : public acceptance::QuietDataCallback {
public:
    Sink(Mode mode, DWORD sleepMs) : mode_(mode), sleepMs_(sleepMs) {}

    void Attach(IOPCGroupStateMgt* state, IOPCSyncIO* io, OPCHANDLE item) {
        state_ = state;
        io_ = io;
        item_ = item;
    }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override {
        const long n = ++callbacks_;
        switch (mode_) {
        case Mode::Reenter: {
            DWORD rate = 0, lcid = 0;
            BOOL active = FALSE;
            LPWSTR name = nullptr;
            LONG bias = 0;
            FLOAT deadband = 0;
            OPCHANDLE client = 0, server = 0;
            if (state_->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server) != S_OK) ++failures_;
            CoTaskMemFree(name);
            OPCITEMSTATE* values = nullptr;
            HRESULT* errors = nullptr;
            OPCHANDLE item = item_;
            if (io_->Read(OPC_DS_CACHE, 1, &item, &values, &errors) != S_OK) ++failures_;
            if (values) VariantClear(&values[0].vDataValue);
            CoTaskMemFree(values);
            CoTaskMemFree(errors);
            break;
        }
        case Mode::Sleep:
            if (n == 1) Sleep(sleepMs_);
            break;
        case Mode::Hold: // the event is set once everything is held and a callback came
            break;
        }
        return S_OK;
    }

    long Callbacks() const { return callbacks_.load(); }
    long Failures() const { return failures_.load(); }

private:
    const Mode mode_;
    const DWORD sleepMs_;
    IOPCGroupStateMgt* state_ = nullptr;
    IOPCSyncIO* io_ = nullptr;
    OPCHANDLE item_ = 0;
    std::atomic<long> callbacks_{0};
    std::atomic<long> failures_{0};
};

int Run(int argc, wchar_t** argv) {
    if (argc < 3) return 1;
    const std::wstring mode = argv[1];
    Mode m = Mode::Reenter;
    DWORD sleepMs = 0, seconds = 0, count = 1;
    HANDLE ready = nullptr;
    if (mode == L"reenter") {
        seconds = static_cast<DWORD>(_wtoi(argv[2]));
    } else if (mode == L"sleep" && argc >= 4) {
        m = Mode::Sleep;
        sleepMs = static_cast<DWORD>(_wtoi(argv[2]));
        seconds = static_cast<DWORD>(_wtoi(argv[3]));
    } else if (mode == L"hold" && argc >= 4) {
        m = Mode::Hold;
        count = static_cast<DWORD>(_wtoi(argv[2]));
        ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
        if (!ready || count == 0) return 1;
    } else {
        return 1;
    }

    ComPtr<IOPCServer> server;
    if (FAILED(CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)))) return 2;
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> items;
    if (FAILED(server->AddGroup(L"client", TRUE, 200, 1, nullptr, nullptr, 0x409, &groupHandle, &revised,
                                IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf()))))
        return 2;
    std::vector<OPCITEMDEF> defs(count);
    for (DWORD i = 0; i < count; ++i) {
        defs[i].szItemID = const_cast<LPWSTR>(kItem);
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].bActive = TRUE;
        defs[i].hClient = i + 1;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (items->AddItems(count, defs.data(), &results, &errors) != S_OK) return 2;
    const OPCHANDLE first = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCGroupStateMgt> state;
    ComPtr<IOPCSyncIO> io;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (FAILED(items.As(&state)) || FAILED(items.As(&io)) || FAILED(items.As(&container)) ||
        FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, &point)))
        return 2;
    auto sink = acceptance::Make<Sink>(m, sleepMs);
    sink->Attach(state.Get(), io.Get(), first);
    DWORD cookie = 0;
    if (FAILED(point->Advise(sink.Get(), &cookie))) return 2;

    if (m == Mode::Hold) {
        // Every kind of object a client can hold: the server must let go of them all when it is killed.
        ComPtr<IConnectionPointContainer> serverContainer;
        ComPtr<IConnectionPoint> shutdownPoint;
        DWORD shutdownCookie = 0;
        auto shutdown = acceptance::Make<ShutdownSink>();
        if (FAILED(server.As(&serverContainer)) ||
            FAILED(serverContainer->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint)) ||
            FAILED(shutdownPoint->Advise(shutdown.Get(), &shutdownCookie)))
            return 2;
        ComPtr<IEnumUnknown> groups;
        if (FAILED(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                                 reinterpret_cast<LPUNKNOWN*>(groups.GetAddressOf()))))
            return 2;
        ComPtr<IOPCBrowseServerAddressSpace> browse;
        ComPtr<IEnumString> names;
        if (FAILED(server.As(&browse)) ||
            FAILED(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.GetAddressOf())))
            return 2;
        OPCHANDLE removedHandle = 0;
        ComPtr<IOPCGroupStateMgt> removed;
        if (FAILED(server->AddGroup(L"removed", FALSE, 1000, 2, nullptr, nullptr, 0x409, &removedHandle, &revised,
                                    IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(removed.GetAddressOf()))) ||
            server->RemoveGroup(removedHandle, FALSE) != OPC_S_INUSE)
            return 2;
        while (sink->Callbacks() == 0) Sleep(10);
        SetEvent(ready);
        for (;;) Sleep(1000); // until killed
    }
    const ULONGLONG end = GetTickCount64() + seconds * 1000ULL;
    while (GetTickCount64() < end && !(m == Mode::Sleep && sink->Callbacks() >= 2)) Sleep(50);
    point->Unadvise(cookie);
    const bool ok = sink->Callbacks() >= 2 && sink->Failures() == 0;
    return ok ? 0 : 3;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return 1;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    const int code = Run(argc, argv);
    CoUninitialize();
    LocalFree(argv);
    return code;
}
