#include "panel/NodeView.h"

#include "panel/ObjectWindow.h"
#include "panel/RuntimeText.h"
#include "runtime/AddressSpace.h"
#include "runtime/TextConversion.h"

#include <commctrl.h>

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>
#include <cstring>

namespace panel {

namespace {

constexpr UINT kValueColumnText = 1003;
constexpr UINT kNameColumnText = 1002;
constexpr const wchar_t* kViewValue = L"View";

std::wstring ResourceText(UINT id, const wchar_t* fallback) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring(fallback);
}

HWND CreateChild(const wchar_t* windowClass, DWORD style, HWND parent, int id) {
    return CreateWindowExW(0, windowClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

bool RegisterViewClass(WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = NodeView::kClassName;  // no background brush: the splitter covers the view
    return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// "View": splitter position, width of column 0, width of column 1; all -1 unless stored
// as exactly 12 bytes of REG_BINARY.
struct ViewLayout {
    std::int32_t splitter = -1;
    std::int32_t valueWidth = -1;
    std::int32_t nameWidth = -1;
};

ViewLayout ReadViewLayout(const std::wstring& key) {
    std::int32_t fields[3] = {-1, -1, -1};
    BYTE data[sizeof(fields)] = {};
    DWORD type = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), kViewValue, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) ==
            ERROR_SUCCESS &&
        type == REG_BINARY && size == sizeof(fields))
        std::memcpy(fields, data, sizeof(fields));
    return {fields[0], fields[1], fields[2]};
}

} // namespace

NodeView::NodeView(NRK_Server& runtime, std::shared_ptr<const GroupNode> root, std::wstring layoutKey)
    : runtime_(runtime), root_(std::move(root)), layoutKey_(std::move(layoutKey)) {}

NodeView::~NodeView() {
    if (window_) DestroyWindow(window_);
    if (images_) ImageList_Destroy(images_);
}

bool NodeView::Create(HWND parent, const RECT& rect, int id) {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    if (window_ || !RegisterViewClass(&ObjectWindow<NodeView>::Procedure)) return false;
    CreateWindowExW(WS_EX_CLIENTEDGE | WS_EX_CONTROLPARENT, kClassName, L"",
                    WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, rect.left, rect.top,
                    rect.right - rect.left, rect.bottom - rect.top, parent,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), this);
    return window_ != nullptr;
}

// Window creation: splitter, tree and list, columns, panes, images, the tree's items, the timer.
bool NodeView::Build() {
    if (!splitter_.Create(window_, kSplitterId)) return false;
    tree_ = CreateChild(WC_TREEVIEWW,
                        TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS |
                            TVS_DISABLEDRAGDROP | TVS_NOTOOLTIPS,
                        splitter_.Window(), kTreeId);
    list_ = CreateChild(WC_LISTVIEWW,
                        LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_EDITLABELS | LVS_OWNERDATA |
                            LVS_NOSORTHEADER,
                        splitter_.Window(), kListId);
    if (!tree_ || !list_) return false;
    if (const HFONT font = reinterpret_cast<HFONT>(SendMessageW(GetParent(window_), WM_GETFONT, 0, 0))) {
        SendMessageW(tree_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    TreeView_SetExtendedStyle(tree_, TVS_EX_DOUBLEBUFFER, TVS_EX_DOUBLEBUFFER);
    const DWORD listStyles = LVS_EX_DOUBLEBUFFER | LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES;
    ListView_SetExtendedListViewStyleEx(list_, listStyles, listStyles);
    const std::wstring valueText = ResourceText(kValueColumnText, L"Value");
    const std::wstring nameText = ResourceText(kNameColumnText, L"Name");
    for (auto [index, text] : {std::pair{kValueColumn, &valueText}, std::pair{kNameColumn, &nameText}}) {
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM | LVCF_WIDTH;
        column.fmt = LVCFMT_LEFT;
        column.cx = 100;
        column.pszText = const_cast<wchar_t*>(text->c_str());
        column.iSubItem = index;
        if (ListView_InsertColumn(list_, index, &column) != index) return false;
    }
    int order[2] = {kNameColumn, kValueColumn};
    ListView_SetColumnOrderArray(list_, 2, order);
    splitter_.SetPanes(tree_, list_);
    LoadImages();
    // Filled without redrawing between items: on large nodes the tree would otherwise
    // recompute its scroll bars at every insertion.
    SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
    if (root_) Fill(*root_);
    if (const HTREEITEM top = TreeView_GetRoot(tree_)) TreeView_Expand(tree_, top, TVE_EXPAND);
    SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
    refreshPeriod_ = RefreshPeriod(runtime_.GetNodeParameter(NRK_PARAM_SCAN_PERIOD));
    SetTimer(window_, kRefreshTimer, refreshPeriod_, nullptr);
    return true;
}

void NodeView::LoadImages() {
    const HANDLE bitmap =
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTreeBitmap), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
    if (!bitmap) return;
    images_ = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 0, 18);
    if (images_ && ImageList_AddMasked(images_, static_cast<HBITMAP>(bitmap), RGB(255, 0, 255)) < 0) {
        ImageList_Destroy(images_);
        images_ = nullptr;
    }
    DeleteObject(bitmap);
    if (images_) TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);
}

