// Fixtures and recording sinks for the in-process tests of the server and group objects.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeRuntime.h"
#include "TestContext.h"
#include "opc/com/ComObject.h"
#include "opc/group/Group.h"
#include "opc/group/UpdateService.h"
#include "opc/server/Server.h"
#include "opc/server/ServerFactory.h"
#include "opccomn.h"
#include "opcda.h"

namespace opc::test {

using ::opc::com::ComPtr;
using ::opc::server::da::com::Group;
using ::opc::server::da::com::Server;

// One recorded OnDataChange.
struct DataChange {
    DWORD transaction = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<OPCHANDLE> items;
    std::vector<double> values;  // each value converted to VT_R8 (NaN if it cannot be)
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
};

// A client's sink for both callbacks; answers with `answer`.
class RecordingSink : public IOPCDataCallback, public IOPCShutdown, public ::opc::com::ComObjectRoot {
public:
    LX_COM_UNKNOWN
    void* FindInterface(REFIID riid) noexcept {
        return ::opc::com::InterfaceList<IOPCDataCallback, IOPCShutdown>::Find(this, riid);
    }

    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME*, HRESULT* pErrors) override {
        Hook();
        DataChange change{dwTransid, hGroup, hrMasterquality, hrMastererror, {}, {}, {}, {}};
        for (DWORD i = 0; i < dwCount; ++i) {
            change.items.push_back(phClientItems[i]);
            VARIANT r8;
            VariantInit(&r8);
            change.values.push_back(SUCCEEDED(VariantChangeType(&r8, &pvValues[i], 0, VT_R8)) ? r8.dblVal
                                                                                              : std::nan(""));
            change.qualities.push_back(pwQualities[i]);
            change.errors.push_back(pErrors[i]);
        }
        std::lock_guard<std::mutex> hold(lock_);
        changes_.push_back(std::move(change));
        return answer_;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        Hook();
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        Hook();
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override {
        Hook();
        return S_OK;
    }
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        std::lock_guard<std::mutex> hold(lock_);
        shutdownReasons_.push_back(szReason ? std::wstring(szReason) : std::wstring(L"<null>"));
        return answer_;
    }

    // Runs at the start of every IOPCDataCallback call (in the calling thread).
    void SetHook(std::function<void()> hook) {
        std::lock_guard<std::mutex> hold(lock_);
        hook_ = std::move(hook);
    }
    void Answer(HRESULT hr) {
        std::lock_guard<std::mutex> hold(lock_);
        answer_ = hr;
    }
    std::vector<DataChange> Changes() {
        std::lock_guard<std::mutex> hold(lock_);
        return changes_;
    }
    std::vector<std::wstring> ShutdownReasons() {
        std::lock_guard<std::mutex> hold(lock_);
        return shutdownReasons_;
    }

private:
    void Hook() {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> hold(lock_);
            hook = hook_;
        }
        if (hook) hook();
    }

    std::mutex lock_;
    std::function<void()> hook_;
    HRESULT answer_ = S_OK;
    std::vector<DataChange> changes_;
    std::vector<std::wstring> shutdownReasons_;
};

// An object that is no sink of either kind.
class PlainObject : public IUnknown, public ::opc::com::ComObjectRoot {
public:
    LX_COM_UNKNOWN
    void* FindInterface(REFIID riid) noexcept { return ::opc::com::InterfaceList<IUnknown>::Find(this, riid); }
};

// IOPCGroupStateMgt::GetState with every out-parameter given; the group's name into
// `name` when asked for.
inline HRESULT GroupState(IOPCGroupStateMgt* group, std::wstring* name = nullptr) {
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR text = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE client = 0, server = 0;
    const HRESULT hr = group->GetState(&rate, &active, &text, &bias, &deadband, &lcid, &client, &server);
    if (name) *name = text ? text : L"";
    CoTaskMemFree(text);
    return hr;
}

inline ComPtr<RecordingSink> MakeSink() { return ::opc::com::MakeComObject<RecordingSink>(); }

// The strings of one IEnumString::Next call for n elements that must return expected.
inline std::vector<std::wstring> Take(IEnumString* e, ULONG n, HRESULT expected) {
    std::vector<LPOLESTR> out(n, nullptr);
    ULONG fetched = 99;
    EXPECT_EQ(e->Next(n, out.data(), &fetched), expected);
    std::vector<std::wstring> strings;
    for (ULONG i = 0; i < fetched; ++i) {
        strings.emplace_back(out[i]);
        CoTaskMemFree(out[i]);
    }
    return strings;
}

// The argument checks of every enumerator's Next, Skip and Clone; nothing moves.
inline void ExpectEnumeratorArgumentChecks(IEnumString* e) {
    LPOLESTR one = nullptr;
    ULONG fetched = 5;
    EXPECT_EQ(e->Next(0, &one, &fetched), E_INVALIDARG);
    EXPECT_EQ(fetched, 0u);
    LPOLESTR two[2];
    EXPECT_EQ(e->Next(2, two, nullptr), E_POINTER);
    EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(e->Skip(0), E_INVALIDARG);
    EXPECT_EQ(e->Clone(nullptr), E_POINTER);
}

// A process context with a fake runtime, and the service clock frozen at a fixed time.
class ModuleFixture : public ::testing::Test {
protected:
    static constexpr UtcTime kStart = UtcTime(std::chrono::microseconds(1'767'225'600'000'000LL)); // 2026-01-01

    void SetUp() override {
        ::opc::ServiceClock::SetManual(kStart);
        fake.SetRunning(true);
        fake.SetParameter(NRK_PARAM_SCAN_PERIOD, 100);
        module = std::make_unique<lx::test::TestContext>();
        module->SetRuntime(&fake);
    }
    void TearDown() override {
        if (module) module->SetShuttingDown(false);
        module.reset();
        ::opc::ServiceClock::SetReal();
    }

    ComPtr<IOPCServer> NewServer() {
        ComPtr<IOPCServer> server;
        EXPECT_EQ(::opc::server::da::com::CreateServerObject(IID_IOPCServer,
                                                             reinterpret_cast<void**>(server.GetAddressOf())),
                  S_OK);
        return server;
    }

    // Adds a group and returns its IOPCGroupStateMgt (null on failure).
    ComPtr<IOPCGroupStateMgt> AddGroup(IOPCServer* server, LPCWSTR name, DWORD rateMs = 1000, BOOL active = TRUE,
                                       OPCHANDLE clientHandle = 77, OPCHANDLE* serverHandle = nullptr) {
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ComPtr<IOPCGroupStateMgt> group;
        HRESULT hr = server->AddGroup(name, active, rateMs, clientHandle, nullptr, nullptr, 0x409, &handle, &revised,
                                      IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(group.GetAddressOf()));
        EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
        if (serverHandle) *serverHandle = handle;
        return group;
    }

    static Group& AsGroup(IOPCGroupStateMgt* group) { return *static_cast<Group*>(group); }

    std::shared_ptr<::opc::UpdateService> Service() { return module->AcquireUpdateService(); }

    // Moves the frozen clock in steps and lets the worker catch up after each.
    void Step(std::chrono::milliseconds by, int times = 1) {
        auto service = Service();
        for (int i = 0; i < times; ++i) {
            ASSERT_TRUE(service->WaitIdle()); // nothing may still arm against the old time
            ::opc::ServiceClock::Advance(by);
            ASSERT_TRUE(service->WaitIdle());
        }
    }

    FakeRuntime fake;
    std::unique_ptr<lx::test::TestContext> module;
};

} // namespace opc::test
