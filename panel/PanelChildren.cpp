// The dialog's two child windows: the node view (panel/NodeView.h) in the place of
// control 205 and the activity animation (panel/ActivityAnimation.h) in that of 208.
#include "panel/PanelChildren.h"

#include "context/ProcessContext.h"
#include "context/ResourceIds.h"
#include "panel/ActivityAnimation.h"
#include "panel/NodeView.h"

namespace lx::panel {
namespace {

class NodeViewChild : public NodeViewPane {
public:
    NodeViewChild(NRK_Server& runtime, std::shared_ptr<const GroupNode> root)
        : view_(runtime, std::move(root), kUiKey) {}
    bool Create(HWND dialog) {
        const RECT place{0, 0, 0, 0};   // the dialog's layout places it
        return view_.Create(dialog, place, kNodeViewId);
    }
    HWND Window() const noexcept override { return view_.Window(); }
    void RecountRows() override { view_.RecountRows(); }
    void EndStartupLayout() noexcept override { view_.EndStartupLayout(); }

private:
    ::panel::NodeView view_;
};

class AnimationChild : public AnimationPane {
public:
    bool Create(HWND dialog) { return animation_.Create(dialog, POINT{0, 0}, kAnimationId); }
    HWND Window() const noexcept override { return animation_.Window(); }
    SIZE Size() const noexcept override { return animation_.Size(); }
    void SetPlaying(bool playing) override {
        if (playing)
            animation_.Play();
        else
            animation_.Stop();
    }

private:
    ::panel::ActivityAnimation animation_;
};

} // namespace

std::unique_ptr<NodeViewPane> CreateNodeViewPane(HWND dialog, ProcessContext& context) {
    NRK_Server* runtime = context.Runtime();
    if (!runtime)
        return nullptr;
    auto view = std::make_unique<NodeViewChild>(*runtime, context.Root());
    if (!view->Create(dialog))
        return nullptr;
    return view;
}

std::unique_ptr<AnimationPane> CreateAnimationPane(HWND dialog) {
    auto animation = std::make_unique<AnimationChild>();
    if (!animation->Create(dialog))
        return nullptr;
    return animation;
}

} // namespace lx::panel
