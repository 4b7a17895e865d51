// Reading attributes into VARIANTs, delivering item values, times, and writing values.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "FakeRuntime.h"
#include "IntegerBoundaries.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/ValueConversion.h"

using namespace opc;
using namespace lx::test;
using namespace std::chrono;

namespace {

constexpr int kCh = 7;

UtcTime At(int year, int month, int day, int hour, int minute, int second, int micro = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    const std::int64_t ticks = (static_cast<std::int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return UtcTime(microseconds(ticks / 10 - 11644473600000000LL + micro));
}

DATE DateOf(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    DATE d = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &d));
    return d;
}

std::uint64_t Ticks(FILETIME ft) { return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

std::int64_t Seconds(UtcTime t) { return duration_cast<seconds>(t.time_since_epoch()).count(); }

UtcTime NowUtc() { return time_point_cast<microseconds>(system_clock::now()); }

// --- Read attribute -------------------------------------------------------------------

struct ReadCase {
    const char* what;
    VARTYPE canonical;
    FakeRuntime::Value stored;
    const char* getter;
    std::function<void(const VARIANT&)> check;
};

TEST(ReadAttribute, EachCanonicalTypeUsesItsGetterAndKeepsItsType) {
    const ReadCase cases[] = {
        {"I4", VT_I4, -7, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_I4(&v), -7); }},
        {"I2 keeps the low 16 bits", VT_I2, 70000, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_I2(&v), 4464); }},
        {"I1 keeps the low 8 bits", VT_I1, 200, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_I1(&v), -56); }},
        {"UI1 keeps the low 8 bits", VT_UI1, 0x1FF, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_UI1(&v), 0xFF); }},
        {"UI2 of -1", VT_UI2, -1, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_UI2(&v), 0xFFFF); }},
        {"UI4 of -1", VT_UI4, -1, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_UI4(&v), 0xFFFFFFFFu); }},
        {"I8 sign-extended", VT_I8, -5, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_I8(&v), -5); }},
        {"UI8 sign-extended", VT_UI8, -1, "GetChannelInt",
         [](const VARIANT& v) { EXPECT_EQ(V_UI8(&v), 0xFFFFFFFFFFFFFFFFull); }},
        {"BOOL of 5", VT_BOOL, 5, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_BOOL(&v), VARIANT_TRUE); }},
        {"BOOL of 0", VT_BOOL, 0, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_BOOL(&v), VARIANT_FALSE); }},
        {"R4", VT_R4, 21.5f, "GetChannelFloat", [](const VARIANT& v) { EXPECT_EQ(V_R4(&v), 21.5f); }},
        {"R8", VT_R8, 2.25, "GetChannelDouble", [](const VARIANT& v) { EXPECT_EQ(V_R8(&v), 2.25); }},
        {"DATE of 0", VT_DATE, 0, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_DATE(&v), 25569.0); }},
        {"DATE of a day and a half", VT_DATE, 129600, "GetChannelInt",
         [](const VARIANT& v) { EXPECT_EQ(V_DATE(&v), 25570.5); }},
        {"BSTR", VT_BSTR, std::string("Temp"), "GetChannelString",
         [](const VARIANT& v) { EXPECT_STREQ(V_BSTR(&v), L"Temp"); }},
    };
    for (const ReadCase& c : cases) {
        FakeRuntime fake;
        fake.SetRunning(true);
        std::visit([&](const auto& value) { fake.Channel(kCh).Set(3, value); }, c.stored);
        const AttributeReading r = ReadAttribute(fake, kCh, 3, c.canonical);
        ASSERT_EQ(r.status, ReadStatus::Value) << c.what;
        EXPECT_EQ(r.value.Type(), c.canonical) << c.what;
        EXPECT_EQ(r.quality, kQualityGood) << c.what;
        EXPECT_EQ(fake.Calls(c.getter, kCh, 3), 1) << c.what;
        c.check(*r.value);
    }
}

TEST(ReadAttribute, QualityFollowsTheNodeAndFailuresLeaveNoValue) {
    FakeRuntime fake;
    fake.Channel(kCh).Set(2, 21.5f).Set(3, 1);
    AttributeReading r = ReadAttribute(fake, kCh, 2, VT_R4);
    EXPECT_EQ(r.status, ReadStatus::Value);
    EXPECT_EQ(r.quality, kQualityOutOfService);  // node not running

    r = ReadAttribute(fake, kCh, 9, VT_R4);  // nothing stored: the getter fails
    EXPECT_EQ(r.status, ReadStatus::NoValue);
    EXPECT_EQ(r.value.Type(), VT_EMPTY);

    for (VARTYPE unread : {VT_CY, VT_EMPTY, VT_LPWSTR, VT_ERROR}) {
        fake.ResetCalls();
        r = ReadAttribute(fake, kCh, 3, unread);
        EXPECT_EQ(r.status, ReadStatus::NoValue) << unread;
        EXPECT_EQ(fake.Calls("GetChannelInt") + fake.Calls("GetChannelString") + fake.Calls("GetChannelFloat") +
                      fake.Calls("GetChannelDouble"),
                  0);
    }

    fake.Throw("GetChannelFloat", kCh, 2);
    r = ReadAttribute(fake, kCh, 2, VT_R4);
    EXPECT_EQ(r.status, ReadStatus::Raised);
    EXPECT_EQ(r.quality, kQualityBad);
    EXPECT_EQ(r.value.Type(), VT_EMPTY);
}

