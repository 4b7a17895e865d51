// Random calls: seeded clients that drive every interface of the server and its groups
// (enumerators and connection points included) with random but marshallable arguments: counts
// from 0 to large (most small, a few thousands), valid, stale and random handles, random item IDs
// and filters, every VARTYPE, NaN, infinities and huge values, calls on groups after RemoveGroup.
// K client threads call at once, each with a server object of its own; every interval they all let
// go of their objects and connect anew, and the server's private bytes, handles and threads are
// taken while no client state is left in it (the memory verdict compares the first such checkpoint
// with the last). Then the sequence "subscribed group: Unadvise, RemoveGroup with force while the
// group is still held, AddGroup at once", repeated, and a live check (a read from the device and a
// subscription on a new group). Last, the panel's Exit while every thread keeps calling: the server
// must send ShutdownRequest, close its panel and end with code 0 once the clients let go.
// It prints the seed, the calls, their rate and the HRESULT histograms; when the server dies or a
// call hangs it prints the last calls of every thread (a ring of 64), the seed and the call count,
// and exits with 3 (died or failed) or 4 (hang); 5 when only the memory verdict failed.
//
// Usage: random_calls.exe --node PATH [--seed S] [--calls N (1000000)] [--seconds T (3000)]
//                         [--threads K (4)] [--interval I (120)] [--churn R (1000)] [--no-exit]
//                         [--only KIND,...] [--node-channels C (100)]
// --only keeps the named kinds of call (AddGroup, RemoveGroup, ServerMisc, GroupEnumerator, Common,
// Browse, Properties, ServerConnection, AddItems, ItemCalls, ItemEnumerator, StateCalls, SyncIO,
// AsyncIO, GroupConnection, PublicGroups), to find which one a fault needs.
// Built as random_calls_inproc.exe, the same calls go to the server's objects in this process
// (no proxies), with the count of live objects at each checkpoint and without the panel's Exit.
// --calls and --seconds bound the random calls; the churn rounds follow (at most 900 s).
// The node is one written by tools/nrkgen/nrkgen.py with --groups 10; bench/reliability/run.sh
// random_calls writes it and runs this.
#include "BenchServer.h"

#ifdef LX_RANDOM_CALLS_IN_PROCESS
#include "context/ProcessContext.h"
#include "nrk/NRK_Server.h"
#include "opc/server/ServerFactory.h"
#include "runtime/AddressSpace.h"
#endif

#include <ocidl.h>
#include <olectl.h>

#include <opccomn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <condition_variable>
#include <memory>
#include <vector>

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

// Never a null array, also when empty: [in, size_is] arrays are reference pointers on the wire.
template <class T>
T* Arr(std::vector<T>& v) {
    if (v.empty()) v.reserve(1);
    return v.data();
}

// The last calls, for the report of a crash or a hang.
class Ring {
public:
    void Add(const char* format, ...) {
        std::lock_guard<std::mutex> hold(lock_);
        char* slot = entries_[next_ % kSize];
        std::snprintf(slot, kLength, "#%llu ", static_cast<unsigned long long>(next_));
        const std::size_t used = std::strlen(slot);
        va_list args;
        va_start(args, format);
        std::vsnprintf(slot + used, kLength - used, format, args);
        va_end(args);
        ++next_;
    }
    void Print() {
        std::lock_guard<std::mutex> hold(lock_);
        const std::uint64_t first = next_ > kSize ? next_ - kSize : 0;
        std::printf("the last %llu calls (oldest first):\n", static_cast<unsigned long long>(next_ - first));
        for (std::uint64_t i = first; i < next_; ++i) std::printf("  %s\n", entries_[i % kSize]);
    }
    std::uint64_t Count() {
        std::lock_guard<std::mutex> hold(lock_);
        return next_;
    }

private:
    static constexpr std::size_t kSize = 64, kLength = 200;
    std::mutex lock_;
    char entries_[kSize][kLength] = {};
    std::uint64_t next_ = 0;
};

using Sink = bench::CountingSink;  // accepts every callback and the shutdown request

struct GroupState {
    OPCHANDLE handle = 0;
    ComPtr<IUnknown> group;
    std::vector<OPCHANDLE> items;
    std::vector<DWORD> cookies;
    bool removed = false;  // RemoveGroup was called; the client still holds it
};

class RandomClient {
public:
    RandomClient(std::uint64_t seed, int channels, Ring& ring) : rng_(seed), channels_(channels), ring_(ring) {}

