// The node view in this process with a scripted runtime: the tree, the rows and their
// cells, editing, the refresh timer, the splitter and the saved layout.
#include "panel/NodeView.h"
#include "runtime/AddressSpace.h"
#include "tests/support/FakeRuntime.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::wstring kTestLayoutKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER\\UI-test-" +
                                    std::to_wstring(GetCurrentProcessId());

// A visible top-level window that hosts the view.
class Host {
public:
    Host(int width = 480, int height = 300) {
        window_ = CreateWindowExW(0, L"STATIC", L"node view host", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                  width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~Host() { DestroyWindow(window_); }
    HWND Window() const { return window_; }
    RECT Client() const {
        RECT r{};
        GetClientRect(window_, &r);
        return r;
    }

private:
    HWND window_ = nullptr;
};

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

struct TreeItem {
    std::wstring text;
    int image;
    int depth;
};

void ReadTree(HWND tree, HTREEITEM item, int depth, std::vector<TreeItem>& out) {
    for (; item; item = TreeView_GetNextSibling(tree, item)) {
        wchar_t text[256] = {};
        TVITEMW tv{};
        tv.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_HANDLE;
        tv.hItem = item;
        tv.pszText = text;
        tv.cchTextMax = 256;
        TreeView_GetItem(tree, &tv);
        out.push_back({text, tv.iImage, depth});
        ReadTree(tree, TreeView_GetChild(tree, item), depth + 1, out);
    }
}

HTREEITEM FindItem(HWND tree, HTREEITEM item, const std::wstring& text) {
    for (; item; item = TreeView_GetNextSibling(tree, item)) {
        wchar_t buffer[256] = {};
        TVITEMW tv{};
        tv.mask = TVIF_TEXT | TVIF_HANDLE;
        tv.hItem = item;
        tv.pszText = buffer;
        tv.cchTextMax = 256;
        TreeView_GetItem(tree, &tv);
        if (text == buffer) return item;
        if (HTREEITEM found = FindItem(tree, TreeView_GetChild(tree, item), text)) return found;
    }
    return nullptr;
}

std::wstring Cell(HWND list, int row, int column) {
    wchar_t buffer[256] = {};
    ListView_GetItemText(list, row, column, buffer, 256);
    return buffer;
}

void DeleteLayout() { RegDeleteKeyW(HKEY_CURRENT_USER, kTestLayoutKey.c_str()); }

void StoreLayout(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestLayoutKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"View", 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

std::vector<BYTE> StoredLayout() {
    std::vector<BYTE> data(64);
    DWORD size = static_cast<DWORD>(data.size()), type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kTestLayoutKey.c_str(), L"View", RRF_RT_ANY, &type, data.data(), &size) !=
            ERROR_SUCCESS ||
        type != REG_BINARY)
        return {};
    data.resize(size);
    return data;
}

// Plant (group 0) holds group Line (40) and channel Count (8, type 1); Line holds channel Temp (7, type 4).
class NodeViewTest : public ::testing::Test {
protected:
    NodeViewTest() {
        fake.SetNodeName("Small Node");
        fake.AddGroup(0, "Plant").Channels({8});
        fake.AddGroup(40, "Line", 0).Channels({7});
        fake.AddChannel(7, 4, "Temp").Set(2, 21.5f).Set(8, 0);
        fake.AddChannel(8, 1, "Count").Set(2, 5);
        fake.SetAttributeName(2, "Value");
        fake.SetAttributeName(8, "WriteLock");
        root = BuildAddressSpace(fake);
        DeleteLayout();
    }
    ~NodeViewTest() override { DeleteLayout(); }

    std::unique_ptr<panel::NodeView> MakeView(const RECT& rect) {
        auto view = std::make_unique<panel::NodeView>(fake, root, kTestLayoutKey);
        EXPECT_TRUE(view->Create(host.Window(), rect));
        return view;
    }
    std::unique_ptr<panel::NodeView> MakeView() { return MakeView(host.Client()); }

    void Select(const panel::NodeView& view, const std::wstring& name) {
        const HTREEITEM item = FindItem(view.Tree(), TreeView_GetRoot(view.Tree()), name);
        ASSERT_TRUE(item) << "no tree item " << std::string(name.begin(), name.end());
        TreeView_SelectItem(view.Tree(), item);
    }