TEST(ReadAttribute, ValuesDifferUnlessBothNullOrVarCmpEqual) {
    Variant a, b;
    V_VT(a.Get()) = VT_NULL;
    V_VT(b.Get()) = VT_NULL;
    EXPECT_FALSE(ValuesDiffer(*a, *b));
    V_VT(a.Get()) = VT_I4;
    V_I4(a.Get()) = 5;
    EXPECT_TRUE(ValuesDiffer(*a, *b));
    V_VT(b.Get()) = VT_I4;
    V_I4(b.Get()) = 5;
    EXPECT_FALSE(ValuesDiffer(*a, *b));
    V_I4(b.Get()) = 6;
    EXPECT_TRUE(ValuesDiffer(*a, *b));
    Variant s1, s2;
    V_VT(s1.Get()) = VT_BSTR;
    V_BSTR(s1.Get()) = SysAllocString(L"Temp");
    V_VT(s2.Get()) = VT_BSTR;
    V_BSTR(s2.Get()) = SysAllocString(L"Temp");
    EXPECT_FALSE(ValuesDiffer(*s1, *s2));
}

TEST(ReadAttribute, NaNIsOneValueToChangeDetection) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto r8 = [](double x) {
        Variant v;
        V_VT(v.Get()) = VT_R8;
        V_R8(v.Get()) = x;
        return v;
    };
    auto r4 = [](double x) {
        Variant v;
        V_VT(v.Get()) = VT_R4;
        V_R4(v.Get()) = static_cast<float>(x);
        return v;
    };
    struct Case {
        const char* what;
        Variant a, b;
        bool differ;
    };
    Case cases[] = {
        {"R8 NaN and NaN", r8(nan), r8(-nan), false},
        {"R4 NaN and NaN", r4(nan), r4(nan), false},
        {"NaN and a number", r8(nan), r8(1.0), true},
        {"a number and NaN", r4(0.0), r4(nan), true},
        {"NaN of R4 and of R8", r4(nan), r8(nan), true},
        {"infinity and infinity", r8(inf), r8(inf), false},
        {"infinity and -infinity", r8(inf), r8(-inf), true},
        {"0 and -0", r8(0.0), r8(-0.0), false},
    };
    for (const Case& c : cases) EXPECT_EQ(ValuesDiffer(*c.a, *c.b), c.differ) << c.what;
}

// --- Deliver item value ---------------------------------------------------------------

struct Cache {
    Cache(VARTYPE vt) { V_VT(value.Get()) = vt; }
    CachedValueView View() const { return CachedValueView{*value, quality, changed}; }
    Variant value;
    WORD quality = kQualityGood;
    UtcTime changed = At(2024, 3, 1, 8, 0, 0, 250999);
};

TEST(DeliverItemValue, IntegerAttributeAsR8FromCacheAndDevice) {
    FakeRuntime fake;
    fake.SetRunning(true);
    fake.Channel(kCh).Set(2, 12);
    Cache cache(VT_I2);
    V_I2(cache.value.Get()) = 12;

    DeliveredValue d = DeliverItemValue(fake, kCh, 2, VT_I2, VT_R8, kSourceCache, cache.View());
    EXPECT_EQ(d.result, S_OK);
    EXPECT_EQ(d.value.Type(), VT_R8);
    EXPECT_EQ(V_R8(d.value.Get()), 12.0);
    EXPECT_EQ(d.quality, kQualityGood);
    EXPECT_EQ(Ticks(d.timestamp), Ticks(ToFileTime(cache.changed)));
    EXPECT_EQ(fake.Calls("GetChannelInt"), 0);

    // From the device the getter follows the requested type; the runtime converts.
    d = DeliverItemValue(fake, kCh, 2, VT_I2, VT_R8, kSourceDevice, cache.View());
    EXPECT_EQ(d.result, S_OK);
    EXPECT_EQ(V_R8(d.value.Get()), 12.0);
    EXPECT_EQ(d.quality, kQualityGood);
    EXPECT_EQ(fake.Calls("GetChannelDouble", kCh, 2), 1);
    d = DeliverItemValue(fake, kCh, 2, VT_I2, VT_UI4, kSourceDevice, cache.View());
    EXPECT_EQ(V_UI4(d.value.Get()), 12u);
    EXPECT_EQ(fake.Calls("GetChannelInt", kCh, 2), 1);
}

TEST(DeliverItemValue, BooleanFiveAsI4IsMinusOneFromCacheAndFiveFromDevice) {
    FakeRuntime fake;
    fake.SetRunning(true);
    fake.Channel(kCh).Set(40, 5);
    Cache cache(VT_BOOL);
    const AttributeReading r = ReadAttribute(fake, kCh, 40, VT_BOOL);
    ASSERT_EQ(V_BOOL(r.value.Get()), VARIANT_TRUE);
    VariantCopy(cache.value.Get(), const_cast<VARIANT*>(r.value.Get()));

    DeliveredValue d = DeliverItemValue(fake, kCh, 40, VT_BOOL, VT_I4, kSourceCache, cache.View());
    EXPECT_EQ(d.result, S_OK);
    EXPECT_EQ(V_I4(d.value.Get()), -1);
    d = DeliverItemValue(fake, kCh, 40, VT_BOOL, VT_I4, kSourceDevice, cache.View());
    EXPECT_EQ(d.result, S_OK);
    EXPECT_EQ(d.value.Type(), VT_I4);
    EXPECT_EQ(V_I4(d.value.Get()), 5);
}