    bool Connect() {
#ifdef LX_RANDOM_CALLS_IN_PROCESS
        if (FAILED(::opc::server::da::com::CreateServerObject(IID_IOPCServer,
                                                              reinterpret_cast<void**>(server_.ReleaseAndGetAddressOf()))))
            return false;
#else
        if (FAILED(CoCreateInstance(bench::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server_))))
            return false;
#endif
        return SUCCEEDED(server_.As(&common_));
    }

    // Lets go of every object (the server object tears down its groups) and connects anew:
    // what is left in the server afterwards is what the server keeps of a client that left.
    bool Reconnect() {
        ReleaseAll();
        stale_.clear();
        staleItems_.clear();
        return Connect();
    }

    // Advises a sink on the server's IOPCShutdown point (for the exit).
    bool AdviseShutdown(IOPCShutdown* sink) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        return server_ && SUCCEEDED(server_.As(&container)) &&
               SUCCEEDED(container->FindConnectionPoint(IID_IOPCShutdown, &point)) &&
               SUCCEEDED(point->Advise(sink, &cookie));
    }

    // While the server exits, failures of the RPC layer are what a call gets, not a fault.
    void Exiting() { exiting_ = true; }

    using Call = void (RandomClient::*)();
    struct Kind {
        const char* name;
        Call call;
    };
    // The kinds of call and their weights (a kind listed twice comes twice as often).
    static const std::vector<Kind>& Kinds() {
        static const std::vector<Kind> kinds = {
            {"AddGroup", &RandomClient::AddGroup},          {"AddGroup", &RandomClient::AddGroup},
            {"RemoveGroup", &RandomClient::RemoveGroup},    {"ServerMisc", &RandomClient::ServerMisc},
            {"GroupEnumerator", &RandomClient::GroupEnumerator}, {"Common", &RandomClient::Common},
            {"Browse", &RandomClient::Browse},              {"Properties", &RandomClient::Properties},
            {"ServerConnection", &RandomClient::ServerConnection}, {"AddItems", &RandomClient::AddItems},
            {"AddItems", &RandomClient::AddItems},          {"ItemCalls", &RandomClient::ItemCalls},
            {"ItemEnumerator", &RandomClient::ItemEnumerator}, {"StateCalls", &RandomClient::StateCalls},
            {"SyncIO", &RandomClient::SyncIO},              {"SyncIO", &RandomClient::SyncIO},
            {"AsyncIO", &RandomClient::AsyncIO},            {"AsyncIO", &RandomClient::AsyncIO},
            {"GroupConnection", &RandomClient::GroupConnection}, {"PublicGroups", &RandomClient::PublicGroups},
        };
        return kinds;
    }
    // Restricts the calls to the kinds named in `list` (comma-separated; AddGroup is always kept
    // so that there are groups); false if a name is unknown.
    bool Only(const std::wstring& list) {
        kinds_.clear();
        std::size_t from = 0;
        while (from <= list.size()) {
            const std::size_t comma = std::min(list.find(L',', from), list.size());
            const std::wstring name = list.substr(from, comma - from);
            bool known = false;
            for (const Kind& k : Kinds())
                if (name == std::wstring(k.name, k.name + std::strlen(k.name))) {
                    kinds_.push_back(k.call);
                    known = true;
                }
            if (!known) return false;
            from = comma + 1;
        }
        kinds_.push_back(&RandomClient::AddGroup);
        return true;
    }

    // One random call; false when the server is gone.
    bool Step() {
        if (kinds_.empty())
            for (const Kind& k : Kinds()) kinds_.push_back(k.call);
        (this->*kinds_[Pick(kinds_.size())])();
        return !gone_;
    }

    // Subscribed group: Unadvise, RemoveGroup with force while the group is still held, AddGroup at once.
    bool Churn(int index) {
        if (!churn_.group) {
            if (!NewSubscribedGroup(churn_, L"churn")) return false;
        }
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        churn_.group.As(&container);
        if (container && SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, &point)))
            Note(point->Unadvise(churn_.cookies.empty() ? 0 : churn_.cookies[0]), "churn %d Unadvise", index);
        Note(server_->RemoveGroup(churn_.handle, TRUE), "churn %d RemoveGroup(%lu, force)", index,
             static_cast<unsigned long>(churn_.handle));
        GroupState held = std::move(churn_);  // still held across the next AddGroup
        churn_ = GroupState{};
        const bool ok = NewSubscribedGroup(churn_, L"churn");
        // The removed group still answers (or refuses) a call, then is let go.
        ComPtr<IOPCGroupStateMgt> state;
        OPCHANDLE serverHandle = 0;
        if (SUCCEEDED(held.group.As(&state)))
            Note(GetState(state.Get(), &serverHandle), "churn %d GetState on the removed group", index);
        return ok && !gone_;
    }

    // IOPCGroupStateMgt::GetState with every result thrown away but the server handle.
    static HRESULT GetState(IOPCGroupStateMgt* state, OPCHANDLE* serverHandle) {
        DWORD rate = 0, lcid = 0;
        BOOL active = FALSE;
        LPWSTR name = nullptr;
        LONG bias = 0;
        FLOAT deadband = 0;
        OPCHANDLE client = 0;
        const HRESULT hr = state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, serverHandle);
        CoTaskMemFree(name);
        return hr;
    }

    // The server still serves correctly: a new subscribed group on ten known items answers a
    // read from the device with S_OK for every item, and its subscription delivers every item
    // within 10 s. Prints what it found.
    bool CheckLive(const char* when) {
        GroupState g;
        Sink* sink = nullptr;
        const bool added = NewSubscribedGroup(g, L"live check", &sink);
        const bool advised = added && !g.cookies.empty();
        HRESULT readHr = E_FAIL;
        DWORD good = 0, itemsOk = 0;
        auto io = added ? As<IOPCSyncIO>(g) : nullptr;
        if (io && !g.items.empty()) {
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            const DWORD n = static_cast<DWORD>(g.items.size());
            readHr = Note(io->Read(OPC_DS_DEVICE, n, g.items.data(), &states, &errors), "live check Read(device)");
            for (DWORD i = 0; states && errors && i < n; ++i) {
                if (errors[i] == S_OK) ++itemsOk;
                if ((states[i].wQuality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD) ++good;
                VariantClear(&states[i].vDataValue);
            }
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
        const auto start = Clock::now();
        while (sink && sink->itemUpdates < 10 && Clock::now() - start < std::chrono::seconds(10)) Sleep(50);
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        const LONG callbacks = sink ? sink->dataChanges : 0, values = sink ? sink->itemUpdates : 0;
        if (added) Note(server_->RemoveGroup(g.handle, FALSE), "live check RemoveGroup");
        g = GroupState{};
        if (sink) sink->Release();
        const bool ok = added && advised && readHr == S_OK && itemsOk == 10 && values >= 10;
        std::printf("live check %s: %s (AddGroup+AddItems+Advise %s, Read(device) 0x%08lx with %lu of 10 items S_OK, "
                    "%lu good; %ld callbacks with %ld item values in %.1f s)\n",
                    when, ok ? "ok" : "FAILED", advised ? "ok" : "failed", static_cast<unsigned long>(readHr),
                    static_cast<unsigned long>(itemsOk), static_cast<unsigned long>(good), static_cast<long>(callbacks),
                    static_cast<long>(values), waited);
        return ok;
    }

    void ReleaseAll() {
        groups_.clear();
        churn_ = GroupState{};
        common_.Reset();
        server_.Reset();
    }

    const std::map<HRESULT, unsigned long long>& Histogram() const { return histogram_; }
    void ClearHistogram() { histogram_.clear(); }
    std::uint64_t Calls() const { return calls_.load(std::memory_order_relaxed); }
    std::uint64_t Odd() const { return oddTotal_; }
    std::uint64_t Uncounted() const { return uncounted_; }
    // False when the system's IEnumConnections proxy was found to misreport Next.
    void TrustConnectionsProxy(bool trust) { trustConnections_ = trust; }

private:
    // ---- random values ----
    std::size_t Pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
    bool Coin() { return rng_() & 1; }
    // Most calls are small and a few large: 0 (10 %), 1 (20 %), 2..10 (55 %), 11..100 (12 %),
    // 101..1000 (2.5 %), 1001..5000 (0.5 %). A call with thousands of elements costs tens of
    // milliseconds across processes, a small one about one.
    DWORD Count() {
        const std::size_t r = Pick(1000);
        if (r < 100) return 0;
        if (r < 300) return 1;
        if (r < 850) return static_cast<DWORD>(Pick(9) + 2);
        if (r < 970) return static_cast<DWORD>(Pick(90) + 11);
        if (r < 995) return static_cast<DWORD>(Pick(900) + 101);
        return static_cast<DWORD>(Pick(4000) + 1001);
    }
    DWORD Rate() {
        static const DWORD rates[] = {0, 1, 99, 100, 500, 1000, 60000, 0x7fffffff, 0xffffffff};
        return Coin() ? rates[Pick(9)] : static_cast<DWORD>(rng_());
    }
    float Float() {
        static const float special[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                        -std::numeric_limits<float>::infinity(), 0.0f, -0.0f, 100.0f, 101.0f, -1.0f,
                                        3.4e38f, 1e-45f};
        return Coin() ? special[Pick(10)] : static_cast<float>(static_cast<int>(rng_() % 200) - 50);
    }
    double Double() {
        static const double special[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(), 0.0, -0.0, 1e308, -1e308, 4294967296.0,
                                         -2147483649.0, 2147483648.0, 65536.0, 256.0, -1.0, 0.5, 1e-320};
        return Pick(3) ? special[Pick(15)] : static_cast<double>(static_cast<std::int64_t>(rng_())) / 1e9;
    }
    VARTYPE Vartype() {
        static const VARTYPE types[] = {VT_EMPTY, VT_NULL, VT_I2,  VT_I4,   VT_R4,   VT_R8,   VT_CY,
                                        VT_DATE,  VT_BSTR, VT_BOOL, VT_ERROR, VT_VARIANT, VT_DECIMAL, VT_I1,
                                        VT_UI1,   VT_UI2,  VT_UI4,  VT_I8,   VT_UI8,  VT_INT,  VT_UINT,
                                        VT_ARRAY | VT_R8, VT_ARRAY | VT_I4, VT_ARRAY | VT_BSTR, VT_ARRAY | VT_VARIANT};
        if (Pick(10) == 0) return static_cast<VARTYPE>(rng_());  // anything: only a number on the wire
        return types[Pick(sizeof types / sizeof types[0])];
    }
    // A value of a random VARTYPE (only ones that marshal).
    void Value(VARIANT& v) {
        VariantInit(&v);
        static const VARTYPE types[] = {VT_EMPTY, VT_NULL, VT_I2,  VT_I4,   VT_R4,  VT_R8,  VT_CY,  VT_DATE,
                                        VT_BSTR,  VT_BOOL, VT_ERROR, VT_DECIMAL, VT_I1, VT_UI1, VT_UI2, VT_UI4,
                                        VT_I8,    VT_UI8,  VT_INT,  VT_UINT, VT_ARRAY | VT_R8};
        const VARTYPE t = types[Pick(sizeof types / sizeof types[0])];
        const double d = Double();
        const std::uint64_t r = rng_();
        V_VT(&v) = t;
        switch (t) {
        case VT_I2: V_I2(&v) = static_cast<SHORT>(r); break;
        case VT_I4: case VT_INT: V_I4(&v) = static_cast<LONG>(r); break;
        case VT_R4: V_R4(&v) = Float(); break;
        case VT_R8: V_R8(&v) = d; break;
        case VT_DATE: V_DATE(&v) = d; break;
        case VT_CY: V_CY(&v).int64 = static_cast<LONGLONG>(r); break;
        case VT_BSTR: {
            static const wchar_t* texts[] = {L"", L"1", L"-1", L"1e400", L"nan", L"inf", L"true", L"2026-12-10 10:00:00",
                                             L"\x00e4\x00f6\x00fc \x20ac", L"99999999999999999999"};
            V_BSTR(&v) = SysAllocString(texts[Pick(10)]);
            break;
        }
        case VT_BOOL: V_BOOL(&v) = Coin() ? VARIANT_TRUE : static_cast<VARIANT_BOOL>(r); break;
        case VT_ERROR: V_ERROR(&v) = static_cast<SCODE>(r); break;
        case VT_DECIMAL: {
            DECIMAL dec = {};
            dec.scale = static_cast<BYTE>(Pick(29));
            dec.sign = Coin() ? DECIMAL_NEG : 0;
            dec.Hi32 = static_cast<ULONG>(r >> 32);
            dec.Lo64 = rng_();
            V_DECIMAL(&v) = dec;
            V_VT(&v) = VT_DECIMAL;
            break;
        }
        case VT_I1: V_I1(&v) = static_cast<CHAR>(r); break;
        case VT_UI1: V_UI1(&v) = static_cast<BYTE>(r); break;
        case VT_UI2: V_UI2(&v) = static_cast<USHORT>(r); break;
        case VT_UI4: case VT_UINT: V_UI4(&v) = static_cast<ULONG>(r); break;
        case VT_I8: V_I8(&v) = static_cast<LONGLONG>(r); break;
        case VT_UI8: V_UI8(&v) = r; break;
        case VT_ARRAY | VT_R8: {
            SAFEARRAY* a = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(Pick(5)));
            for (LONG i = 0; a && i < static_cast<LONG>(a->rgsabound[0].cElements); ++i) {
                double x = Double();
                SafeArrayPutElement(a, &i, &x);
            }
            V_ARRAY(&v) = a;
            if (!a) V_VT(&v) = VT_EMPTY;
            break;
        }
        default: break;
        }
    }
    std::wstring Text() {
        static const wchar_t* texts[] = {L"", L"g", L"Group", L"*", L"?", L"[", L"[!a-", L"#", L"*C1*", L"..",
                                         L".", L"Node", L"Node.G32", L"\x00e4\x20ac\xd800", L"a b", L"G32",
                                         L"Node.G32.C1", L"Node.G32.C1.Value", L"C1.Value", L"Value"};
        if (Pick(20) == 0) return std::wstring(static_cast<std::size_t>(Pick(3000)), L'x');
        return texts[Pick(sizeof texts / sizeof texts[0])];
    }
    std::wstring ItemId() {
        if (Pick(4) == 0) return Text();
        static const wchar_t* attributes[] = {L"Value", L"RawValue", L"Name", L"Type", L"Visible", L"Unit", L"Bogus", L"2",
                                              L"9999"};
        const int ch = static_cast<int>(Pick(static_cast<std::size_t>(channels_) + 2));  // 0 and one past: unknown
        return L"Node.G" + std::to_wstring(32 + (ch + 9) % 10) + L".C" + std::to_wstring(ch) + L"." +
               attributes[Pick(sizeof attributes / sizeof attributes[0])];
    }
    GroupState* AnyGroup() {
        if (groups_.empty()) return nullptr;
        return &groups_[Pick(groups_.size())];
    }
    OPCHANDLE GroupHandle() {
        switch (Pick(4)) {
        case 0: return static_cast<OPCHANDLE>(rng_());
        case 1: return stale_.empty() ? 0 : stale_[Pick(stale_.size())];
        default: {
            GroupState* g = AnyGroup();
            return g ? g->handle : 0;
        }
        }
    }
    std::vector<OPCHANDLE> ItemHandles(GroupState& g, DWORD n) {
        std::vector<OPCHANDLE> h(n);
        for (auto& x : h) {
            switch (Pick(5)) {
            case 0: x = static_cast<OPCHANDLE>(rng_()); break;
            case 1: x = staleItems_.empty() ? 0 : staleItems_[Pick(staleItems_.size())]; break;
            default: x = g.items.empty() ? 0 : g.items[Pick(g.items.size())]; break;
            }
        }
        return h;
    }
    REFIID Iid() {
        static const IID* iids[] = {&IID_IUnknown, &IID_IOPCItemMgt, &IID_IOPCGroupStateMgt, &IID_IOPCSyncIO,
                                    &IID_IOPCAsyncIO2, &IID_IConnectionPointContainer, &IID_IOPCServer,
                                    &IID_IEnumString, &IID_IEnumUnknown, &IID_IDispatch, &IID_IOPCDataCallback};
        return *iids[Pick(sizeof iids / sizeof iids[0])];
    }

    // ---- bookkeeping ----
    static bool InRpcLayer(HRESULT hr) {
        return FAILED(hr) && (HRESULT_FACILITY(hr) == FACILITY_RPC || HRESULT_FACILITY(hr) == FACILITY_WIN32 ||
                              hr == RPC_E_SERVERFAULT || hr == CO_E_OBJNOTCONNECTED);
    }
    HRESULT Note(HRESULT hr, const char* format, ...) {
        char text[160];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        ring_.Add("%s -> 0x%08lx", text, static_cast<unsigned long>(hr));
        // Success codes are S_OK, S_FALSE and the interface's own (OPC_S_...); anything else is a
        // value the call never set.
        if (hr > 1 && HRESULT_FACILITY(hr) != FACILITY_ITF) {
            ++oddTotal_;
            if (odd_++ < 20) std::printf("ODD HRESULT: %s -> 0x%08lx\n", text, static_cast<unsigned long>(hr));
        }
        ++histogram_[hr];
        calls_.fetch_add(1, std::memory_order_relaxed);
        // A group removed with force is disconnected, so calls on it fail in the RPC layer; the server
        // is gone only when the server object itself no longer answers.
        if (!exiting_ && InRpcLayer(hr)) {
            LCID lcid = 0;
            const HRESULT probe = common_->GetLocaleID(&lcid);
            if (FAILED(probe)) {
                ring_.Add("probe GetLocaleID -> 0x%08lx", static_cast<unsigned long>(probe));
                gone_ = true;
            }
        }
        return hr;
    }
    template <class T>
    ComPtr<T> As(GroupState& g) {
        ComPtr<T> p;
        g.group.As(&p);
        return p;
    }

    bool NewSubscribedGroup(GroupState& g, const wchar_t* name, Sink** keepSink = nullptr) {
        DWORD revised = 0;
        if (FAILED(Note(server_->AddGroup(name, TRUE, 100, 7, nullptr, nullptr, 0x409, &g.handle, &revised, IID_IUnknown,
                                          g.group.GetAddressOf()),
                        "AddGroup(subscribed)")))
            return false;
        std::vector<std::wstring> ids;
        for (int i = 1; i <= 10; ++i) ids.push_back(L"Node.G" + std::to_wstring(32 + (i - 1) % 10) + L".C" + std::to_wstring(i) + L".Value");
        std::vector<OPCITEMDEF> defs(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i);
        }
        auto items = As<IOPCItemMgt>(g);
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        if (items) Note(items->AddItems(static_cast<DWORD>(defs.size()), Arr(defs), &results, &errors), "AddItems(10)");
        FreeResults(results, errors, static_cast<DWORD>(defs.size()), &g);
        auto container = As<IConnectionPointContainer>(g);
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        Sink* sink = new Sink;
        if (container && SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, &point)) &&
            SUCCEEDED(Note(point->Advise(static_cast<IOPCDataCallback*>(sink), &cookie), "Advise")))
            g.cookies.push_back(cookie);
        if (keepSink) *keepSink = sink;
        else sink->Release();
        return true;
    }
    void FreeResults(OPCITEMRESULT* results, HRESULT* errors, DWORD n, GroupState* keep) {
        for (DWORD i = 0; results && i < n; ++i) {
            if (keep && errors && errors[i] == S_OK) keep->items.push_back(results[i].hServer);
            CoTaskMemFree(results[i].pBlob);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }

    // ---- the calls ----
    void AddGroup() {
        if (groups_.size() >= 30) {  // keep the number bounded: drop one
            RemoveGroup();
            return;
        }
        GroupState g;
        const std::wstring name = Pick(3) == 0 ? Text() : L"r" + std::to_wstring(Pick(50));
        LONG bias = static_cast<LONG>(rng_());
        FLOAT deadband = Float();
        DWORD revised = 0;
        const DWORD rate = Rate();
        const HRESULT hr = Note(server_->AddGroup(name.c_str(), Coin(), rate, static_cast<OPCHANDLE>(rng_()),
                                                  Coin() ? &bias : nullptr, Coin() ? &deadband : nullptr,
                                                  static_cast<DWORD>(Pick(3) ? 0x409 : rng_()), &g.handle, &revised,
                                                  Iid(), g.group.GetAddressOf()),
                                "AddGroup('%.20ls', rate %lu, deadband %g)", name.c_str(),
                                static_cast<unsigned long>(rate), static_cast<double>(deadband));
        if (SUCCEEDED(hr) && g.group) groups_.push_back(std::move(g));
    }
    void RemoveGroup() {
        const bool force = Coin();
        if (!groups_.empty() && Pick(3)) {
            const std::size_t k = Pick(groups_.size());
            GroupState& g = groups_[k];
            Note(server_->RemoveGroup(g.handle, force), "RemoveGroup(%lu, %d)", static_cast<unsigned long>(g.handle), force);
            if (!g.removed) stale_.push_back(g.handle);
            for (OPCHANDLE h : g.items) staleItems_.push_back(h);
            g.removed = true;
            // A removed group is kept a while so that calls on it follow.
            if (Coin()) groups_.erase(groups_.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
            const OPCHANDLE h = GroupHandle();
            Note(server_->RemoveGroup(h, force), "RemoveGroup(%lu random, %d)", static_cast<unsigned long>(h), force);
        }
        if (stale_.size() > 1000) stale_.erase(stale_.begin(), stale_.begin() + 500);
        if (staleItems_.size() > 10000) staleItems_.erase(staleItems_.begin(), staleItems_.begin() + 5000);
    }
    void ServerMisc() {
        switch (Pick(3)) {
        case 0: {
            LPWSTR text = nullptr;
            const HRESULT e = static_cast<HRESULT>(rng_());
            Note(server_->GetErrorString(e, static_cast<LCID>(Pick(2) ? 0x409 : rng_()), &text), "GetErrorString(0x%08lx)",
                 static_cast<unsigned long>(e));
            CoTaskMemFree(text);
            break;
        }
        case 1: {
            ComPtr<IUnknown> g;
            const std::wstring name = Pick(2) ? L"r" + std::to_wstring(Pick(50)) : Text();
            Note(server_->GetGroupByName(name.c_str(), Iid(), g.GetAddressOf()), "GetGroupByName('%.20ls')", name.c_str());
            break;
        }
        default: {
            OPCSERVERSTATUS* status = nullptr;
            Note(server_->GetStatus(&status), "GetStatus");
            if (status) CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        }
    }
    template <class E, class T>
    void DriveEnum(E* e, void (*free)(T&), const char* what) {
        for (int i = 0, n = static_cast<int>(Pick(4)); i < n; ++i) {
            switch (Pick(4)) {
            case 0: {
                const ULONG celt = Count();
                std::vector<T> out(celt);
                ULONG fetched = 0;
                const bool noFetched = celt == 1 && Coin();
                HRESULT hr = e->Next(celt, Arr(out), noFetched ? nullptr : &fetched);
                if (!trustConnections_ && std::strcmp(what, "IEnumConnections") == 0 && !InRpcLayer(hr)) {
                    // The system's proxy misreads the count and the result (see the probe at the start):
                    // what arrives is not the server's answer and is not counted as one.
                    ring_.Add("%s Next(%lu) -> 0x%08lx (through the system's proxy, not counted)", what,
                              static_cast<unsigned long>(celt), static_cast<unsigned long>(hr));
                    ++uncounted_;
                } else {
                    Note(hr, "%s Next(%lu%s)", what, static_cast<unsigned long>(celt), noFetched ? ", no count" : "");
                }
                // The elements were zero before the call: whatever is not zero now came back.
                for (ULONG k = 0; k < celt; ++k) free(out[k]);
                break;
            }
            case 1: {
                const ULONG celt = static_cast<ULONG>(Pick(2) ? Pick(10) : rng_());
                Note(e->Skip(celt), "%s Skip(%lu)", what, static_cast<unsigned long>(celt));
                break;
            }
            case 2: Note(e->Reset(), "%s Reset", what); break;
            default: {
                ComPtr<E> clone;
                Note(e->Clone(clone.GetAddressOf()), "%s Clone", what);
            }
            }
        }
    }
    void DriveAnyEnum(IUnknown* unknown) {
        ComPtr<IEnumString> strings;
        ComPtr<IEnumUnknown> unknowns;
        if (SUCCEEDED(unknown->QueryInterface(IID_PPV_ARGS(&strings))))
            DriveEnum<IEnumString, LPOLESTR>(strings.Get(), [](LPOLESTR& s) { CoTaskMemFree(s); }, "group names IEnumString");
        else if (SUCCEEDED(unknown->QueryInterface(IID_PPV_ARGS(&unknowns))))
            DriveEnum<IEnumUnknown, IUnknown*>(
                unknowns.Get(),
                [](IUnknown*& u) {
                    if (u) u->Release();
                },
                "groups IEnumUnknown");
    }
    void GroupEnumerator() {
        ComPtr<IUnknown> e;
        const OPCENUMSCOPE scope = static_cast<OPCENUMSCOPE>(Pick(5) ? Pick(6) + 1 : Pick(0x8000));
        if (SUCCEEDED(Note(server_->CreateGroupEnumerator(scope, Iid(), e.GetAddressOf()), "CreateGroupEnumerator(%d)",
                           static_cast<int>(scope))) &&
            e)
            DriveAnyEnum(e.Get());
    }
    void Common() {
        switch (Pick(5)) {
        case 0: {
            const LCID l = static_cast<LCID>(Pick(2) ? 0x409 : rng_());
            Note(common_->SetLocaleID(l), "SetLocaleID(0x%lx)", static_cast<unsigned long>(l));
            break;
        }
        case 1: {
            LCID l = 0;
            Note(common_->GetLocaleID(&l), "GetLocaleID");
            break;
        }
        case 2: {
            DWORD n = 0;
            LCID* l = nullptr;
            Note(common_->QueryAvailableLocaleIDs(&n, &l), "QueryAvailableLocaleIDs");
            CoTaskMemFree(l);
            break;
        }
        case 3: {
            LPWSTR text = nullptr;
            Note(common_->GetErrorString(static_cast<HRESULT>(rng_()), &text), "Common GetErrorString");
            CoTaskMemFree(text);
            break;
        }
        default: {
            const std::wstring name = Text();
            Note(common_->SetClientName(name.c_str()), "SetClientName('%.20ls')", name.c_str());
        }
        }
    }
    void Browse() {
        ComPtr<IOPCBrowseServerAddressSpace> b;
        if (FAILED(server_.As(&b))) return;
        switch (Pick(5)) {
        case 0: {
            OPCNAMESPACETYPE t;
            Note(b->QueryOrganization(&t), "QueryOrganization");
            break;
        }
        case 1: {
            const std::wstring s = Text();
            const auto dir = static_cast<OPCBROWSEDIRECTION>(Pick(5) ? Pick(3) + 1 : Pick(0x8000));
            Note(b->ChangeBrowsePosition(dir, s.c_str()), "ChangeBrowsePosition(%d, '%.20ls')", static_cast<int>(dir),
                 s.c_str());
            break;
        }
        case 2: {
            const std::wstring filter = Text();
            const auto type = static_cast<OPCBROWSETYPE>(Pick(5) ? Pick(3) + 1 : Pick(0x8000));
            const VARTYPE vt = Vartype();
            const DWORD rights = static_cast<DWORD>(Pick(2) ? Pick(4) : rng_());
            ComPtr<IEnumString> e;
            if (SUCCEEDED(Note(b->BrowseOPCItemIDs(type, filter.c_str(), vt, rights, e.GetAddressOf()),
                               "BrowseOPCItemIDs(%d, '%.20ls', vt %u, rights %lu)", static_cast<int>(type), filter.c_str(),
                               vt, static_cast<unsigned long>(rights))) &&
                e)
                DriveEnum<IEnumString, LPOLESTR>(e.Get(), [](LPOLESTR& s) { CoTaskMemFree(s); }, "browse IEnumString");
            break;
        }
        case 3: {
            std::wstring s = Text();
            LPWSTR id = nullptr;
            Note(b->GetItemID(&s[0], &id), "GetItemID('%.20ls')", s.c_str());
            CoTaskMemFree(id);
            break;
        }
        default: {
            const std::wstring s = ItemId();
            ComPtr<IEnumString> e;
            if (SUCCEEDED(Note(b->BrowseAccessPaths(s.c_str(), e.GetAddressOf()), "BrowseAccessPaths('%.30ls')", s.c_str())) && e)
                DriveEnum<IEnumString, LPOLESTR>(e.Get(), [](LPOLESTR& s) { CoTaskMemFree(s); }, "access paths IEnumString");
        }
        }
    }
    void Properties() {
        ComPtr<IOPCItemProperties> p;
        if (FAILED(server_.As(&p))) return;
        std::wstring id = ItemId();
        const DWORD n = Count();
        std::vector<DWORD> ids(n);
        for (auto& x : ids) x = static_cast<DWORD>(Pick(3) ? Pick(10) : Pick(2) ? Pick(5100) : rng_());
        HRESULT* errors = nullptr;
        switch (Pick(3)) {
        case 0: {
            DWORD count = 0;
            DWORD* pids = nullptr;
            LPWSTR* descriptions = nullptr;
            VARTYPE* types = nullptr;
            Note(p->QueryAvailableProperties(&id[0], &count, &pids, &descriptions, &types), "QueryAvailableProperties('%.30ls')",
                 id.c_str());
            for (DWORD i = 0; descriptions && i < count; ++i) CoTaskMemFree(descriptions[i]);
            CoTaskMemFree(pids);
            CoTaskMemFree(descriptions);
            CoTaskMemFree(types);
            break;
        }
        case 1: {
            VARIANT* data = nullptr;
            Note(p->GetItemProperties(&id[0], n, Arr(ids), &data, &errors), "GetItemProperties('%.30ls', %lu)", id.c_str(),
                 static_cast<unsigned long>(n));
            for (DWORD i = 0; data && i < n; ++i) VariantClear(&data[i]);
            CoTaskMemFree(data);
            break;
        }
        default: {
            LPWSTR* out = nullptr;
            Note(p->LookupItemIDs(&id[0], n, Arr(ids), &out, &errors), "LookupItemIDs('%.30ls', %lu)", id.c_str(),
                 static_cast<unsigned long>(n));
            for (DWORD i = 0; out && i < n; ++i) CoTaskMemFree(out[i]);
            CoTaskMemFree(out);
        }
        }
        CoTaskMemFree(errors);
    }
    void Connection(IUnknown* object, const char* where) {
        ComPtr<IConnectionPointContainer> container;
        if (FAILED(object->QueryInterface(IID_PPV_ARGS(&container)))) return;
        switch (Pick(3)) {
        case 0: {
            ComPtr<IEnumConnectionPoints> e;
            if (SUCCEEDED(Note(container->EnumConnectionPoints(&e), "%s EnumConnectionPoints", where)) && e)
                DriveEnum<IEnumConnectionPoints, IConnectionPoint*>(
                    e.Get(),
                    [](IConnectionPoint*& c) {
                        if (c) c->Release();
                    },
                    "IEnumConnectionPoints");
            break;
        }
        default: {
            ComPtr<IConnectionPoint> point;
            const IID& iid = Pick(4) ? (std::strcmp(where, "server") ? IID_IOPCDataCallback : IID_IOPCShutdown) : Iid();
            if (FAILED(Note(container->FindConnectionPoint(iid, &point), "%s FindConnectionPoint", where)) || !point) return;
            switch (Pick(5)) {
            case 0: {
                IID got;
                Note(point->GetConnectionInterface(&got), "%s GetConnectionInterface", where);
                break;
            }
            case 1: {
                ComPtr<IEnumConnections> e;
                if (SUCCEEDED(Note(point->EnumConnections(&e), "%s EnumConnections", where)) && e)
                    DriveEnum<IEnumConnections, CONNECTDATA>(
                        e.Get(),
                        [](CONNECTDATA& c) {
                            if (c.pUnk) c.pUnk->Release();
                        },
                        "IEnumConnections");
                break;
            }
            case 2: {
                // While the server exits, the exit's own shutdown sinks (small cookies) stay advised: the
                // exit check counts their ShutdownRequests.
                if (exiting_ && InlineIsEqualGUID(iid, IID_IOPCShutdown)) break;
                const DWORD cookie = static_cast<DWORD>(Pick(2) ? Pick(5) : rng_());
                Note(point->Unadvise(cookie), "%s Unadvise(%lu)", where, static_cast<unsigned long>(cookie));
                break;
            }
            default: {
                Sink* sink = new Sink;
                DWORD cookie = 0;
                Note(point->Advise(static_cast<IOPCDataCallback*>(sink), &cookie), "%s Advise", where);
                sink->Release();
            }
            }
        }
        }
    }
    void ServerConnection() { Connection(server_.Get(), "server"); }
    void GroupConnection() {
        GroupState* g = AnyGroup();
        if (g) Connection(g->group.Get(), "group");
    }
    std::vector<OPCITEMDEF> Defs(DWORD n, std::vector<std::wstring>& ids, std::vector<std::wstring>& paths,
                                 std::vector<BYTE>& blob) {
        ids.resize(n);
        paths.resize(n);
        blob.assign(16, 0x5a);
        std::vector<OPCITEMDEF> defs(n);
        for (DWORD i = 0; i < n; ++i) {
            ids[i] = ItemId();
            paths[i] = Pick(10) ? L"" : Text();
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = &ids[i][0];
            defs[i].szAccessPath = Pick(3) ? nullptr : &paths[i][0];
            defs[i].bActive = Coin();
            defs[i].hClient = static_cast<OPCHANDLE>(rng_());
            defs[i].vtRequestedDataType = Pick(2) ? static_cast<VARTYPE>(VT_EMPTY) : Vartype();
            if (Pick(10) == 0) {
                defs[i].dwBlobSize = static_cast<DWORD>(blob.size());
                defs[i].pBlob = blob.data();
            }
        }
        return defs;
    }
    void AddItems() {
        GroupState* g = AnyGroup();
        auto items = g ? As<IOPCItemMgt>(*g) : nullptr;
        if (!items) return;
        const DWORD n = Count();
        std::vector<std::wstring> ids, paths;
        std::vector<BYTE> blob;
        auto defs = Defs(n, ids, paths, blob);
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        if (Pick(4)) {
            Note(items->AddItems(n, Arr(defs), &results, &errors), "AddItems(%lu)%s", static_cast<unsigned long>(n),
                 g->removed ? " on a removed group" : "");
            FreeResults(results, errors, n, g->items.size() < 20000 ? g : nullptr);
        } else {
            const BOOL blobUpdate = Coin();
            Note(items->ValidateItems(n, Arr(defs), blobUpdate, &results, &errors), "ValidateItems(%lu, %d)",
                 static_cast<unsigned long>(n), blobUpdate);
            FreeResults(results, errors, n, nullptr);
        }
    }
    void ItemCalls() {
        GroupState* g = AnyGroup();
        auto items = g ? As<IOPCItemMgt>(*g) : nullptr;
        if (!items) return;
        const DWORD n = Count();
        auto handles = ItemHandles(*g, n);
        HRESULT* errors = nullptr;
        switch (Pick(4)) {
        case 0:
            Note(items->RemoveItems(n, Arr(handles), &errors), "RemoveItems(%lu)", static_cast<unsigned long>(n));
            for (DWORD i = 0; errors && i < n; ++i)
                if (errors[i] == S_OK) {
                    staleItems_.push_back(handles[i]);
                    g->items.erase(std::remove(g->items.begin(), g->items.end(), handles[i]), g->items.end());
                }
            break;
        case 1: {
            const BOOL active = Coin();
            Note(items->SetActiveState(n, Arr(handles), active, &errors), "SetActiveState(%lu, %d)",
                 static_cast<unsigned long>(n), active);
            break;
        }
        case 2: {
            std::vector<OPCHANDLE> clients(n);
            for (auto& c : clients) c = static_cast<OPCHANDLE>(rng_());
            Note(items->SetClientHandles(n, Arr(handles), Arr(clients), &errors), "SetClientHandles(%lu)",
                 static_cast<unsigned long>(n));
            break;
        }
        default: {
            std::vector<VARTYPE> types(n);
            for (auto& t : types) t = Vartype();
            Note(items->SetDatatypes(n, Arr(handles), Arr(types), &errors), "SetDatatypes(%lu)",
                 static_cast<unsigned long>(n));
        }
        }
        CoTaskMemFree(errors);
    }
    void ItemEnumerator() {
        GroupState* g = AnyGroup();
        auto items = g ? As<IOPCItemMgt>(*g) : nullptr;
        if (!items) return;
        ComPtr<IUnknown> e;
        const IID& iid = Pick(4) ? static_cast<const IID&>(IID_IEnumOPCItemAttributes) : Iid();
        if (FAILED(Note(items->CreateEnumerator(iid, e.GetAddressOf()), "CreateEnumerator")) || !e) return;
        ComPtr<IEnumOPCItemAttributes> attributes;
        if (FAILED(e.As(&attributes))) return;
        for (int i = 0, k = static_cast<int>(Pick(4)); i < k; ++i) {
            switch (Pick(4)) {
            case 0: {
                const ULONG celt = Count();
                OPCITEMATTRIBUTES* out = nullptr;
                ULONG fetched = 0;
                Note(attributes->Next(celt, &out, &fetched), "ItemAttributes Next(%lu)", static_cast<unsigned long>(celt));
                for (ULONG j = 0; out && j < fetched; ++j) {
                    CoTaskMemFree(out[j].szAccessPath);
                    CoTaskMemFree(out[j].szItemID);
                    CoTaskMemFree(out[j].pBlob);
                    VariantClear(&out[j].vEUInfo);
                }
                CoTaskMemFree(out);
                break;
            }
            case 1: Note(attributes->Skip(static_cast<ULONG>(Pick(2) ? Pick(10) : rng_())), "ItemAttributes Skip"); break;
            case 2: Note(attributes->Reset(), "ItemAttributes Reset"); break;
            default: {
                ComPtr<IEnumOPCItemAttributes> clone;
                Note(attributes->Clone(&clone), "ItemAttributes Clone");
            }
            }
        }
    }
    void StateCalls() {
        GroupState* g = AnyGroup();
        auto state = g ? As<IOPCGroupStateMgt>(*g) : nullptr;
        if (!state) return;
        switch (Pick(4)) {
        case 0: {
            OPCHANDLE serverHandle = 0;
            Note(GetState(state.Get(), &serverHandle), "GetState");
            break;
        }
        case 1: {
            DWORD rate = Rate(), revised = 0, lcid = static_cast<DWORD>(rng_());
            BOOL active = static_cast<BOOL>(Pick(3));
            LONG bias = static_cast<LONG>(rng_());
            FLOAT deadband = Float();
            OPCHANDLE client = static_cast<OPCHANDLE>(rng_());
            Note(state->SetState(Coin() ? &rate : nullptr, &revised, Coin() ? &active : nullptr, Coin() ? &bias : nullptr,
                                 Coin() ? &deadband : nullptr, Coin() ? &lcid : nullptr, Coin() ? &client : nullptr),
                 "SetState(rate %lu, deadband %g)", static_cast<unsigned long>(rate), static_cast<double>(deadband));
            break;
        }
        case 2: {
            const std::wstring name = Pick(2) ? L"r" + std::to_wstring(Pick(50)) : Text();
            Note(state->SetName(name.c_str()), "SetName('%.20ls')", name.c_str());
            break;
        }
        default: {
            if (groups_.size() >= 30) return;
            const std::wstring name = Pick(2) ? L"c" + std::to_wstring(Pick(50)) : Text();
            GroupState clone;
            if (SUCCEEDED(Note(state->CloneGroup(name.c_str(), Iid(), clone.group.GetAddressOf()), "CloneGroup('%.20ls')",
                               name.c_str())) &&
                clone.group) {
                auto cloneState = As<IOPCGroupStateMgt>(clone);
                if (cloneState && SUCCEEDED(GetState(cloneState.Get(), &clone.handle))) groups_.push_back(std::move(clone));
            }
        }
        }
    }
    void Values(std::vector<VARIANT>& values, DWORD n) {
        values.resize(n);
        for (auto& v : values) Value(v);
    }
    static void Clear(std::vector<VARIANT>& values) {
        for (auto& v : values) VariantClear(&v);
    }
    void SyncIO() {
        GroupState* g = AnyGroup();
        auto io = g ? As<IOPCSyncIO>(*g) : nullptr;
        if (!io) return;
        const DWORD n = Count();
        auto handles = ItemHandles(*g, n);
        HRESULT* errors = nullptr;
        if (Coin()) {
            OPCITEMSTATE* states = nullptr;
            const auto source = static_cast<OPCDATASOURCE>(Pick(5) ? Pick(2) + 1 : Pick(0x8000));
            Note(io->Read(source, n, Arr(handles), &states, &errors), "Read(%d, %lu)", static_cast<int>(source),
                 static_cast<unsigned long>(n));
            for (DWORD i = 0; states && i < n; ++i) VariantClear(&states[i].vDataValue);
            CoTaskMemFree(states);
        } else {
            std::vector<VARIANT> values;
            Values(values, n);
            Note(io->Write(n, Arr(handles), Arr(values), &errors), "Write(%lu, first vt %u)",
                 static_cast<unsigned long>(n), n ? V_VT(&values[0]) : 0);
            Clear(values);
        }
        CoTaskMemFree(errors);
    }
    void AsyncIO() {
        GroupState* g = AnyGroup();
        auto io = g ? As<IOPCAsyncIO2>(*g) : nullptr;
        if (!io) return;
        const DWORD n = Count();
        auto handles = ItemHandles(*g, n);
        HRESULT* errors = nullptr;
        DWORD cancel = 0;
        const DWORD transaction = static_cast<DWORD>(rng_());
        switch (Pick(6)) {
        case 0: Note(io->Read(n, Arr(handles), transaction, &cancel, &errors), "AsyncRead(%lu)", static_cast<unsigned long>(n)); break;
        case 1: {
            std::vector<VARIANT> values;
            Values(values, n);
            Note(io->Write(n, Arr(handles), Arr(values), transaction, &cancel, &errors), "AsyncWrite(%lu)",
                 static_cast<unsigned long>(n));
            Clear(values);
            break;
        }
        case 2: {
            const auto source = static_cast<OPCDATASOURCE>(Pick(5) ? Pick(2) + 1 : Pick(0x8000));
            Note(io->Refresh2(source, transaction, &cancel), "Refresh2(%d)", static_cast<int>(source));
            break;
        }
        case 3: {
            const DWORD id = static_cast<DWORD>(Pick(2) ? Pick(100) : rng_());
            Note(io->Cancel2(id), "Cancel2(%lu)", static_cast<unsigned long>(id));
            break;
        }
        case 4: {
            const BOOL enable = static_cast<BOOL>(Pick(3));
            Note(io->SetEnable(enable), "SetEnable(%d)", enable);
            break;
        }
        default: {
            BOOL enable = FALSE;
            Note(io->GetEnable(&enable), "GetEnable");
        }
        }
        CoTaskMemFree(errors);
    }
    void PublicGroups() {
        if (Coin()) {
            ComPtr<IOPCServerPublicGroups> p;
            if (FAILED(server_.As(&p))) {
                Note(E_NOINTERFACE, "QueryInterface(IOPCServerPublicGroups)");
                return;
            }
            ComPtr<IUnknown> g;
            const std::wstring name = Text();
            if (Coin()) Note(p->GetPublicGroupByName(name.c_str(), Iid(), g.GetAddressOf()), "GetPublicGroupByName");
            else Note(p->RemovePublicGroup(GroupHandle(), Coin()), "RemovePublicGroup");
        } else {
            GroupState* g = AnyGroup();
            auto p = g ? As<IOPCPublicGroupStateMgt>(*g) : nullptr;
            if (!p) return;
            BOOL isPublic = FALSE;
            if (Coin()) Note(p->GetState(&isPublic), "Public GetState");
            else Note(p->MoveToPublic(), "MoveToPublic");
        }
    }

    std::mt19937_64 rng_;
    int channels_;
    Ring& ring_;
    ComPtr<IOPCServer> server_;
    ComPtr<IOPCCommon> common_;
    std::vector<GroupState> groups_;
    GroupState churn_;
    std::vector<OPCHANDLE> stale_, staleItems_;
    std::vector<Call> kinds_;
    std::map<HRESULT, unsigned long long> histogram_;
    std::atomic<std::uint64_t> calls_{0};
    bool gone_ = false, exiting_ = false;
    int odd_ = 0;
    std::uint64_t oddTotal_ = 0, uncounted_ = 0;
    bool trustConnections_ = true;
};

// One client thread: its client, its ring of last calls and its progress for the watchdog.
struct Worker {
    Worker(std::uint64_t seed, int channels) : client(seed, channels, ring) {}
    Ring ring;
    RandomClient client;
    std::atomic<std::uint64_t> progress{0};
    std::atomic<bool> busy{false};  // inside a call (not waiting at a checkpoint)
    std::thread thread;
};

// Stops and resumes the client threads: at a checkpoint every thread lets go of its objects,
// connects anew and waits, so that the server's figures are taken with no client state in it.
class Gate {
public:
    enum class Order { run, pause, stop };
    void Set(Order o) {
        std::lock_guard<std::mutex> hold(lock_);
        order_ = o;
        changed_.notify_all();
    }
    Order Get() {
        std::lock_guard<std::mutex> hold(lock_);
        return order_;
    }
    // A thread at the checkpoint: counted, then waits for any other order.
    void Wait() {
        std::unique_lock<std::mutex> hold(lock_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(hold, [&] { return order_ != Order::pause; });
        --waiting_;
    }
    bool AllWaiting(int n, DWORD timeoutMs) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return waiting_ == n; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    Order order_ = Order::run;
    int waiting_ = 0;
};

#ifdef LX_RANDOM_CALLS_IN_PROCESS
// The server's objects in this process, on the node's runtime (dllNRK32.dll) and the address
// space built from it, as lx6opc.exe has them; figures are this process's.
class InProcessServer {
public:
    ~InProcessServer() { Close(); }
    bool Start(const std::wstring& node) {
        if (!NRK_GET_INTERFACE(0, &runtime_) || !runtime_) return false;
        context_.SetRuntime(runtime_);
        const std::wstring dir = node.substr(0, node.find_last_of(L"\\/") + 1);
        const std::wstring file = node.substr(dir.size());
        auto ansi = [](const std::wstring& w) {
            std::string a(w.size() * 2 + 1, '\0');
            const int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, &a[0], static_cast<int>(a.size()), nullptr, nullptr);
            a.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
            return a;
        };
        const std::string root = ansi(bench::BinDir());
        runtime_->SetRootDirectory(root.c_str());
        if (runtime_->LoadNode(ansi(dir).c_str(), ansi(file).c_str()) != 0) return false;
        context_.SetRoot(BuildAddressSpace(*runtime_));
        runtime_->StartNode();
        return runtime_->IsNodeRunning();
    }
    bench::ServerStats Stats() const {
        bench::ServerStats s;
        s.alive = true;
        s.privateBytes = PrivateBytes();
        s.handles = bench::HandleCount(GetCurrentProcess(), GetCurrentProcessId());
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        if (snapshot != INVALID_HANDLE_VALUE) {
            THREADENTRY32 t = {};
            t.dwSize = sizeof(t);
            for (BOOL ok = Thread32First(snapshot, &t); ok; ok = Thread32Next(snapshot, &t))
                if (t.th32OwnerProcessID == GetCurrentProcessId()) ++s.threads;
            CloseHandle(snapshot);
        }
        return s;
    }
    long Locks() const { return context_.LockCount(); }
    void Close() {
        if (!runtime_) return;
        if (runtime_->IsNodeRunning()) runtime_->StopNode();
        if (runtime_->IsNodeLoaded()) runtime_->UnloadNode();
        context_.SetRoot(nullptr);
        context_.SetRuntime(nullptr);
        runtime_ = nullptr;
    }

private:
    lx::ProcessContext context_;
    NRK_Server* runtime_ = nullptr;
};
#endif

#ifndef LX_RANDOM_CALLS_IN_PROCESS
// ---- the platform's proxy for IEnumConnections ----
// IEnumConnections (and its proxy and stub) are the system's, not ours: Wine's oleaut32 marshals
// them. An enumerator of this program's own, as plain as one can be, is called through that proxy
// from another apartment of this process; what comes back shows whether Next's result can be
// trusted across apartments and processes, whatever the server does.
class PlainConnections final : public IEnumConnections {
public:
    explicit PlainConnections(IUnknown* sink, ULONG count) : sink_(sink), count_(count) { sink_->AddRef(); }
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumConnections) return E_NOINTERFACE;
        *object = static_cast<IEnumConnections*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG n = InterlockedDecrement(&refs_);
        if (n == 0) {
            sink_->Release();
            delete this;
        }
        return static_cast<ULONG>(n);
    }
    STDMETHODIMP Next(ULONG celt, CONNECTDATA* out, ULONG* fetched) override {
        ULONG n = 0;
        for (; n < celt && position_ < count_; ++n, ++position_) {
            sink_->AddRef();
            out[n] = CONNECTDATA{sink_, position_ + 1};
        }
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        const ULONG n = std::min(celt, count_ - position_);
        position_ += n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumConnections** result) override {
        if (!result) return E_POINTER;
        *result = nullptr;
        return E_NOTIMPL;
    }

private:
    volatile LONG refs_ = 1;
    IUnknown* sink_;
    ULONG count_, position_ = 0;
};

