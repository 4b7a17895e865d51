// A group on a fake runtime for the item, I/O and subscription tests: a context with the
// fake node, the real update service on a manual clock, one group, and a recording
// IOPCDataCallback sink.
//
// Node: Plant (group 0) / Line (group 40) with
//   Temp  (ch 7, type 4): Value (2, VT_R4, writeable) = 21.5, A0 (0, VT_R4, read-only) = 1.0
//   (every channel has Lock (8) = 0, so that its value may be written)
//   Pump  (ch 8, type 1): Value (2, VT_I4, writeable) = 5, Lock (8, VT_BOOL) = 0
//   Level (ch 9, type 6): Value (2, VT_R8) = 2.25
//   Broken (ch 10, type 4): its type is later made unreadable
// Ids: "Plant.Line.Temp.Value", ...; attribute names "A<id>", 2 "Value", 8 "Lock".
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "opc/com/ComObject.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/Group.h"
#include "opc/group/UpdateService.h"
#include "runtime/AddressSpace.h"
#include "tests/support/FakeRuntime.h"
#include "tests/support/TestContext.h"

namespace lx_group_tests {

using opc::server::da::com::Group;
using Microsoft::WRL::ComPtr;

// One callback as the sink saw it.
struct Callback {
    enum Kind { DataChange, ReadComplete, WriteComplete, CancelComplete } kind;
    DWORD transaction = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<OPCHANDLE> clients;
    std::vector<double> values;  // VT_R8 conversion of each value (NaN when not convertible)
    std::vector<VARTYPE> types;
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
};

class RecordingSink final : public IOPCDataCallback {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *object = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    STDMETHODIMP OnDataChange(DWORD t, OPCHANDLE g, HRESULT q, HRESULT e, DWORD n, OPCHANDLE* c, VARIANT* v,
                              WORD* w, FILETIME*, HRESULT* r) override {
        Record(Callback::DataChange, t, g, q, e, n, c, v, w, r);
        return answer_;
    }
    STDMETHODIMP OnReadComplete(DWORD t, OPCHANDLE g, HRESULT q, HRESULT e, DWORD n, OPCHANDLE* c, VARIANT* v,
                                WORD* w, FILETIME*, HRESULT* r) override {
        Record(Callback::ReadComplete, t, g, q, e, n, c, v, w, r);
        return answer_;
    }
    STDMETHODIMP OnWriteComplete(DWORD t, OPCHANDLE g, HRESULT e, DWORD n, OPCHANDLE* c, HRESULT* r) override {
        Record(Callback::WriteComplete, t, g, S_OK, e, n, c, nullptr, nullptr, r);
        return answer_;
    }
    STDMETHODIMP OnCancelComplete(DWORD t, OPCHANDLE g) override {
        Record(Callback::CancelComplete, t, g, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr);
        return answer_;
    }

    std::vector<Callback> Calls() const {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_;
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(lock_);
        calls_.clear();
    }
    void Answer(HRESULT hr) { answer_ = hr; }

private:
    void Record(Callback::Kind kind, DWORD t, OPCHANDLE g, HRESULT q, HRESULT e, DWORD n, const OPCHANDLE* c,
                VARIANT* v, const WORD* w, const HRESULT* r) {
        Callback call{kind, t, g, q, e, {}, {}, {}, {}, {}};
        for (DWORD i = 0; i < n; ++i) {
            if (c) call.clients.push_back(c[i]);
            if (w) call.qualities.push_back(w[i]);
            if (r) call.errors.push_back(r[i]);
            if (v) {
                call.types.push_back(V_VT(&v[i]));
                VARIANT d;
                VariantInit(&d);
                call.values.push_back(SUCCEEDED(VariantChangeType(&d, &v[i], 0, VT_R8)) ? V_R8(&d) : NAN);
            }
        }
        std::lock_guard<std::mutex> hold(lock_);
        calls_.push_back(std::move(call));
    }

    std::atomic<ULONG> refs_{1};
    std::atomic<HRESULT> answer_{S_OK};
    mutable std::mutex lock_;
    std::vector<Callback> calls_;
};

// An OPCITEMDEF for an id (the string must outlive the call).
inline OPCITEMDEF Def(const wchar_t* id, OPCHANDLE client = 0, VARTYPE type = VT_EMPTY, BOOL active = TRUE) {
    OPCITEMDEF def{};
    def.szItemID = const_cast<LPWSTR>(id);
    def.bActive = active;
    def.hClient = client;
    def.vtRequestedDataType = type;
    return def;
}

// Task-memory out-arrays of one call, freed at the end of the scope.
template <class T>
struct Out {
    T* p = nullptr;
    ~Out() { CoTaskMemFree(p); }
    T** operator&() { return &p; }
    T& operator[](std::size_t i) const { return p[i]; }
    explicit operator bool() const { return p != nullptr; }
};

class GroupTest : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kRate{100};

