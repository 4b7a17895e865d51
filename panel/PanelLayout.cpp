#include "panel/PanelLayout.h"

namespace lx::panel {
namespace {

RECT Box(int left, int top, int width, int height) { return RECT{left, top, left + width, top + height}; }

// A button of the column whose bottom edge is one margin above `below`'s top.
RECT Above(const RECT& below, const LayoutInput& in) {
    const int bottom = below.top - in.marginY;
    return RECT{below.left, bottom - in.button.cy, below.right, bottom};
}

} // namespace

Layout ComputeLayout(const LayoutInput& in) {
    Layout l{};
    const int right = in.width - in.marginX;
    l.exit = RECT{right - in.button.cx, in.height - in.marginY - in.button.cy, right, in.height - in.marginY};
    l.help = Above(l.exit, in);
    l.startStop = Above(l.help, in);
    l.login = in.loginRow ? Above(l.startStop, in) : RECT{};
    const int centre = (l.exit.left + right) / 2;
    l.animation = Box(centre - in.animation.cx / 2, in.marginY, in.animation.cx, in.animation.cy);
    l.label = Box(in.marginX, in.marginY, in.labelWidth, in.editHeight);
    l.edit = RECT{l.label.right + in.marginX, in.marginY, l.exit.left - in.marginX, in.marginY + in.editHeight};
    l.nodeView = RECT{in.marginX, l.edit.bottom + in.marginY, l.exit.left - in.marginX, in.height - in.marginY};
    return l;
}

} // namespace lx::panel