// Calls Next on a plain enumerator of 3 connections (cookies 1, 2, 3) through the system's proxy
// and prints each result next to what the enumerator itself answers; true when they agree. The
// connections' sinks are objects of the enumerator's apartment, or (remoteSinks) of the caller's,
// as a server's sinks are its clients' objects.
bool ProbeConnectionsProxy(bool remoteSinks) {
    struct Shared {
        IStream* stream = nullptr;
        IStream* sinkStream = nullptr;
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD thread = 0;
    } shared;
    if (remoteSinks) {
        auto* sink = new bench::CountingSink;
        CoMarshalInterThreadInterfaceInStream(IID_IUnknown, static_cast<IOPCDataCallback*>(sink), &shared.sinkStream);
        sink->Release();
    }
    std::thread apartment([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        shared.thread = GetCurrentThreadId();
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // a queue for the quit message
        IUnknown* sink = nullptr;
        if (shared.sinkStream) CoGetInterfaceAndReleaseStream(shared.sinkStream, IID_IUnknown, reinterpret_cast<void**>(&sink));
        else sink = static_cast<IOPCDataCallback*>(new bench::CountingSink);
        auto* e = new PlainConnections(sink, 3);
        sink->Release();
        CoMarshalInterThreadInterfaceInStream(IID_IEnumConnections, e, &shared.stream);
        e->Release();
        SetEvent(shared.ready);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        CoUninitialize();
    });
    WaitForSingleObject(shared.ready, 10000);
    bool agree = false;
    ComPtr<IEnumConnections> proxy;
    if (shared.stream && SUCCEEDED(CoGetInterfaceAndReleaseStream(shared.stream, IID_PPV_ARGS(&proxy)))) {
        struct Case {
            ULONG celt;
            HRESULT hr;
            ULONG fetched;
        };
        // From the start each time: Next(1), Next(2), Next(3), Next(5) (3 of 5: S_FALSE).
        const Case cases[] = {{1, S_OK, 1}, {2, S_OK, 2}, {3, S_OK, 3}, {5, S_FALSE, 3}};
        agree = true;
        std::printf("the system's IEnumConnections proxy, on a plain enumerator of 3 connections in another apartment "
                    "(sinks %s):\n", remoteSinks ? "of the caller's apartment, as a server's are its clients'" : "of its own apartment");
        for (const Case& c : cases) {
            proxy->Reset();
            CONNECTDATA out[5] = {};
            ULONG fetched = 0xdead;
            const HRESULT hr = proxy->Next(c.celt, out, &fetched);
            std::string cookies;
            for (ULONG i = 0; i < 5; ++i) {
                cookies += (i ? " " : "") + std::to_string(out[i].dwCookie) + (out[i].pUnk ? "+" : "-");
                if (out[i].pUnk && i < c.celt) out[i].pUnk->Release();
            }
            const bool same = hr == c.hr && fetched == c.fetched && out[0].dwCookie == 1 && out[0].pUnk;
            agree = agree && same;
            std::printf("  Next(%lu): 0x%08lx, %lu fetched, cookies/sinks %s (the enumerator answers 0x%08lx, %lu "
                        "fetched, cookies 1..%lu)%s\n",
                        static_cast<unsigned long>(c.celt), static_cast<unsigned long>(hr),
                        static_cast<unsigned long>(fetched), cookies.c_str(), static_cast<unsigned long>(c.hr),
                        static_cast<unsigned long>(c.fetched), static_cast<unsigned long>(c.fetched),
                        same ? "" : "  <- DIFFERS");
        }
    }
    proxy.Reset();
    PostThreadMessageW(shared.thread, WM_QUIT, 0, 0);
    apartment.join();
    CloseHandle(shared.ready);
    return agree;
}
#endif