    // The row of an attribute of the selected channel Temp.
    int RowOf(int attribute) const {
        const auto& temp = static_cast<const BranchNode&>(*Resolve(*root, L"Plant.Line.Temp"));
        for (size_t i = 0; i < temp.Children().size(); ++i)
            if (static_cast<const AttributeNode&>(*temp.Children()[i]).AttributeId() == attribute)
                return static_cast<int>(i);
        return -1;
    }

    FakeRuntime fake;
    std::shared_ptr<GroupNode> root;
    Host host;
};

TEST_F(NodeViewTest, TreeHoldsTheBranchesWithTheirNamesAndImages) {
    fake.Fail("GetChannelInt", 8, 48);
    auto view = MakeView();
    std::vector<TreeItem> items;
    ReadTree(view->Tree(), TreeView_GetRoot(view->Tree()), 0, items);
    ASSERT_EQ(items.size(), 4u);
    // The root is expanded (17), Line is not (16); a channel shows its type, or nothing when it cannot be read.
    const TreeItem expected[] = {{L"Plant", 17, 0}, {L"Line", 16, 1}, {L"Temp", 4, 2}, {L"Count", -1, 1}};
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].text, expected[i].text) << i;
        EXPECT_EQ(items[i].image, expected[i].image) << i;
        EXPECT_EQ(items[i].depth, expected[i].depth) << i;
    }
    EXPECT_EQ(GetDlgCtrlID(view->Window()), panel::NodeView::kControlId);
    EXPECT_EQ(GetDlgCtrlID(view->Tree()), panel::NodeView::kTreeId);
    EXPECT_EQ(GetDlgCtrlID(view->List()), panel::NodeView::kListId);
    wchar_t cls[64] = {};
    GetClassNameW(GetParent(view->Tree()), cls, 64);
    EXPECT_STREQ(cls, L"WTL_SplitterWindow");
}

TEST_F(NodeViewTest, RowsAreTheSelectedChannelsAttributesWhileValuesMayBeViewed) {
    const int attributes = static_cast<int>(
        static_cast<const BranchNode&>(*Resolve(*root, L"Plant.Line.Temp")).Children().size());
    ASSERT_GT(attributes, 2);
    struct Case {
        const wchar_t* select;
        bool canView;
        int rows;
    } cases[] = {{L"Temp", true, attributes}, {L"Temp", false, 0}, {L"Line", true, 0}, {L"Plant", true, 0}};
    auto view = MakeView();
    EXPECT_EQ(ListView_GetItemCount(view->List()), 0);  // nothing selected yet
    for (const Case& c : cases) {
        fake.SetAnswer("CanViewValues", c.canView ? 1 : 0);
        Select(*view, c.select);
        view->RecountRows();
        EXPECT_EQ(ListView_GetItemCount(view->List()), c.rows) << c.select << " " << c.canView;
    }
    // A value that may not be viewed is not read either.
    fake.SetAnswer("CanViewValues", 0);
    Select(*view, L"Count");
    fake.ResetCalls();
    UpdateWindow(view->List());
    EXPECT_EQ(fake.Calls("GetChannelString"), 0);
}

TEST_F(NodeViewTest, CellsShowTheAttributesNameAndValue) {
    fake.SetAnswer("CanViewValues", 1);
    fake.Fail("GetChannelString", 7, 8);
    auto view = MakeView();
    Select(*view, L"Temp");
    const HWND list = view->List();
    EXPECT_EQ(Cell(list, RowOf(2), panel::NodeView::kNameColumn), L"Value");
    EXPECT_EQ(Cell(list, RowOf(2), panel::NodeView::kValueColumn), L"21.5");
    EXPECT_EQ(Cell(list, RowOf(8), panel::NodeView::kNameColumn), L"WriteLock");
    EXPECT_EQ(Cell(list, RowOf(8), panel::NodeView::kValueColumn), L"");  // a failed read is an empty cell
    // Name stands left of Value, and the Value column is the one edited.
    int order[2] = {};
    ListView_GetColumnOrderArray(list, 2, order);
    EXPECT_EQ(order[0], panel::NodeView::kNameColumn);
    EXPECT_EQ(order[1], panel::NodeView::kValueColumn);
}

