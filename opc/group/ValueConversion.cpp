#include "opc/group/ValueConversion.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "nrk/NRK_Server.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/IntegerNarrowing.h"
#include "runtime/TextConversion.h"

namespace opc {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kMs1601To1970 = 11644473600000;  // FILETIME epoch to time_t epoch
constexpr std::int64_t kDays1899To1970 = 25569;         // OLE DATE epoch to time_t epoch
constexpr double kLastDate = 2958466.0;                 // 10000-01-01: past the last OLE date

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

WORD RunningQuality(NRK_Server& runtime) { return runtime.IsNodeRunning() ? kQualityGood : kQualityOutOfService; }

UtcTime Now() { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); }

// The runtime's text of an attribute as wide text; false when the getter failed.
bool ReadText(NRK_Server& runtime, int channel, int attribute, std::wstring& text) {
    char buffer[NRK_TEXT_SIZE] = {};
    if (!runtime.GetChannelString(channel, -1, buffer, attribute, 0)) return false;
    text = NarrowToWide(std::string_view(buffer, strnlen(buffer, sizeof buffer)));
    return true;
}

void PutText(VARIANT& v, const std::wstring& text) {
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!b) throw std::bad_alloc();
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = b;
}

// The runtime hands a VT_UI4 attribute's value out as the bit pattern of its 32-bit
// integer: values above 2^31 - 1 arrive negative.
bool HeldAsUnsigned(VARTYPE canonical) { return canonical == VT_UI4 || canonical == VT_UINT; }

WideInteger FromRuntimeInt(int value, VARTYPE canonical) {
    return HeldAsUnsigned(canonical) ? WideInteger::OfUnsigned(static_cast<std::uint32_t>(value))
                                     : WideInteger::Of(value);
}

bool IsFloatType(VARTYPE vt) { return vt == VT_R4 || vt == VT_R8; }

// The integer type a written integer must fit before it goes to SetChannelInt: the
// attribute's own integer type, else the runtime's 32-bit integer (the runtime converts
// it to the attribute's type).
VARTYPE IntegerWriteRange(VARTYPE canonical) {
    switch (canonical) {
    case VT_I1: case VT_I2: case VT_I4: case VT_UI1: case VT_UI2: case VT_UI4: return canonical;
    case VT_INT: return VT_I4;
    case VT_UINT: return VT_UI4;
    default: return VT_I4;
    }
}

// The 32-bit integer SetChannelInt takes for a value that fits IntegerWriteRange.
int RuntimeInt(const WideInteger& value, VARTYPE range) {
    if (HeldAsUnsigned(range)) return static_cast<int>(static_cast<std::uint32_t>(value.magnitude));
    return value.negative ? static_cast<int>(-static_cast<std::int64_t>(value.magnitude))
                          : static_cast<int>(value.magnitude);
}

// A channel's configuration (its limits, hysteresis and coefficients: the float
// attributes other than the value) must be a number: NaN or an infinity there would
// quietly switch off every comparison made with it.
bool MustBeFinite(int attribute, VARTYPE canonical) { return attribute != NRK_ATTR_VALUE && IsFloatType(canonical); }

// Text that the runtime would read as NaN or an infinity ("nan", "-inf", "1e999").
bool IsNonFiniteNumberText(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double x = std::strtod(begin, &end);
    return end != begin && !std::isfinite(x);
}

} // namespace

// --- 1. Read attribute ------------------------------------------------------------------

