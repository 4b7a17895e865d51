#include "opc/group/IntegerNarrowing.h"

#include <oleauto.h>

#include <cmath>

#include "opc/common/ComMemory.h"

namespace opc {

namespace {

constexpr double kTwoTo64 = 18446744073709551616.0;

// To the nearest integer, halves to even, without depending on the FPU's rounding mode.
double RoundHalfEven(double x) {
    const double below = std::floor(x);
    const double fraction = x - below;
    if (fraction > 0.5) return below + 1;
    if (fraction < 0.5) return below;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

HRESULT FromDouble(double x, WideInteger& out) {
    if (!std::isfinite(x)) return DISP_E_OVERFLOW;
    const double r = RoundHalfEven(x);
    const double magnitude = std::fabs(r);
    if (magnitude >= kTwoTo64) return DISP_E_OVERFLOW;
    out.magnitude = static_cast<std::uint64_t>(magnitude);
    out.negative = r < 0 && out.magnitude != 0;
    return S_OK;
}

HRESULT FromCurrency(CY cy, WideInteger& out) {
    const std::int64_t v = cy.int64;  // ten-thousandths
    std::int64_t whole = v / 10000;
    const std::int64_t rest = v % 10000;  // same sign as v
    const std::int64_t away = rest < 0 ? -rest : rest;
    if (away > 5000 || (away == 5000 && (whole % 2) != 0)) whole += v < 0 ? -1 : 1;
    out = WideInteger::Of(whole);
    return S_OK;
}

// DECIMAL: a 96-bit magnitude divided by 10^scale, rounded halves to even.
HRESULT FromDecimal(const DECIMAL& d, WideInteger& out) {
    if (d.scale > 28) return DISP_E_OVERFLOW;
    std::uint32_t limbs[3] = {d.Hi32, static_cast<std::uint32_t>(d.Lo64 >> 32), static_cast<std::uint32_t>(d.Lo64)};
    unsigned lastDigit = 0;  // the digit just below the units once divided
    bool belowLast = false;  // any non-zero digit further down
    for (int i = 0; i < d.scale; ++i) {
        belowLast = belowLast || lastDigit != 0;
        std::uint64_t remainder = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t part = (remainder << 32) | limb;
            limb = static_cast<std::uint32_t>(part / 10);
            remainder = part % 10;
        }
        lastDigit = static_cast<unsigned>(remainder);
    }
    if (limbs[0] != 0) return DISP_E_OVERFLOW;
    std::uint64_t magnitude = (static_cast<std::uint64_t>(limbs[1]) << 32) | limbs[2];
    if (lastDigit > 5 || (lastDigit == 5 && (belowLast || (magnitude & 1) != 0))) {
        if (magnitude == UINT64_MAX) return DISP_E_OVERFLOW;
        ++magnitude;
    }
    out.magnitude = magnitude;
    out.negative = (d.sign & DECIMAL_NEG) != 0 && magnitude != 0;
    return S_OK;
}

// The inclusive range of an integer type as largest negative magnitude and largest value.
bool RangeOf(VARTYPE vt, std::uint64_t& negativeLimit, std::uint64_t& positiveLimit) {
    switch (vt) {
    case VT_I1: negativeLimit = 128; positiveLimit = 127; return true;
    case VT_I2: negativeLimit = 32768; positiveLimit = 32767; return true;
    case VT_I4: case VT_INT: negativeLimit = 2147483648u; positiveLimit = 2147483647u; return true;
    case VT_I8: negativeLimit = 9223372036854775808u; positiveLimit = 9223372036854775807u; return true;
    case VT_UI1: negativeLimit = 0; positiveLimit = 0xFFu; return true;
    case VT_UI2: negativeLimit = 0; positiveLimit = 0xFFFFu; return true;
    case VT_UI4: case VT_UINT: negativeLimit = 0; positiveLimit = 0xFFFFFFFFu; return true;
    case VT_UI8: negativeLimit = 0; positiveLimit = UINT64_MAX; return true;
    default: return false;
    }
}

// The value as a two's-complement 64-bit pattern (FitsIn checked by the caller).
std::uint64_t Bits(const WideInteger& value) {
    return value.negative ? ~value.magnitude + 1 : value.magnitude;
}

} // namespace

bool IsIntegerType(VARTYPE vt) noexcept {
    std::uint64_t negativeLimit = 0, positiveLimit = 0;
    return RangeOf(vt, negativeLimit, positiveLimit);
}

WideInteger WideInteger::Of(std::int64_t v) noexcept {
    // The magnitude in unsigned arithmetic: -INT64_MIN does not exist as int64.
    return v < 0 ? WideInteger{true, ~static_cast<std::uint64_t>(v) + 1} : WideInteger{false, static_cast<std::uint64_t>(v)};
}

HRESULT ToWideInteger(const VARIANT& v, WideInteger& out) noexcept {
    out = WideInteger{};
    switch (V_VT(&v)) {
    case VT_I1: out = WideInteger::Of(static_cast<signed char>(V_I1(&v))); return S_OK;
    case VT_I2: out = WideInteger::Of(V_I2(&v)); return S_OK;
    case VT_I4: out = WideInteger::Of(V_I4(&v)); return S_OK;
    case VT_INT: out = WideInteger::Of(V_INT(&v)); return S_OK;
    case VT_I8: out = WideInteger::Of(V_I8(&v)); return S_OK;
    case VT_UI1: out = WideInteger::OfUnsigned(V_UI1(&v)); return S_OK;
    case VT_UI2: out = WideInteger::OfUnsigned(V_UI2(&v)); return S_OK;
    case VT_UI4: out = WideInteger::OfUnsigned(V_UI4(&v)); return S_OK;
    case VT_UINT: out = WideInteger::OfUnsigned(V_UINT(&v)); return S_OK;
    case VT_UI8: out = WideInteger::OfUnsigned(V_UI8(&v)); return S_OK;
    case VT_R4: return FromDouble(V_R4(&v), out);
    case VT_R8: return FromDouble(V_R8(&v), out);
    case VT_DATE: return FromDouble(V_DATE(&v), out);
    case VT_CY: return FromCurrency(V_CY(&v), out);
    case VT_DECIMAL: return FromDecimal(V_DECIMAL(&v), out);
    default: return DISP_E_TYPEMISMATCH;
    }
}

bool FitsIn(const WideInteger& value, VARTYPE integerType) noexcept {
    std::uint64_t negativeLimit = 0, positiveLimit = 0;
    if (!RangeOf(integerType, negativeLimit, positiveLimit)) return false;
    return value.magnitude <= (value.negative ? negativeLimit : positiveLimit);
}

HRESULT PutInteger(VARIANT& dest, const WideInteger& value, VARTYPE target) noexcept {
    VariantClear(&dest);
    if (!FitsIn(value, target)) return DISP_E_OVERFLOW;
    const std::uint64_t bits = Bits(value);
    switch (target) {
    case VT_I1: V_I1(&dest) = static_cast<CHAR>(static_cast<signed char>(bits)); break;
    case VT_I2: V_I2(&dest) = static_cast<SHORT>(bits); break;
    case VT_I4: V_I4(&dest) = static_cast<LONG>(bits); break;
    case VT_INT: V_INT(&dest) = static_cast<INT>(bits); break;
    case VT_I8: V_I8(&dest) = static_cast<LONGLONG>(bits); break;
    case VT_UI1: V_UI1(&dest) = static_cast<BYTE>(bits); break;
    case VT_UI2: V_UI2(&dest) = static_cast<USHORT>(bits); break;
    case VT_UI4: V_UI4(&dest) = static_cast<ULONG>(bits); break;
    case VT_UINT: V_UINT(&dest) = static_cast<UINT>(bits); break;
    default: V_UI8(&dest) = bits; break;  // VT_UI8
    }
    V_VT(&dest) = target;
    return S_OK;
}

HRESULT ChangeToInteger(VARIANT& dest, const VARIANT& src, VARTYPE target) noexcept {
    VariantClear(&dest);
    WideInteger value;
    HRESULT hr = ToWideInteger(src, value);
    if (hr == DISP_E_TYPEMISMATCH) {
        if (V_VT(&src) != VT_BSTR) {
            hr = VariantChangeType(&dest, const_cast<VARIANT*>(&src), 0, target);
            if (FAILED(hr)) VariantClear(&dest);
            return hr;
        }
        // Text is parsed exactly (up to 28 digits) and then narrowed like any number.
        Variant parsed;
        hr = VariantChangeType(parsed.Get(), const_cast<VARIANT*>(&src), 0, VT_DECIMAL);
        if (SUCCEEDED(hr)) hr = ToWideInteger(*parsed, value);
    }
    if (FAILED(hr)) return hr;
    return PutInteger(dest, value, target);
}

} // namespace opc
