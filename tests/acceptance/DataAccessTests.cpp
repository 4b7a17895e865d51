// Data access across processes on the demo node: items of every canonical type added, read and written
// through the proxies, subscriptions at the group's rate, asynchronous completions, and two clients that
// share attributes.

#include <gtest/gtest.h>

#include <ocidl.h>
#include <psapi.h>
#include <opccomn.h>
#include <opcda.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AcceptanceEnvironment.h"
#include "TestCom.h"

namespace acceptance {
namespace {

const CLSID kServerClsid = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
constexpr HRESULT kBadRights = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0xC0040001);
constexpr WORD kGood = 0xC0;

struct TypedItem {
    const wchar_t* id;
    VARTYPE canonical;
};

// One item of each canonical type the demo node has.
const TypedItem kItems[] = {
    {L"Plant.Intake.Basin.Level.Value", VT_R4},
    {L"Plant.Intake.Flow.Total.Value", VT_I4},
    {L"Plant.Treatment.Pumps.PumpStates.Value", VT_UI2},
    {L"Plant.Treatment.Pumps.PumpStarts.Value", VT_UI4},
    {L"Plant.Utilities.Energy.Value", VT_R8},
    {L"Plant.Intake.Basin.Level.Alarm", VT_BOOL},
    {L"Plant.Intake.Basin.Level.Priority", VT_UI1},
    {L"Plant.Intake.Basin.Level.Description", VT_BSTR},
    {L"Plant.Intake.Basin.Level.ChangeTime", VT_DATE},
    {L"Plant.Intake.Flow.Total.LowLimit", VT_I2},
};

// Records every callback of a group.
class DataSink final : public ComObject<IOPCDataCallback> {
public:
    struct Call {
        char kind;  // 'D'ata change, 'R'ead, 'W'rite, 'C'ancel
        DWORD transaction;
        std::vector<OPCHANDLE> clients;
        std::vector<HRESULT> errors;
        std::vector<VARTYPE> types;
    };

    STDMETHODIMP OnDataChange(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients,
                              VARIANT* values, WORD*, FILETIME*, HRESULT* errors) override {
        Record('D', tid, count, clients, values, errors);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients,
                                VARIANT* values, WORD*, FILETIME*, HRESULT* errors) override {
        Record('R', tid, count, clients, values, errors);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD tid, OPCHANDLE, HRESULT, DWORD count, OPCHANDLE* clients,
                                 HRESULT* errors) override {
        Record('W', tid, count, clients, nullptr, errors);
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD tid, OPCHANDLE) override {
        Record('C', tid, 0, nullptr, nullptr, nullptr);
        return S_OK;
    }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_;
    }
    // Waits until a call of that kind and transaction arrived; the call, or an empty one.
    Call WaitFor(char kind, DWORD transaction, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            for (const Call& c : Calls())
                if (c.kind == kind && c.transaction == transaction) return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Call{0, 0, {}, {}, {}};
    }

private:
    void Record(char kind, DWORD tid, DWORD count, const OPCHANDLE* clients, const VARIANT* values,
                const HRESULT* errors) {
        Call call{kind, tid, {}, {}, {}};
        for (DWORD i = 0; i < count; ++i) {
            call.clients.push_back(clients[i]);
            call.errors.push_back(errors ? errors[i] : S_OK);
            call.types.push_back(values ? values[i].vt : static_cast<VARTYPE>(VT_EMPTY));
        }
        std::lock_guard<std::mutex> hold(lock_);
        calls_.push_back(std::move(call));
    }
    std::mutex lock_;
    std::vector<Call> calls_;
};

class DemoData : public DemoNodeSuite {
protected:
    void SetUp() override {
        DemoNodeSuite::SetUp();
        if (IsSkipped()) return;
        server_ = NewServer();
        ASSERT_TRUE(server_);
    }