TEST(DeliverItemValue, TextOfAnotherTypeComesFromTheDeviceWithTheTimeOfNow) {
    FakeRuntime fake;
    fake.SetRunning(true);
    fake.Channel(kCh).Set(2, 21.5f);
    Cache cache(VT_R4);
    V_R4(cache.value.Get()) = 20.0f;
    const UtcTime before = NowUtc();
    const DeliveredValue d = DeliverItemValue(fake, kCh, 2, VT_R4, VT_BSTR, kSourceCache, cache.View());
    const UtcTime after = NowUtc();
    EXPECT_EQ(d.result, S_OK);
    ASSERT_EQ(d.value.Type(), VT_BSTR);
    EXPECT_STREQ(V_BSTR(d.value.Get()), L"21.5");
    EXPECT_EQ(fake.Calls("GetChannelString", kCh, 2), 1);
    EXPECT_GE(Ticks(d.timestamp), Ticks(ToFileTime(before)));
    EXPECT_LE(Ticks(d.timestamp), Ticks(ToFileTime(after)));

    EXPECT_FALSE(ServedFromDevice(kSourceCache, VT_BSTR, VT_BSTR));  // the canonical type stays cached
    EXPECT_TRUE(ServedFromDevice(kSourceCache, VT_BSTR, VT_I4));
    EXPECT_FALSE(ServedFromDevice(kSourceCache, VT_R8, VT_I4));
    EXPECT_TRUE(ServedFromDevice(0, VT_I4, VT_I4));
    EXPECT_TRUE(ServedFromDevice(kSourceDevice, VT_I4, VT_I4));
}

TEST(DeliverItemValue, DeviceReadsByRequestedType) {
    struct Case {
        const char* what;
        VARTYPE requested;
        FakeRuntime::Value stored;
        HRESULT result;
        const char* getter;  // nullptr: none
        std::function<void(const VARIANT&)> check;
    };
    const Case cases[] = {
        {"I4", VT_I4, 300, S_OK, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_I4(&v), 300); }},
        {"UI2", VT_UI2, 300, S_OK, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_UI2(&v), 300); }},
        {"UI1 overflow", VT_UI1, 300, DISP_E_OVERFLOW, "GetChannelInt", nullptr},
        {"I8", VT_I8, -3, S_OK, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_I8(&v), -3); }},
        {"R4", VT_R4, 1.5f, S_OK, "GetChannelFloat", [](const VARIANT& v) { EXPECT_EQ(V_R4(&v), 1.5f); }},
        {"R8", VT_R8, 0.125, S_OK, "GetChannelDouble", [](const VARIANT& v) { EXPECT_EQ(V_R8(&v), 0.125); }},
        {"DATE", VT_DATE, 86400, S_OK, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_DATE(&v), 25570.0); }},
        {"BOOL", VT_BOOL, -2, S_OK, "GetChannelInt", [](const VARIANT& v) { EXPECT_EQ(V_BOOL(&v), VARIANT_TRUE); }},
        {"BSTR", VT_BSTR, std::string("on"), S_OK, "GetChannelString",
         [](const VARIANT& v) { EXPECT_STREQ(V_BSTR(&v), L"on"); }},
        {"LPWSTR", VT_LPWSTR, 1, OPC_E_BADTYPE, nullptr, nullptr},
        {"LPSTR", VT_LPSTR, 1, OPC_E_BADTYPE, nullptr, nullptr},
        {"CY", VT_CY, 1, OPC_E_BADTYPE, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        FakeRuntime fake;
        std::visit([&](const auto& value) { fake.Channel(kCh).Set(2, value); }, c.stored);
        const DeliveredValue d = DeliverFromDevice(fake, kCh, 2, c.requested, VT_I4);
        EXPECT_EQ(d.result, c.result) << c.what;
        EXPECT_EQ(d.quality, kQualityOutOfService) << c.what;  // the node is not running
        EXPECT_NE(Ticks(d.timestamp), 0u) << c.what;
        if (c.getter) {
            EXPECT_EQ(fake.Calls(c.getter, kCh, 2), 1) << c.what;
        }
        if (SUCCEEDED(c.result)) {
            EXPECT_EQ(d.value.Type(), c.requested) << c.what;
            c.check(*d.value);
        } else {
            EXPECT_EQ(d.value.Type(), VT_EMPTY) << c.what;
        }
    }
}

TEST(DeliverItemValue, DeviceFailures) {
    FakeRuntime fake;
    fake.SetRunning(true);
    DeliveredValue d = DeliverFromDevice(fake, kCh, 2, VT_R4, VT_R4);  // nothing to read
    EXPECT_EQ(d.result, E_FAIL);
    EXPECT_EQ(d.quality, kQualityGood);
    EXPECT_EQ(d.value.Type(), VT_EMPTY);

    fake.Channel(kCh).Set(2, 1);
    fake.Throw("GetChannelInt", kCh, 2);
    d = DeliverFromDevice(fake, kCh, 2, VT_I4, VT_I4);
    EXPECT_EQ(d.result, E_FAIL);
    EXPECT_EQ(d.value.Type(), VT_EMPTY);
}

