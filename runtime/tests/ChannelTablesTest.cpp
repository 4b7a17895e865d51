// The two attribute tables, cell by cell, against their lists as published for the
// channel model, and the lookups with their failures.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "FakeRuntime.h"
#include "runtime/ChannelTables.h"

namespace {

// Attributes that every item-bearing type (1..6, 8, 10..15) has with the same type.
const char* const kCommon =
    "3-4 BOOL, 5-7 UI1, 8 BOOL, 38 UI1, 39 BOOL, 41 UI1, 42-44 BOOL, 45 DATE, 46 BOOL, 47 BSTR, 48 UI2, 49 BOOL, 51-52 BOOL, 56 UI1, 57 UI4, 58 UI1, 59 UI4, 60 BOOL, 61 I4, 78 UI1, 79-80 BSTR, 81-83 UI1, 86 UI2, 87 R4, 89 UI4, 90-92 UI2, 93-98 UI1, 118 UI4, 119 I4, 120 UI4, 123 UI1, 124-125 UI2, 127 BSTR, 254 UI4";

struct TypeList {
    int type;
    const char* attributes;
};
const TypeList kFurther[] = {
    {1, "0-2 I4, 9 I4, 34 UI1, 40 BOOL, 53 UI1, 54 UI4, 55 I4, 84 I4, 88 UI4, 116 I4, 126 BSTR, 128-129 I2, 252 UI4"},
    {2, "0-2 UI2, 9 UI2, 10-25 BOOL, 40 BOOL, 55 I4, 84 BOOL, 85 I4, 88 UI4, 100-101 UI1, 104-115 UI1, 126 BSTR"},
    {3, "0-2 UI4, 9 UI4, 10-25 BOOL, 40 BOOL, 55 I4, 62-77 BOOL, 84 BOOL, 85 I4, 88 UI4, 100-103 UI1, 126 BSTR"},
    {4, "0-2 R4, 9 R4, 26-32 R4, 53 BOOL, 55 I4, 85 I4, 88 UI4, 116 I4, 126 BSTR"},
    {5, "0-2 R4, 9 R4, 26-37 R4, 53 BOOL, 55 I4, 85 I4, 88 UI4, 116 I4, 126 BSTR"},
    {6, "0-2 R8, 9 R8, 26-27 R8, 53 BOOL, 55 I4, 85 I4, 88 UI4, 116 I4, 126 BSTR"},
    {8, "0-2 R4, 9-10 R4, 26-32 R4, 33 UI2, 35 UI4, 36 UI2, 37 UI4, 40 I4, 53 BOOL, 54-55 UI2, 84-85 BOOL, 99 UI4, 100-103 R4, 126 BSTR, 128-133 R4, 150-173 R4"},
    {10, "0-2 R8, 9 R8, 17 I4, 25-28 R8, 32-33 I4, 53 I4, 55 I4, 71 I4, 84-85 I4, 126 BSTR, 128-146 I4, 243-250 I4"},
    {11, "0-2 UI2, 9 UI2, 26-28 BSTR, 55 I4, 84 I4, 128 I4, 207 UI2, 208-209 UI1, 210 BSTR"},
    {12, "0-2 R4, 9 R4, 10-12 DATE, 13 UI4, 14-15 UI2, 16 UI4, 17-19 UI1, 40 I4, 55 I4, 84 I4, 88 UI4, 126 BSTR, 128-130 DATE, 131-133 UI2, 140-155 I4"},
    {13, "0-2 R4, 9 R4, 10-18 UI2, 55 I4, 88 UI4, 126 BSTR"},
    {14, "0-2 UI2, 9 UI2, 10 UI1, 11 DATE, 12 UI4, 13-14 R4, 15 UI1, 16-22 R4, 23-26 UI4, 27-28 R4, 29-33 UI4, 34-35 UI1, 36-37 UI4, 40 I4, 53 BOOL, 54-55 UI4, 62 R4, 63 UI4, 64 I4, 65 UI4, 66 I4, 67 UI4, 68-69 I4, 70-71 UI1, 72 UI4, 73-75 I4, 76 DATE, 77 UI4, 84-85 I4, 99 BSTR, 100 UI4, 101 BOOL, 102-105 BSTR, 106 DATE, 107 UI4, 108 I4, 109 BSTR, 111 I4, 112 BSTR, 113 DATE, 114 I4, 115-116 DATE, 117 R4, 121-122 UI4, 126 BSTR, 128-131 UI1, 132-134 DATE, 135-136 UI4, 137-139 R4, 140-145 UI4, 146 UI1, 147 I4, 148-151 UI1, 152-154 DATE, 155-156 UI1, 157-159 R4, 160-165 UI4, 166 UI1, 168-171 UI1, 172-174 DATE, 175-176 UI4, 177-179 R4, 180-185 UI4, 186 UI1, 188-191 UI1, 192-194 DATE, 195-196 UI1, 197-199 R4, 200-205 UI4, 206 UI1, 225-232 R4, 236-237 R4, 238-239 DATE, 240 UI1, 243-246 I4, 250-253 UI4"},
    {15, "0-2 UI2, 9 UI2, 10 UI4, 11 DATE, 12 UI4, 16 UI2, 23-24 UI4, 27 R4, 28 BSTR, 29 UI4, 31-32 UI4, 35 UI1, 40 I4, 53 BOOL, 54-55 UI4, 68 UI1, 70 UI4, 71 UI1, 72 UI4, 76 DATE, 77 UI4, 84-85 I4, 101 BOOL, 102-105 BSTR, 106 DATE, 108 I4, 109 BSTR, 111-112 BSTR, 113 DATE, 114 UI4, 115 DATE, 126 BSTR, 128-131 UI1, 132-134 DATE, 135-136 UI4, 137-139 R4, 140-145 UI4, 146 UI1, 148-151 UI1, 152-154 DATE, 155-156 UI4, 157-159 R4, 160-165 UI4, 166 UI1, 168-171 UI1, 172-174 DATE, 175-176 UI4, 177-179 R4, 180-185 UI4, 186 UI1, 188-191 UI1, 192-194 DATE, 195-196 UI4, 197-199 R4, 200-205 UI4, 206 UI1, 207 UI2, 208-209 UI1, 210 BSTR, 212-215 R4, 216 UI4, 222 R4, 223-224 UI4, 225-232 R4, 233 BSTR, 235 UI1, 241-242 BSTR, 243-246 I4, 250-253 I4"},
};

VARTYPE TypeNamed(const std::string& name) {
    static const std::map<std::string, VARTYPE> names = {
        {"BOOL", VT_BOOL}, {"UI1", VT_UI1}, {"UI2", VT_UI2}, {"UI4", VT_UI4}, {"I2", VT_I2},
        {"I4", VT_I4},     {"R4", VT_R4},   {"R8", VT_R8},   {"DATE", VT_DATE}, {"BSTR", VT_BSTR}};
    const auto it = names.find(name);
    if (it == names.end()) throw std::invalid_argument("unknown type " + name);
    return it->second;
}

// "3-4 BOOL, 5-7 UI1, 8 BOOL" into row; a cell given twice is a fault of the list.
void ApplyList(ChannelTypeTable::Row& row, const std::string& list) {
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        std::istringstream parts(item);
        std::string range, type;
        parts >> range >> type;
        const auto dash = range.find('-');
        const int from = std::stoi(range.substr(0, dash));
        const int to = dash == std::string::npos ? from : std::stoi(range.substr(dash + 1));
        for (int a = from; a <= to; ++a) {
            ASSERT_EQ(row[a], VT_EMPTY) << "attribute " << a << " listed twice";
            row[a] = TypeNamed(type);
        }
    }
}

