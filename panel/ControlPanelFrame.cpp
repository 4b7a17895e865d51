#include "panel/ControlPanelFrame.h"

#include "context/MessageFilter.h"
#include "context/ProcessContext.h"
#include "context/ResourceIds.h"
#include "context/ResourceStrings.h"
#include "panel/FrameRect.h"

#include <stdexcept>

namespace lx::panel {
namespace {

constexpr const wchar_t* kFrameClass = L"Lx6OpcControlPanel";
constexpr int kPanelIcon = 214;
constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX |
                              WS_MAXIMIZEBOX | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
constexpr DWORD kFrameExStyle = WS_EX_APPWINDOW | WS_EX_CLIENTEDGE;

} // namespace

ControlPanelFrame::ControlPanelFrame(ProcessContext& context, MessageFilterHost& filters)
    : context_(context), filters_(filters), dialog_(context) {}

// A frame that still has its window was never part of a running loop (start-up failed
// after its creation): it goes without writing its rectangle or giving back a lock.
ControlPanelFrame::~ControlPanelFrame() {
    if (filterRegistered_)
        filters_.RemoveMessageFilter(&dialog_);
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

bool ControlPanelFrame::Create() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &ControlPanelFrame::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kFrameClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT, width = CW_USEDEFAULT, height = CW_USEDEFAULT;
    if (const auto stored = ReadFrameRect()) {
        x = stored->left;
        y = stored->top;
        width = stored->right - stored->left;
        height = stored->bottom - stored->top;
    }
    // The window procedure ties the window to this object at WM_NCCREATE and makes the
    // dialog at WM_CREATE; a dialog that cannot be made fails the creation.
    return CreateWindowExW(kFrameExStyle, kFrameClass, L"", kFrameStyle, x, y, width, height, nullptr, nullptr,
                           instance, this) != nullptr;
}

void ControlPanelFrame::Show(int showCommand) {
    if (!window_)
        return;
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
}

LRESULT CALLBACK ControlPanelFrame::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* creating = static_cast<ControlPanelFrame*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creating));
        creating->window_ = window;
    }
    auto* self = reinterpret_cast<ControlPanelFrame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self) {
        try {
            return self->Handle(message, wParam, lParam);
        } catch (...) {
            if (message == WM_CREATE) {
                SetWindowLongPtrW(window, GWLP_USERDATA, 0);
                self->window_ = nullptr;
                return -1;
            }
            // nothing else may leave a window procedure
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT ControlPanelFrame::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND dialog = dialog_.Window();
    switch (message) {
    case WM_CREATE:
        if (OnCreate())
            return 0;
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);   // the window goes without its duties
        window_ = nullptr;
        return -1;
    case WM_SIZE:
        if (dialog)
            SetWindowPos(dialog, nullptr, 0, 0, LOWORD(lParam), HIWORD(lParam),
                         SWP_ASYNCWINDOWPOS | SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOMOVE);
        return 0;
    case WM_GETMINMAXINFO:
        MinimumTrackSize(*reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    case WM_ENTERSIZEMOVE:
        dialog_.OperatorSizes();
        break;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_SIZE:
        case SC_MAXIMIZE:
        case SC_MINIMIZE:
        case SC_RESTORE:
            dialog_.OperatorSizes();
            break;
        default:
            break;
        }
        if ((wParam & 0xFFF0) == SC_CLOSE) {
            if (dialog)
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
            return 0;
        }
        break;
    case WM_SETFOCUS:
        if (dialog) {
            SetFocus(dialog);
            return 0;
        }
        break;
    case WM_ERASEBKGND:
        if (dialog)
            return 1;
        break;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

bool ControlPanelFrame::OnCreate() {
    if (!dialog_.Create(window_))
        return false;
    const std::wstring title = ResourceStringOr(IDS_PRODUCT, kFallbackTitle);
    SetWindowTextW(window_, title.c_str());
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (const HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(kPanelIcon), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED))
        SetClassLongPtrW(window_, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
    if (const HANDLE small = LoadImageW(instance, MAKEINTRESOURCEW(kPanelIcon), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                        GetSystemMetrics(SM_CYSMICON), LR_SHARED))
        SetClassLongPtrW(window_, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(small));
    filters_.AddMessageFilter(&dialog_);
    filterRegistered_ = true;
    return true;
}

// The window's last moments: the filter goes, the rectangle is kept for the next start,
// and the process's lock is given back with no delay left, so that the process ends as
// soon as no client object is left.
void ControlPanelFrame::OnDestroy() {
    if (filterRegistered_) {
        filters_.RemoveMessageFilter(&dialog_);
        filterRegistered_ = false;
    }
    RECT r{};
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    // A minimised frame would be stored at its icon's place, off the screen.
    if (IsIconic(window_) && GetWindowPlacement(window_, &placement))
        r = placement.rcNormalPosition;
    else
        GetWindowRect(window_, &r);
    WriteFrameRect(r);
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    window_ = nullptr;
    context_.SetShutdownDelay(0);
    context_.SetShutdownPause(0);
    context_.Unlock();
}

void ControlPanelFrame::MinimumTrackSize(MINMAXINFO& info) {
    const HWND dialog = dialog_.Window();
    if (!dialog)
        return;
    RECT r{0, 0, 350, 190};
    MapDialogRect(dialog, &r);
    AdjustWindowRectEx(&r, kFrameStyle, FALSE, kFrameExStyle);
    info.ptMinTrackSize.x = r.right - r.left;
    info.ptMinTrackSize.y = r.bottom - r.top;
}

} // namespace lx::panel

std::shared_ptr<ControlPanel> CreateControlPanel(lx::ProcessContext& context, lx::MessageFilterHost& filters) {
    auto frame = std::make_shared<lx::panel::ControlPanelFrame>(context, filters);
    if (!frame->Create())
        throw std::runtime_error("control panel");
    return frame;
}