TEST(DeliverItemValue, CacheConversionsReportTheirOwnResult) {
    FakeRuntime fake;
    Cache text(VT_BSTR);
    V_BSTR(text.value.Get()) = SysAllocString(L"Line 1");
    text.quality = kQualityOutOfService;

    DeliveredValue d = DeliverFromCache(text.View(), VT_BSTR, VT_BSTR);  // a copy of its own
    EXPECT_EQ(d.result, S_OK);
    EXPECT_STREQ(V_BSTR(d.value.Get()), L"Line 1");
    EXPECT_NE(V_BSTR(d.value.Get()), V_BSTR(text.value.Get()));
    EXPECT_EQ(d.quality, kQualityOutOfService);

    Cache number(VT_R4);
    V_R4(number.value.Get()) = 1.0f;
    Variant expected;
    const HRESULT lpwstr = VariantChangeType(expected.Get(), number.value.Get(), 0, VT_LPWSTR);
    ASSERT_TRUE(FAILED(lpwstr));
    d = DeliverItemValue(fake, kCh, 2, VT_R4, VT_LPWSTR, kSourceCache, number.View());
    EXPECT_EQ(d.result, lpwstr);
    EXPECT_EQ(d.value.Type(), VT_EMPTY);
    EXPECT_EQ(d.quality, kQualityGood);
    EXPECT_EQ(Ticks(d.timestamp), Ticks(ToFileTime(number.changed)));
    EXPECT_EQ(fake.Calls("GetChannelFloat") + fake.Calls("GetChannelString"), 0);

    Cache big(VT_R8);
    V_R8(big.value.Get()) = 1e6;
    d = DeliverFromCache(big.View(), VT_I2, VT_R8);
    EXPECT_EQ(d.result, DISP_E_OVERFLOW);
    EXPECT_EQ(d.value.Type(), VT_EMPTY);

    Cache never(VT_EMPTY);  // never read: whatever the caller keeps as its time is reported
    never.quality = kQualityNeverRead;
    never.changed = UtcTime::max();
    d = DeliverFromCache(never.View(), VT_R4, VT_R4);
    EXPECT_EQ(d.quality, kQualityNeverRead);
    EXPECT_LE(Ticks(d.timestamp), static_cast<std::uint64_t>(LLONG_MAX));
}

// A good integer delivery of the requested type holding `expected`, or a failed one with no value.
void ExpectDelivered(const DeliveredValue& d, HRESULT result, VARTYPE requested, long double expected,
                     const char* what) {
    EXPECT_EQ(d.result, result) << what;
    EXPECT_EQ(d.quality, kQualityGood) << what;
    if (result == S_OK) {
        EXPECT_EQ(d.value.Type(), requested) << what;
        EXPECT_EQ(IntegerOf(*d.value), expected) << what;
    } else {
        EXPECT_EQ(d.value.Type(), VT_EMPTY) << what;
    }
}

TEST(DeliverItemValue, IntegersAreNeverDeliveredWrapped) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        VARTYPE canonical;
        std::function<void(VARIANT&)> cached;
        VARTYPE requested;
        HRESULT result;
        long double expected;
    };
    const Case cases[] = {
        {"UI4 above 2^31 as I4", VT_UI4, [](VARIANT& v) { V_UI4(&v) = 3000000000u; }, VT_I4, DISP_E_OVERFLOW, 0},
        {"UI4 above 2^31 as INT", VT_UI4, [](VARIANT& v) { V_UI4(&v) = 0xFFFFFFFFu; }, VT_INT, DISP_E_OVERFLOW, 0},
        {"UI4 above 2^31 as I8", VT_UI4, [](VARIANT& v) { V_UI4(&v) = 3000000000u; }, VT_I8, S_OK, 3000000000.0L},
        {"I4 -1 as UI4", VT_I4, [](VARIANT& v) { V_I4(&v) = -1; }, VT_UI4, DISP_E_OVERFLOW, 0},
        {"I4 -1 as UI8", VT_I4, [](VARIANT& v) { V_I4(&v) = -1; }, VT_UI8, DISP_E_OVERFLOW, 0},
        {"I4 70000 as UI2", VT_I4, [](VARIANT& v) { V_I4(&v) = 70000; }, VT_UI2, DISP_E_OVERFLOW, 0},
        {"I4 65535 as UI2", VT_I4, [](VARIANT& v) { V_I4(&v) = 65535; }, VT_UI2, S_OK, 65535},
        {"I2 -129 as I1", VT_I2, [](VARIANT& v) { V_I2(&v) = -129; }, VT_I1, DISP_E_OVERFLOW, 0},
        {"R8 2^31 as I4", VT_R8, [](VARIANT& v) { V_R8(&v) = 2147483648.0; }, VT_I4, DISP_E_OVERFLOW, 0},
        {"R8 2.5 as I4", VT_R8, [](VARIANT& v) { V_R8(&v) = 2.5; }, VT_I4, S_OK, 2},
        {"R4 NaN as I4", VT_R4, [nan](VARIANT& v) { V_R4(&v) = static_cast<float>(nan); }, VT_I4, DISP_E_OVERFLOW, 0},
        {"R8 NaN as UI1", VT_R8, [nan](VARIANT& v) { V_R8(&v) = nan; }, VT_UI1, DISP_E_OVERFLOW, 0},
    };
    for (const Case& c : cases) {
        Cache cache(c.canonical);
        c.cached(*cache.value);
        ExpectDelivered(DeliverFromCache(cache.View(), c.requested, c.canonical), c.result, c.requested, c.expected,
                        c.what);
    }
}

