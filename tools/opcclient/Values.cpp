#include "Values.h"

#include "Output.h"

#include <opcda.h>

#include <cwchar>
#include <cwctype>

namespace opcclient {

namespace {

// Calls f(element) for each element of a one-dimensional array; false if the array cannot be read.
template <typename F>
bool ForEachElement(const VARIANT& value, F f) {
    SAFEARRAY* array = value.parray;
    if (!array || SafeArrayGetDim(array) != 1) return false;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    const VARTYPE vt = static_cast<VARTYPE>(value.vt & ~VT_ARRAY);
    for (LONG i = low; i <= high; ++i) {
        Variant element;
        if (vt == VT_VARIANT) {
            if (FAILED(SafeArrayGetElement(array, &i, &element.v))) return false;
        } else {
            if (FAILED(SafeArrayGetElement(array, &i, &element.v.lVal))) return false;
            element.v.vt = vt;
        }
        f(element.v);
    }
    return true;
}

bool IsNumberType(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL:
        return true;
    default:
        return false;
    }
}

// A JSON number: -?digits[.digits][(e|E)[+-]digits] (no NaN, no infinity).
bool IsJsonNumber(const std::wstring& t) {
    size_t i = 0;
    const auto digits = [&] {
        const size_t start = i;
        while (i < t.size() && std::iswdigit(t[i])) ++i;
        return i > start;
    };
    if (i < t.size() && t[i] == L'-') ++i;
    if (!digits()) return false;
    if (i < t.size() && t[i] == L'.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < t.size() && (t[i] == L'e' || t[i] == L'E')) {
        ++i;
        if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) ++i;
        if (!digits()) return false;
    }
    return i == t.size();
}

}  // namespace

std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

namespace {
std::wstring FormatTime(const FILETIME& time, const wchar_t* format, const wchar_t* invalid) {
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&time, &st)) return invalid;
    wchar_t text[40];
    std::swprintf(text, 40, format, st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                  st.wMilliseconds);
    return text;
}
}  // namespace

std::wstring TimeText(const FILETIME& time) {
    return FormatTime(time, L"%04u-%02u-%02u %02u:%02u:%02u.%03u UTC", L"?");
}

std::wstring IsoTime(const FILETIME& time) { return FormatTime(time, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", L""); }

std::wstring QualityName(WORD quality) {
    if ((quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD) return L"good";
    if ((quality & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN) return L"uncertain";
    return L"bad";
}

std::wstring QualityText(WORD quality) {
    wchar_t text[16];
    std::swprintf(text, 16, L" (0x%04X)", quality);
    return QualityName(quality) + text;
}

std::wstring TypeName(VARTYPE vt) {
    struct Name {
        VARTYPE vt;
        const wchar_t* name;
    };
    static const Name names[] = {{VT_EMPTY, L"EMPTY"}, {VT_I1, L"I1"},     {VT_UI1, L"UI1"},   {VT_I2, L"I2"},
                                 {VT_UI2, L"UI2"},     {VT_I4, L"I4"},     {VT_UI4, L"UI4"},   {VT_I8, L"I8"},
                                 {VT_UI8, L"UI8"},     {VT_R4, L"R4"},     {VT_R8, L"R8"},     {VT_BOOL, L"BOOL"},
                                 {VT_BSTR, L"BSTR"},   {VT_DATE, L"DATE"}, {VT_CY, L"CY"},     {VT_INT, L"INT"},
                                 {VT_UINT, L"UINT"},   {VT_ERROR, L"ERROR"}};
    const std::wstring prefix = (vt & VT_ARRAY) ? L"ARRAY of " : L"";
    for (const Name& n : names)
        if (n.vt == (vt & VT_TYPEMASK)) return prefix + n.name;
    return prefix + std::to_wstring(vt);
}

std::wstring ValueText(const VARIANT& value) {
    if (value.vt & VT_ARRAY) {
        std::wstring text;
        if (!ForEachElement(value, [&](const VARIANT& e) { text += (text.empty() ? L"" : L", ") + ValueText(e); }))
            return L"<array>";
        return L"[" + text + L"]";
    }
    if (value.vt == VT_EMPTY) return L"<empty>";
    Variant text;
    if (FAILED(VariantChangeTypeEx(&text.v, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, VARIANT_ALPHABOOL,
                                   VT_BSTR)))
        return L"<" + TypeName(value.vt) + L">";
    return std::wstring(text.v.bstrVal, SysStringLen(text.v.bstrVal));
}

std::wstring JsonValue(const VARIANT& value) {
    if (value.vt & VT_ARRAY) {
        JsonArray array;
        if (!ForEachElement(value, [&](const VARIANT& e) { array.Add(JsonValue(e)); })) return L"null";
        return array.Text();
    }
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return L"null";
    case VT_BOOL:
        return value.boolVal ? L"true" : L"false";
    case VT_ERROR:
        return std::to_wstring(static_cast<long long>(value.scode));
    case VT_DATE: {
        // ISO 8601, without a zone (a DATE carries none).
        SYSTEMTIME st = {};
        FILETIME time = {};
        if (!VariantTimeToSystemTime(value.date, &st) || !SystemTimeToFileTime(&st, &time)) break;
        return JsonString(FormatTime(time, L"%04u-%02u-%02uT%02u:%02u:%02u.%03u", L""));
    }
    default:
        break;
    }
    const std::wstring text = ValueText(value);
    if (IsNumberType(value.vt) && IsJsonNumber(text)) return text;
    return JsonString(text);
}

}  // namespace opcclient