    static ComPtr<IOPCServer> NewServer() {
        ComPtr<IOPCServer> server;
        EXPECT_EQ(CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)), S_OK);
        return server;
    }
    static ComPtr<IOPCItemMgt> AddGroup(IOPCServer* server, const wchar_t* name, DWORD rate,
                                        OPCHANDLE* handle = nullptr) {
        OPCHANDLE h = 0;
        DWORD revised = 0;
        ComPtr<IOPCItemMgt> items;
        EXPECT_EQ(server->AddGroup(name, TRUE, rate, 1, nullptr, nullptr, 0x409, &h, &revised, IID_IOPCItemMgt,
                                   reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())),
                  S_OK);
        if (handle) *handle = h;
        return items;
    }
    // Adds the items with client handles 100, 101, ...; their server handles.
    static std::vector<OPCHANDLE> Add(IOPCItemMgt* items, const std::vector<const wchar_t*>& ids,
                                      std::vector<VARTYPE>* canonical = nullptr) {
        std::vector<OPCITEMDEF> defs(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        std::vector<OPCHANDLE> handles;
        EXPECT_EQ(items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors), S_OK);
        if (!results) return handles;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ(errors[i], S_OK) << ids[i];
            handles.push_back(results[i].hServer);
            if (canonical) canonical->push_back(results[i].vtCanonicalDataType);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return handles;
    }
    static DWORD Advise(IUnknown* group, IOPCDataCallback* sink) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        EXPECT_EQ(group->QueryInterface(IID_PPV_ARGS(&container)), S_OK);
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
        return cookie;
    }

    ComPtr<IOPCServer> server_;
};