// Branches only, each as the last child of its parent's item; texts and images are asked for
// on display. The items are inserted level by level: the tree control looks its parent item up
// among all items inserted before it (a linear search in some implementations), and level order
// keeps the parents, which are the few groups, at the front.
void NodeView::Fill(const BranchNode& root) {
    std::deque<std::pair<const BranchNode*, HTREEITEM>> pending{{&root, TVI_ROOT}};
    TVINSERTSTRUCTW insert{};
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = LPSTR_TEXTCALLBACKW;
    insert.item.iImage = I_IMAGECALLBACK;
    insert.item.iSelectedImage = I_IMAGECALLBACK;
    while (!pending.empty()) {
        const auto [node, parent] = pending.front();
        pending.pop_front();
        insert.hParent = parent;
        insert.item.lParam = reinterpret_cast<LPARAM>(node);
        const HTREEITEM item = TreeView_InsertItem(tree_, &insert);
        if (!item) continue;
        for (const auto& child : node->Children()) {
            if (child->IsBranch()) pending.emplace_back(static_cast<const BranchNode*>(child.get()), item);
        }
    }
}

void NodeView::TreeDisplayInfo(NMTVDISPINFOW& info) {
    const auto* node = reinterpret_cast<const BranchNode*>(info.item.lParam);
    if (!node) return;
    if (info.item.mask & TVIF_TEXT) {
        text_ = node->Name();
        info.item.pszText = text_.data();
    }
    if (info.item.mask & (TVIF_IMAGE | TVIF_SELECTEDIMAGE)) {
        int image = -1;
        if (node->Kind() == BranchKind::Channel) {
            if (!runtime_.GetChannelInt(node->Id(), -1, &image, NRK_ATTR_TYPE)) image = -1;
        } else {
            const bool expanded = (TreeView_GetItemState(tree_, info.item.hItem, TVIS_EXPANDED) & TVIS_EXPANDED) != 0;
            image = kClosedFolderImage | (expanded ? 1 : 0);
        }
        info.item.iImage = image;
        info.item.iSelectedImage = image;
    }
}

int NodeView::RowCount() const {
    if (!selected_) return 0;
    const auto& children = selected_->Children();
    if (children.empty() || children.front()->IsBranch()) return 0;
    return runtime_.CanViewValues() ? static_cast<int>(children.size()) : 0;
}

void NodeView::RecountRows() {
    if (list_) ListView_SetItemCountEx(list_, RowCount(), 0);
}

const AttributeNode* NodeView::RowAttribute(int row) const {
    if (!selected_ || row < 0) return nullptr;
    const auto& children = selected_->Children();
    if (static_cast<size_t>(row) >= children.size() || children[static_cast<size_t>(row)]->IsBranch())
        return nullptr;
    return static_cast<const AttributeNode*>(children[static_cast<size_t>(row)].get());
}

void NodeView::ListDisplayInfo(NMLVDISPINFOW& info) {
    if (!(info.item.mask & LVIF_TEXT)) return;
    const AttributeNode* attribute = RowAttribute(info.item.iItem);
    if (!attribute) return;
    const int channel = attribute->ChannelId(), id = attribute->AttributeId();
    if (info.item.iSubItem == kNameColumn)
        ReadRuntimeText(runtime_, &NRK_Server::GetAttributeName, text_, channel, id, kTextOut);
    else if (info.item.iSubItem == kValueColumn)
        ReadRuntimeText(runtime_, &NRK_Server::GetChannelString, text_, channel, -1, kTextOut, id, 0);
    else
        return;
    info.item.pszText = text_.data();
}

