#include "opc/server/BrowseFilter.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include <optional>
#include <random>

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

TEST(BrowseFilter, LongRunsOfStarsMatchWithoutBlowingUp) {
    // Each case once took the regular-expression engine seconds or gave up.
    struct Case {
        std::wstring filter;
        std::wstring name;
        bool match;
    };
    const std::wstring stars(1000, L'*');
    const Case cases[] = {
        {stars + L"#", std::wstring(300, L'a'), false},
        {stars + L"#", std::wstring(300, L'a') + L"7", true},
        {std::wstring(40, L'*') + L"x", std::wstring(200, L'a'), false},
        {std::wstring(500, L'?') + L"*", std::wstring(499, L'a'), false},
        {std::wstring(500, L'?') + L"*", std::wstring(500, L'a'), true},
        {L"*a*a*a*a*a*a*a*a*a*a*b", std::wstring(2000, L'a'), false},
        {L"*[*]*[?]*#*", L"x*y?z1", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BrowseFilter(c.filter).Matches(c.name), c.match)
            << c.filter.size() << " filter characters, " << c.name.size() << " name characters";
    }
}

// The regular expression that the filter turns into, compiled and matched as such: the
// meaning of the filter language that the matcher must keep.
struct ReferenceAnswer {
    bool valid = false;
    bool decided = false; // the engine may give up on a match
    bool match = false;
};

ReferenceAnswer Reference(const std::wstring& filter, const std::wstring& name) {
    ReferenceAnswer answer;
    boost::wregex regex;
    try {
        regex.assign(BrowseFilterToRegex(filter), boost::regex::extended);
    } catch (const boost::regex_error&) {
        return answer;
    }
    answer.valid = true;
    try {
        answer.match = boost::regex_match(name, regex);
        answer.decided = true;
    } catch (const std::runtime_error&) {
    }
    return answer;
}

TEST(BrowseFilter, AgreesWithItsRegularExpressionOnRandomPatternsAndNames) {
    // Short texts over the characters that mean something in filters or regular expressions.
    const std::wstring patternChars = L"ab1*?#[]!-\\.()^$:=+{}|Z\x0436";
    const std::wstring nameChars = L"ab1*?#[]!-\\.()^Z\x0436 ";
    std::mt19937 random(20261210);
    auto text = [&](const std::wstring& from, std::size_t maxLength) {
        std::wstring out(random() % (maxLength + 1), L' ');
        for (wchar_t& c : out) c = from[random() % from.size()];
        return out;
    };
    int checked = 0;
    for (int p = 0; p < 4000; ++p) {
        const std::wstring filter = text(patternChars, 7);
        std::optional<BrowseFilter> matcher;
        bool valid = true;
        try {
            matcher.emplace(filter);
        } catch (const InvalidBrowseFilter&) {
            valid = false;
        }
        const std::wstring probe = text(nameChars, 6);
        ASSERT_EQ(valid, Reference(filter, probe).valid) << testing::PrintToString(filter);
        if (!valid) continue;
        for (int n = 0; n < 12; ++n) {
            const std::wstring name = n == 0 ? filter : text(nameChars, 8);
            const ReferenceAnswer expected = Reference(filter, name);
            if (!expected.decided) continue;
            ASSERT_EQ(matcher->Matches(name), expected.match)
                << "filter " << testing::PrintToString(filter) << " name " << testing::PrintToString(name);
            ++checked;
        }
    }
    EXPECT_GT(checked, 10000);
}

} // namespace
