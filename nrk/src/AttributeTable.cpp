#include "AttributeTable.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace nrk {
namespace {

// Attributes that every item-bearing type (1..6, 8, 10..15) carries.
const char* const kCommon =
    "3-4 BOOL, 5-7 UI1, 8 BOOL, 38 UI1, 39 BOOL, 41 UI1, 42-44 BOOL, 45 DATE, 46 BOOL, 47 BSTR, 48 UI2, "
    "49 BOOL, 51-52 BOOL, 56 UI1, 57 UI4, 58 UI1, 59 UI4, 60 BOOL, 61 I4, 78 UI1, 79-80 BSTR, 81-83 UI1, "
    "86 UI2, 87 R4, 89 UI4, 90-92 UI2, 93-98 UI1, 118 UI4, 119 I4, 120 UI4, 123 UI1, 124-125 UI2, "
    "127 BSTR, 254 UI4";

// Types without items (0, 7, 9) carry only what the runtime itself needs.
const char* const kBasic = "48 UI2, 127 BSTR";

// Further attributes per type; nullptr for the types without items.
const char* const kFurther[kChannelTypes] = {
    nullptr,
    /*1*/ "0-2 I4, 9 I4, 34 UI1, 40 BOOL, 53 UI1, 54 UI4, 55 I4, 84 I4, 88 UI4, 116 I4, 126 BSTR, "
          "128-129 I2, 252 UI4",
    /*2*/ "0-2 UI2, 9 UI2, 10-25 BOOL, 40 BOOL, 55 I4, 84 BOOL, 85 I4, 88 UI4, 100-101 UI1, 104-115 UI1, "
          "126 BSTR",
    /*3*/ "0-2 UI4, 9 UI4, 10-25 BOOL, 40 BOOL, 55 I4, 62-77 BOOL, 84 BOOL, 85 I4, 88 UI4, 100-103 UI1, "
          "126 BSTR",
    /*4*/ "0-2 R4, 9 R4, 26-32 R4, 53 BOOL, 55 I4, 85 I4, 88 UI4, 116 I4, 126 BSTR",
    /*5*/ "0-2 R4, 9 R4, 26-37 R4, 53 BOOL, 55 I4, 85 I4, 88 UI4, 116 I4, 126 BSTR",
    /*6*/ "0-2 R8, 9 R8, 26-27 R8, 53 BOOL, 55 I4, 85 I4, 88 UI4, 116 I4, 126 BSTR",
    nullptr,
    /*8*/ "0-2 R4, 9-10 R4, 26-32 R4, 33 UI2, 35 UI4, 36 UI2, 37 UI4, 40 I4, 53 BOOL, 54-55 UI2, 84-85 BOOL, "
          "99 UI4, 100-103 R4, 126 BSTR, 128-133 R4, 150-173 R4",
    nullptr,
    /*10*/ "0-2 R8, 9 R8, 17 I4, 25-28 R8, 32-33 I4, 53 I4, 55 I4, 71 I4, 84-85 I4, 126 BSTR, 128-146 I4, "
           "243-250 I4",
    // Attribute 126 of type 11 is the visibility flag (an integer), not a text.
    /*11*/ "0-2 UI2, 9 UI2, 26-28 BSTR, 55 I4, 84 I4, 126 I4, 128 I4, 207 UI2, 208-209 UI1, 210 BSTR",
    /*12*/ "0-2 R4, 9 R4, 10-12 DATE, 13 UI4, 14-15 UI2, 16 UI4, 17-19 UI1, 40 I4, 55 I4, 84 I4, 88 UI4, "
           "126 BSTR, 128-130 DATE, 131-133 UI2, 140-155 I4",
    /*13*/ "0-2 R4, 9 R4, 10-18 UI2, 55 I4, 88 UI4, 126 BSTR",
    /*14*/ "0-2 UI2, 9 UI2, 10 UI1, 11 DATE, 12 UI4, 13-14 R4, 15 UI1, 16-22 R4, 23-26 UI4, 27-28 R4, "
           "29-33 UI4, 34-35 UI1, 36-37 UI4, 40 I4, 53 BOOL, 54-55 UI4, 62 R4, 63 UI4, 64 I4, 65 UI4, 66 I4, "
           "67 UI4, 68-69 I4, 70-71 UI1, 72 UI4, 73-75 I4, 76 DATE, 77 UI4, 84-85 I4, 99 BSTR, 100 UI4, "
           "101 BOOL, 102-105 BSTR, 106 DATE, 107 UI4, 108 I4, 109 BSTR, 111 I4, 112 BSTR, 113 DATE, 114 I4, "
           "115-116 DATE, 117 R4, 121-122 UI4, 126 BSTR, 128-131 UI1, 132-134 DATE, 135-136 UI4, 137-139 R4, "
           "140-145 UI4, 146 UI1, 147 I4, 148-151 UI1, 152-154 DATE, 155-156 UI1, 157-159 R4, 160-165 UI4, "
           "166 UI1, 168-171 UI1, 172-174 DATE, 175-176 UI4, 177-179 R4, 180-185 UI4, 186 UI1, 188-191 UI1, "
           "192-194 DATE, 195-196 UI1, 197-199 R4, 200-205 UI4, 206 UI1, 225-232 R4, 236-237 R4, "
           "238-239 DATE, 240 UI1, 243-246 I4, 250-253 UI4",
    /*15*/ "0-2 UI2, 9 UI2, 10 UI4, 11 DATE, 12 UI4, 16 UI2, 23-24 UI4, 27 R4, 28 BSTR, 29 UI4, 31-32 UI4, "
           "35 UI1, 40 I4, 53 BOOL, 54-55 UI4, 68 UI1, 70 UI4, 71 UI1, 72 UI4, 76 DATE, 77 UI4, 84-85 I4, "
           "101 BOOL, 102-105 BSTR, 106 DATE, 108 I4, 109 BSTR, 111-112 BSTR, 113 DATE, 114 UI4, 115 DATE, "
           "126 BSTR, 128-131 UI1, 132-134 DATE, 135-136 UI4, 137-139 R4, 140-145 UI4, 146 UI1, 148-151 UI1, "
           "152-154 DATE, 155-156 UI4, 157-159 R4, 160-165 UI4, 166 UI1, 168-171 UI1, 172-174 DATE, "
           "175-176 UI4, 177-179 R4, 180-185 UI4, 186 UI1, 188-191 UI1, 192-194 DATE, 195-196 UI4, "
           "197-199 R4, 200-205 UI4, 206 UI1, 207 UI2, 208-209 UI1, 210 BSTR, 212-215 R4, 216 UI4, 222 R4, "
           "223-224 UI4, 225-232 R4, 233 BSTR, 235 UI1, 241-242 BSTR, 243-246 I4, 250-253 I4",
};

Kind kindOf(const char* word) {
    static const std::pair<const char*, Kind> kinds[] = {
        {"BOOL", Kind::Bool}, {"UI1", Kind::UI1}, {"UI2", Kind::UI2}, {"UI4", Kind::UI4}, {"I2", Kind::I2},
        {"I4", Kind::I4},     {"R4", Kind::R4},   {"R8", Kind::R8},   {"DATE", Kind::Date}, {"BSTR", Kind::Text}};
    for (auto& k : kinds)
        if (std::strcmp(k.first, word) == 0) return k.second;
    return Kind::None;
}

void apply(TypeLayout& layout, const char* row) {
    // Entries "A KIND" or "A-B KIND", separated by commas.
    const char* p = row;
    while (*p) {
        int from = 0, to = 0, used = 0;
        char word[8] = {};
        if (std::sscanf(p, " %d-%d %7[A-Z0-9]%n", &from, &to, word, &used) != 3) {
            used = 0;
            std::sscanf(p, " %d %7[A-Z0-9]%n", &from, word, &used);
            to = from;
        }
        for (int a = from; a <= to; ++a) layout.kind[a] = kindOf(word);
        p += used;
        while (*p == ',' || *p == ' ') ++p;
    }
}

// Engineering names. Common names first; type-specific ones override them.
struct Named {
    int attr;
    const char* name;
};
const Named kCommonNames[] = {
    {0, "RawValue"},      {1, "PreviousValue"}, {2, "Value"},        {3, "Alarm"},          {4, "Warning"},
    {5, "Priority"},      {6, "AlarmClass"},    {7, "QualityCode"},  {8, "WriteLock"},      {9, "DefaultValue"},
    {38, "Precision"},    {39, "Archived"},     {41, "ArchiveMode"}, {42, "Simulated"},     {43, "Forced"},
    {44, "Blocked"},      {45, "ChangeTime"},   {46, "Acknowledged"}, {47, "Description"},  {48, "Type"},
    {49, "Enabled"},      {51, "EventLogged"},  {52, "Printed"},     {55, "Status"},        {56, "Station"},
    {57, "Address"},      {58, "Bus"},          {59, "Port"},        {60, "Inverted"},      {61, "AddressOffset"},
    {78, "AccessLevel"},  {79, "Units"},        {80, "Comment"},     {81, "RightsHalf"},    {82, "ReadRights"},
    {83, "WriteRights"},  {86, "DisplayFormat"}, {87, "Deadband"},   {88, "Timeout"},       {89, "ArchivePeriod"},
    {90, "DisplayWidth"}, {91, "Color"},        {92, "AlarmColor"},  {93, "AlarmSound"},    {94, "Flashing"},
    {95, "Area"},         {96, "Sector"},       {97, "Shift"},       {98, "Category"},      {118, "ErrorCount"},
    {119, "ErrorCode"},   {120, "UpdateCount"}, {123, "Source"},     {124, "NodeNumber"},   {125, "ParentGroup"},
    {126, "Tag"},         {127, "Name"},        {254, "Checksum"},
};
const Named kAnalogNames[] = { // types 4, 5, 6, 8
    {26, "LowLimit"},    {27, "HighLimit"},   {28, "LowAlarmLimit"}, {29, "HighAlarmLimit"}, {30, "LowWarningLimit"},
    {31, "HighWarningLimit"}, {32, "Hysteresis"}, {33, "Coefficient1"}, {34, "Coefficient2"}, {35, "Coefficient3"},
    {36, "Coefficient4"}, {37, "Coefficient5"}, {53, "Scaled"},      {85, "Filter"},       {116, "ScanCount"},
};
const Named kType1Names[] = {
    {34, "FilterDepth"}, {40, "Hold"}, {53, "Scaling"}, {54, "ScanCount"}, {84, "MinValue"}, {116, "MaxValue"},
    {128, "LowLimit"},   {129, "HighLimit"}, {252, "TotalCount"},
};
const Named kType11Names[] = {
    {26, "Text1"}, {27, "Text2"}, {28, "Text3"}, {84, "Mode"}, {126, "Visible"}, {128, "Layer"},
    {207, "Width"}, {208, "Font"}, {209, "Style"}, {210, "Caption"},
};
const Named kType12Names[] = {
    {10, "StartTime"}, {11, "StopTime"}, {12, "LastResetTime"}, {13, "RunSeconds"}, {14, "Starts"},
    {15, "Stops"},     {16, "TotalSeconds"}, {17, "Hour"},     {18, "Minute"},    {19, "Second"},
    {40, "Mode"},      {84, "Interval"},  {128, "NextTime"},   {129, "PlannedTime"}, {130, "ResetTime"},
};

struct Tables {
    std::array<TypeLayout, kChannelTypes> layouts;
    std::array<std::array<char, 12>, kAttributes> generic{};