// A non-empty text on a row of the list is written; empty texts and cancelled edits are refused.
bool NodeView::EndEdit(const NMLVDISPINFOW& info) {
    if (!info.item.pszText || info.item.pszText[0] == L'\0') return false;
    const AttributeNode* attribute = RowAttribute(info.item.iItem);
    if (!attribute) return false;
    const std::string text = WideToNarrow(info.item.pszText);
    runtime_.SetChannelString(attribute->ChannelId(), -1, text.c_str(), attribute->AttributeId());
    return true;
}

LRESULT NodeView::Notify(const NMHDR& header) {
    if (header.hwndFrom == tree_) {
        if (header.code == TVN_GETDISPINFOW) {
            TreeDisplayInfo(*reinterpret_cast<NMTVDISPINFOW*>(const_cast<NMHDR*>(&header)));
        } else if (header.code == TVN_SELCHANGEDW) {
            const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
            selected_ = reinterpret_cast<const BranchNode*>(change.itemNew.lParam);
            RecountRows();
        }
        return 0;
    }
    if (header.hwndFrom != list_) return 0;
    switch (header.code) {
    case LVN_GETDISPINFOW:
        ListDisplayInfo(*reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(&header)));
        return 0;
    case LVN_BEGINLABELEDITW:
        return FALSE;  // editing may always begin, also while the node is stopped
    case LVN_ENDLABELEDITW:
        return EndEdit(reinterpret_cast<const NMLVDISPINFOW&>(header)) ? TRUE : FALSE;
    case LVN_KEYDOWN:
        if (reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey == VK_RETURN && ListView_GetItemCount(list_) > 0) {
            const int row = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
            if (row >= 0) ListView_EditLabel(list_, row);
        }
        return 0;
    default:
        return 0;
    }
}

void NodeView::Refresh() {
    const int rows = ListView_GetItemCount(list_);
    if (rows > 0 && runtime_.IsNodeRunning()) ListView_RedrawItems(list_, 0, rows - 1);
}

void NodeView::Resize(int width, int height) {
    // The sizes the view gets while its window starts (the dialog's first layout, then the frame's
    // client area, which comes later and, under a loaded display, after any timer) are not the
    // operator's: the saved layout is laid out again at each of them until the operator moves the
    // bar or sizes the window (EndStartupLayout). After that the bar keeps its proportion.
    const bool layOut = firstSize_ || (!sized_ && splitter_.Position() == laidOutPosition_);
    MoveWindow(splitter_.Window(), 0, 0, width, height, TRUE);
    if (layOut) {
        firstSize_ = false;
        ApplySavedLayout();
        laidOutPosition_ = splitter_.Position();
    }
}

void NodeView::ApplySavedLayout() {
    const ViewLayout stored = ReadViewLayout(layoutKey_);
    if (stored.splitter > 0)
        splitter_.SetPosition(stored.splitter);
    else
        splitter_.SetProportion(SplitterWindow::kProportionScale / 2);
    int valueWidth = stored.valueWidth, nameWidth = stored.nameWidth;
    if (valueWidth <= 0 || nameWidth <= 0) {
        RECT r{};
        GetClientRect(list_, &r);
        valueWidth = nameWidth = (r.right - r.left) / 2;
    }
    ListView_SetColumnWidth(list_, kValueColumn, valueWidth);
    ListView_SetColumnWidth(list_, kNameColumn, nameWidth);
}

void NodeView::SaveLayout() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, layoutKey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    const std::int32_t fields[3] = {splitter_.Position(), ListView_GetColumnWidth(list_, kValueColumn),
                                    ListView_GetColumnWidth(list_, kNameColumn)};
    RegSetValueExW(key, kViewValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(fields), sizeof(fields));
    RegCloseKey(key);
}

LRESULT NodeView::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return Build() ? 0 : -1;
    case WM_SIZE:
        if (LOWORD(lParam) != 0 && HIWORD(lParam) != 0) Resize(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == kRefreshTimer) Refresh();
        return 0;
    case WM_NOTIFY:
        return Notify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_ERASEBKGND:
        return 1;
    case WM_SETFOCUS:
        if (tree_) SetFocus(tree_);
        return 0;
    case WM_DESTROY:
        KillTimer(window_, kRefreshTimer);
        if (list_) SaveLayout();
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void NodeView::Detach() {
    window_ = tree_ = list_ = nullptr;
    selected_ = nullptr;
}

} // namespace panel
