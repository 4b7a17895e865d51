// Until the node view and the animation are in place: the node view's place holds a
// plain bordered child window, and there is no animation (0 x 0).
#include "panel/PanelChildren.h"

namespace lx::panel {
namespace {

constexpr const wchar_t* kPlaceClass = L"Lx6OpcPanelPlace";

class PlainPane : public NodeViewPane {
public:
    explicit PlainPane(HWND window) : window_(window) {}
    HWND Window() const noexcept override { return window_; }
    void RecountRows() override {}

private:
    HWND window_;
};

bool RegisterPlaceClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &DefWindowProcW;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kPlaceClass;
    return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

std::unique_ptr<NodeViewPane> CreateNodeViewPane(HWND dialog, ProcessContext&) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!RegisterPlaceClass(instance))
        return nullptr;
    const HWND window = CreateWindowExW(WS_EX_CLIENTEDGE | WS_EX_CONTROLPARENT, kPlaceClass, L"",
                                        WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0, dialog,
                                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kNodeViewId)), instance, nullptr);
    if (!window)
        return nullptr;
    return std::make_unique<PlainPane>(window);
}

std::unique_ptr<AnimationPane> CreateAnimationPane(HWND) { return nullptr; }

} // namespace lx::panel