TEST(DeliverItemValue, DeviceIntegersAreTakenAsTheAttributesOwnType) {
    // The runtime hands a VT_UI4 value above 2^31 - 1 out as a negative integer.
    struct Case {
        const char* what;
        VARTYPE canonical;
        int stored;
        VARTYPE requested;
        HRESULT result;
        long double expected;
    };
    const Case cases[] = {
        {"UI4 3000000000 as UI4", VT_UI4, -1294967296, VT_UI4, S_OK, 3000000000.0L},
        {"UI4 3000000000 as I8", VT_UI4, -1294967296, VT_I8, S_OK, 3000000000.0L},
        {"UI4 3000000000 as I4", VT_UI4, -1294967296, VT_I4, DISP_E_OVERFLOW, 0},
        {"UI4 2^32-1 as UI8", VT_UI4, -1, VT_UI8, S_OK, 4294967295.0L},
        {"UI4 2^31-1 as I4", VT_UI4, INT_MAX, VT_I4, S_OK, 2147483647},
        {"I4 -1 as UI4", VT_I4, -1, VT_UI4, DISP_E_OVERFLOW, 0},
        {"I4 -1 as UINT", VT_I4, -1, VT_UINT, DISP_E_OVERFLOW, 0},
        {"I4 -1 as I8", VT_I4, -1, VT_I8, S_OK, -1},
        {"I4 INT_MIN as I4", VT_I4, INT_MIN, VT_I4, S_OK, -2147483648.0L},
        {"UI2 65535 as I2", VT_UI2, 65535, VT_I2, DISP_E_OVERFLOW, 0},
        {"BOOL 5 as I1", VT_BOOL, 5, VT_I1, S_OK, 5},
    };
    for (const Case& c : cases) {
        FakeRuntime fake;
        fake.SetRunning(true);
        fake.Channel(kCh).Set(2, c.stored);
        ExpectDelivered(DeliverFromDevice(fake, kCh, 2, c.requested, c.canonical), c.result, c.requested, c.expected,
                        c.what);
        EXPECT_EQ(fake.Calls("GetChannelInt", kCh, 2), 1) << c.what;
    }
}

// --- Times ------------------------------------------------------------------------------

TEST(Times, FileTimeCarriesWholeMilliseconds) {
    const FILETIME ft = ToFileTime(At(2024, 6, 30, 12, 0, 0, 123456));
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wHour, 12);
    EXPECT_EQ(st.wSecond, 0);
    EXPECT_EQ(st.wMilliseconds, 123);
    EXPECT_EQ(Ticks(ft) % 10000, 0u);
    EXPECT_EQ(Ticks(ft), Ticks(ToFileTime(At(2024, 6, 30, 12, 0, 0, 123000))));

    // Before 1970 the millisecond is the one the time lies in, not the next one up.
    EXPECT_EQ(Ticks(ToFileTime(UtcTime(microseconds(-500)))), Ticks(ToFileTime(UtcTime(microseconds(-1000)))));
    EXPECT_EQ(Ticks(ToFileTime(UtcTime(microseconds(0)))), 11644473600000ull * 10000);
    EXPECT_EQ(Ticks(ToFileTime(At(1601, 1, 1, 0, 0, 0))), 0u);
    EXPECT_EQ(Ticks(ToFileTime(UtcTime::min())), 0u);
    EXPECT_EQ(Ticks(ToFileTime(UtcTime::max())) % 10000, 0u);

    const UtcTime t = At(2031, 1, 2, 3, 4, 5, 678000);
    EXPECT_EQ(FromFileTime(ToFileTime(t)), t);
}

TEST(Times, TimeTToDateMatchesTheSystemsDates) {
    struct Case {
        std::int64_t seconds;
        DATE date;
    };
    const Case cases[] = {
        {0, DateOf(1970, 1, 1)},
        {1700000000, DateOf(2023, 11, 14, 22, 13, 20)},
        {-31536000, DateOf(1969, 1, 1)},
        {-1, DateOf(1969, 12, 31, 23, 59, 59)},
        {INT_MIN, DateOf(1901, 12, 13, 20, 45, 52)},
        {INT_MAX, DateOf(2038, 1, 19, 3, 14, 7)},
        {-2209161600 - 86400 + 21600, DateOf(1899, 12, 29, 6, 0, 0)},  // before the DATE epoch
    };
    for (const Case& c : cases) EXPECT_NEAR(TimeTToDate(c.seconds), c.date, 1e-9) << c.seconds;
}

TEST(Times, DateToTimeTGivesWholeSecondsAndRefusesWhatItCannotHold) {
    // Whole seconds all through a day come back exactly, despite DATE's binary fractions.
    const std::int64_t midnight = Seconds(At(2024, 1, 1, 0, 0, 0));
    for (int s = 0; s < 86400; s += 7) {
        const DATE d = DateOf(2024, 1, 1, s / 3600, (s / 60) % 60, s % 60);
        ASSERT_EQ(DateToTimeT(d), midnight + s) << s;
    }
    EXPECT_EQ(DateToTimeT(DateOf(1970, 1, 1)), 0);
    EXPECT_EQ(DateToTimeT(DateOf(1970, 1, 1) + 0.9994 / 86400), 0);  // truncated to the second

    struct Case {
        DATE date;
        std::string failure;
    };
    const Case cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), "time_t unable to handle not-a-date-time value"},
        {-std::numeric_limits<double>::infinity(), "time_t unable to handle -infinity date value"},
        {std::numeric_limits<double>::infinity(), "time_t unable to handle +infinity date value"},
        {DateOf(1969, 12, 31), "time_t unable to handle +infinity date value before 1/1/1970"},
        {DateOf(1969, 12, 31, 23, 59, 59), "time_t unable to handle +infinity date value before 1/1/1970"},
        {-1.5, "time_t unable to handle +infinity date value before 1/1/1970"},
        {1e300, "time_t unable to handle +infinity date value"},
    };
    for (const Case& c : cases) {
        std::string what = "no failure";
        try {
            DateToTimeT(c.date);
        } catch (const std::out_of_range& e) {
            what = e.what();
        }
        EXPECT_EQ(what, c.failure) << c.date;
    }
}

// --- Write item value -------------------------------------------------------------------

