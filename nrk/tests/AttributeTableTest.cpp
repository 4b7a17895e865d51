// The attributes of each channel type and their names.
#include "AttributeTable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace nrk;

TEST(AttributeTable, EveryAttributeHasAUniqueNameWithoutDot) {
    for (int t = 0; t < kChannelTypes; ++t) {
        std::set<std::string> names;
        for (int a = 0; a < kAttributes; ++a) {
            const char* n = attributeName(t, a);
            EXPECT_EQ(n != nullptr, layoutOf(t)->kind[a] != Kind::None) << t << "." << a;
            if (!n) continue;
            EXPECT_TRUE(names.insert(n).second) << "type " << t << " repeats " << n;
            EXPECT_EQ(std::string(n).find('.'), std::string::npos) << n;
            EXPECT_FALSE(std::string(n).empty());
            EXPECT_EQ(attributeByName(t, n), a) << n;
        }
    }
}

TEST(AttributeTable, KindsOfTheAttributesTheServerUses) {
    struct Case {
        int type, attr;
        Kind kind;
    };
    for (Case c : {Case{1, 2, Kind::I4}, Case{2, 2, Kind::UI2}, Case{3, 2, Kind::UI4}, Case{4, 2, Kind::R4},
                   Case{6, 2, Kind::R8}, Case{12, 10, Kind::Date}, Case{4, 8, Kind::Bool}, Case{4, 48, Kind::UI2},
                   Case{4, 81, Kind::UI1}, Case{4, 127, Kind::Text}, Case{4, 126, Kind::Text},
                   Case{11, 126, Kind::I4}, Case{1, 128, Kind::I2}, Case{0, 48, Kind::UI2}, Case{7, 127, Kind::Text},
                   Case{9, 2, Kind::None}, Case{4, 200, Kind::None}, Case{15, 254, Kind::UI4}}) {
        EXPECT_EQ(layoutOf(c.type)->kind[c.attr], c.kind) << c.type << "." << c.attr;
    }
    EXPECT_EQ(layoutOf(16), nullptr);
    EXPECT_EQ(layoutOf(-1), nullptr);
}

TEST(AttributeTable, TypesWithoutItemsCarryOnlyTypeAndName) {
    for (int t : {0, 7, 9}) {
        int count = 0;
        for (int a = 0; a < kAttributes; ++a) count += layoutOf(t)->kind[a] != Kind::None;
        EXPECT_EQ(count, 2) << t;
    }
}

TEST(AttributeTable, LookupByIdOrName) {
    EXPECT_EQ(attributeByName(4, "Value"), 2);
    EXPECT_EQ(attributeByName(4, "2"), 2);
    EXPECT_EQ(attributeByName(4, "002"), 2);
    EXPECT_EQ(attributeByName(4, "200"), -1);
    EXPECT_EQ(attributeByName(4, "value"), -1); // names are exact
    EXPECT_EQ(attributeByName(11, "Visible"), 126);
    EXPECT_EQ(attributeByName(4, ""), -1);
}