ChannelTypeTable::Table ExpectedTypes() {
    ChannelTypeTable::Table t{};
    for (const TypeList& list : kFurther) {
        ApplyList(t[list.type], kCommon);
        ApplyList(t[list.type], list.attributes);
    }
    return t;
}

TEST(ChannelTypeTable, EveryCellMatchesTheLists) {
    const ChannelTypeTable::Table expected = ExpectedTypes();
    for (int type = 0; type < kChannelTypeCount; ++type)
        for (int a = 0; a < kAttributeCount; ++a) {
            EXPECT_EQ(ChannelTypeTable::Lookup(type, a), expected[type][a]) << "type " << type << " attribute " << a;
            EXPECT_EQ(ChannelTypeTable::Rows()[type][a], expected[type][a]);
        }
}

TEST(ChannelTypeTable, TypesWithoutAttributes) {
    for (int type : {0, 7, 9})
        for (int a = 0; a < kAttributeCount; ++a) EXPECT_EQ(ChannelTypeTable::Lookup(type, a), VT_EMPTY);
    EXPECT_EQ(ChannelTypeTable::Lookup(11, 126), VT_EMPTY);  // read by the tree builder, yet no entry
}

bool ExpectedWritable(int type, int a) {
    if (a == 2) return (type >= 1 && type <= 6) || type == 8 || type == 10 || (type >= 12 && type <= 15);
    if (type == 4) return a >= 26 && a <= 32;
    if (type == 5) return a >= 26 && a <= 37;
    if (type == 6) return a >= 26 && a <= 27;
    return false;
}