struct WriteCase {
    const char* what;
    std::function<void(VARIANT&)> make;
    HRESULT result;
    const char* setter;  // nullptr: nothing written
    FakeRuntime::Value written;
};

TEST(WriteItemValue, DispatchOnTheVariantsOwnType) {
    const std::int64_t t2024 = Seconds(At(2024, 5, 6, 7, 8, 9));
    const WriteCase cases[] = {
        {"I4", [](VARIANT& v) { V_VT(&v) = VT_I4; V_I4(&v) = -9; }, S_OK, "SetChannelInt", -9},
        {"I2", [](VARIANT& v) { V_VT(&v) = VT_I2; V_I2(&v) = -300; }, S_OK, "SetChannelInt", -300},
        {"UI1", [](VARIANT& v) { V_VT(&v) = VT_UI1; V_UI1(&v) = 250; }, S_OK, "SetChannelInt", 250},
        {"UI4", [](VARIANT& v) { V_VT(&v) = VT_UI4; V_UI4(&v) = 123456u; }, S_OK, "SetChannelInt", 123456},
        {"R8 array", [](VARIANT& v) { V_VT(&v) = VT_ARRAY | VT_R8; V_ARRAY(&v) = nullptr; }, OPC_E_BADTYPE, nullptr, 0},
        {"I8 too large", [](VARIANT& v) { V_VT(&v) = VT_I8; V_I8(&v) = 1LL << 40; }, DISP_E_OVERFLOW, nullptr, 0},
        {"UINT", [](VARIANT& v) { V_VT(&v) = VT_UINT; V_UINT(&v) = 77; }, S_OK, "SetChannelInt", 77},
        {"R8 to an integer attribute", [](VARIANT& v) { V_VT(&v) = VT_R8; V_R8(&v) = 2.75; }, S_OK,
         "SetChannelDouble", 2.75},
        {"R4", [](VARIANT& v) { V_VT(&v) = VT_R4; V_R4(&v) = 21.5f; }, S_OK, "SetChannelFloat", 21.5f},
        {"BOOL true", [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_TRUE; }, S_OK, "SetChannelInt", 1},
        {"BOOL false", [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_FALSE; }, S_OK, "SetChannelInt", 0},
        {"BSTR", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = SysAllocString(L"Pump 3"); }, S_OK,
         "SetChannelString", std::string("Pump 3")},
        {"NULL BSTR", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = nullptr; }, S_OK, "SetChannelString",
         std::string()},
        {"BSTR the code page cannot hold", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = SysAllocString(L"\x65E5\x672C"); },
         OPC_E_BADTYPE, nullptr, 0},
        {"BSTR with a NUL inside", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = SysAllocStringLen(L"a\0b", 3); },
         OPC_E_BADTYPE, nullptr, 0},
        {"DATE", [](VARIANT& v) { V_VT(&v) = VT_DATE; V_DATE(&v) = DateOf(2024, 5, 6, 7, 8, 9); }, S_OK,
         "SetChannelInt", static_cast<int>(t2024)},
        {"DATE 1969-12-31", [](VARIANT& v) { V_VT(&v) = VT_DATE; V_DATE(&v) = DateOf(1969, 12, 31); }, E_FAIL,
         nullptr, 0},
        {"DATE past the attribute's 32-bit seconds", [](VARIANT& v) { V_VT(&v) = VT_DATE; V_DATE(&v) = DateOf(2040, 1, 1); },
         DISP_E_OVERFLOW, nullptr, 0},
        {"EMPTY", [](VARIANT& v) { V_VT(&v) = VT_EMPTY; }, OPC_E_BADTYPE, nullptr, 0},
        {"NULL", [](VARIANT& v) { V_VT(&v) = VT_NULL; }, OPC_E_BADTYPE, nullptr, 0},
        {"CY", [](VARIANT& v) { V_VT(&v) = VT_CY; V_CY(&v).int64 = 10000; }, OPC_E_BADTYPE, nullptr, 0},
        {"by reference", [](VARIANT& v) { static LONG x = 3; V_VT(&v) = VT_I4 | VT_BYREF; V_I4REF(&v) = &x; },
         OPC_E_BADTYPE, nullptr, 0},
    };
    for (const WriteCase& c : cases) {
        FakeRuntime fake;
        Variant value;
        c.make(*value);
        EXPECT_EQ(WriteItemValue(fake, kCh, 5, VT_I4, *value), c.result) << c.what;
        const int writes = fake.Calls("SetChannelInt") + fake.Calls("SetChannelFloat") +
                           fake.Calls("SetChannelDouble") + fake.Calls("SetChannelString");
        if (!c.setter) {
            EXPECT_EQ(writes, 0) << c.what;
            continue;
        }
        EXPECT_EQ(writes, 1) << c.what;
        EXPECT_EQ(fake.Calls(c.setter, kCh, 5), 1) << c.what;
        EXPECT_EQ(fake.Get(kCh, 5), std::optional<FakeRuntime::Value>(c.written)) << c.what;
    }
}

