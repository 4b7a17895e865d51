// A window split vertically into a left and a right pane by a bar that the operator
// drags. A double click on the bar puts it in the middle; when the window is resized
// the bar keeps its place as a proportion of the width (in 1/10000).
//
// Notifications and commands of the panes go on to the splitter's parent, so the
// owner of the splitter handles its panes' notifications as if they were its own children.
#pragma once

#include <windows.h>

#include "panel/ObjectWindow.h"

namespace panel {

class SplitterWindow {
public:
    static constexpr const wchar_t* kClassName = L"WTL_SplitterWindow";
    static constexpr int kProportionScale = 10000;

    SplitterWindow() = default;
    ~SplitterWindow();
    SplitterWindow(const SplitterWindow&) = delete;
    SplitterWindow& operator=(const SplitterWindow&) = delete;

    // Creates the splitter as a visible child filling nothing yet; null on failure.
    HWND Create(HWND parent, int id);
    HWND Window() const noexcept { return window_; }

    // The panes are child windows of the splitter.
    void SetPanes(HWND left, HWND right);
    // Width of the left pane in pixels.
    int Position() const noexcept { return position_; }
    // Puts the bar at this width of the left pane (kept inside the window).
    void SetPosition(int leftWidth);
    // Puts the bar at a proportion of the width (0..kProportionScale).
    void SetProportion(int proportion);
    int BarWidth() const noexcept { return barWidth_; }

private:
    friend struct ObjectWindow<SplitterWindow>;
    void Attach(HWND window) noexcept { window_ = window; }
    void Detach() noexcept { window_ = nullptr; }
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    int Width() const;
    void Place(int position);
    void Layout();
    bool OnBar(int x) const { return x >= position_ && x < position_ + barWidth_; }

    HWND window_ = nullptr;
    HWND left_ = nullptr;
    HWND right_ = nullptr;
    int position_ = 0;
    int proportion_ = kProportionScale / 2;
    int barWidth_ = 4;
    int dragOffset_ = -1;  // while dragging: where on the bar the drag began
};

} // namespace panel
