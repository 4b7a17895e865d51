#include "module/CommandLine.h"

#include <gtest/gtest.h>

namespace {

struct TokenCase {
    const wchar_t* line;
    std::vector<std::wstring> tokens;
};

class Tokenise : public ::testing::TestWithParam<TokenCase> {};

TEST_P(Tokenise, SplitsJoinsAndUnquotes) {
    EXPECT_EQ(lx::TokeniseCommandLine(GetParam().line), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Tokenise,
    ::testing::Values(
        TokenCase{L"lx6opc.exe", {L"lx6opc.exe"}},
        TokenCase{L"", {L""}},
        // A quoted program path with spaces is one token.
        TokenCase{L"\"C:\\Program Files\\Velmara 6\\lx6opc.exe\" -Embedding",
                  {L"C:\\Program Files\\Velmara 6\\lx6opc.exe", L"-Embedding"}},
        // Adjacent separators give empty tokens; a tab separates like a space.
        TokenCase{L"a  b\t\tc ", {L"a", L"", L"b", L"", L"c", L""}},
        // Joined with one space whatever separated the parts.
        TokenCase{L"\"x\ty z\" w", {L"x y z", L"w"}},
        // Inside quotes, adjacent separators survive as repeated spaces.
        TokenCase{L"\"a  b\"", {L"a  b"}},
        // A lone quote becomes empty; an empty pair too.
        TokenCase{L"p \" q", {L"p", L" q"}},
        TokenCase{L"p \"", {L"p", L""}},
        TokenCase{L"p \"\" q", {L"p", L"", L"q"}},
        // An unterminated quote absorbs the rest and loses only its opening quote.
        TokenCase{L"p \"C:\\my nodes\\a.dbb", {L"p", L"C:\\my nodes\\a.dbb"}},
        // A quote that does not begin the token stays.
        TokenCase{L"ab\"c d\"", {L"ab\"c", L"d\""}}));

struct SwitchCase {
    const wchar_t* token;
    lx::TokenAction action;
};

class Classify : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(Classify, ComparesWholeTokenIgnoringCase) {
    EXPECT_EQ(lx::ClassifyToken(GetParam().token), GetParam().action) << GetParam().token;
}

INSTANTIATE_TEST_SUITE_P(
    Switches, Classify,
    ::testing::Values(SwitchCase{L"/RegServer", lx::TokenAction::Register},
                      SwitchCase{L"-regserver", lx::TokenAction::Register},
                      SwitchCase{L"/UNREGSERVER", lx::TokenAction::Unregister},
                      SwitchCase{L"-UnRegServer", lx::TokenAction::Unregister},
                      SwitchCase{L"-Embedding", lx::TokenAction::AutoStart},
                      SwitchCase{L"/embedding", lx::TokenAction::AutoStart},
                      SwitchCase{L"/Automation", lx::TokenAction::AutoStart},
                      SwitchCase{L"-run", lx::TokenAction::AutoStart},
                      SwitchCase{L"/RUN", lx::TokenAction::AutoStart},
                      SwitchCase{L"C:\\plant\\unit.dbb", lx::TokenAction::NodeFile},
                      SwitchCase{L"unit.DbB", lx::TokenAction::NodeFile},
                      SwitchCase{L".dbb", lx::TokenAction::NodeFile},
                      SwitchCase{L"/RegServerX", lx::TokenAction::None},
                      SwitchCase{L"RegServer", lx::TokenAction::None},
                      SwitchCase{L"/Run/", lx::TokenAction::None},
                      SwitchCase{L"unit.dbb.bak", lx::TokenAction::None},
                      SwitchCase{L"dbb", lx::TokenAction::None},
                      SwitchCase{L"", lx::TokenAction::None},
                      SwitchCase{L"C:\\Program Files\\lx6opc.exe", lx::TokenAction::None}));

TEST(ToUpper, CoversCyrillic) {
    EXPECT_EQ(lx::ToUpper(L"узел.dbb"), L"УЗЕЛ.DBB");
}

TEST(ExecutableDirectory, IsTheProgramPathsParent) {
    EXPECT_EQ(lx::ExecutableDirectory(L"C:\\Program Files\\V6\\lx6opc.exe"), L"C:\\Program Files\\V6");
    EXPECT_EQ(lx::ExecutableDirectory(L"C:\\lx6opc.exe"), L"C:\\");
    EXPECT_EQ(lx::ExecutableDirectory(L"bin/lx6opc.exe"), L"bin");
    // A bare program name: the running image's directory, never the drive root.
    const std::wstring bare = lx::ExecutableDirectory(L"lx6opc.exe");
    EXPECT_FALSE(bare.empty());
    EXPECT_NE(bare, L"\\");
}

} // namespace