TEST(WriteItemValue, TheValueIsWrittenOnlyWhileAttribute8ReadsZero) {
    struct Case {
        const char* what;
        int lock;  // -1: attribute 8 cannot be read
        HRESULT result;
    };
    const Case cases[] = {{"unlocked", 0, S_OK}, {"locked", 1, E_FAIL}, {"unreadable", -1, E_FAIL}};
    for (const Case& c : cases) {
        FakeRuntime fake;
        if (c.lock >= 0) fake.Channel(kCh).Set(8, c.lock);
        Variant value;
        V_VT(value.Get()) = VT_R4;
        V_R4(value.Get()) = 3.5f;
        EXPECT_EQ(WriteItemValue(fake, kCh, 2, VT_R4, *value), c.result) << c.what;
        EXPECT_EQ(fake.Calls("GetChannelInt", kCh, 8), 1) << c.what;
        EXPECT_EQ(fake.Calls("SetChannelFloat"), c.result == S_OK ? 1 : 0) << c.what;
    }
    // Attribute 8 is checked first: even a value of no writable type is refused by it.
    FakeRuntime fake;
    fake.Channel(kCh).Set(8, 1);
    Variant empty;
    EXPECT_EQ(WriteItemValue(fake, kCh, 2, VT_R4, *empty), E_FAIL);
    // Other attributes do not look at attribute 8.
    Variant number;
    V_VT(number.Get()) = VT_I4;
    EXPECT_EQ(WriteItemValue(fake, kCh, 26, VT_R4, *number), S_OK);
    EXPECT_EQ(fake.Calls("GetChannelInt", kCh, 8), 1);
}

TEST(WriteItemValue, SetterFailures) {
    FakeRuntime fake;
    Variant value;
    V_VT(value.Get()) = VT_I4;
    V_I4(value.Get()) = 4;
    fake.Fail("SetChannelInt", kCh, 5);
    EXPECT_EQ(WriteItemValue(fake, kCh, 5, VT_I4, *value), E_FAIL);
    fake.Heal();
    fake.Throw("SetChannelInt");
    EXPECT_EQ(WriteItemValue(fake, kCh, 5, VT_I4, *value), E_FAIL);
}

// Integer writes at every boundary: the attribute's own integer type decides the range
// (VT_UI4 values go to the runtime as the bit pattern of its 32-bit integer); attributes
// of other types take the runtime's 32-bit integer and convert it themselves. Floating
// numbers go to the runtime as they are, once they are known to fit.
TEST(WriteItemValue, NumbersNeverWrapIntoAnIntegerAttribute) {
    const VARTYPE attributes[] = {VT_I1, VT_I2, VT_I4, VT_UI1, VT_UI2, VT_UI4, VT_R8};
    const VARTYPE sources[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8};
    int checked = 0;
    for (VARTYPE canonical : attributes) {
        for (VARTYPE source : sources) {
            for (long double n : BoundaryValues()) {
                Variant value;
                if (!MakeNumber(source, n, *value)) continue;
                const bool floating = source == VT_R4 || source == VT_R8;
                const VARTYPE range = canonical == VT_R8 ? static_cast<VARTYPE>(VT_I4) : canonical;
                FakeRuntime fake;
                const HRESULT hr = WriteItemValue(fake, kCh, 5, canonical, *value);
                const std::string what = Describe(source, canonical, n);
                const int writes = fake.Calls("SetChannelInt") + fake.Calls("SetChannelFloat") +
                                   fake.Calls("SetChannelDouble") + fake.Calls("SetChannelString");
                ++checked;
                if (floating && canonical == VT_R8) {  // the runtime's own conversion
                    ASSERT_EQ(hr, S_OK) << what;
                    ASSERT_EQ(writes, 1) << what;
                    continue;
                }
                if (!Holds(range, n)) {
                    ASSERT_EQ(hr, DISP_E_OVERFLOW) << what;
                    ASSERT_EQ(writes, 0) << what;
                    continue;
                }
                ASSERT_EQ(hr, S_OK) << what;
                ASSERT_EQ(writes, 1) << what;
                const std::optional<FakeRuntime::Value> written = fake.Get(kCh, 5);
                ASSERT_TRUE(written) << what;
                if (source == VT_R4) {
                    ASSERT_EQ(*written, FakeRuntime::Value(static_cast<float>(n))) << what;
                } else if (source == VT_R8) {
                    ASSERT_EQ(*written, FakeRuntime::Value(static_cast<double>(n))) << what;
                } else {
                    const long double asInt = n > 2147483647.0L ? n - 4294967296.0L : n;  // UI4: the bit pattern
                    ASSERT_EQ(*written, FakeRuntime::Value(static_cast<int>(asInt))) << what;
                }
            }
        }
    }
    EXPECT_GT(checked, 500);  // the table did not run empty
}