AttributeReading ReadAttribute(NRK_Server& runtime, int channel, int attribute, VARTYPE canonical) noexcept {
    AttributeReading r;
    try {
        const WORD quality = RunningQuality(runtime);
        VARIANT& v = *r.value.Reset();
        switch (canonical) {
        case VT_I2: case VT_I4: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
        case VT_I8: case VT_UI8: case VT_DATE: case VT_BOOL: {
            int i = 0;
            if (!runtime.GetChannelInt(channel, -1, &i, attribute)) return r;
            switch (canonical) {
            case VT_I2: V_I2(&v) = static_cast<SHORT>(i); break;
            case VT_I4: V_I4(&v) = i; break;
            case VT_I1: V_I1(&v) = static_cast<CHAR>(i); break;
            case VT_UI1: V_UI1(&v) = static_cast<BYTE>(i); break;
            case VT_UI2: V_UI2(&v) = static_cast<USHORT>(i); break;
            case VT_UI4: V_UI4(&v) = static_cast<ULONG>(i); break;
            case VT_I8: V_I8(&v) = static_cast<LONGLONG>(i); break;
            case VT_UI8: V_UI8(&v) = static_cast<ULONGLONG>(static_cast<LONGLONG>(i)); break;
            case VT_DATE: V_DATE(&v) = TimeTToDate(i); break;
            default: V_BOOL(&v) = i != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
            }
            V_VT(&v) = canonical;
            break;
        }
        case VT_R4: {
            float f = 0;
            if (!runtime.GetChannelFloat(channel, -1, &f, attribute)) return r;
            V_VT(&v) = VT_R4;
            V_R4(&v) = f;
            break;
        }
        case VT_R8: {
            double d = 0;
            if (!runtime.GetChannelDouble(channel, -1, &d, attribute)) return r;
            V_VT(&v) = VT_R8;
            V_R8(&v) = d;
            break;
        }
        case VT_BSTR: {
            std::wstring text;
            if (!ReadText(runtime, channel, attribute, text)) return r;
            PutText(v, text);
            break;
        }
        default:
            return r;
        }
        r.status = ReadStatus::Value;
        r.quality = quality;
    } catch (...) {
        r.value.Reset();
        r.status = ReadStatus::Raised;
        r.quality = kQualityBad;
    }
    return r;
}

namespace {
bool IsNaN(const VARIANT& v) {
    switch (V_VT(&v)) {
    case VT_R4: return std::isnan(V_R4(&v));
    case VT_R8: return std::isnan(V_R8(&v));
    case VT_DATE: return std::isnan(V_DATE(&v));
    default: return false;
    }
}
} // namespace

bool ValuesDiffer(const VARIANT& a, const VARIANT& b) noexcept {
    if (V_VT(&a) == VT_NULL && V_VT(&b) == VT_NULL) return false;
    // A NaN is one value to change detection, whatever VarCmp makes of it.
    const bool nanA = IsNaN(a), nanB = IsNaN(b);
    if (nanA || nanB) return !(nanA && nanB && V_VT(&a) == V_VT(&b));
    return VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_USER_DEFAULT, 0) !=
           static_cast<HRESULT>(VARCMP_EQ);
}

// --- 2. Deliver item value --------------------------------------------------------------

bool ServedFromDevice(DWORD source, VARTYPE requested, VARTYPE canonical) noexcept {
    return source != kSourceCache || (requested != canonical && requested == VT_BSTR);
}

DeliveredValue DeliverFromCache(const CachedValueView& cached, VARTYPE requested, VARTYPE canonical) noexcept {
    DeliveredValue d;
    d.quality = cached.quality;
    d.timestamp = ToFileTime(cached.changed);
    VARIANT* dest = d.value.Get();
    if (requested == canonical)
        d.result = VariantCopy(dest, const_cast<VARIANT*>(&cached.value));
    else if (IsIntegerType(requested))
        d.result = ChangeToInteger(*dest, cached.value, requested);
    else
        d.result = VariantChangeType(dest, const_cast<VARIANT*>(&cached.value), 0, requested);
    if (FAILED(d.result)) d.value.Reset();
    return d;
}

