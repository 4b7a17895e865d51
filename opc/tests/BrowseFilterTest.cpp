#include "opc/server/BrowseFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using opc::server::BrowseFilter;
using opc::server::BrowseFilterToRegex;
using opc::server::InvalidBrowseFilter;

namespace {

struct RegexCase {
    const wchar_t* filter;
    const wchar_t* regex;
};

// Every literal substitution, in the order the rows apply, and the three wildcards.
const RegexCase kRegexCases[] = {
    {L"\\", L"(\\\\)"},
    {L".", L"\\."},
    {L"(", L"\\("},
    {L")", L"\\)"},
    {L"{", L"\\{"},
    {L"}", L"\\}"},
    {L"+", L"\\+"},
    {L"|", L"\\|"},
    {L"^", L"\\^"},
    {L"$", L"\\$"},
    {L"[[]", L"(\\[)"},
    {L"[]]", L"\\]"},
    {L"[#]", L"\\#"},
    {L"[*]", L"\\*"},
    {L"[?]", L"\\?"},
    {L"[!A]", L"[^A]"},
    {L"#", L"\\d"},
    {L"*", L"([\\s\\S]{0,})"},
    {L"?", L"([\\s\\S])"},
    {L"a.b", L"a\\.b"},
    {L"[!A]*", L"[^A]([\\s\\S]{0,})"},
    // A row's output is not searched again by the same row, but later rows see it.
    {L"\\.", L"(\\\\)\\."},
    {L"((", L"\\(\\("},
    // Wildcards escaped by a bracket stay literal; plain ones next to them are replaced.
    {L"[*]*", L"\\*([\\s\\S]{0,})"},
    {L"[#]#", L"\\#\\d"},
    // A backslash is a group of its own, and a wildcard after it is still a wildcard.
    {L"a\\*", L"a(\\\\)([\\s\\S]{0,})"},
    {L"\\(", L"(\\\\)\\("},
    {L"", L""},
};

class BrowseFilterRegex : public ::testing::TestWithParam<RegexCase> {};

TEST_P(BrowseFilterRegex, TurnsIntoTheExpectedPattern) {
    EXPECT_EQ(BrowseFilterToRegex(GetParam().filter), GetParam().regex);
}

INSTANTIATE_TEST_SUITE_P(Rows, BrowseFilterRegex, ::testing::ValuesIn(kRegexCases));

struct MatchCase {
    const wchar_t* filter;
    std::vector<std::wstring> match;
    std::vector<std::wstring> miss;
};

const MatchCase kMatchCases[] = {
    {L"A*", {L"A", L"Abc", L"A.b", L"A b\\"}, {L"a", L"bA", L""}},
    {L"?", {L"x", L"7", L".", L"*"}, {L"", L"xy"}},
    {L"#*", {L"1", L"9abc"}, {L"a1", L""}},
    {L"[!A]*", {L"B", L"aA", L"1"}, {L"A", L"Abc", L""}},
    {L"a.b", {L"a.b"}, {L"axb", L"a.bc", L"A.b"}},
    {L"a(1)", {L"a(1)"}, {L"a1", L"a(1)x"}},
    {L"[[]", {L"["}, {L"[[]", L""}},
    {L"[]]", {L"]"}, {L"[]]"}},
    {L"[*]", {L"*"}, {L"x", L""}},
    {L"[?]", {L"?"}, {L"x"}},
    {L"[#]", {L"#"}, {L"1"}},
    {L"[a-c]x", {L"ax", L"cx"}, {L"dx", L"Ax"}},
    {L"*Temp*", {L"Temp", L"Line.Temp.Value", L"xTempx"}, {L"temp", L"Tmp"}},
    {L"T??p", {L"Temp", L"T..p"}, {L"Tep", L"Teemp"}},
    {L"a+b|c^$", {L"a+b|c^$"}, {L"aab", L"c"}},
    {L"{x}", {L"{x}"}, {L"x"}},
    {L"back\\slash", {L"back\\slash"}, {L"backslash", L"back(\\)slash"}},
    {L"\\*", {L"\\", L"\\x"}, {L"x", L""}},
    {L"Value", {L"Value"}, {L"value", L"Value2", L"xValue"}},
    {L"Ток*", {L"Ток", L"Токовый"}, {L"ток"}},
};

class BrowseFilterMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(BrowseFilterMatch, MatchesWholeNamesOnly) {
    const MatchCase& c = GetParam();
    BrowseFilter filter(c.filter);
    for (const auto& name : c.match) EXPECT_TRUE(filter.Matches(name)) << "name: " << testing::PrintToString(name);
    for (const auto& name : c.miss) EXPECT_FALSE(filter.Matches(name)) << "name: " << testing::PrintToString(name);
}

INSTANTIATE_TEST_SUITE_P(Language, BrowseFilterMatch, ::testing::ValuesIn(kMatchCases));

TEST(BrowseFilter, TextsThatDoNotCompileAreRefused) {
    for (const wchar_t* bad : {L"[", L"ab[", L"[!", L"[z-a]"}) {
        EXPECT_THROW(BrowseFilter{bad}, InvalidBrowseFilter) << testing::PrintToString(std::wstring(bad));
    }
}

TEST(BrowseFilter, RunawayMatchFailsWithAnExceptionNotACrash) {
    // Many adjacent '*' against a long name without the final character make the engine
    // backtrack hard; it may give up, which must surface as an exception the caller maps.
    BrowseFilter filter(std::wstring(40, L'*') + L"x");
    std::wstring name(200, L'a');
    try {
        EXPECT_FALSE(filter.Matches(name));
    } catch (const std::runtime_error&) {
        SUCCEED();
    }
}

} // namespace