    Tables() {
        for (int a = 0; a < kAttributes; ++a) std::snprintf(generic[a].data(), generic[a].size(), "Param%d", a);
        for (int t = 0; t < kChannelTypes; ++t) {
            TypeLayout& l = layouts[t];
            if (kFurther[t]) {
                apply(l, kCommon);
                apply(l, kFurther[t]);
            } else {
                apply(l, kBasic);
            }
            for (int a = 0; a < kAttributes; ++a) {
                if (l.kind[a] == Kind::None) continue;
                l.slot[a] = static_cast<std::uint16_t>(l.kind[a] == Kind::Text ? l.textCount++ : l.numericCount++);
                l.name[a] = generic[a].data();
            }
            name(l, kCommonNames);
            if (t == 4 || t == 5 || t == 6 || t == 8) name(l, kAnalogNames);
            if (t == 1) name(l, kType1Names);
            if (t == 11) name(l, kType11Names);
            if (t == 12) name(l, kType12Names);
            if (t == 2 || t == 3)
                for (int b = 0; b < 16; ++b) setName(l, 10 + b, bits[b].data());
            if (t == 3)
                for (int b = 0; b < 16; ++b) setName(l, 62 + b, masks[b].data());
        }
    }
    std::array<std::array<char, 12>, 16> bits = makeNames("Bit");
    std::array<std::array<char, 12>, 16> masks = makeNames("Mask");

