// Narrowing numbers to integer VARIANT types: every source type into every integer type
// at the boundaries, rounding of fractions, and what is left to VariantChangeType.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "IntegerBoundaries.h"
#include "opc/common/ComMemory.h"
#include "opc/group/IntegerNarrowing.h"

using namespace opc;
using namespace lx::test;

namespace {

TEST(IntegerNarrowing, EverySourceIntoEveryIntegerTypeAtTheBoundaries) {
    int checked = 0;
    for (VARTYPE source : kNumericSources) {
        for (VARTYPE target : kIntegerTypes) {
            for (long double n : BoundaryValues()) {
                Variant src;
                if (!MakeNumber(source, n, *src)) continue;  // the source type cannot hold it
                Variant dest;
                const HRESULT hr = ChangeToInteger(*dest, *src, target);
                const std::string what = Describe(source, target, n);
                if (Holds(target, n)) {
                    ASSERT_EQ(hr, S_OK) << what;
                    ASSERT_EQ(dest.Type(), target) << what;
                    ASSERT_EQ(IntegerOf(*dest), n) << what;
                } else {
                    ASSERT_EQ(hr, DISP_E_OVERFLOW) << what;
                    ASSERT_EQ(dest.Type(), VT_EMPTY) << what;
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 1000);  // the table did not run empty
}

TEST(IntegerNarrowing, FractionsRoundHalfToEvenAndNonNumbersOverflow) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        VARTYPE source;
        double value;  // for BSTR, the value's text is given instead
        const wchar_t* text;
        VARTYPE target;
        HRESULT result;
        long double expected;
    };
    const Case cases[] = {
        {VT_R8, 2.5, nullptr, VT_I4, S_OK, 2},
        {VT_R8, 3.5, nullptr, VT_I4, S_OK, 4},
        {VT_R8, -2.5, nullptr, VT_I4, S_OK, -2},
        {VT_R8, 2.4999, nullptr, VT_I4, S_OK, 2},
        {VT_R8, 2.5001, nullptr, VT_I4, S_OK, 3},
        {VT_R8, -0.5, nullptr, VT_UI1, S_OK, 0},
        {VT_R8, -0.6, nullptr, VT_UI1, DISP_E_OVERFLOW, 0},
        {VT_R8, 254.5, nullptr, VT_UI1, S_OK, 254},
        {VT_R8, 255.5, nullptr, VT_UI1, DISP_E_OVERFLOW, 0},
        {VT_R8, 2147483647.4, nullptr, VT_I4, S_OK, 2147483647},
        {VT_R8, 2147483647.5, nullptr, VT_I4, DISP_E_OVERFLOW, 0},
        {VT_R8, -2147483648.5, nullptr, VT_I4, S_OK, -2147483648.0L},
        {VT_R8, -2147483649.5, nullptr, VT_I4, DISP_E_OVERFLOW, 0},
        {VT_R8, 1e300, nullptr, VT_UI8, DISP_E_OVERFLOW, 0},
        {VT_R4, 0.5, nullptr, VT_I2, S_OK, 0},
        {VT_R4, 1.5, nullptr, VT_I2, S_OK, 2},
        {VT_DATE, 45000.5, nullptr, VT_I4, S_OK, 45000},
        {VT_DATE, 45001.5, nullptr, VT_I4, S_OK, 45002},
        {VT_R8, nan, nullptr, VT_I4, DISP_E_OVERFLOW, 0},
        {VT_R4, static_cast<double>(std::numeric_limits<float>::quiet_NaN()), nullptr, VT_UI1, DISP_E_OVERFLOW, 0},
        {VT_R8, inf, nullptr, VT_I8, DISP_E_OVERFLOW, 0},
        {VT_R8, -inf, nullptr, VT_I2, DISP_E_OVERFLOW, 0},
        {VT_DATE, nan, nullptr, VT_I4, DISP_E_OVERFLOW, 0},
        {VT_CY, 2.5, nullptr, VT_I4, S_OK, 2},
        {VT_CY, -3.5, nullptr, VT_I4, S_OK, -4},
        {VT_CY, 2.5001, nullptr, VT_I4, S_OK, 3},
        {VT_CY, -0.4999, nullptr, VT_UI2, S_OK, 0},
        {VT_BSTR, 0, L"2.5", VT_I4, S_OK, 2},
        {VT_BSTR, 0, L"2.51", VT_I4, S_OK, 3},
        {VT_BSTR, 0, L"-7.5", VT_I1, S_OK, -8},
        {VT_BSTR, 0, L"0.0000000000000000000000000005", VT_I4, S_OK, 0},
        {VT_BSTR, 0, L"0.5000000000000000000000000001", VT_I4, S_OK, 1},
        {VT_BSTR, 0, L"18446744073709551615.5", VT_UI8, DISP_E_OVERFLOW, 0},
        {VT_BSTR, 0, L"79228162514264337593543950335", VT_UI8, DISP_E_OVERFLOW, 0},
        {VT_BSTR, 0, L"Pump 3", VT_I4, DISP_E_TYPEMISMATCH, 0},
    };
    for (const Case& c : cases) {
        Variant src;
        VARIANT& v = *src;
        V_VT(&v) = c.source;
        switch (c.source) {
        case VT_R4: V_R4(&v) = static_cast<float>(c.value); break;
        case VT_DATE: V_DATE(&v) = c.value; break;
        case VT_CY: V_CY(&v).int64 = std::llround(c.value * 10000); break;
        case VT_BSTR: V_BSTR(&v) = SysAllocString(c.text); break;
        default: V_R8(&v) = c.value; break;
        }
        Variant dest;
        const HRESULT hr = ChangeToInteger(*dest, *src, c.target);
        const std::string what = Describe(c.source, c.target, c.value) + (c.text ? " text" : "");
        EXPECT_EQ(hr, c.result) << what;
        if (hr == S_OK) {
            EXPECT_EQ(dest.Type(), c.target) << what;
            EXPECT_EQ(IntegerOf(*dest), c.expected) << what;
        } else {
            EXPECT_EQ(dest.Type(), VT_EMPTY) << what;
        }
    }
}

TEST(IntegerNarrowing, OtherSourcesAreLeftToVariantChangeType) {
    // Booleans keep OLE Automation's mapping (VARIANT_TRUE is -1); what has no number fails
    // with VariantChangeType's own error.
    Variant truth, empty, null, error;
    V_VT(truth.Get()) = VT_BOOL;
    V_BOOL(truth.Get()) = VARIANT_TRUE;
    V_VT(null.Get()) = VT_NULL;
    V_VT(error.Get()) = VT_ERROR;
    V_ERROR(error.Get()) = E_FAIL;
    for (const Variant* src : {&truth, &empty, &null, &error}) {
        for (VARTYPE target : {VT_I4, VT_I2, VT_I8}) {
            Variant ours, theirs;
            const HRESULT expected =
                VariantChangeType(theirs.Get(), const_cast<VARIANT*>(src->Get()), 0, target);
            EXPECT_EQ(ChangeToInteger(*ours, **src, target), expected) << src->Type() << " to " << target;
            EXPECT_EQ(ours.Type(), theirs.Type());
            if (SUCCEEDED(expected)) {
                EXPECT_EQ(IntegerOf(*ours), IntegerOf(*theirs));
            }
        }
    }
    Variant dest;
    EXPECT_EQ(ChangeToInteger(*dest, *truth, VT_I4), S_OK);
    EXPECT_EQ(V_I4(dest.Get()), -1);
}

} // namespace