using Histogram = std::map<HRESULT, unsigned long long>;

void PrintHistogram(const char* what, const Histogram& h) {
    unsigned long long total = 0;
    for (auto& [hr, n] : h) total += n;
    std::printf("HRESULT histogram, %s (%llu calls):\n", what, total);
    for (auto& [hr, n] : h) std::printf("  0x%08lx %10llu\n", static_cast<unsigned long>(hr), n);
}

void PrintStats(const char* what, const bench::ServerStats& s) {
    std::printf("  server %s: private bytes %.0f KB, handles %lu, threads %lu%s\n", what, s.privateBytes / 1024,
                static_cast<unsigned long>(s.handles), static_cast<unsigned long>(s.threads), s.alive ? "" : " (DEAD)");
    std::fflush(stdout);
}

#ifndef LX_RANDOM_CALLS_IN_PROCESS
BOOL CALLBACK FindExitBox(HWND window, LPARAM data) {
    auto* f = reinterpret_cast<std::pair<DWORD, HWND>*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (owner != f->first || wcscmp(name, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    f->second = window;
    return FALSE;
}

// The message box the panel's Exit asks with while clients are connected, or null.
HWND ExitBox(DWORD pid) {
    std::pair<DWORD, HWND> find{pid, nullptr};
    EnumWindows(&FindExitBox, reinterpret_cast<LPARAM>(&find));
    return find.second;
}
#endif

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring node;
    std::uint64_t seed = static_cast<std::uint64_t>(GetTickCount64());
    unsigned long long maxCalls = 1000000;
    double seconds = 3000;
    int churn = 1000, channels = 100, threads = 4, interval = 120;
    bool exitPhase = true;
    std::wstring only;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--no-exit") {
            exitPhase = false;
            continue;
        }
        if (i + 1 >= argc) break;
        const wchar_t* v = argv[++i];
        if (a == L"--node") node = v;
        else if (a == L"--seed") seed = _wcstoui64(v, nullptr, 10);
        else if (a == L"--calls") maxCalls = _wcstoui64(v, nullptr, 10);
        else if (a == L"--seconds") seconds = _wtof(v);
        else if (a == L"--churn") churn = _wtoi(v);
        else if (a == L"--node-channels") channels = _wtoi(v);
        else if (a == L"--threads") threads = _wtoi(v);
        else if (a == L"--interval") interval = _wtoi(v);
        else if (a == L"--only") only = v;
    }
    if (node.empty() || threads < 1 || interval < 1) {
        std::printf("usage: random_calls.exe --node PATH [--seed S] [--calls N] [--seconds T] [--threads K] [--interval I]\n"
                    "                        [--churn R] [--no-exit] [--only KIND,...] [--node-channels C]\n");
        return 2;
    }
    std::printf("seed %llu (client thread k uses seed + k), %d client threads\n", static_cast<unsigned long long>(seed),
                threads);
    std::fflush(stdout);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
