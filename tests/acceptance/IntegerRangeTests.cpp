// Integer attributes written and read across processes at the boundaries of their types: the server stores
// exactly the number a client sent, or nothing with DISP_E_OVERFLOW, and never delivers a wrapped number.

#include <gtest/gtest.h>

#include <opcda.h>

#include <chrono>
#include <thread>
#include <vector>

#include "AcceptanceEnvironment.h"
#include "IntegerBoundaries.h"
#include "TestCom.h"

namespace acceptance {
namespace {

using namespace lx::test;

struct Target {
    const wchar_t* id;
    VARTYPE canonical;
};

// The writable integer values of the node with one channel of each type.
const Target kTargets[] = {
    {L"Types.Type1.Value", VT_I4},
    {L"Types.Type2.Value", VT_UI2},
    {L"Types.Type3.Value", VT_UI4},
};

class IntegerRange : public AllTypesNodeSuite {
protected:
    void SetUp() override {
        AllTypesNodeSuite::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(CoCreateInstance(kOpcServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server_)), S_OK);
        OPCHANDLE group = 0;
        DWORD revised = 0;
        ASSERT_EQ(server_->AddGroup(L"range", TRUE, 200, 1, nullptr, nullptr, 0x409, &group, &revised,
                                    IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items_.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(items_.As(&io_), S_OK);
    }

    // Adds an item with that requested type; its server handle (0 on failure).
    OPCHANDLE Add(const wchar_t* id, VARTYPE requested, VARTYPE* canonical = nullptr) {
        OPCITEMDEF def{};
        def.szItemID = const_cast<LPWSTR>(id);
        def.szAccessPath = const_cast<LPWSTR>(L"");
        def.bActive = TRUE;
        def.vtRequestedDataType = requested;
        OPCITEMRESULT* result = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(items_->AddItems(1, &def, &result, &errors), S_OK) << id;
        if (!result) return 0;
        const OPCHANDLE handle = errors[0] == S_OK ? result[0].hServer : 0;
        if (canonical) *canonical = result[0].vtCanonicalDataType;
        CoTaskMemFree(result);
        CoTaskMemFree(errors);
        return handle;
    }

    HRESULT Write(OPCHANDLE handle, VARIANT& value) {
        HRESULT* errors = nullptr;
        const HRESULT hr = io_->Write(1, &handle, &value, &errors);
        if (FAILED(hr)) return hr;
        const HRESULT item = errors[0];
        CoTaskMemFree(errors);
        return item;
    }

    // Reads one item; its HRESULT, and the value into `value` (to be cleared by the caller).
    HRESULT Read(OPCDATASOURCE source, OPCHANDLE handle, VARIANT& value) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = io_->Read(source, 1, &handle, &states, &errors);
        if (FAILED(hr)) return hr;
        const HRESULT item = errors[0];
        value = states[0].vDataValue;
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return item;
    }

    ComPtr<IOPCServer> server_;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> io_;
};

TEST_F(IntegerRange, IntegerAttributesStoreExactlyTheNumberSentOrNothing) {
    const VARTYPE sources[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_INT, VT_UINT, VT_R8};
    int checked = 0;
    for (const Target& target : kTargets) {
        VARTYPE canonical = VT_EMPTY;
        const OPCHANDLE handle = Add(target.id, VT_EMPTY, &canonical);
        ASSERT_NE(handle, 0u) << target.id;
        ASSERT_EQ(canonical, target.canonical) << target.id;
        // Numbers that fit are each read back; then, from a known value, every number that does not fit is
        // refused, and the known value is still there at the end.
        for (bool fitting : {true, false}) {
            if (!fitting) {
                VARIANT seven;
                VariantInit(&seven);
                seven.vt = VT_I4;
                seven.lVal = 7;
                ASSERT_EQ(Write(handle, seven), S_OK) << target.id;
            }
            for (VARTYPE source : sources) {
                for (long double n : BoundaryValues()) {
                    if (Holds(target.canonical, n) != fitting) continue;
                    VARIANT value;
                    VariantInit(&value);
                    if (!MakeNumber(source, n, value)) continue;
                    const std::string what = Describe(source, target.canonical, n);
                    const HRESULT written = Write(handle, value);
                    VariantClear(&value);
                    ++checked;
                    if (!fitting) {
                        ASSERT_EQ(written, DISP_E_OVERFLOW) << what;
                        continue;
                    }
                    ASSERT_EQ(written, S_OK) << what;
                    VARIANT stored;
                    VariantInit(&stored);
                    ASSERT_EQ(Read(OPC_DS_DEVICE, handle, stored), S_OK) << what;
                    ASSERT_EQ(stored.vt, target.canonical) << what;
                    ASSERT_EQ(IntegerOf(stored), n) << what;
                    VariantClear(&stored);
                }
            }
        }
        VARIANT stored;
        VariantInit(&stored);
        ASSERT_EQ(Read(OPC_DS_DEVICE, handle, stored), S_OK) << target.id;
        EXPECT_EQ(IntegerOf(stored), 7) << target.id << ": a refused write changed the value";
        VariantClear(&stored);
    }
    EXPECT_GT(checked, 300);  // the table did not run empty
}

TEST_F(IntegerRange, ValuesBeyondTheRequestedTypeAreNotDeliveredWrapped) {
    // A VT_UI4 value above 2^31 - 1, read as VT_I4 (too narrow) and as VT_I8 (wide enough).
    const OPCHANDLE own = Add(L"Types.Type3.Value", VT_EMPTY);
    const OPCHANDLE narrow = Add(L"Types.Type3.Value", VT_I4);
    const OPCHANDLE wide = Add(L"Types.Type3.Value", VT_I8);
    ASSERT_TRUE(own && narrow && wide);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = 3000000000u;
    ASSERT_EQ(Write(own, value), S_OK);

    for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
        // The cache shows a write after the next scan of the node.
        VARIANT read;
        VariantInit(&read);
        HRESULT hr = E_FAIL;
        for (int attempt = 0; attempt < 50; ++attempt) {
            hr = Read(source, wide, read);
            if (hr == S_OK && read.vt == VT_I8 && read.llVal == 3000000000LL) break;
            VariantClear(&read);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(hr, S_OK) << source;
        EXPECT_EQ(read.vt, VT_I8) << source;
        EXPECT_EQ(read.llVal, 3000000000LL) << source;
        VariantClear(&read);
        EXPECT_EQ(Read(source, narrow, read), DISP_E_OVERFLOW) << source;
        EXPECT_EQ(read.vt, VT_EMPTY) << source;
        VariantClear(&read);
        EXPECT_EQ(Read(source, own, read), S_OK) << source;
        EXPECT_EQ(read.vt, VT_UI4) << source;
        EXPECT_EQ(read.ulVal, 3000000000u) << source;
        VariantClear(&read);
    }
}

}  // namespace
}  // namespace acceptance