TEST(AttributeWriteTable, EveryCellOfBothHalvesMatchesTheList) {
    for (bool half : {false, true})
        for (int type = 0; type < kChannelTypeCount; ++type)
            for (int a = 0; a < kAttributeCount; ++a) {
                EXPECT_EQ(AttributeWriteTable::Lookup(type, half, a), ExpectedWritable(type, a))
                    << "half " << half << " type " << type << " attribute " << a;
                EXPECT_EQ(AttributeWriteTable::Halves()[half][type][a], ExpectedWritable(type, a) ? 1 : 0);
            }
}

std::string FailureOf(const std::function<void()>& lookup) {
    try {
        lookup();
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "no failure";
}

TEST(ChannelTables, OutOfRangeLookupsNameTheFirstBadIndex) {
    const std::string type = "Channel type out of range";
    const std::string attr = "Attribute ID out of range";
    struct Case {
        int channelType;
        int attribute;
        std::string failure;
    };
    const Case cases[] = {
        {16, 0, type},   {-1, 2, type},     {INT_MIN, 2, type}, {16, 256, type},  {-1, -1, type},
        {4, 256, attr},  {4, -1, attr},     {0, 1000, attr},    {15, 255, "no failure"},
        {0, 0, "no failure"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FailureOf([&] { ChannelTypeTable::Lookup(c.channelType, c.attribute); }), c.failure)
            << c.channelType << "/" << c.attribute;
        for (bool half : {false, true})
            EXPECT_EQ(FailureOf([&] { AttributeWriteTable::Lookup(c.channelType, half, c.attribute); }), c.failure)
                << c.channelType << "/" << c.attribute;
    }
}

TEST(ChannelTables, ChannelTypeAndAttribute81AreReadFromTheRuntime) {
    FakeRuntime fake;
    fake.AddChannel(7, 4, "Temp").Set(81, 3);
    fake.AddChannel(8, 5, "Flow").Set(81, 0);
    fake.AddChannel(9, 6, "Level");  // attribute 81 not readable
    EXPECT_EQ(ReadChannelType(fake, 7), 4);
    EXPECT_EQ(ReadChannelType(fake, 99), -1);
    fake.Fail("GetChannelInt", 8, 48);
    EXPECT_EQ(ReadChannelType(fake, 8), -1);
    EXPECT_EQ(fake.Calls("GetChannelInt", 7, 48), 1);

    EXPECT_TRUE(ReadAttribute81Flag(fake, 7));
    EXPECT_FALSE(ReadAttribute81Flag(fake, 8));
    EXPECT_FALSE(ReadAttribute81Flag(fake, 9));
    fake.Fail("GetChannelInt", 7, 81);
    EXPECT_FALSE(ReadAttribute81Flag(fake, 7));
}

} // namespace
