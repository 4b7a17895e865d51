#include "panel/SplitterWindow.h"

#include "panel/ObjectWindow.h"

#include <windowsx.h>

#include <algorithm>
#include <tuple>

namespace panel {

namespace {

bool RegisterSplitterClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = SplitterWindow::kClassName;
    return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

SplitterWindow::~SplitterWindow() {
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

HWND SplitterWindow::Create(HWND parent, int id) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!RegisterSplitterClass(instance, &ObjectWindow<SplitterWindow>::Procedure)) return nullptr;
    barWidth_ = std::max(4, GetSystemMetrics(SM_CXSIZEFRAME));
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"",
                              WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 0, 0, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, this);
    return window_;
}

void SplitterWindow::SetPanes(HWND left, HWND right) {
    left_ = left;
    right_ = right;
    Layout();
}

int SplitterWindow::Width() const {
    RECT r{};
    if (window_) GetClientRect(window_, &r);
    return r.right - r.left;
}

void SplitterWindow::Place(int position) {
    position_ = std::clamp(position, 0, std::max(0, Width() - barWidth_));
    Layout();
}

void SplitterWindow::SetPosition(int leftWidth) {
    Place(leftWidth);
    const int width = Width();
    if (width > 0)
        proportion_ = static_cast<int>(static_cast<long long>(position_) * kProportionScale / width);
}

void SplitterWindow::SetProportion(int proportion) {
    proportion_ = std::clamp(proportion, 0, kProportionScale);
    Place(static_cast<int>(static_cast<long long>(Width()) * proportion_ / kProportionScale));
}

void SplitterWindow::Layout() {
    if (!window_) return;
    RECT r{};
    GetClientRect(window_, &r);
    const int height = r.bottom - r.top;
    const int rightLeft = position_ + barWidth_;
    HDWP positions = BeginDeferWindowPos(2);
    const std::tuple<HWND, int, int> panes[] = {{left_, 0, position_},
                                                {right_, rightLeft, static_cast<int>(r.right) - rightLeft}};
    for (auto [pane, x, w] : panes) {
        if (pane && positions)
            positions = DeferWindowPos(positions, pane, nullptr, x, 0, std::max(0, w), height,
                                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (positions) EndDeferWindowPos(positions);
    RECT bar{position_, 0, position_ + barWidth_, height};
    InvalidateRect(window_, &bar, FALSE);
}

LRESULT SplitterWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        Place(static_cast<int>(static_cast<long long>(LOWORD(lParam)) * proportion_ / kProportionScale));
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the panes cover all but the bar, which WM_PAINT draws
    case WM_PAINT: {
        PAINTSTRUCT ps;
        const HDC dc = BeginPaint(window_, &ps);
        RECT r{};
        GetClientRect(window_, &r);
        RECT bar{position_, 0, position_ + barWidth_, r.bottom};
        FillRect(dc, &bar, GetSysColorBrush(COLOR_BTNFACE));
        EndPaint(window_, &ps);
        return 0;
    }
    case WM_SETCURSOR:
        if (reinterpret_cast<HWND>(wParam) == window_ && LOWORD(lParam) == HTCLIENT) {
            POINT p{};
            GetCursorPos(&p);
            ScreenToClient(window_, &p);
            if (OnBar(p.x)) {
                SetCursor(LoadCursorW(nullptr, IDC_SIZEWE));
                return TRUE;
            }
        }
        break;
    case WM_LBUTTONDOWN:
        if (OnBar(GET_X_LPARAM(lParam))) {
            dragOffset_ = GET_X_LPARAM(lParam) - position_;
            SetCapture(window_);
        }
        return 0;
    case WM_MOUSEMOVE:
        if (dragOffset_ >= 0 && GetCapture() == window_) SetPosition(GET_X_LPARAM(lParam) - dragOffset_);
        return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
        if (dragOffset_ >= 0) {
            dragOffset_ = -1;
            if (GetCapture() == window_) ReleaseCapture();
        }
        return 0;
    case WM_LBUTTONDBLCLK:
        if (OnBar(GET_X_LPARAM(lParam))) SetProportion(kProportionScale / 2);
        return 0;
    case WM_NOTIFY:
    case WM_COMMAND:
        return SendMessageW(GetParent(window_), message, wParam, lParam);
    case WM_SETFOCUS:
        if (left_) SetFocus(left_);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

} // namespace panel