#ifdef LX_RANDOM_CALLS_IN_PROCESS
    const bool connectionsProxyOk = true;  // no proxies
#else
    const bool ownSinks = ProbeConnectionsProxy(false), clientSinks = ProbeConnectionsProxy(true);
    const bool connectionsProxyOk = ownSinks && clientSinks;
#endif
    std::fflush(stdout);
#ifdef LX_RANDOM_CALLS_IN_PROCESS
    // The server's objects are called directly (no proxies, no marshalling); the panel's Exit
    // belongs to the process and is driven by random_calls.exe.
    (void)exitPhase;
    std::printf("in process: the server's objects in this process, called directly\n");
    InProcessServer server;
    if (!server.Start(node)) {
        std::printf("cannot load or start %ls\n", node.c_str());
        return 1;
    }
#else
    if (!bench::ServerProcess::Prepare(node)) {
        std::printf("cannot register lx6opc.exe or point it at %ls\n", node.c_str());
        return 1;
    }
#endif
    std::vector<std::unique_ptr<Worker>> workers;
    for (int k = 0; k < threads; ++k) {
        workers.push_back(std::make_unique<Worker>(seed + static_cast<std::uint64_t>(k), channels));
        workers.back()->client.TrustConnectionsProxy(connectionsProxyOk);
        if (!only.empty() && !workers.back()->client.Only(only)) {
            std::printf("--only: a kind of call not known in %ls\n", only.c_str());
            return 2;
        }
        if (!workers.back()->client.Connect()) {
            std::printf("cannot connect to the server\n");
            return 1;
        }
    }
