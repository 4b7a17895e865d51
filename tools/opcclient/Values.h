// Texts of OPC values, types, qualities, times and result codes, for people and as JSON.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace opcclient {

// A VARIANT that clears itself; movable, so that results can be kept in vectors.
struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    Variant(Variant&& other) noexcept : v(other.v) { VariantInit(&other.v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            VariantClear(&v);
            v = other.v;
            VariantInit(&other.v);
        }
        return *this;
    }
    ~Variant() { VariantClear(&v); }
};

std::wstring Hex(HRESULT hr);
std::wstring TimeText(const FILETIME& time);     // "2026-12-10 11:20:00.123 UTC"
std::wstring IsoTime(const FILETIME& time);      // "2026-12-10T11:20:00.123Z"
std::wstring QualityName(WORD quality);          // "good", "uncertain" or "bad"
std::wstring QualityText(WORD quality);          // "good (0x00C0)"
std::wstring TypeName(VARTYPE vt);               // "R8", "ARRAY of I2"
std::wstring ValueText(const VARIANT& value);    // invariant text, "[1, 2]" for arrays
std::wstring JsonValue(const VARIANT& value);    // number, true/false, string, array or null

}  // namespace opcclient
