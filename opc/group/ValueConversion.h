// Conversions between the runtime's attribute values and what OPC clients see:
// VARIANTs with a quality and a FILETIME timestamp.
//
// These are free functions over the runtime and plain data, without state of their
// own, so that the update service, items and item properties can call them from any
// thread. None of them lets an exception escape unless it says so.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

#include "opc/common/UtcTime.h"
#include "opc/common/ComMemory.h"

class NRK_Server;

namespace opc {

// A cached value as seen by a delivery; whoever owns the cache keeps it unchanged
// (holds the cache's lock) while the view is used.
struct CachedValueView {
    const VARIANT& value;
    WORD quality;
    UtcTime changed;
};

// --- 1. Read attribute (cache refresh) ---------------------------------------------

enum class ReadStatus {
    Value,    // value and quality were obtained
    NoValue,  // a getter failed or the canonical type is not read: leave the cache as it is
    Raised,   // reading raised an exception: the cached quality becomes 0x00, the value stays
};

struct AttributeReading {
    ReadStatus status = ReadStatus::NoValue;
    Variant value;     // of the canonical type, when status is Value
    WORD quality = 0;  // 0xC0 running / 0x1C stopped (Value); 0x00 (Raised)
};

AttributeReading ReadAttribute(NRK_Server& runtime, int channel, int attribute, VARTYPE canonical) noexcept;

// Values differ unless both are VT_NULL, both are NaN of the same type, or VarCmp finds
// them equal.
bool ValuesDiffer(const VARIANT& a, const VARIANT& b) noexcept;

// --- 2. Deliver item value ----------------------------------------------------------

struct DeliveredValue {
    Variant value;          // of the requested type (VT_EMPTY when result failed)
    WORD quality = 0;
    FILETIME timestamp{0, 0};
    HRESULT result = S_OK;  // the item's result
};

// Whether a delivery is served from the device: any source but OPC_DS_CACHE (1), and a
// VT_BSTR request for an attribute of another canonical type.
bool ServedFromDevice(DWORD source, VARTYPE requested, VARTYPE canonical) noexcept;

// From the cache: VariantCopy when requested equals canonical, else converted (integer
// types by ChangeToInteger: out of range gives DISP_E_OVERFLOW, never a wrapped number;
// other types by VariantChangeType, flags 0); quality and timestamp are the cached ones.
DeliveredValue DeliverFromCache(const CachedValueView& cached, VARTYPE requested, VARTYPE canonical) noexcept;

// From the device: the runtime's getter for the requested type; quality from
// IsNodeRunning, timestamp now. An integer read is taken as unsigned for a VT_UI4
// attribute, then narrowed to the requested integer type (DISP_E_OVERFLOW when it does
// not fit).
DeliveredValue DeliverFromDevice(NRK_Server& runtime, int channel, int attribute, VARTYPE requested,
                                 VARTYPE canonical) noexcept;

// Both of the above, chosen by ServedFromDevice. The runtime is called while the view
// is held: callers that must not call the runtime under their cache lock use the two
// functions above themselves.
DeliveredValue DeliverItemValue(NRK_Server& runtime, int channel, int attribute, VARTYPE canonical,
                                VARTYPE requested, DWORD source, const CachedValueView& cached) noexcept;

// --- 3. Times --------------------------------------------------------------------------

// Whole milliseconds since 1601-01-01 in 100 ns units (times before 1601 give 0).
FILETIME ToFileTime(UtcTime time) noexcept;
UtcTime FromFileTime(FILETIME time) noexcept;

// Seconds since 1970-01-01 UTC to an OLE DATE.
DATE TimeTToDate(std::int64_t seconds) noexcept;

// An OLE DATE to seconds since 1970-01-01 UTC (the fraction is taken to the nearest
// millisecond, then whole seconds). Raises std::out_of_range for NaN, infinities,
// times before 1970 and times past the year 9999.
std::int64_t DateToTimeT(DATE date);

// --- 4. Write item value ---------------------------------------------------------------

// Writes a client's VARIANT to an attribute of canonical type `canonical`, dispatching
// on the VARIANT's own type. Attribute 2 is written only while attribute 8 of the
// channel reads 0 (else E_FAIL). Unsupported types and texts that the runtime's code page
// cannot hold give OPC_E_BADTYPE; a setter that fails E_FAIL.
// Nothing is written, and DISP_E_OVERFLOW returned, for a number that the attribute's
// integer type cannot hold (an integer, DATE or R4/R8 value; NaN and infinities included),
// or, for attributes of other types, an integer outside the runtime's 32-bit range. NaN
// and infinities (also as text) written to a float attribute other than the value (the
// channel's limits and coefficients) give OPC_E_RANGE.
HRESULT WriteItemValue(NRK_Server& runtime, int channel, int attribute, VARTYPE canonical,
                       const VARIANT& value) noexcept;

} // namespace opc