#ifndef LX_RANDOM_CALLS_IN_PROCESS
    bench::ServerProcess server;
    server.Attach();
    server.PanelCommand(202);
#endif
    Sleep(1000);
    const bench::ServerStats before = server.Stats();
    PrintStats("at the start (clients connected, node started)", before);

    auto totalCalls = [&] {
        std::uint64_t n = 0;
        for (auto& w : workers) n += w->client.Calls();
        return n;
    };
    auto printRings = [&] {
        for (std::size_t k = 0; k < workers.size(); ++k) {
            std::printf("client thread %zu (seed %llu), ", k, static_cast<unsigned long long>(seed + k));
            workers[k]->ring.Print();
        }
    };
    auto merged = [&] {
        Histogram h;
        for (auto& w : workers) {
            for (auto& [hr, n] : w->client.Histogram()) h[hr] += n;
            w->client.ClearHistogram();
        }
        return h;
    };

    // A thread inside a call that has not come back within 60 s is a hang.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        std::vector<std::uint64_t> seen(workers.size());
        std::vector<int> still(workers.size());
        while (!finished) {
            Sleep(1000);
            for (std::size_t k = 0; k < workers.size(); ++k) {
                const std::uint64_t now = workers[k]->progress;
                still[k] = now == seen[k] && workers[k]->busy ? still[k] + 1 : 0;
                seen[k] = now;
                if (still[k] < 60) continue;
                std::printf("HANG: client thread %zu: no call returned for 60 s (seed %llu, %llu calls in all)\n", k,
                            static_cast<unsigned long long>(seed + k), static_cast<unsigned long long>(totalCalls()));
                printRings();
#ifndef LX_RANDOM_CALLS_IN_PROCESS
                // Every thread's stack, of the server and of this client, by the system's debugger
                // (Wine's winedbg; at most a minute each).
                for (DWORD pid : {GetProcessId(server.Handle()), GetCurrentProcessId()}) {
                    std::printf("stacks of process %lu:\n", static_cast<unsigned long>(pid));
                    std::fflush(stdout);
                    std::wstring command = L"winedbg --command \"bt all\" " + std::to_wstring(pid);
                    STARTUPINFOW si = {};
                    si.cb = sizeof(si);
                    PROCESS_INFORMATION pi = {};
                    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
                        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
                        CloseHandle(pi.hThread);
                        CloseHandle(pi.hProcess);
                    }
                }
#endif
                // RANDOM_CALLS_HOLD=SECONDS keeps both processes as they are for a debugger.
                const char* hold = std::getenv("RANDOM_CALLS_HOLD");
#ifndef LX_RANDOM_CALLS_IN_PROCESS
                if (hold) std::printf("holding %s s for a debugger (server process %lu)\n", hold,
                                      static_cast<unsigned long>(GetProcessId(server.Handle())));
#endif
                std::fflush(stdout);
                if (hold) Sleep(static_cast<DWORD>(std::atoi(hold)) * 1000);
                ExitProcess(4);
            }
        }
    });
    std::atomic<bool> gone{false};
    auto report = [&](const char* what) {
        std::printf("%s after %llu calls (seed %llu)\n", what, static_cast<unsigned long long>(totalCalls()),
                    static_cast<unsigned long long>(seed));
        printRings();
        PrintHistogram("so far", merged());
        std::fflush(stdout);
        ExitProcess(3);
    };

    // ---- random calls from every thread, with quiet checkpoints ----
    Gate gate;
    auto run = [&](Worker& w) {
        for (;;) {
            const Gate::Order order = gate.Get();
            if (order == Gate::Order::stop) return;
            if (order == Gate::Order::pause) {
                w.busy = true;
                const bool ok = w.client.Reconnect();
                ++w.progress;
                w.busy = false;
                if (!ok) gone = true;
                gate.Wait();
                continue;
            }
            w.busy = true;
            const bool ok = w.client.Step();
            ++w.progress;
            w.busy = false;
            if (!ok) {
                gone = true;
                return;
            }
        }
    };
    for (auto& w : workers) w->thread = std::thread(run, std::ref(*w));

    std::vector<std::pair<std::uint64_t, bench::ServerStats>> checkpoints;
    auto checkpoint = [&](const char* what) {
        gate.Set(Gate::Order::pause);
        while (!gate.AllWaiting(threads, 1000))
            if (gone) report("SERVER GONE");
        Sleep(2000);  // what the clients let go of is released
        const bench::ServerStats s = server.Stats();
        checkpoints.emplace_back(totalCalls(), s);
        PrintStats(what, s);
#ifdef LX_RANDOM_CALLS_IN_PROCESS
        // One lock per live server object, group and enumerator: the clients hold one server object each.
        std::printf("  objects alive (module locks): %ld, for %d connected clients\n", server.Locks(), threads);
#endif
    };
    const auto start = Clock::now();
    const auto randomEnd = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto nextCheckpoint = start + std::chrono::seconds(interval);
    for (;;) {
        Sleep(200);
        if (gone) report("SERVER GONE");
        const std::uint64_t calls = totalCalls();
        const auto now = Clock::now();
        if (calls >= maxCalls || now >= randomEnd) break;
        if (now >= nextCheckpoint) {
            const double s = std::chrono::duration<double>(now - start).count();
            std::printf("  %llu calls, %.0f s, %.0f calls/s\n", static_cast<unsigned long long>(calls), s,
                        static_cast<double>(calls) / s);
            checkpoint("at a checkpoint (every client reconnected)");
            gate.Set(Gate::Order::run);
            nextCheckpoint = Clock::now() + std::chrono::seconds(interval);
        }
    }
    const auto randomDone = Clock::now();
    const unsigned long long randomCalls = totalCalls();
    checkpoint("after the random calls (every client reconnected)");
    const double randomSeconds = std::chrono::duration<double>(randomDone - start).count();
    std::printf("random calls: %llu in %.1f s (%.0f calls/s) from %d threads, %llu odd HRESULTs\n", randomCalls,
                randomSeconds, randomSeconds > 0 ? static_cast<double>(randomCalls) / randomSeconds : 0.0, threads,
                [&] {
                    unsigned long long n = 0;
                    for (auto& w : workers) n += w->client.Odd();
                    return n;
                }());
    PrintHistogram("random calls", merged());
    if (!connectionsProxyOk) {
        unsigned long long n = 0;
        for (auto& w : workers) n += w->client.Uncounted();
        std::printf("IEnumConnections::Next through the system's proxy: %llu results not counted as the server's (the "
                    "probe at the start shows that proxy misreporting the count and the result)\n", n);
    }
    std::fflush(stdout);

    // ---- the churn, from the first client (the others wait) ----
    RandomClient& first = workers[0]->client;
    int churned = 0;
    const auto churnStart = Clock::now();
    const auto churnEnd = churnStart + std::chrono::seconds(900);
    workers[0]->busy = true;
    for (; churned < churn && Clock::now() < churnEnd; ++churned) {
        if (!first.Churn(churned)) report("CHURN FAILED");
        ++workers[0]->progress;
    }
    const double churnSeconds = std::chrono::duration<double>(Clock::now() - churnStart).count();
    std::printf("churn (Unadvise, RemoveGroup force while held, AddGroup): %d of %d rounds in %.1f s\n", churned, churn,
                churnSeconds);
    const bool liveAfterChurn = first.CheckLive("after the churn");
    ++workers[0]->progress;
    const bool reconnected = first.Reconnect();
    workers[0]->busy = false;
    if (!reconnected) report("SERVER GONE");
    PrintHistogram("churn and live check", merged());
    checkpoint("after the churn (every client reconnected)");

    // ---- verdict on the server's figures ----
    bool flat = true;
    if (checkpoints.size() >= 2) {
        const bench::ServerStats& a = checkpoints.front().second;
        const bench::ServerStats& b = checkpoints.back().second;
        const double growth = a.privateBytes > 0 ? (b.privateBytes - a.privateBytes) / a.privateBytes : 0;
        const long handleGrowth = static_cast<long>(b.handles) - static_cast<long>(a.handles);
        const long threadGrowth = static_cast<long>(b.threads) - static_cast<long>(a.threads);
        flat = (growth <= 0.05 || b.privateBytes - a.privateBytes <= 1024.0 * 1024) && handleGrowth <= 20 &&
               threadGrowth <= 2;
        std::printf("server figures at the quiet checkpoints (calls so far: private KB, handles, threads):\n");
        for (auto& [calls, s] : checkpoints)
            std::printf("  %10llu: %8.0f %6lu %4lu\n", static_cast<unsigned long long>(calls), s.privateBytes / 1024,
                        static_cast<unsigned long>(s.handles), static_cast<unsigned long>(s.threads));
        std::printf("memory verdict: %s (private bytes %+.0f KB = %+.1f %%, handles %+ld, threads %+ld from the first "
                    "checkpoint to the last; at the start %.0f KB, %lu handles, %lu threads)\n",
                    flat ? "flat" : "GROWTH", (b.privateBytes - a.privateBytes) / 1024, growth * 100, handleGrowth,
                    threadGrowth, before.privateBytes / 1024, static_cast<unsigned long>(before.handles),
                    static_cast<unsigned long>(before.threads));
    } else {
        std::printf("memory verdict: too short to judge (one checkpoint)\n");
    }

    // A fresh client is served correctly.
    ComPtr<IOPCServer> fresh;
    OPCSERVERSTATUS* status = nullptr;
