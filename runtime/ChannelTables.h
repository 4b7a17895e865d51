// The fixed attribute tables of the channel model: the canonical data type of every
// attribute of every channel type, and whether the attribute may be written.
#pragma once

#include <windows.h>
#include <wtypes.h>

#include <array>
#include <cstdint>

class NRK_Server;

constexpr int kChannelTypeCount = 16;  // channel types 0..15
constexpr int kAttributeCount = 256;   // attribute ids 0..255

// Canonical data type per (channel type, attribute id); VT_EMPTY: the attribute does
// not exist for that type.
class ChannelTypeTable {
public:
    using Row = std::array<VARTYPE, kAttributeCount>;
    using Table = std::array<Row, kChannelTypeCount>;

    // Raises std::out_of_range "Channel type out of range" for a type outside 0..15
    // (-1 included: the type that could not be read), then "Attribute ID out of range"
    // for an attribute id outside 0..255.
    static VARTYPE Lookup(int channelType, int attributeId);

    static const Table& Rows() noexcept;
};

// Write permission per (attribute-81 flag, channel type, attribute id): 1 writable,
// 0 read-only. Both halves hold the same values.
class AttributeWriteTable {
public:
    using Half = std::array<std::array<std::uint8_t, kAttributeCount>, kChannelTypeCount>;
    using Table = std::array<Half, 2>;

    // Same failures and order of checks as ChannelTypeTable::Lookup.
    static bool Lookup(int channelType, bool attribute81, int attributeId);

    static const Table& Halves() noexcept;
};

// The channel's type (attribute 48), or -1 when it cannot be read.
int ReadChannelType(NRK_Server& runtime, int channel);

// True when attribute 81 of the channel can be read and is non-zero.
bool ReadAttribute81Flag(NRK_Server& runtime, int channel);