TEST_F(NodeViewTest, AnEditedValueIsWrittenOnlyWhenItIsNotEmpty) {
    fake.SetAnswer("CanViewValues", 1);
    auto view = MakeView();
    Select(*view, L"Temp");
    const int row = RowOf(2);
    struct Case {
        const wchar_t* text;
        UINT key;
        bool written;
    } cases[] = {{L"30", VK_RETURN, true}, {L"", VK_RETURN, false}, {L"40", VK_ESCAPE, false}};
    for (const Case& c : cases) {
        fake.ResetCalls();
        SetFocus(view->List());
        const HWND edit = ListView_EditLabel(view->List(), row);
        ASSERT_TRUE(edit);
        SetWindowTextW(edit, c.text);
        SendMessageW(edit, WM_KEYDOWN, c.key, 0);
        Pump();
        EXPECT_EQ(fake.Calls("SetChannelString"), c.written ? 1 : 0) << c.text;
        if (c.written) {
            EXPECT_EQ(fake.Calls("SetChannelString", 7, 2), 1);
        }
    }
    EXPECT_EQ(Cell(view->List(), row, panel::NodeView::kValueColumn), L"30");
    // Enter in the list edits the selected row.
    ListView_SetItemState(view->List(), row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    SetFocus(view->List());
    SendMessageW(view->List(), WM_KEYDOWN, VK_RETURN, 0);
    const HWND edit = ListView_GetEditControl(view->List());
    ASSERT_TRUE(edit);
    wchar_t text[64] = {};
    GetWindowTextW(edit, text, 64);
    EXPECT_STREQ(text, L"30");
    ListView_CancelEditLabel(view->List());
}

TEST_F(NodeViewTest, AValueTheCodePageCannotHoldIsWrittenAsTheEmptyText) {
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "every character fits the UTF-8 code page";
    fake.SetAnswer("CanViewValues", 1);
    auto view = MakeView();
    Select(*view, L"Temp");
    SetFocus(view->List());
    const HWND edit = ListView_EditLabel(view->List(), RowOf(2));
    ASSERT_TRUE(edit);
    SetWindowTextW(edit, L"\x4E2D\x6587");
    SendMessageW(edit, WM_KEYDOWN, VK_RETURN, 0);
    Pump();
    ASSERT_EQ(fake.Calls("SetChannelString", 7, 2), 1);
    const auto stored = fake.Get(7, 2);
    ASSERT_TRUE(stored && std::holds_alternative<std::string>(*stored));
    EXPECT_EQ(std::get<std::string>(*stored), "");
}

TEST_F(NodeViewTest, RefreshPeriodIsTheSettingButNeverBelow100Ms) {
    const std::pair<int, UINT> cases[] = {{0, 100}, {50, 100}, {100, 100}, {101, 101}, {250, 250}, {-5, 100}};
    for (auto [setting, period] : cases) {
        EXPECT_EQ(panel::NodeView::RefreshPeriod(setting), period) << setting;
        fake.SetParameter(NRK_PARAM_SCAN_PERIOD, setting);
        auto view = MakeView();
        EXPECT_EQ(view->RefreshPeriodMs(), period) << setting;
    }
}

// A channel with more attributes than the list shows: a tick reads only the rows in view,
// and only while the node runs.
TEST_F(NodeViewTest, ATickReadsTheVisibleValuesOnlyWhileTheNodeRuns) {
    fake.SetAnswer("CanViewValues", 1);
    auto view = MakeView(RECT{0, 0, 400, 120});
    Select(*view, L"Temp");
    const int rows = ListView_GetItemCount(view->List());
    const int visible = ListView_GetCountPerPage(view->List());
    ASSERT_GT(rows, visible + 2);
    UpdateWindow(view->List());
    for (bool running : {true, false}) {
        fake.SetRunning(running);
        fake.ResetCalls();
        SendMessageW(view->Window(), WM_TIMER, panel::NodeView::kRefreshTimer, 0);
        UpdateWindow(view->List());
        const int reads = fake.Calls("GetChannelString");
        if (running) {
            EXPECT_GT(reads, 0);
            EXPECT_LE(reads, visible + 1);
        } else {
            EXPECT_EQ(reads, 0);
        }
    }
}

TEST_F(NodeViewTest, LayoutDefaultsToTheMiddleAndComesBackAfterARestart) {
    {
        auto view = MakeView();
        RECT r{};
        GetClientRect(view->Splitter().Window(), &r);
        EXPECT_EQ(view->Splitter().Position(), r.right / 2);
        EXPECT_EQ(ListView_GetColumnWidth(view->List(), 0), ListView_GetColumnWidth(view->List(), 1));
        RECT list{};
        GetClientRect(view->List(), &list);
        EXPECT_EQ(ListView_GetColumnWidth(view->List(), 0), list.right / 2);
        // The operator drags the bar and widens a column.
        const int y = 20, x = view->Splitter().Position() + 1;
        SendMessageW(view->Splitter().Window(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        SendMessageW(view->Splitter().Window(), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x - 60, y));
        SendMessageW(view->Splitter().Window(), WM_LBUTTONUP, 0, MAKELPARAM(x - 60, y));
        ListView_SetColumnWidth(view->List(), 0, 77);
        ListView_SetColumnWidth(view->List(), 1, 55);
    }
    const auto stored = StoredLayout();
    ASSERT_EQ(stored.size(), 12u);
    std::int32_t fields[3];
    std::memcpy(fields, stored.data(), 12);
    EXPECT_EQ(fields[1], 77);
    EXPECT_EQ(fields[2], 55);
    auto view = MakeView();
    EXPECT_EQ(view->Splitter().Position(), fields[0]);
    EXPECT_EQ(ListView_GetColumnWidth(view->List(), 0), 77);
    EXPECT_EQ(ListView_GetColumnWidth(view->List(), 1), 55);
}

TEST_F(NodeViewTest, AnUnusableStoredLayoutGivesTheDefaults) {
    const std::int32_t zero[3] = {0, 0, 0};
    const std::int32_t negative[3] = {-10, 80, -1};
    const std::int32_t good[4] = {100, 80, 60, 0};
    const DWORD dword = 100;
    struct Case {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {{"zeros", REG_BINARY, zero, 12},
                 {"negative", REG_BINARY, negative, 12},
                 {"too short", REG_BINARY, good, 8},
                 {"too long", REG_BINARY, good, 16},
                 {"not binary", REG_DWORD, &dword, 4}};
    for (const Case& c : cases) {
        StoreLayout(c.type, c.data, c.size);
        auto view = MakeView();
        RECT r{};
        GetClientRect(view->Splitter().Window(), &r);
        EXPECT_EQ(view->Splitter().Position(), r.right / 2) << c.what;
        EXPECT_EQ(ListView_GetColumnWidth(view->List(), 0), ListView_GetColumnWidth(view->List(), 1)) << c.what;
        view.reset();
        DeleteLayout();
    }
}

// The window's start-up sizes (the dialog's first layout, then the frame's, which may come after
// the first refresh tick) each get the stored layout; once the operator sizes the window the bar
// keeps its proportion.
TEST_F(NodeViewTest, TheStoredBarStaysThroughTheStartUpSizesUntilTheOperatorSizes) {
    const std::int32_t stored[3] = {150, 90, 70};
    StoreLayout(REG_BINARY, stored, sizeof(stored));
    auto view = MakeView(RECT{0, 0, 300, 200});
    ASSERT_EQ(view->Splitter().Position(), 150);
    MSG message;
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < 300) { // refresh ticks come and go
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
    MoveWindow(view->Window(), 0, 0, 525, 200, TRUE);
    EXPECT_EQ(view->Splitter().Position(), 150) << "a start-up size scaled the stored bar";
    view->EndStartupLayout();
    MoveWindow(view->Window(), 0, 0, 262, 200, TRUE);
    RECT r{};
    GetClientRect(view->Splitter().Window(), &r);
    EXPECT_NEAR(view->Splitter().Position(), 150 * r.right / 525, 2) << "the operator's size keeps the proportion";
    view.reset();
    DeleteLayout();
}

TEST_F(NodeViewTest, TheBarKeepsItsProportionAndADoubleClickCentresIt) {
    auto view = MakeView(RECT{0, 0, 400, 200});
    const HWND splitter = view->Splitter().Window();
    SendMessageW(splitter, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(view->Splitter().Position() + 1, 10));
    SendMessageW(splitter, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(101, 10));
    SendMessageW(splitter, WM_LBUTTONUP, 0, MAKELPARAM(101, 10));
    const int before = view->Splitter().Position();
    RECT r{};
    GetClientRect(splitter, &r);
    const int widthBefore = r.right;
    MoveWindow(view->Window(), 0, 0, 200, 200, TRUE);
    GetClientRect(splitter, &r);
    EXPECT_NEAR(view->Splitter().Position(), before * r.right / widthBefore, 1);
    SendMessageW(splitter, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(view->Splitter().Position() + 1, 10));
    EXPECT_EQ(view->Splitter().Position(), r.right / 2);
    // The panes sit left and right of the bar.
    RECT tree{}, list{};
    GetWindowRect(view->Tree(), &tree);
    GetWindowRect(view->List(), &list);
    EXPECT_EQ(tree.right - tree.left, view->Splitter().Position());
    EXPECT_EQ(list.left - tree.left, view->Splitter().Position() + view->Splitter().BarWidth());
}

} // namespace