    GroupTest() {
        opc::ServiceClock::SetManual(::UtcTime(std::chrono::hours(24 * 365 * 400)));
        fake.AddGroup(0, "Plant");
        fake.AddGroup(40, "Line", 0).Channels({7, 8, 9, 10});
        fake.AddChannel(7, 4, "Temp").Set(2, 21.5f).Set(0, 1.0f).Set(8, 0);
        fake.AddChannel(8, 1, "Pump").Set(2, 5).Set(8, 0);
        fake.AddChannel(9, 6, "Level").Set(2, 2.25).Set(8, 0);
        fake.AddChannel(10, 4, "Broken").Set(2, 3.0f).Set(8, 0);
        for (int a = 0; a < 256; ++a) fake.SetAttributeName(a, "A" + std::to_string(a));
        fake.SetAttributeName(2, "Value");
        fake.SetAttributeName(8, "Lock");
        fake.SetRunning(true);
        module.SetRuntime(&fake);
        module.SetRoot(BuildAddressSpace(fake));
        service = module.AcquireUpdateService();
        group = MakeGroup(1, 1000, true);
        Idle();
    }
    ~GroupTest() override {
        Idle();
        for (auto& g : groups) g->ForcedTeardown();
        groups.clear();
        Idle();
        service.reset();
        opc::ServiceClock::SetReal();
    }

    ComPtr<Group> MakeGroup(OPCHANDLE serverHandle, OPCHANDLE clientHandle, bool active) {
        ComPtr<Group> g = ::opc::com::MakeComObject<Group>();
        g->Initialise(service, nullptr, serverHandle, clientHandle, L"G" + std::to_wstring(serverHandle), active,
                      static_cast<DWORD>(kRate.count()), nullptr, LOCALE_USER_DEFAULT);
        groups.push_back(g);
        return g;
    }

    // Runs every job posted so far and every timer due now.
    void Idle() { ASSERT_TRUE(service->WaitIdle(std::chrono::milliseconds(10000))); }
    // Moves the manual clock one update period on and lets scans and ticks run.
    void Step(int periods = 1) {
        for (int i = 0; i < periods; ++i) {
            Idle(); // nothing may still arm against the old time
            opc::ServiceClock::Advance(kRate);
            Idle();
        }
    }

    RecordingSink* Advise(Group& g) {
        ComPtr<RecordingSink> owned;
        owned.Attach(new RecordingSink); // its one reference is ours
        sinks.push_back(owned);
        RecordingSink* sink = owned.Get();
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(g.FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
        return sink;
    }
    RecordingSink* Advise() { return Advise(*group.Get()); }

    // Adds items by id; returns their server handles (0 for failures).
    std::vector<OPCHANDLE> Add(Group& g, std::vector<OPCITEMDEF> defs, HRESULT expected = S_OK) {
        Out<OPCITEMRESULT> results;
        Out<HRESULT> errors;
        EXPECT_EQ(g.AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors), expected);
        std::vector<OPCHANDLE> handles;
        for (std::size_t i = 0; i < defs.size(); ++i) handles.push_back(results ? results[i].hServer : 0);
        return handles;
    }
    std::vector<OPCHANDLE> Add(std::vector<OPCITEMDEF> defs, HRESULT expected = S_OK) {
        return Add(*group.Get(), std::move(defs), expected);
    }
    OPCHANDLE AddOne(const wchar_t* id, OPCHANDLE client = 0, VARTYPE type = VT_EMPTY) {
        return Add({Def(id, client, type)}).at(0);
    }
    std::vector<HRESULT> Remove(std::vector<OPCHANDLE> handles) {
        Out<HRESULT> errors;
        group->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
        std::vector<HRESULT> out;
        for (std::size_t i = 0; errors && i < handles.size(); ++i) out.push_back(errors[i]);
        return out;
    }

    FakeRuntime fake;
    lx::test::TestContext module;
    std::shared_ptr<opc::UpdateService> service;
    std::vector<ComPtr<Group>> groups;
    ComPtr<Group> group;
    std::vector<ComPtr<RecordingSink>> sinks;
};

} // namespace lx_group_tests
