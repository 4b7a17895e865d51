#include "runtime/NodeSelection.h"

#include "TestRuntime.h"
#include "module/ModuleIds.h"
#include "module/StartupFailure.h"
#include "tests/support/RegistryDump.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

namespace fs = std::filesystem;
using lx::node::ConfigReader;

namespace {

// The failure id an operation raises, or nothing when it succeeds.
template <typename F>
std::optional<UINT> FailureOf(F&& operation) {
    try {
        operation();
    } catch (const lx::StartupFailure& failure) {
        return failure.StringId();
    }
    return std::nullopt;
}

// A configuration value with RegQueryValueExW's buffer semantics.
class FakeReader : public ConfigReader {
public:
    bool opens = true;
    LONG status = ERROR_SUCCESS;
    DWORD type = REG_SZ;
    std::vector<BYTE> data;

    static FakeReader Text(const std::wstring& text, DWORD type = REG_SZ) {
        FakeReader r;
        r.type = type;
        const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
        r.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
        return r;
    }
    bool Open() override { return opens; }
    LONG Query(DWORD* t, BYTE* buffer, DWORD* bytes) override {
        if (status != ERROR_SUCCESS) return status;
        *t = type;
        if (data.size() > *bytes) {
            *bytes = static_cast<DWORD>(data.size());
            return ERROR_MORE_DATA;
        }
        std::copy(data.begin(), data.end(), buffer);
        *bytes = static_cast<DWORD>(data.size());
        return ERROR_SUCCESS;
    }
};

TEST(ReadNodeFilePath, AcceptsStringValues) {
    auto plain = FakeReader::Text(L"C:\\nodes\\plant.dbb");
    EXPECT_EQ(lx::node::ReadNodeFilePath(plain), L"C:\\nodes\\plant.dbb");
    // REG_EXPAND_SZ is read as written, never expanded.
    auto expand = FakeReader::Text(L"%TEMP%\\plant.dbb", REG_EXPAND_SZ);
    EXPECT_EQ(lx::node::ReadNodeFilePath(expand), L"%TEMP%\\plant.dbb");
    // 259 characters and the NUL fill the buffer exactly.
    auto longest = FakeReader::Text(std::wstring(259, L'a'));
    EXPECT_EQ(lx::node::ReadNodeFilePath(longest).size(), 259u);
}

TEST(ReadNodeFilePath, RefusesEveryMalformedValueWith4096) {
    struct Case {
        const char* what;
        FakeReader reader;
    };
    std::vector<Case> cases;
    {
        FakeReader r; r.opens = false; cases.push_back({"missing key", r});
    }
    {
        FakeReader r; r.status = ERROR_FILE_NOT_FOUND; cases.push_back({"missing value", r});
    }
    cases.push_back({"empty string", FakeReader::Text(L"")});
    {
        FakeReader r; r.data.clear(); cases.push_back({"zero length", r});
    }
    cases.push_back({"260 characters", FakeReader::Text(std::wstring(260, L'a'))});
    cases.push_back({"1000 characters", FakeReader::Text(std::wstring(1000, L'a'))});
    {
        FakeReader r = FakeReader::Text(L"a.dbb"); r.type = REG_DWORD; cases.push_back({"REG_DWORD", r});
    }
    {
        FakeReader r = FakeReader::Text(L"a.dbb"); r.type = REG_MULTI_SZ; cases.push_back({"REG_MULTI_SZ", r});
    }
    {
        FakeReader r = FakeReader::Text(L"a.dbb"); r.type = REG_BINARY; cases.push_back({"REG_BINARY", r});
    }
    {
        FakeReader r = FakeReader::Text(L"ab.dbb"); r.data.pop_back(); cases.push_back({"odd byte length", r});
    }
    {
        FakeReader r = FakeReader::Text(L"ab.dbb"); r.data.resize(r.data.size() - 2);
        cases.push_back({"not terminated", r});
    }
    {
        FakeReader r = FakeReader::Text(std::wstring(260, L'a')); r.data.resize(520);
        cases.push_back({"260 characters without NUL", r});
    }
    for (auto& c : cases)
        EXPECT_EQ(FailureOf([&] { lx::node::ReadNodeFilePath(c.reader); }), lx::IDS_NODE_NOT_DEFINED) << c.what;
}

TEST(Pattern, BecomesAnExpression) {
    EXPECT_EQ(lx::node::PatternToRegex(L"plant*.dbb"), L"plant.*\\.dbb");
    EXPECT_EQ(lx::node::PatternToRegex(L"a?.dbb"), L"a.?\\.dbb");
    EXPECT_EQ(lx::node::PatternToRegex(L"u(1)+[x].dbb"), L"u\\(1\\)\\+\\[x\\]\\.dbb");
}

TEST(Pattern, MatchesWholeNamesIgnoringCase) {
    struct Case {
        const wchar_t* pattern;
        const wchar_t* name;
        bool match;
    };
    const Case cases[] = {
        {L"plant*.dbb", L"plant1.DBB", true},
        {L"plant*.dbb", L"plant.dbb", true},
        {L"plant*.dbb", L"xplant1.dbb", false},
        {L"plant*.dbb", L"plant1.dbb.bak", false},
        {L"a?.dbb", L"a.dbb", true},        // '?' is zero or one character
        {L"a?.dbb", L"ab.dbb", true},
        {L"a?.dbb", L"abc.dbb", false},
        {L"*.dbb", L"nodexdbb", false},     // the dot is literal
        {L"УЗЕЛ*.dbb", L"узел1.dbb", true}, // case ignored beyond ASCII
        {L"unit(?).dbb", L"unit(2).dbb", true},
        {L"unit(?).dbb", L"unit2.dbb", false},
        {L"[a*.dbb", L"[abc.dbb", true},    // an unbalanced bracket is an ordinary character
        {L"c++*.dbb", L"c++1.dbb", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(lx::node::MatchesPattern(c.pattern, c.name), c.match) << c.pattern << L" / " << c.name;
}

TEST(CandidateDirectories, AbsoluteDirectoryAloneElseCurrentThenExecutable) {
    const fs::path cur = L"C:\\work", exe = L"C:\\app";
    using V = std::vector<fs::path>;
    EXPECT_EQ(lx::node::CandidateDirectories(L"D:\\nodes", cur, exe), V{L"D:\\nodes"});
    EXPECT_EQ(lx::node::CandidateDirectories(L"", cur, exe), (V{cur, exe}));
    EXPECT_EQ(lx::node::CandidateDirectories(L"nodes", cur, exe), (V{cur / L"nodes", exe / L"nodes"}));
    // A root directory without a drive, or a drive without a root, is not absolute.
    EXPECT_EQ(lx::node::CandidateDirectories(L"\\nodes", cur, exe).size(), 2u);
    EXPECT_EQ(lx::node::CandidateDirectories(L"D:nodes", cur, exe).size(), 2u);
}

// Two directory trees standing for the current and the executable directory.
class NodeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = fs::path(temp) / (L"lx6opc-nodes-" + std::to_wstring(GetCurrentProcessId()));
        fs::remove_all(root);
        cur = root / L"cur";
        exe = root / L"exe";
        fs::create_directories(cur);
        fs::create_directories(exe);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    static void Touch(const fs::path& file) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "node\n";
    }
    lx::node::Selection Select(const std::wstring& value) { return lx::node::SelectNodeFile(value, cur, exe); }

    fs::path root, cur, exe;
};

TEST_F(NodeFiles, WildcardChoosesTheMatchBelowTheCurrentDirectory) {
    Touch(cur / L"nodes" / L"plant1.DBB");
    Touch(cur / L"nodes" / L"other.dbb");
    const auto s = Select(L"nodes\\plant*.dbb");
    EXPECT_EQ(s.nodePath, (cur / L"nodes" / L"plant1.DBB").wstring());
    EXPECT_EQ(s.resolved, cur / L"nodes" / L"plant1.DBB");
}

TEST_F(NodeFiles, QuestionMarkAlsoMatchesNothing) {
    Touch(exe / L"a.dbb");
    EXPECT_EQ(Select(L"a?.dbb").nodePath, (exe / L"a.dbb").wstring());
}

TEST_F(NodeFiles, CurrentDirectoryComesBeforeTheExecutables) {
    Touch(cur / L"n" / L"x.dbb");
    Touch(exe / L"n" / L"x.dbb");
    Touch(exe / L"n" / L"y1.dbb");
    EXPECT_EQ(Select(L"n\\x.dbb").resolved, cur / L"n" / L"x.dbb");
    EXPECT_EQ(Select(L"n\\x.dbb").nodePath, L"n\\x.dbb");   // kept as written
    EXPECT_EQ(Select(L"n\\x*.dbb").resolved, cur / L"n" / L"x.dbb");
    // Found only beside the executable.
    EXPECT_EQ(Select(L"n\\y*.dbb").resolved, exe / L"n" / L"y1.dbb");
    EXPECT_EQ(Select(L"n\\y1.dbb").resolved, exe / L"n" / L"y1.dbb");
}

TEST_F(NodeFiles, AbsolutePathsAndDirectories) {
    Touch(root / L"abs" / L"unit.dbb");
    const std::wstring dir = (root / L"abs").wstring();
    EXPECT_EQ(Select(dir + L"\\unit.dbb").resolved, root / L"abs" / L"unit.dbb");
    EXPECT_EQ(Select(dir + L"\\UNIT*.dbb").nodePath, dir + L"\\unit.dbb");
    // An absolute directory is the only candidate.
    Touch(cur / L"unit.dbb");
    EXPECT_EQ(FailureOf([&] { Select(dir + L"\\none*.dbb"); }), lx::IDS_NODE_NOT_FOUND);
}

TEST_F(NodeFiles, NothingToLoadGives4097) {
    Touch(cur / L"nodes" / L"plant1.dbb");
    fs::create_directories(cur / L"folder.dbb");
    const wchar_t* values[] = {
        L"nodes\\none*.dbb",      // no match
        L"nod*\\plant1.dbb",      // a wildcard in the directory part
        L"nodes\\plant1.dbb\\x",  // below a file
        L"missing.dbb",           // no such file
        L"folder.dbb",            // a directory, not a file
        L"folder*",               // a pattern matches regular files only
        L"C:\\no\\such\\dir\\a*.dbb",
    };
    for (const wchar_t* value : values)
        EXPECT_EQ(FailureOf([&] { Select(value); }), lx::IDS_NODE_NOT_FOUND) << value;
}

TEST(LoadAndCheck, LoadsWithDirectoryAndNameThenChecksTheType) {
    TestRuntime runtime;
    lx::node::LoadAndCheck(runtime, L"C:\\plant\\nodes\\unit.dbb");
    EXPECT_EQ(runtime.loadDirectory, "C:\\plant\\nodes\\");
    EXPECT_EQ(runtime.loadFile, "unit.dbb");
}

TEST(LoadAndCheck, RefusalsAndOtherTypes) {
    struct Case {
        const char* what;
        int loadResult;
        bool propertyResult;
        bool writesProperty;
        int type;
        UINT failure;
    };
    const Case cases[] = {
        {"load refused", 7, true, true, 1, lx::IDS_NODE_LOAD_FAILED},
        {"load refused, negative", -1, true, true, 1, lx::IDS_NODE_LOAD_FAILED},
        {"property not available", 0, false, true, 1, lx::IDS_INVALID_NODE_TYPE},
        {"another type", 0, true, true, 2, lx::IDS_INVALID_NODE_TYPE},
        {"type 0", 0, true, true, 0, lx::IDS_INVALID_NODE_TYPE},
        {"output left untouched (-1)", 0, true, false, 1, lx::IDS_INVALID_NODE_TYPE},
    };
    for (const Case& c : cases) {
        TestRuntime runtime;
        runtime.loadResult = c.loadResult;
        runtime.propertyResult = c.propertyResult;
        runtime.writesProperty = c.writesProperty;
        runtime.nodeType = c.type;
        EXPECT_EQ(FailureOf([&] { lx::node::LoadAndCheck(runtime, L"C:\\n\\a.dbb"); }), c.failure) << c.what;
    }
}

TEST_F(NodeFiles, WholeSelectionFromTheRegistry) {
    Touch(cur / L"nodes" / L"Plant7.dbb");
    lxtest::ScratchRegistry scratch(L"node-selection");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(scratch.CurrentUser(), lx::kConfigKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const std::wstring value = L"nodes\\plant?.DBB";
    RegSetValueExW(key, lx::kNodeFilePathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);

    lx::node::RegistryConfigReader reader(scratch.CurrentUser());
    TestRuntime runtime;
    EXPECT_EQ(lx::node::SelectAndLoadNode(reader, runtime, cur, exe), (cur / L"nodes" / L"Plant7.dbb").wstring());
    EXPECT_EQ(runtime.loadFile, "Plant7.dbb");
    EXPECT_EQ(runtime.loads, 1);

    lx::node::RegistryConfigReader missing(scratch.ClassesRoot());   // no configuration key there
    EXPECT_EQ(FailureOf([&] { lx::node::SelectAndLoadNode(missing, runtime, cur, exe); }), lx::IDS_NODE_NOT_DEFINED);
}

} // namespace
