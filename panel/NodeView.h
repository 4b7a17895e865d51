// The node view of the control panel: the loaded node's groups and channels as a tree
// on the left and, on the right, the Name and Value of every attribute of the channel
// selected in the tree. Values are re-read on a timer while the node runs and can be
// overwritten in place. The bar position and the column widths persist per user.
//
// The view reads the address-space tree and the runtime and nothing else; it runs on
// the thread that created it.
//
//   panel::NodeView view(runtime, root);         // both must outlive the window
//   view.Create(dialog, rectangle, 205);          // false: no view
//   ...  view.RecountRows();                      // after Start, Stop, Login, Logout
//   MoveWindow(view.Window(), ...);               // the view lays itself out
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>

#include "context/ResourceIds.h"
#include "panel/ObjectWindow.h"
#include "panel/SplitterWindow.h"

class NRK_Server;
class GroupNode;
class BranchNode;
class AttributeNode;

namespace panel {

// The per-user key that holds the panel's layout ("Frame" and "View").
inline constexpr const wchar_t* kPanelLayoutKey = lx::kUiKey;

class NodeView {
public:
    static constexpr const wchar_t* kClassName = L"Lx6OpcNodeView";
    static constexpr int kControlId = 205;
    static constexpr int kSplitterId = 1;
    static constexpr int kTreeId = 2;
    static constexpr int kListId = 3;
    static constexpr UINT_PTR kRefreshTimer = 0;
    static constexpr int kValueColumn = 0;
    static constexpr int kNameColumn = 1;
    static constexpr int kTreeBitmap = 207;
    static constexpr int kClosedFolderImage = 16;

    // root may be null (an empty tree). layoutKey: the HKEY_CURRENT_USER key of "View".
    NodeView(NRK_Server& runtime, std::shared_ptr<const GroupNode> root,
             std::wstring layoutKey = kPanelLayoutKey);
    ~NodeView();
    NodeView(const NodeView&) = delete;
    NodeView& operator=(const NodeView&) = delete;

    // Creates the view as child `id` of parent at rect (parent's client coordinates).
    bool Create(HWND parent, const RECT& rect, int id = kControlId);
    HWND Window() const noexcept { return window_; }
    HWND Tree() const noexcept { return tree_; }
    HWND List() const noexcept { return list_; }
    const SplitterWindow& Splitter() const noexcept { return splitter_; }

    // Sets the list's row count from the selected branch and CanViewValues.
    void RecountRows();
    // The operator sizes the window: from now on the bar keeps its proportion at every size.
    void EndStartupLayout() noexcept { sized_ = true; }

    // The refresh period for the runtime's refresh setting (node parameter 104).
    static UINT RefreshPeriod(int setting) noexcept { return setting > 100 ? static_cast<UINT>(setting) : 100; }
    // The period the refresh timer runs with (0 before creation).
    UINT RefreshPeriodMs() const noexcept { return refreshPeriod_; }

private:
    friend struct ObjectWindow<NodeView>;
    void Attach(HWND window) noexcept { window_ = window; }
    void Detach();
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool Build();
    void LoadImages();
    void Fill(const BranchNode& root);
    void Resize(int width, int height);
    void ApplySavedLayout();
    void SaveLayout();
    void Refresh();
    LRESULT Notify(const NMHDR& header);
    void TreeDisplayInfo(NMTVDISPINFOW& info);
    void ListDisplayInfo(NMLVDISPINFOW& info);
    bool EndEdit(const NMLVDISPINFOW& info);
    // The row's attribute, if the row is one of the selected branch's leaf children.
    const AttributeNode* RowAttribute(int row) const;
    int RowCount() const;

    NRK_Server& runtime_;
    std::shared_ptr<const GroupNode> root_;
    std::wstring layoutKey_;
    HWND window_ = nullptr;
    SplitterWindow splitter_;
    HWND tree_ = nullptr;
    HWND list_ = nullptr;
    HIMAGELIST images_ = nullptr;
    const BranchNode* selected_ = nullptr;
    std::wstring text_;  // every display text handed to the controls
    bool firstSize_ = true;
    bool sized_ = false;        // the operator has sized the window: the start-up sizes are over
    int laidOutPosition_ = -1;  // the bar as the saved layout last put it
    UINT refreshPeriod_ = 0;
};

} // namespace panel
