// Narrow <-> wide conversion at the runtime boundary.
#include <gtest/gtest.h>

#include <string>

#include "runtime/TextConversion.h"

namespace {

struct NarrowCase {
    const char* what;
    UINT codePage;
    std::string narrow;
    std::wstring wide;
};

TEST(TextConversion, NarrowToWideKeepsWhatConvertsUpToTheFirstBadSequence) {
    const NarrowCase cases[] = {
        {"empty", CP_ACP, "", L""},
        {"ascii in the user's code page", CP_ACP, "Plant.Line_7", L"Plant.Line_7"},
        {"utf-8 Cyrillic", CP_UTF8, "\xD0\x9F\xD1\x80", L"\x041F\x0440"},
        {"utf-8 bad byte in the middle", CP_UTF8, "abc\xFF" "def", L"abc"},
        {"utf-8 sequence cut at the end", CP_UTF8, "ab\xD0", L"ab"},
        {"utf-8 bad byte first", CP_UTF8, "\x80xyz", L""},
        {"utf-8 good, bad, good", CP_UTF8, "\xD0\x9F\xC3\x28\xD0\x9F", L"\x041F"},
        {"windows-1251", 1251, "\xCF\xF0\xE8", L"\x041F\x0440\x0438"},
        {"shift-jis pair", 932, "\x82\xA0" "a", L"\x3042" L"a"},
        {"shift-jis lead byte alone at the end", 932, "a\x82", L"a"},
    };
    for (const NarrowCase& c : cases) EXPECT_EQ(NarrowToWide(c.narrow, c.codePage), c.wide) << c.what;
}

TEST(TextConversion, WideToNarrowGivesEmptyTextWhenAnyCharacterCannotBeConverted) {
    const NarrowCase cases[] = {
        {"empty", CP_ACP, "", L""},
        {"ascii", CP_ACP, "Temp 21.5", L"Temp 21.5"},
        {"utf-8 Cyrillic", CP_UTF8, "\xD0\x9F\xD1\x80", L"\x041F\x0440"},
        {"windows-1251", 1251, "\xCF\xF0\xE8", L"\x041F\x0440\x0438"},
        {"Japanese in windows-1251", 1251, "", L"ab\x65E5\x672C"},
        {"no best-fit substitute (A with macron in windows-1252)", 1252, "", L"x\x0100"},
        {"lone surrogate in utf-8", CP_UTF8, "", L"a\xD800" L"b"},
    };
    for (const NarrowCase& c : cases) EXPECT_EQ(WideToNarrow(c.wide, c.codePage), c.narrow) << c.what;

    std::string narrow = "old";
    EXPECT_FALSE(TryWideToNarrow(L"\x65E5", narrow, 1251));
    EXPECT_EQ(narrow, "");
    EXPECT_TRUE(TryWideToNarrow(L"", narrow, 1251));
    EXPECT_TRUE(TryWideToNarrow(L"\x0418", narrow, 1251));
    EXPECT_EQ(narrow, "\xC8");
}

} // namespace