TEST_F(DemoData, ItemsOfEveryCanonicalTypeAreReadAndWritten) {
    ComPtr<IOPCItemMgt> items = AddGroup(server_.Get(), L"types", 1000);
    ASSERT_TRUE(items);
    std::vector<const wchar_t*> ids;
    for (const auto& item : kItems) ids.push_back(item.id);
    std::vector<VARTYPE> canonical;
    const std::vector<OPCHANDLE> handles = Add(items.Get(), ids, &canonical);
    ASSERT_EQ(handles.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(canonical[i], kItems[i].canonical) << ids[i];

    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(items.As(&io), S_OK);
    for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
        // The node starts by itself once the server runs; its values are good from then on.
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        bool good = false;
        for (int attempt = 0; attempt < 50 && !good; ++attempt) {
            if (states) {
                for (std::size_t i = 0; i < handles.size(); ++i) VariantClear(&states[i].vDataValue);
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            ASSERT_EQ(io->Read(source, static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                               &states, &errors),
                      S_OK);
            good = true;
            for (std::size_t i = 0; i < handles.size(); ++i) good = good && states[i].wQuality == kGood;
        }
        EXPECT_TRUE(good);
        for (std::size_t i = 0; i < handles.size(); ++i) {
            EXPECT_EQ(errors[i], S_OK) << ids[i];
            EXPECT_EQ(states[i].hClient, 100 + i);
            EXPECT_EQ(states[i].vDataValue.vt, kItems[i].canonical) << ids[i];
            EXPECT_NE(states[i].ftTimeStamp.dwHighDateTime, 0u);
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }

    // A writable limit, a read-only name, a write-locked value, and a handle that does not exist.
    const std::vector<OPCHANDLE> targets = Add(
        items.Get(), {L"Plant.Intake.Basin.Level.LowLimit", L"Plant.Intake.Basin.Level.Name",
                      L"Plant.Treatment.Dosing.Valve.Position.Value"});
    ASSERT_EQ(targets.size(), 3u);
    OPCHANDLE write[] = {targets[0], targets[1], targets[2], 9999};
    VARIANT values[4];
    for (VARIANT& v : values) {
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = 0.25;
    }
    HRESULT* errors = nullptr;
    ASSERT_EQ(io->Write(4, write, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], kBadRights);
    EXPECT_EQ(errors[2], E_FAIL);
    EXPECT_EQ(errors[3], kInvalidHandle);
    CoTaskMemFree(errors);
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_DEVICE, 1, write, &states, &errors), S_OK);
    EXPECT_EQ(states[0].vDataValue.vt, VT_R4);
    EXPECT_FLOAT_EQ(states[0].vDataValue.fltVal, 0.25f);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

TEST_F(DemoData, SubscriptionsAndAsynchronousCompletions) {
    OPCHANDLE groupHandle = 0;
    ComPtr<IOPCItemMgt> items = AddGroup(server_.Get(), L"live", 500, &groupHandle);
    ASSERT_TRUE(items);
    auto sink = Make<DataSink>();
    Advise(items.Get(), sink.Get());
    const std::vector<OPCHANDLE> handles =
        Add(items.Get(), {L"Plant.Intake.Basin.Level.Value", L"Plant.Intake.Basin.Level.HighLimit"});
    ASSERT_EQ(handles.size(), 2u);

    // The sine moves every scan: at a 500 ms rate several callbacks come within three seconds, each for
    // transaction 0; the constant limit comes once, with its first value.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    int ticks = 0, limitReports = 0;
    for (const auto& call : sink->Calls()) {
        if (call.kind != 'D') continue;
        EXPECT_EQ(call.transaction, 0u);
        ++ticks;
        for (OPCHANDLE client : call.clients) limitReports += client == 101;
    }
    EXPECT_GE(ticks, 2);
    EXPECT_LE(ticks, 8);
    EXPECT_EQ(limitReports, 1);

    ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(items.As(&async), S_OK);
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    OPCHANDLE read[] = {handles[0], 4242};
    ASSERT_EQ(async->Read(2, read, 11, &cancelId, &errors), S_FALSE);
    EXPECT_EQ(cancelId, 11u);
    EXPECT_EQ(errors[1], kInvalidHandle);
    CoTaskMemFree(errors);
    const auto readDone = sink->WaitFor('R', 11);
    ASSERT_EQ(readDone.clients, std::vector<OPCHANDLE>{100});
    EXPECT_EQ(readDone.types, std::vector<VARTYPE>{VT_R4});

    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R4;
    value.fltVal = 4.8f;
    OPCHANDLE write[] = {handles[1]};
    ASSERT_EQ(async->Write(1, write, &value, 12, &cancelId, &errors), S_OK);
    CoTaskMemFree(errors);
    const auto writeDone = sink->WaitFor('W', 12);
    EXPECT_EQ(writeDone.clients, std::vector<OPCHANDLE>{101});
    EXPECT_EQ(writeDone.errors, std::vector<HRESULT>{S_OK});

    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 13, &cancelId), S_OK);
    const auto refresh = sink->WaitFor('D', 13);
    EXPECT_EQ(refresh.clients, (std::vector<OPCHANDLE>{100, 101}));
    EXPECT_EQ(async->Cancel2(777), E_FAIL);

    BOOL enabled = FALSE;
    EXPECT_EQ(async->GetEnable(&enabled), S_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(server_->RemoveGroup(groupHandle, TRUE), S_OK);
}

