// Boundary values of the integer types, and numbers of every numeric VARIANT type made
// from them, for tables of conversions. Numbers are carried as long double, which holds
// every integer up to 2^64 exactly with this compiler (64-bit mantissa).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>


namespace lx::test {

static_assert(std::numeric_limits<long double>::digits >= 64, "long double must hold 64-bit integers exactly");

inline constexpr VARTYPE kIntegerTypes[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_INT, VT_UINT};

inline constexpr VARTYPE kNumericSources[] = {VT_I1,   VT_I2,  VT_I4,  VT_I8,   VT_UI1, VT_UI2,
                                              VT_UI4,  VT_UI8, VT_INT, VT_UINT, VT_R4,  VT_R8,
                                              VT_DATE, VT_CY,  VT_DECIMAL, VT_BSTR};

inline bool LimitsOf(VARTYPE vt, long double& lo, long double& hi) {
    auto of = [&](auto type) {
        using T = decltype(type);
        lo = static_cast<long double>(std::numeric_limits<T>::min());
        hi = static_cast<long double>(std::numeric_limits<T>::max());
        return true;
    };
    switch (vt) {
    case VT_I1: return of(std::int8_t{});
    case VT_I2: return of(std::int16_t{});
    case VT_I4: case VT_INT: return of(std::int32_t{});
    case VT_I8: return of(std::int64_t{});
    case VT_UI1: return of(std::uint8_t{});
    case VT_UI2: return of(std::uint16_t{});
    case VT_UI4: case VT_UINT: return of(std::uint32_t{});
    case VT_UI8: return of(std::uint64_t{});
    default: return false;
    }
}

// Whether the integer type can hold n.
inline bool Holds(VARTYPE integerType, long double n) {
    long double lo = 0, hi = 0;
    return LimitsOf(integerType, lo, hi) && n >= lo && n <= hi;
}

// For every integer type min - 1, min, max and max + 1; and -1, 0, 1, 2^31, 2^32 - 1 and 2^63.
inline std::vector<long double> BoundaryValues() {
    std::vector<long double> values = {-1, 0, 1, 2147483648.0L, 4294967295.0L, 9223372036854775808.0L};
    for (VARTYPE vt : kIntegerTypes) {
        long double lo = 0, hi = 0;
        LimitsOf(vt, lo, hi);
        for (long double n : {lo - 1, lo, hi, hi + 1}) values.push_back(n);
    }
    return values;
}

// Decimal text of an integral n (|n| < 2^64).
inline std::wstring IntegerText(long double n) {
    const auto magnitude = static_cast<std::uint64_t>(n < 0 ? -n : n);
    return (n < 0 ? L"-" : L"") + std::to_wstring(magnitude);
}

// A VARIANT of type `source` holding exactly n; false when that type cannot.
inline bool MakeNumber(VARTYPE source, long double n, VARIANT& v) {
    VariantClear(&v);
    const long double magnitude = n < 0 ? -n : n;
    if (magnitude > 18446744073709551615.0L) return false;
    if (Holds(source, n)) {
        const bool negative = n < 0;
        const std::uint64_t bits = negative ? ~static_cast<std::uint64_t>(magnitude) + 1 : static_cast<std::uint64_t>(magnitude);
        switch (source) {
        case VT_I1: V_I1(&v) = static_cast<CHAR>(static_cast<signed char>(bits)); break;
        case VT_I2: V_I2(&v) = static_cast<SHORT>(bits); break;
        case VT_I4: V_I4(&v) = static_cast<LONG>(bits); break;
        case VT_INT: V_INT(&v) = static_cast<INT>(bits); break;
        case VT_I8: V_I8(&v) = static_cast<LONGLONG>(bits); break;
        case VT_UI1: V_UI1(&v) = static_cast<BYTE>(bits); break;
        case VT_UI2: V_UI2(&v) = static_cast<USHORT>(bits); break;
        case VT_UI4: V_UI4(&v) = static_cast<ULONG>(bits); break;
        case VT_UINT: V_UINT(&v) = static_cast<UINT>(bits); break;
        default: V_UI8(&v) = bits; break;
        }
        V_VT(&v) = source;
        return true;
    }
    switch (source) {
    case VT_R4:
        if (static_cast<long double>(static_cast<float>(n)) != n) return false;
        V_R4(&v) = static_cast<float>(n);
        break;
    case VT_R8:
    case VT_DATE:
        if (static_cast<long double>(static_cast<double>(n)) != n) return false;
        if (source == VT_R8) V_R8(&v) = static_cast<double>(n);
        else V_DATE(&v) = static_cast<double>(n);
        break;
    case VT_CY:
        if (magnitude > 922337203685477.0L) return false;
        V_CY(&v).int64 = static_cast<LONGLONG>(n) * 10000;
        break;
    case VT_DECIMAL: {
        DECIMAL d{};
        d.Lo64 = static_cast<ULONGLONG>(magnitude);
        d.sign = n < 0 ? DECIMAL_NEG : 0;
        V_DECIMAL(&v) = d;  // overwrites the type: set below
        break;
    }
    case VT_BSTR:
        V_BSTR(&v) = SysAllocString(IntegerText(n).c_str());
        if (!V_BSTR(&v)) return false;
        break;
    default:
        return false;
    }
    V_VT(&v) = source;
    return true;
}

// The number held by an integer VARIANT.
inline long double IntegerOf(const VARIANT& v) {
    switch (V_VT(&v)) {
    case VT_I1: return static_cast<signed char>(V_I1(&v));
    case VT_I2: return V_I2(&v);
    case VT_I4: return V_I4(&v);
    case VT_INT: return V_INT(&v);
    case VT_I8: return static_cast<long double>(V_I8(&v));
    case VT_UI1: return V_UI1(&v);
    case VT_UI2: return V_UI2(&v);
    case VT_UI4: return V_UI4(&v);
    case VT_UINT: return V_UINT(&v);
    case VT_UI8: return static_cast<long double>(V_UI8(&v));
    default: ADD_FAILURE() << "not an integer VARIANT: " << V_VT(&v); return -0.5L;
    }
}

inline std::string Describe(VARTYPE source, VARTYPE target, long double n) {
    std::string number;
    if (n == std::floor(n) && std::fabs(n) <= 18446744073709551615.0L) {
        for (wchar_t c : IntegerText(n)) number += static_cast<char>(c);
    } else {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", static_cast<double>(n));
        number = text;
    }
    return "vt " + std::to_string(source) + " " + number + " into vt " + std::to_string(target);
}

} // namespace lx::test
