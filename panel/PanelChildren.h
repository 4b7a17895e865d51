// The two child windows of the panel dialog that are built on their own: the node view
// in the place of control 205 and the activity animation in the place of control 208.
// The dialog creates each through one function below and talks to it only through
// these small interfaces; PanelChildren.cpp holds the current implementations.
#pragma once

#include <windows.h>

#include <memory>

namespace lx {
class ProcessContext;
}

namespace lx::panel {

inline constexpr int kNodeViewId = 205;
inline constexpr int kAnimationId = 208;

// The tree of the node's channels with the Name/Value list.
class NodeViewPane {
public:
    virtual ~NodeViewPane() = default;
    virtual HWND Window() const noexcept = 0;
    // The node started, stopped, or the operator changed: the list recounts its rows.
    virtual void RecountRows() = 0;
    // The operator sizes the window (the sizes before are the window's start-up sizes).
    virtual void EndStartupLayout() noexcept = 0;
};

// The small animation above the buttons, playing while the node runs.
class AnimationPane {
public:
    virtual ~AnimationPane() = default;
    virtual HWND Window() const noexcept = 0;
    // The window's size (its frame plus border); also the least width of every button.
    virtual SIZE Size() const noexcept = 0;
    // Plays on from the current frame, or freezes on it.
    virtual void SetPlaying(bool playing) = 0;
};

// Creates the node view as child `kNodeViewId` of `dialog`; null if it cannot be created
// (the dialog then stops its initialisation).
std::unique_ptr<NodeViewPane> CreateNodeViewPane(HWND dialog, ProcessContext& context);

// Creates the animation as child `kAnimationId` of `dialog`; null if it cannot be created
// (the layout then counts it as 0 x 0).
std::unique_ptr<AnimationPane> CreateAnimationPane(HWND dialog);

} // namespace lx::panel