TEST_F(DemoData, TwoClientsShareAnAttribute) {
    ComPtr<IOPCServer> other = NewServer();
    ASSERT_TRUE(other);
    ComPtr<IOPCItemMgt> first = AddGroup(server_.Get(), L"shared", 1000);
    ComPtr<IOPCItemMgt> second = AddGroup(other.Get(), L"shared", 1000);  // names are per client
    ASSERT_TRUE(first && second);
    const auto a = Add(first.Get(), {L"Plant.Utilities.Energy.Value"});
    const auto b = Add(second.Get(), {L"Plant.Utilities.Energy.Value"});
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    ComPtr<IOPCSyncIO> ioA, ioB;
    ASSERT_EQ(first.As(&ioA), S_OK);
    ASSERT_EQ(second.As(&ioB), S_OK);
    // Both read the one cached value: the same value and change time, unless a scan fell between the reads.
    int same = 0;
    for (int attempt = 0; attempt < 5 && same == 0; ++attempt) {
        OPCITEMSTATE *sa = nullptr, *sb = nullptr;
        HRESULT *ea = nullptr, *eb = nullptr;
        ASSERT_EQ(ioA->Read(OPC_DS_CACHE, 1, const_cast<OPCHANDLE*>(a.data()), &sa, &ea), S_OK);
        ASSERT_EQ(ioB->Read(OPC_DS_CACHE, 1, const_cast<OPCHANDLE*>(b.data()), &sb, &eb), S_OK);
        if (sa[0].ftTimeStamp.dwLowDateTime == sb[0].ftTimeStamp.dwLowDateTime &&
            sa[0].ftTimeStamp.dwHighDateTime == sb[0].ftTimeStamp.dwHighDateTime) {
            EXPECT_EQ(sa[0].vDataValue.dblVal, sb[0].vDataValue.dblVal);
            ++same;
        }
        CoTaskMemFree(sa);
        CoTaskMemFree(sb);
        CoTaskMemFree(ea);
        CoTaskMemFree(eb);
    }
    EXPECT_EQ(same, 1);
}

// The server's private bytes (Wine may leave PrivateUsage at 0 for another process: then the page-file usage,
// the same figure); 0 if they cannot be read.
double PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return 0;
    return static_cast<double>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}

// The arrays that a call's [in] parameters arrive in are freed once the call is answered: calls carrying
// 400 item definitions and 400 VARIANTs leave the server's memory where it was. Arrays kept by the stub
// would grow it by 48 bytes per OPCITEMDEF and 24 per VARIANT, about 8 MB over these calls.
TEST_F(DemoData, ArraysOfItemDefinitionsAndValuesAreNotLeftInTheServer) {
    DWORD pid = 0;
    GetWindowThreadProcessId(FindServerPanel(), &pid);
    const HANDLE process = pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid) : nullptr;
    ASSERT_NE(process, nullptr);
    ComPtr<IOPCItemMgt> items = AddGroup(server_.Get(), L"arrays", 1000);
    ComPtr<IOPCSyncIO> io;
    ASSERT_TRUE(items);
    ASSERT_EQ(items.As(&io), S_OK);

    constexpr DWORD kCount = 400;
    constexpr int kCalls = 300;
    std::vector<OPCITEMDEF> defs(kCount);
    std::vector<OPCHANDLE> unknown(kCount, 0);   // writes answered per item with an invalid handle
    std::vector<VARIANT> values(kCount);
    for (DWORD i = 0; i < kCount; ++i) {
        defs[i].szItemID = const_cast<LPWSTR>(kItems[i % std::size(kItems)].id);
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].hClient = i;
        VariantInit(&values[i]);
        values[i].vt = VT_I4;
        values[i].lVal = static_cast<LONG>(i);
    }
    auto call = [&] {
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(items->ValidateItems(kCount, defs.data(), FALSE, &results, &errors), S_OK);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        errors = nullptr;
        EXPECT_EQ(io->Write(kCount, unknown.data(), values.data(), &errors), S_FALSE);
        CoTaskMemFree(errors);
    };
    for (int i = 0; i < 20; ++i) call();   // the heap settles
    const double before = PrivateBytes(process);
    for (int i = 0; i < kCalls; ++i) call();
    const double growth = PrivateBytes(process) - before;
    CloseHandle(process);
    ASSERT_GT(before, 0);
    const double kept = static_cast<double>(kCalls) * kCount * (sizeof(OPCITEMDEF) + sizeof(VARIANT));
    EXPECT_LT(growth, kept / 8) << "the server grew by " << growth / kCalls << " bytes per call";
}

}  // namespace
}  // namespace acceptance