DeliveredValue DeliverFromDevice(NRK_Server& runtime, int channel, int attribute, VARTYPE requested,
                                 VARTYPE canonical) noexcept {
    DeliveredValue d;
    try {
        VARIANT& v = *d.value.Reset();
        HRESULT hr = S_OK;
        if (IsIntegerType(requested)) {
            int i = 0;
            hr = runtime.GetChannelInt(channel, -1, &i, attribute) ? PutInteger(v, FromRuntimeInt(i, canonical), requested)
                                                                  : E_FAIL;
        } else {
            switch (requested) {
            case VT_R4: {
                float f = 0;
                if (!runtime.GetChannelFloat(channel, -1, &f, attribute)) {
                    hr = E_FAIL;
                } else {
                    V_VT(&v) = VT_R4;
                    V_R4(&v) = f;
                }
                break;
            }
            case VT_R8: {
                double x = 0;
                if (!runtime.GetChannelDouble(channel, -1, &x, attribute)) {
                    hr = E_FAIL;
                } else {
                    V_VT(&v) = VT_R8;
                    V_R8(&v) = x;
                }
                break;
            }
            case VT_DATE:
            case VT_BOOL: {
                int i = 0;
                if (!runtime.GetChannelInt(channel, -1, &i, attribute)) {
                    hr = E_FAIL;
                } else if (requested == VT_DATE) {
                    V_VT(&v) = VT_DATE;
                    V_DATE(&v) = TimeTToDate(i);
                } else {
                    V_VT(&v) = VT_BOOL;
                    V_BOOL(&v) = i != 0 ? VARIANT_TRUE : VARIANT_FALSE;
                }
                break;
            }
            case VT_BSTR: {
                std::wstring text;
                if (!ReadText(runtime, channel, attribute, text))
                    hr = E_FAIL;
                else
                    PutText(v, text);
                break;
            }
            default:
                hr = OPC_E_BADTYPE;
                break;
            }
        }
        d.result = hr;
        if (FAILED(hr)) d.value.Reset();
        d.quality = RunningQuality(runtime);
        d.timestamp = ToFileTime(Now());
    } catch (const std::bad_alloc&) {
        d.value.Reset();
        d.result = E_OUTOFMEMORY;
    } catch (...) {
        d.value.Reset();
        d.result = E_FAIL;
    }
    return d;
}

DeliveredValue DeliverItemValue(NRK_Server& runtime, int channel, int attribute, VARTYPE canonical,
                                VARTYPE requested, DWORD source, const CachedValueView& cached) noexcept {
    if (ServedFromDevice(source, requested, canonical))
        return DeliverFromDevice(runtime, channel, attribute, requested, canonical);
    return DeliverFromCache(cached, requested, canonical);
}

// --- 3. Times ---------------------------------------------------------------------------