#ifdef LX_RANDOM_CALLS_IN_PROCESS
    const HRESULT hr = ::opc::server::da::com::CreateServerObject(IID_IOPCServer, reinterpret_cast<void**>(fresh.GetAddressOf()));
#else
    const HRESULT hr = CoCreateInstance(bench::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&fresh));
#endif
    const HRESULT statusHr = SUCCEEDED(hr) ? fresh->GetStatus(&status) : hr;
    std::printf("a fresh client's GetStatus: 0x%08lx, state %d, %lu groups\n", static_cast<unsigned long>(statusHr),
                status ? static_cast<int>(status->dwServerState) : -1, status ? static_cast<unsigned long>(status->dwGroupCount) : 0);
    if (status) CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    fresh.Reset();
    bool ok = server.Stats().alive && statusHr == S_OK && liveAfterChurn && churned == churn;

    // ---- Exit from the panel while every thread keeps calling ----
#ifndef LX_RANDOM_CALLS_IN_PROCESS
    if (exitPhase) {
        Sink* shutdown = new Sink;
        gate.Set(Gate::Order::pause);
        while (!gate.AllWaiting(threads, 1000))
            if (gone) report("SERVER GONE");
        int advised = 0;
        for (auto& w : workers) {
            advised += w->client.AdviseShutdown(shutdown) ? 1 : 0;
            w->client.Exiting();
        }
        const std::uint64_t callsBefore = totalCalls();
        gate.Set(Gate::Order::run);
        Sleep(2000);
        const auto exitStart = Clock::now();
        server.PanelCommand(203);  // Stop: a panel whose node runs does not exit
        Sleep(500);
        server.PanelCommand(IDOK);  // Exit; with clients connected it asks
        HWND box = nullptr;
        for (int i = 0; i < 100 && !box; ++i, Sleep(100)) box = ExitBox(GetProcessId(server.Handle()));
        if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                              reinterpret_cast<LPARAM>(GetDlgItem(box, IDYES)));
        const auto answered = Clock::now();
        while (shutdown->shutdowns < advised && Clock::now() - answered < std::chrono::seconds(10)) Sleep(50);
        const LONG requests = shutdown->shutdowns;
        // The clients keep calling while the server tears down and closes its panel.
        while (server.PanelFrame() && Clock::now() - answered < std::chrono::seconds(20)) Sleep(100);
        const bool panelClosed = server.PanelFrame() == nullptr;
        Sleep(2000);
        gate.Set(Gate::Order::stop);
        for (auto& w : workers) w->thread.join();
        const std::uint64_t exitCalls = totalCalls() - callsBefore;
        workers[0]->busy = true;
        for (auto& w : workers) {
            w->client.ReleaseAll();
            ++workers[0]->progress;
        }
        workers[0]->busy = false;
        shutdown->Release();
        const DWORD wait = WaitForSingleObject(server.Handle(), 30000);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(server.Handle(), &code);
        const double exitSeconds = std::chrono::duration<double>(Clock::now() - exitStart).count();
        const bool exited = box && requests == advised && panelClosed && wait == WAIT_OBJECT_0 && code == 0;
        std::printf("exit with calls in flight: %s (box %s, ShutdownRequest at %ld of %d clients, panel %s, process %s "
                    "with code %lu, %.1f s after Stop; %llu calls during the exit)\n",
                    exited ? "ok" : "FAILED", box ? "answered Yes" : "NOT SHOWN", static_cast<long>(requests), advised,
                    panelClosed ? "closed" : "STILL OPEN", wait == WAIT_OBJECT_0 ? "ended" : "STILL RUNS",
                    static_cast<unsigned long>(code), exitSeconds, static_cast<unsigned long long>(exitCalls));
        PrintHistogram("calls during the exit", merged());
        ok = ok && exited;
        if (wait != WAIT_OBJECT_0) server.Close();
    } else
#endif
    {
        gate.Set(Gate::Order::stop);
        for (auto& w : workers) w->thread.join();
        for (auto& w : workers) w->client.ReleaseAll();
        server.Close();
    }
    finished = true;
    watchdog.join();
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("all calls: %llu in %.1f s; verdict: %s\n", static_cast<unsigned long long>(totalCalls()), total,
                ok && flat ? "PASS" : "FAIL");
    std::fflush(stdout);
    workers.clear();
    CoUninitialize();
    return ok ? (flat ? 0 : 5) : 3;
}