    static std::array<std::array<char, 12>, 16> makeNames(const char* prefix) {
        std::array<std::array<char, 12>, 16> out{};
        for (int b = 0; b < 16; ++b) std::snprintf(out[b].data(), out[b].size(), "%s%d", prefix, b);
        return out;
    }
    static void setName(TypeLayout& l, int a, const char* n) {
        if (l.kind[a] != Kind::None) l.name[a] = n;
    }
    template <std::size_t N> static void name(TypeLayout& l, const Named (&list)[N]) {
        for (auto& n : list) setName(l, n.attr, n.name);
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

} // namespace

const TypeLayout* layoutOf(int type) {
    if (type < 0 || type >= kChannelTypes) return nullptr;
    return &tables().layouts[type];
}

const char* attributeName(int type, int attr) {
    const TypeLayout* l = layoutOf(type);
    if (!l || attr < 0 || attr >= kAttributes || l->kind[attr] == Kind::None) return nullptr;
    return l->name[attr];
}

int attributeByName(int type, std::string_view name) {
    const TypeLayout* l = layoutOf(type);
    if (!l || name.empty()) return -1;
    bool digits = name.size() <= 3;
    int id = 0;
    for (std::size_t i = 0; digits && i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') digits = false;
        else id = id * 10 + (name[i] - '0');
    }
    if (digits) return (id < kAttributes && l->kind[id] != Kind::None) ? id : -1;
    for (int a = 0; a < kAttributes; ++a)
        if (l->kind[a] != Kind::None && name == l->name[a]) return a;
    return -1;
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::Bool: return "BOOL";
    case Kind::UI1: return "UI1";
    case Kind::UI2: return "UI2";
    case Kind::UI4: return "UI4";
    case Kind::I2: return "I2";
    case Kind::I4: return "I4";
    case Kind::R4: return "R4";
    case Kind::R8: return "R8";
    case Kind::Date: return "DATE";
    case Kind::Text: return "BSTR";
    default: return "none";
    }
}

} // namespace nrk