FILETIME ToFileTime(UtcTime time) noexcept {
    const std::int64_t us = time.time_since_epoch().count();
    std::int64_t ms = FloorDiv(us, 1000) + kMs1601To1970;  // whole milliseconds since 1601
    if (ms < 0) ms = 0;
    constexpr std::int64_t kMaxMs = LLONG_MAX / 10000;
    if (ms > kMaxMs) ms = kMaxMs;
    const auto ticks = static_cast<std::uint64_t>(ms) * 10000u;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

UtcTime FromFileTime(FILETIME time) noexcept {
    std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    if (ticks > static_cast<std::uint64_t>(LLONG_MAX)) ticks = static_cast<std::uint64_t>(LLONG_MAX);
    const std::int64_t us = static_cast<std::int64_t>(ticks / 10) - kMs1601To1970 * 1000;
    return UtcTime(std::chrono::microseconds(us));
}

DATE TimeTToDate(std::int64_t seconds) noexcept {
    const std::int64_t days = FloorDiv(seconds, 86400);
    const std::int64_t msOfDay = (seconds - days * 86400) * 1000;
    const double day = static_cast<double>(days + kDays1899To1970);
    const double fraction = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
    // Before 1899-12-30 an OLE DATE counts days backwards but the time of day forwards.
    return day >= 0 ? day + fraction : day - fraction;
}

std::int64_t DateToTimeT(DATE date) {
    if (std::isnan(date)) throw std::out_of_range("time_t unable to handle not-a-date-time value");
    if (std::isinf(date)) {
        if (date < 0) throw std::out_of_range("time_t unable to handle -infinity date value");
        throw std::out_of_range("time_t unable to handle +infinity date value");
    }
    if (date < 0) throw std::out_of_range("time_t unable to handle +infinity date value before 1/1/1970");
    if (date >= kLastDate) throw std::out_of_range("time_t unable to handle +infinity date value");
    const double days = std::floor(date);
    // To the nearest millisecond: DATE fractions of whole seconds are rarely exact.
    const std::int64_t msOfDay = std::llround((date - days) * static_cast<double>(kMsPerDay));
    const std::int64_t ms = (static_cast<std::int64_t>(days) - kDays1899To1970) * kMsPerDay + msOfDay;
    if (ms < 0) throw std::out_of_range("time_t unable to handle +infinity date value before 1/1/1970");
    return ms / 1000;
}

// --- 4. Write item value ----------------------------------------------------------------

HRESULT WriteItemValue(NRK_Server& runtime, int channel, int attribute, VARTYPE canonical,
                       const VARIANT& value) noexcept {
    try {
        if (attribute == NRK_ATTR_VALUE) {
            int locked = 0;
            if (!runtime.GetChannelInt(channel, -1, &locked, NRK_ATTR_WRITE_LOCK) || locked != 0) return E_FAIL;
        }
        const VARTYPE vt = V_VT(&value);
        bool written = false;
        const VARTYPE range = IntegerWriteRange(canonical);
        if (IsIntegerType(vt)) {
            WideInteger number;
            ToWideInteger(value, number);  // exact for every integer type
            if (!FitsIn(number, range)) return DISP_E_OVERFLOW;
            written = runtime.SetChannelInt(channel, -1, RuntimeInt(number, range), attribute);
        } else {
            if (IsFloatType(vt)) {
                // The runtime converts the number to the attribute's type; one that the
                // attribute cannot hold is refused here, whatever the runtime would make of it.
                WideInteger rounded;
                if (IsIntegerType(canonical) &&
                    (FAILED(ToWideInteger(value, rounded)) || !FitsIn(rounded, range)))
                    return DISP_E_OVERFLOW;
                if (MustBeFinite(attribute, canonical) && !std::isfinite(vt == VT_R4 ? V_R4(&value) : V_R8(&value)))
                    return OPC_E_RANGE;
            }
            switch (vt) {
            case VT_R4: written = runtime.SetChannelFloat(channel, -1, V_R4(&value), attribute); break;
            case VT_R8: written = runtime.SetChannelDouble(channel, -1, V_R8(&value), attribute); break;
            case VT_DATE: {
                const WideInteger t = WideInteger::Of(DateToTimeT(V_DATE(&value)));
                if (IsIntegerType(canonical)) {
                    if (!FitsIn(t, range)) return DISP_E_OVERFLOW;
                } else if (!FitsIn(t, VT_I4)) {
                    // The runtime keeps times as 32-bit seconds: later times cannot be written.
                    return E_FAIL;
                }
                written = runtime.SetChannelInt(channel, -1, RuntimeInt(t, range), attribute);
                break;
            }
            case VT_BSTR: {
                const BSTR b = V_BSTR(&value);
                const std::wstring_view text = b ? std::wstring_view(b, SysStringLen(b)) : std::wstring_view();
                // A text the runtime cannot hold exactly is refused rather than written as "".
                std::string narrow;
                if (text.find(L'\0') != std::wstring_view::npos || !TryWideToNarrow(text, narrow))
                    return OPC_E_BADTYPE;
                if (MustBeFinite(attribute, canonical) && IsNonFiniteNumberText(narrow)) return OPC_E_RANGE;
                written = runtime.SetChannelString(channel, -1, narrow.c_str(), attribute);
                break;
            }
            case VT_BOOL:
                written = runtime.SetChannelInt(channel, -1, V_BOOL(&value) != 0 ? 1 : 0, attribute);
                break;
            default:
                return OPC_E_BADTYPE;
            }
        }
        return written ? S_OK : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace opc
