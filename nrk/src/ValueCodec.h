// Conversions between an attribute's own kind and the types of the operation
// table. Numeric attribute values are held as doubles in their kind's range:
// integers exactly, R4 values rounded to float, dates as whole seconds since
// 1970-01-01 UTC, booleans as 0 or 1.
#pragma once

#include "AttributeTable.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nrk {

// Stores a value given as an integer. UI4 takes the integer's bit pattern
// (GetChannelInt hands UI4 values above 2^31-1 out as negative numbers, so a
// value read that way writes back unchanged). False when out of the kind's range.
bool numericFromInt(Kind kind, std::int32_t in, double& out);
// Stores a value given as a double: integer kinds round to nearest and must
// fit; R4 must fit a float; NaN is refused for every kind but R4 and R8.
bool numericFromDouble(Kind kind, double in, double& out);

// As numericFromDouble, but a value outside the kind's range is clamped to it
// (simulated values). False only for NaN in an integer kind.
bool numericFromDoubleClamped(Kind kind, double in, double& out);

// Reads a stored numeric value as an integer (UI4: bit pattern), float or double.
bool numericToInt(Kind kind, double v, std::int32_t& out);
bool numericToFloat(Kind kind, double v, float& out);
bool numericToDouble(Kind kind, double v, double& out);

// Text form of a numeric value ("12", "21.5", "1", "2026-12-09 22:52:00").
// Writes at most size bytes including the NUL; false when it does not fit.
bool formatNumeric(Kind kind, double v, char* text, std::size_t size);

// Parses the text form of a numeric kind. Integers in decimal (or 0x hex),
// reals with ".", booleans also as true/false/on/off/yes/no, dates as
// "YYYY-MM-DD[ HH:MM[:SS]]" (UTC) or as seconds since 1970.
bool parseNumeric(Kind kind, std::string_view text, double& out);

// Parses a whole text as a double ("21.5", " 7 ", "1e3"); false for anything else.
bool parseDouble(std::string_view text, double& out);

} // namespace nrk
