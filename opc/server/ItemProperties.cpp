#include "opc/server/ItemProperties.h"

#include <new>

#include "nrk/NRK_Server.h"
#include "opc/common/ComMemory.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/ValueConversion.h"
#include "opcda.h"
#include "runtime/AddressSpace.h"
#include "runtime/TextConversion.h"

namespace opc::server {

namespace {

constexpr const wchar_t* kDescriptions[kItemPropertyCount] = {
    L"Item Canonical Data Type", L"Item Value", L"Item Quality", L"Item Timestamp", L"Item Access Rights",
    L"Server Scan Rate", L"Item EU Type",
};

constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityOutOfService = 0x1C;

DATE NowAsDate() {
    // Whole days since 1899-12-30 plus the milliseconds of the day, as for time_t values.
    const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    const std::int64_t micros = now.time_since_epoch().count();
    constexpr std::int64_t kMicrosPerDay = 86'400'000'000LL;
    std::int64_t days = micros / kMicrosPerDay;
    std::int64_t rest = micros % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        --days;
    }
    constexpr std::int64_t kDaysFrom1899To1970 = 25569;
    return static_cast<double>(days + kDaysFrom1899To1970) + static_cast<double>(rest / 1000) / 86'400'000.0;
}

} // namespace

AvailableProperties QueryAvailableProperties(NRK_Server& runtime, const AttributeNode& item) {
    const VARTYPE canonical = item.CanonicalType(runtime);
    AvailableProperties result{OpcArray<DWORD>(kItemPropertyCount), OpcArray<LPWSTR>(kItemPropertyCount),
                               OpcArray<VARTYPE>(kItemPropertyCount)};
    const VARTYPE types[kItemPropertyCount] = {VT_I2, canonical, VT_I2, VT_DATE, VT_I4, VT_R4, VT_I4};
    for (DWORD i = 0; i < kItemPropertyCount; ++i) {
        result.ids.at(i) = i + 1;
        result.descriptions.at(i) = TaskMemString(kDescriptions[i]).release();
        result.dataTypes.at(i) = types[i];
    }
    return result;
}

HRESULT ReadItemValueProperty(NRK_Server& runtime, const AttributeNode& item, VARTYPE canonical, VARIANT& value) {
    const int ch = item.ChannelId();
    const int attr = item.AttributeId();
    VariantInit(&value);
    bool ok = false;
    switch (canonical) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: {
        int v = 0;
        ok = runtime.GetChannelInt(ch, -1, &v, attr);
        if (ok) value.lVal = v;  // the 8- and 16-bit types show the low bytes
        break;
    }
    case VT_I8: case VT_UI8: {
        int v = 0;
        ok = runtime.GetChannelInt(ch, -1, &v, attr);
        if (ok) value.llVal = v;
        break;
    }
    case VT_R4:
        ok = runtime.GetChannelFloat(ch, -1, &value.fltVal, attr);
        break;
    case VT_R8:
        ok = runtime.GetChannelDouble(ch, -1, &value.dblVal, attr);
        break;
    case VT_BOOL: {
        int v = 0;
        ok = runtime.GetChannelInt(ch, -1, &v, attr);
        if (ok) value.boolVal = v != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    }
    case VT_DATE: {
        int v = 0;
        ok = runtime.GetChannelInt(ch, -1, &v, attr);
        if (ok) value.date = TimeTToDate(v);
        break;
    }
    case VT_BSTR: {
        char text[NRK_TEXT_SIZE] = {};
        if (!runtime.GetChannelString(ch, -1, text, attr, 0)) return E_FAIL;
        try {
            const std::wstring wide = NarrowToWide(text);
            BSTR bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (!bstr) return E_OUTOFMEMORY;
            value.vt = VT_BSTR;
            value.bstrVal = bstr;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    default:
        return E_FAIL;
    }
    if (!ok) {
        VariantInit(&value);
        return E_FAIL;
    }
    value.vt = canonical;
    return S_OK;
}

PropertyValues GetItemProperties(NRK_Server& runtime, const AttributeNode& item, DWORD count, const DWORD* ids,
                                 FLOAT scanRateMs) {
    const VARTYPE canonical = item.CanonicalType(runtime);
    PropertyValues result{OpcArray<VARIANT>(count), OpcArray<HRESULT>(count)};
    for (DWORD i = 0; i < count; ++i) {
        VARIANT& value = result.values.at(i);
        HRESULT& error = result.errors.at(i);
        switch (ids[i]) {
        case 1:
            value.vt = VT_I2;
            value.iVal = static_cast<SHORT>(canonical);
            break;
        case 2:
            error = ReadItemValueProperty(runtime, item, canonical, value);
            break;
        case 3:
            value.vt = VT_I2;
            value.iVal = runtime.IsNodeRunning() ? kQualityGood : kQualityOutOfService;
            break;
        case 4:
            value.vt = VT_DATE;
            value.date = NowAsDate();
            break;
        case 5:
            value.vt = VT_I4;
            value.lVal = static_cast<LONG>(item.AccessRights(runtime));
            break;
        case 6:
            value.vt = VT_R4;
            value.fltVal = scanRateMs;
            break;
        case 7:
            value.vt = VT_I4;
            value.lVal = OPC_NOENUM;  // no engineering units
            break;
        default:
            error = OPC_E_INVALID_PID;
            break;
        }
        if (FAILED(error)) {
            VariantClear(&value);
            result.anyError = true;
        }
    }
    return result;
}

} // namespace opc::server
