// Where the panel dialog's controls go for a client area of a given size: the button
// column at the right edge from the bottom up, the animation centred above it, the node
// path along the top and the node view filling the rest.
#pragma once

#include <windows.h>

namespace lx::panel {

struct LayoutInput {
    int width = 0, height = 0;      // the dialog's client area
    int marginX = 0, marginY = 0;   // 7 dialog units across and down, in pixels
    SIZE button{};                  // the common button size
    SIZE animation{};               // 0 x 0 without an animation
    int labelWidth = 0;             // "Node path:" keeps its width
    int editHeight = 0;             // the node path edit keeps its height
    bool loginRow = false;          // Login.../Logout have a place (operators exist)
};

struct Layout {
    RECT exit, help, startStop, login, animation, label, edit, nodeView;
};

Layout ComputeLayout(const LayoutInput& in);

} // namespace lx::panel
