#include "runtime/ChannelTables.h"

#include <stdexcept>

#include "nrk/NRK_Server.h"

namespace {

struct AttributeRange {
    int from;
    int to;  // inclusive
    VARTYPE type;
};

// Attributes that every item-bearing type (1..6, 8, 10..15) has with the same type.
constexpr AttributeRange kCommonAttributes[] = {
    {3, 4, VT_BOOL}, {5, 7, VT_UI1}, {8, 8, VT_BOOL}, {38, 38, VT_UI1}, {39, 39, VT_BOOL}, {41, 41, VT_UI1},
    {42, 44, VT_BOOL}, {45, 45, VT_DATE}, {46, 46, VT_BOOL}, {47, 47, VT_BSTR}, {48, 48, VT_UI2}, {49, 49, VT_BOOL},
    {51, 52, VT_BOOL}, {56, 56, VT_UI1}, {57, 57, VT_UI4}, {58, 58, VT_UI1}, {59, 59, VT_UI4}, {60, 60, VT_BOOL},
    {61, 61, VT_I4}, {78, 78, VT_UI1}, {79, 80, VT_BSTR}, {81, 83, VT_UI1}, {86, 86, VT_UI2}, {87, 87, VT_R4},
    {89, 89, VT_UI4}, {90, 92, VT_UI2}, {93, 98, VT_UI1}, {118, 118, VT_UI4}, {119, 119, VT_I4}, {120, 120, VT_UI4},
    {123, 123, VT_UI1}, {124, 125, VT_UI2}, {127, 127, VT_BSTR}, {254, 254, VT_UI4},
};
// Further attributes per type.
constexpr AttributeRange kType1Attributes[] = {
    {0, 2, VT_I4}, {9, 9, VT_I4}, {34, 34, VT_UI1}, {40, 40, VT_BOOL}, {53, 53, VT_UI1}, {54, 54, VT_UI4},
    {55, 55, VT_I4}, {84, 84, VT_I4}, {88, 88, VT_UI4}, {116, 116, VT_I4}, {126, 126, VT_BSTR}, {128, 129, VT_I2},
    {252, 252, VT_UI4},
};
constexpr AttributeRange kType2Attributes[] = {
    {0, 2, VT_UI2}, {9, 9, VT_UI2}, {10, 25, VT_BOOL}, {40, 40, VT_BOOL}, {55, 55, VT_I4}, {84, 84, VT_BOOL},
    {85, 85, VT_I4}, {88, 88, VT_UI4}, {100, 101, VT_UI1}, {104, 115, VT_UI1}, {126, 126, VT_BSTR},
};
constexpr AttributeRange kType3Attributes[] = {
    {0, 2, VT_UI4}, {9, 9, VT_UI4}, {10, 25, VT_BOOL}, {40, 40, VT_BOOL}, {55, 55, VT_I4}, {62, 77, VT_BOOL},
    {84, 84, VT_BOOL}, {85, 85, VT_I4}, {88, 88, VT_UI4}, {100, 103, VT_UI1}, {126, 126, VT_BSTR},
};
constexpr AttributeRange kType4Attributes[] = {
    {0, 2, VT_R4}, {9, 9, VT_R4}, {26, 32, VT_R4}, {53, 53, VT_BOOL}, {55, 55, VT_I4}, {85, 85, VT_I4},
    {88, 88, VT_UI4}, {116, 116, VT_I4}, {126, 126, VT_BSTR},
};
constexpr AttributeRange kType5Attributes[] = {
    {0, 2, VT_R4}, {9, 9, VT_R4}, {26, 37, VT_R4}, {53, 53, VT_BOOL}, {55, 55, VT_I4}, {85, 85, VT_I4},
    {88, 88, VT_UI4}, {116, 116, VT_I4}, {126, 126, VT_BSTR},
};
constexpr AttributeRange kType6Attributes[] = {
    {0, 2, VT_R8}, {9, 9, VT_R8}, {26, 27, VT_R8}, {53, 53, VT_BOOL}, {55, 55, VT_I4}, {85, 85, VT_I4},
    {88, 88, VT_UI4}, {116, 116, VT_I4}, {126, 126, VT_BSTR},
};
constexpr AttributeRange kType8Attributes[] = {
    {0, 2, VT_R4}, {9, 10, VT_R4}, {26, 32, VT_R4}, {33, 33, VT_UI2}, {35, 35, VT_UI4}, {36, 36, VT_UI2},
    {37, 37, VT_UI4}, {40, 40, VT_I4}, {53, 53, VT_BOOL}, {54, 55, VT_UI2}, {84, 85, VT_BOOL}, {99, 99, VT_UI4},
    {100, 103, VT_R4}, {126, 126, VT_BSTR}, {128, 133, VT_R4}, {150, 173, VT_R4},
};
constexpr AttributeRange kType10Attributes[] = {
    {0, 2, VT_R8}, {9, 9, VT_R8}, {17, 17, VT_I4}, {25, 28, VT_R8}, {32, 33, VT_I4}, {53, 53, VT_I4},
    {55, 55, VT_I4}, {71, 71, VT_I4}, {84, 85, VT_I4}, {126, 126, VT_BSTR}, {128, 146, VT_I4}, {243, 250, VT_I4},
};
constexpr AttributeRange kType11Attributes[] = {
    {0, 2, VT_UI2}, {9, 9, VT_UI2}, {26, 28, VT_BSTR}, {55, 55, VT_I4}, {84, 84, VT_I4}, {128, 128, VT_I4},
    {207, 207, VT_UI2}, {208, 209, VT_UI1}, {210, 210, VT_BSTR},
};
constexpr AttributeRange kType12Attributes[] = {
    {0, 2, VT_R4}, {9, 9, VT_R4}, {10, 12, VT_DATE}, {13, 13, VT_UI4}, {14, 15, VT_UI2}, {16, 16, VT_UI4},
    {17, 19, VT_UI1}, {40, 40, VT_I4}, {55, 55, VT_I4}, {84, 84, VT_I4}, {88, 88, VT_UI4}, {126, 126, VT_BSTR},
    {128, 130, VT_DATE}, {131, 133, VT_UI2}, {140, 155, VT_I4},
};
constexpr AttributeRange kType13Attributes[] = {
    {0, 2, VT_R4}, {9, 9, VT_R4}, {10, 18, VT_UI2}, {55, 55, VT_I4}, {88, 88, VT_UI4}, {126, 126, VT_BSTR},
};
constexpr AttributeRange kType14Attributes[] = {
    {0, 2, VT_UI2}, {9, 9, VT_UI2}, {10, 10, VT_UI1}, {11, 11, VT_DATE}, {12, 12, VT_UI4}, {13, 14, VT_R4},
    {15, 15, VT_UI1}, {16, 22, VT_R4}, {23, 26, VT_UI4}, {27, 28, VT_R4}, {29, 33, VT_UI4}, {34, 35, VT_UI1},
    {36, 37, VT_UI4}, {40, 40, VT_I4}, {53, 53, VT_BOOL}, {54, 55, VT_UI4}, {62, 62, VT_R4}, {63, 63, VT_UI4},
    {64, 64, VT_I4}, {65, 65, VT_UI4}, {66, 66, VT_I4}, {67, 67, VT_UI4}, {68, 69, VT_I4}, {70, 71, VT_UI1},
    {72, 72, VT_UI4}, {73, 75, VT_I4}, {76, 76, VT_DATE}, {77, 77, VT_UI4}, {84, 85, VT_I4}, {99, 99, VT_BSTR},
    {100, 100, VT_UI4}, {101, 101, VT_BOOL}, {102, 105, VT_BSTR}, {106, 106, VT_DATE}, {107, 107, VT_UI4}, {108, 108, VT_I4},
    {109, 109, VT_BSTR}, {111, 111, VT_I4}, {112, 112, VT_BSTR}, {113, 113, VT_DATE}, {114, 114, VT_I4}, {115, 116, VT_DATE},
    {117, 117, VT_R4}, {121, 122, VT_UI4}, {126, 126, VT_BSTR}, {128, 131, VT_UI1}, {132, 134, VT_DATE}, {135, 136, VT_UI4},
    {137, 139, VT_R4}, {140, 145, VT_UI4}, {146, 146, VT_UI1}, {147, 147, VT_I4}, {148, 151, VT_UI1}, {152, 154, VT_DATE},
    {155, 156, VT_UI1}, {157, 159, VT_R4}, {160, 165, VT_UI4}, {166, 166, VT_UI1}, {168, 171, VT_UI1}, {172, 174, VT_DATE},
    {175, 176, VT_UI4}, {177, 179, VT_R4}, {180, 185, VT_UI4}, {186, 186, VT_UI1}, {188, 191, VT_UI1}, {192, 194, VT_DATE},
    {195, 196, VT_UI1}, {197, 199, VT_R4}, {200, 205, VT_UI4}, {206, 206, VT_UI1}, {225, 232, VT_R4}, {236, 237, VT_R4},
    {238, 239, VT_DATE}, {240, 240, VT_UI1}, {243, 246, VT_I4}, {250, 253, VT_UI4},
};
constexpr AttributeRange kType15Attributes[] = {
    {0, 2, VT_UI2}, {9, 9, VT_UI2}, {10, 10, VT_UI4}, {11, 11, VT_DATE}, {12, 12, VT_UI4}, {16, 16, VT_UI2},
    {23, 24, VT_UI4}, {27, 27, VT_R4}, {28, 28, VT_BSTR}, {29, 29, VT_UI4}, {31, 32, VT_UI4}, {35, 35, VT_UI1},
    {40, 40, VT_I4}, {53, 53, VT_BOOL}, {54, 55, VT_UI4}, {68, 68, VT_UI1}, {70, 70, VT_UI4}, {71, 71, VT_UI1},
    {72, 72, VT_UI4}, {76, 76, VT_DATE}, {77, 77, VT_UI4}, {84, 85, VT_I4}, {101, 101, VT_BOOL}, {102, 105, VT_BSTR},
    {106, 106, VT_DATE}, {108, 108, VT_I4}, {109, 109, VT_BSTR}, {111, 112, VT_BSTR}, {113, 113, VT_DATE}, {114, 114, VT_UI4},
    {115, 115, VT_DATE}, {126, 126, VT_BSTR}, {128, 131, VT_UI1}, {132, 134, VT_DATE}, {135, 136, VT_UI4}, {137, 139, VT_R4},
    {140, 145, VT_UI4}, {146, 146, VT_UI1}, {148, 151, VT_UI1}, {152, 154, VT_DATE}, {155, 156, VT_UI4}, {157, 159, VT_R4},
    {160, 165, VT_UI4}, {166, 166, VT_UI1}, {168, 171, VT_UI1}, {172, 174, VT_DATE}, {175, 176, VT_UI4}, {177, 179, VT_R4},
    {180, 185, VT_UI4}, {186, 186, VT_UI1}, {188, 191, VT_UI1}, {192, 194, VT_DATE}, {195, 196, VT_UI4}, {197, 199, VT_R4},
    {200, 205, VT_UI4}, {206, 206, VT_UI1}, {207, 207, VT_UI2}, {208, 209, VT_UI1}, {210, 210, VT_BSTR}, {212, 215, VT_R4},
    {216, 216, VT_UI4}, {222, 222, VT_R4}, {223, 224, VT_UI4}, {225, 232, VT_R4}, {233, 233, VT_BSTR}, {235, 235, VT_UI1},
    {241, 242, VT_BSTR}, {243, 246, VT_I4}, {250, 253, VT_I4},
};
constexpr bool kItemBearing[kChannelTypeCount] = {false, true,  true, true, true, true, true, false,
                                                  true,  false, true, true, true, true, true, true};

template <std::size_t N>
constexpr void Apply(ChannelTypeTable::Row& row, const AttributeRange (&ranges)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        for (int a = ranges[i].from; a <= ranges[i].to; ++a) row[a] = ranges[i].type;
}

constexpr ChannelTypeTable::Table MakeTypeTable() {
    ChannelTypeTable::Table t{};
    for (int type = 0; type < kChannelTypeCount; ++type)
        if (kItemBearing[type]) Apply(t[type], kCommonAttributes);
    Apply(t[1], kType1Attributes);
    Apply(t[2], kType2Attributes);
    Apply(t[3], kType3Attributes);
    Apply(t[4], kType4Attributes);
    Apply(t[5], kType5Attributes);
    Apply(t[6], kType6Attributes);
    Apply(t[8], kType8Attributes);
    Apply(t[10], kType10Attributes);
    Apply(t[11], kType11Attributes);
    Apply(t[12], kType12Attributes);
    Apply(t[13], kType13Attributes);
    Apply(t[14], kType14Attributes);
    Apply(t[15], kType15Attributes);
    return t;
}

constexpr AttributeWriteTable::Half MakeWriteHalf() {
    AttributeWriteTable::Half h{};
    // The value (attribute 2) of every item-bearing type but 11.
    for (int type = 0; type < kChannelTypeCount; ++type)
        if (kItemBearing[type] && type != 11) h[type][2] = 1;
    for (int a = 26; a <= 32; ++a) h[4][a] = 1;
    for (int a = 26; a <= 37; ++a) h[5][a] = 1;
    for (int a = 26; a <= 27; ++a) h[6][a] = 1;
    return h;
}

constexpr ChannelTypeTable::Table kTypeTable = MakeTypeTable();
constexpr AttributeWriteTable::Table kWriteTable = {MakeWriteHalf(), MakeWriteHalf()};

void CheckIndices(int channelType, int attributeId) {
    if (static_cast<unsigned>(channelType) >= static_cast<unsigned>(kChannelTypeCount))
        throw std::out_of_range("Channel type out of range");
    if (static_cast<unsigned>(attributeId) >= static_cast<unsigned>(kAttributeCount))
        throw std::out_of_range("Attribute ID out of range");
}

} // namespace

VARTYPE ChannelTypeTable::Lookup(int channelType, int attributeId) {
    CheckIndices(channelType, attributeId);
    return kTypeTable[channelType][attributeId];
}

const ChannelTypeTable::Table& ChannelTypeTable::Rows() noexcept { return kTypeTable; }

bool AttributeWriteTable::Lookup(int channelType, bool attribute81, int attributeId) {
    CheckIndices(channelType, attributeId);
    return kWriteTable[attribute81 ? 1 : 0][channelType][attributeId] != 0;
}

const AttributeWriteTable::Table& AttributeWriteTable::Halves() noexcept { return kWriteTable; }

int ReadChannelType(NRK_Server& runtime, int channel) {
    int type = -1;
    if (!runtime.GetChannelInt(channel, -1, &type, NRK_ATTR_TYPE)) return -1;
    return type;
}

bool ReadAttribute81Flag(NRK_Server& runtime, int channel) {
    int flag = 0;
    return runtime.GetChannelInt(channel, -1, &flag, NRK_ATTR_RIGHTS_HALF) && flag != 0;
}