TEST(WriteItemValue, FractionsNaNAndDatesIntoIntegerAttributes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto r8 = [](double x) { return [x](VARIANT& v) { V_VT(&v) = VT_R8; V_R8(&v) = x; }; };
    auto date = [](DATE d) { return [d](VARIANT& v) { V_VT(&v) = VT_DATE; V_DATE(&v) = d; }; };
    const DATE epoch = DateOf(1970, 1, 1);
    struct Case {
        const char* what;
        VARTYPE canonical;
        std::function<void(VARIANT&)> make;
        HRESULT result;
        const char* setter;
        FakeRuntime::Value written;
    };
    const Case cases[] = {
        {"R8 2.5 into I4 (the runtime rounds)", VT_I4, r8(2.5), S_OK, "SetChannelDouble", 2.5},
        {"R8 2147483647.4 into I4", VT_I4, r8(2147483647.4), S_OK, "SetChannelDouble", 2147483647.4},
        {"R8 2147483647.5 into I4", VT_I4, r8(2147483647.5), DISP_E_OVERFLOW, nullptr, 0},
        {"R8 -0.5 into UI2", VT_UI2, r8(-0.5), S_OK, "SetChannelDouble", -0.5},
        {"R8 -0.6 into UI2", VT_UI2, r8(-0.6), DISP_E_OVERFLOW, nullptr, 0},
        {"R8 65535.5 into UI2", VT_UI2, r8(65535.5), DISP_E_OVERFLOW, nullptr, 0},
        {"R8 NaN into I4", VT_I4, r8(nan), DISP_E_OVERFLOW, nullptr, 0},
        {"R8 infinity into UI4", VT_UI4, r8(inf), DISP_E_OVERFLOW, nullptr, 0},
        {"R8 -infinity into I2", VT_I2, r8(-inf), DISP_E_OVERFLOW, nullptr, 0},
        {"R4 NaN into UI2", VT_UI2, [nan](VARIANT& v) { V_VT(&v) = VT_R4; V_R4(&v) = static_cast<float>(nan); },
         DISP_E_OVERFLOW, nullptr, 0},
        {"DATE 65535 s into UI2", VT_UI2, date(epoch + 65535.0 / 86400), S_OK, "SetChannelInt", 65535},
        {"DATE 65536 s into UI2", VT_UI2, date(epoch + 65536.0 / 86400), DISP_E_OVERFLOW, nullptr, 0},
        {"DATE 2^31-1 s into I4", VT_I4, date(DateOf(2038, 1, 19, 3, 14, 7)), S_OK, "SetChannelInt", INT_MAX},
        {"DATE 2^31 s into I4", VT_I4, date(DateOf(2038, 1, 19, 3, 14, 8)), DISP_E_OVERFLOW, nullptr, 0},
        {"DATE 2^31 s into UI4", VT_UI4, date(DateOf(2038, 1, 19, 3, 14, 8)), S_OK, "SetChannelInt", INT_MIN},
        {"DATE 2^32-1 s into UI4", VT_UI4, date(DateOf(2106, 2, 7, 6, 28, 15)), S_OK, "SetChannelInt", -1},
        {"DATE 2^32 s into UI4", VT_UI4, date(DateOf(2106, 2, 7, 6, 28, 16)), DISP_E_OVERFLOW, nullptr, 0},
        {"DATE 2^31 s into a DATE attribute", VT_DATE, date(DateOf(2038, 1, 19, 3, 14, 8)), E_FAIL, nullptr, 0},
        {"DATE before 1970 into I4", VT_I4, date(DateOf(1969, 12, 31)), E_FAIL, nullptr, 0},
        {"BOOL true into UI1", VT_UI1, [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_TRUE; }, S_OK,
         "SetChannelInt", 1},
    };
    for (const Case& c : cases) {
        FakeRuntime fake;
        Variant value;
        c.make(*value);
        EXPECT_EQ(WriteItemValue(fake, kCh, 5, c.canonical, *value), c.result) << c.what;
        const int writes = fake.Calls("SetChannelInt") + fake.Calls("SetChannelFloat") +
                           fake.Calls("SetChannelDouble") + fake.Calls("SetChannelString");
        EXPECT_EQ(writes, c.setter ? 1 : 0) << c.what;
        if (c.setter) {
            EXPECT_EQ(fake.Calls(c.setter, kCh, 5), 1) << c.what;
            EXPECT_EQ(fake.Get(kCh, 5), std::optional<FakeRuntime::Value>(c.written)) << c.what;
        }
    }
}

// A channel's limits, hysteresis and coefficients (its float attributes other than the
// value) must be numbers; the value itself may be NaN or infinite.
TEST(WriteItemValue, LimitsRefuseNaNAndInfinities) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto r8 = [](double x) { return [x](VARIANT& v) { V_VT(&v) = VT_R8; V_R8(&v) = x; }; };
    auto r4 = [](double x) { return [x](VARIANT& v) { V_VT(&v) = VT_R4; V_R4(&v) = static_cast<float>(x); }; };
    auto text = [](const wchar_t* t) { return [t](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = SysAllocString(t); }; };
    struct Case {
        const char* what;
        int attribute;
        VARTYPE canonical;
        std::function<void(VARIANT&)> make;
        HRESULT result;
    };
    const Case cases[] = {
        {"R8 NaN into an R8 limit", 26, VT_R8, r8(nan), OPC_E_RANGE},
        {"R8 infinity into an R4 limit", 27, VT_R4, r8(inf), OPC_E_RANGE},
        {"R4 -infinity into an R4 limit", 32, VT_R4, r4(-inf), OPC_E_RANGE},
        {"R4 NaN into a coefficient", 37, VT_R4, r4(nan), OPC_E_RANGE},
        {"text nan into a limit", 28, VT_R4, text(L"nan"), OPC_E_RANGE},
        {"text -INF into a limit", 28, VT_R4, text(L" -INF"), OPC_E_RANGE},
        {"text 1e999 into a limit", 28, VT_R8, text(L"1e999"), OPC_E_RANGE},
        {"a finite limit", 26, VT_R8, r8(-1e300), S_OK},
        {"a finite limit as text", 26, VT_R4, text(L"12.5"), S_OK},
        {"text that is no number into a limit (the runtime decides)", 26, VT_R4, text(L"high"), S_OK},
        {"R8 NaN into the value", 2, VT_R8, r8(nan), S_OK},
        {"R4 infinity into the value", 2, VT_R4, r4(inf), S_OK},
    };
    for (const Case& c : cases) {
        FakeRuntime fake;
        fake.Channel(kCh).Set(8, 0);
        Variant value;
        c.make(*value);
        EXPECT_EQ(WriteItemValue(fake, kCh, c.attribute, c.canonical, *value), c.result) << c.what;
        const int writes = fake.Calls("SetChannelFloat") + fake.Calls("SetChannelDouble") +
                           fake.Calls("SetChannelString");
        EXPECT_EQ(writes, c.result == S_OK ? 1 : 0) << c.what;
    }
}

} // namespace
