// Numbers narrowed to integer VARIANT types by range checks of our own.
//
// OLE Automation's VariantChangeType is not relied upon to refuse a value that an
// integer type cannot hold: some implementations wrap such values silently (a VT_UI4
// 3000000000 becoming the VT_I4 -1294967296). Here a value outside the target's range
// gives DISP_E_OVERFLOW on every platform, and a value inside it arrives exactly.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>

namespace opc {

// VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_INT and VT_UINT.
bool IsIntegerType(VARTYPE vt) noexcept;

// An integer from -(2^64 - 1) to 2^64 - 1 as sign and magnitude (zero is never negative).
struct WideInteger {
    bool negative = false;
    std::uint64_t magnitude = 0;

    static WideInteger Of(std::int64_t v) noexcept;
    static WideInteger OfUnsigned(std::uint64_t v) noexcept { return WideInteger{false, v}; }
};

// The integer a numeric VARIANT stands for: integer types exactly; VT_R4, VT_R8, VT_DATE,
// VT_CY and VT_DECIMAL rounded to the nearest integer, halves to even (VariantChangeType's
// rule). DISP_E_OVERFLOW for NaN, infinities and magnitudes of 2^64 or more;
// DISP_E_TYPEMISMATCH for any other VARTYPE.
HRESULT ToWideInteger(const VARIANT& v, WideInteger& out) noexcept;

// Whether an integer type (IsIntegerType) can hold the value.
bool FitsIn(const WideInteger& value, VARTYPE integerType) noexcept;

// `src` converted to the integer type `target`: numeric types by ToWideInteger and
// FitsIn, VT_BSTR parsed through VT_DECIMAL first, VT_BOOL, VT_EMPTY and every other
// type by VariantChangeType (flags 0). On failure `dest` is left VT_EMPTY.
HRESULT ChangeToInteger(VARIANT& dest, const VARIANT& src, VARTYPE target) noexcept;

// Stores a value that FitsIn the integer type into `dest` (cleared first);
// DISP_E_OVERFLOW, and `dest` left VT_EMPTY, when it does not fit.
HRESULT PutInteger(VARIANT& dest, const WideInteger& value, VARTYPE target) noexcept;

} // namespace opc
