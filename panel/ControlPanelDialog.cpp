#include "panel/ControlPanelDialog.h"

#include "context/ProcessContext.h"
#include "context/ResourceIds.h"
#include "context/ResourceStrings.h"
#include "panel/HelpLauncher.h"
#include "panel/LoginDialog.h"
#include "panel/PanelLayout.h"

#include <objbase.h>

#include <algorithm>
#include <new>
#include <string>

namespace lx::panel {
namespace {

constexpr COLORREF kMaskColour = RGB(255, 0, 255);

// The buttons in the order in which they get their images: the first four always,
// Login... and Logout only when operators exist.
struct ButtonImage {
    int id;
    int bitmap;
};
constexpr ButtonImage kButtonImages[] = {
    {kExitButton, 205}, {kHelpButton, 204}, {kStartButton, 206}, {kStopButton, 203}, {kLoginButton, 211}, {kLogoutButton, 212},
};

constexpr UINT kNoChange = SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOOWNERZORDER;

// The wait cursor while it lives; the previous cursor afterwards, also on an exception.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

// The width a button needs for its image, its margins and its text with some air on
// both sides (some platforms' ideal size leaves the text no room beside an image).
LONG RoomForImageAndText(HWND button) {
    const int length = GetWindowTextLengthW(button);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(button, text.data(), length + 1)));
    const HDC dc = GetDC(button);
    if (!dc)
        return 0;
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(button, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(button, dc);
    return extent.cx + 16 + 4 + 4 + 2 * 12;
}

RECT ChildRect(HWND parent, HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void Place(HWND window, const RECT& r, UINT flags = 0) {
    if (window)
        SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, kNoChange | flags);
}

} // namespace

ControlPanelDialog::ControlPanelDialog(ProcessContext& context) : context_(context) {}

ControlPanelDialog::~ControlPanelDialog() {
    if (window_) {
        SetWindowLongPtrW(window_, DWLP_USER, 0);
        DestroyWindow(window_);
    }
    for (HIMAGELIST list : imageLists_)
        ImageList_Destroy(list);
}

bool ControlPanelDialog::Create(HWND frame) {
    window_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kPanelDialogTemplate), frame,
                                 &ControlPanelDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!window_)
        return false;
    ShowWindow(window_, SW_SHOW);   // the template is a child without WS_VISIBLE
    return true;
}

INT_PTR CALLBACK ControlPanelDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<ControlPanelDialog*>(lParam)->window_ = window;
    }
    auto* self = reinterpret_cast<ControlPanelDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self)
        return FALSE;
    try {
        return self->Handle(message, wParam, lParam);
    } catch (...) {
        return FALSE;   // nothing may leave a dialog procedure
    }
}

INT_PTR ControlPanelDialog::Handle(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        Initialise();
        return FALSE;   // the panel sets the focus itself
    case WM_SIZE:
        LayOut();
        return TRUE;
    case WM_COMMAND:
        Command(LOWORD(wParam));
        return TRUE;
    case WM_DESTROY:
        SetWindowLongPtrW(window_, DWLP_USER, 0);
        window_ = nullptr;
        return TRUE;
    default:
        return FALSE;
    }
}

void ControlPanelDialog::Initialise() {
    nodeView_ = CreateNodeViewPane(window_, context_);
    if (!nodeView_)
        return;
    animation_ = CreateAnimationPane(window_);
    SetDlgItemTextW(window_, kNodePathEdit, context_.NodePath().c_str());
    EnableWindow(GetDlgItem(window_, kStopButton), FALSE);
    const int count = OperatorsExist() ? 6 : 4;
    if (animation_) {
        const SIZE size = animation_->Size();
        SetWindowPos(animation_->Window(), nullptr, 0, 0, size.cx, size.cy, kNoChange | SWP_NOMOVE);
    }
    SizeButtons(count);
    initialised_ = true;
    UpdateButtonStates();
    LayOut();
    NRK_Server* runtime = context_.Runtime();
    if (context_.AutoStart() && runtime && runtime->CanStart())
        PostMessageW(window_, WM_COMMAND, MAKEWPARAM(kStartButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window_, kStartButton)));
}

// Gives the buttons their images and one common size: the largest ideal size among
// them, at least the template's button size and the animation's width.
void ControlPanelDialog::SizeButtons(int count) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    buttonSize_ = SIZE{animation_ ? animation_->Size().cx : 0, 0};
    for (int i = 0; i < count; ++i) {
        const HWND button = GetDlgItem(window_, kButtonImages[i].id);
        if (const HANDLE bitmap = LoadImageW(instance, MAKEINTRESOURCEW(kButtonImages[i].bitmap), IMAGE_BITMAP, 0, 0,
                                             LR_CREATEDIBSECTION)) {
            if (HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 1, 0)) {
                if (ImageList_AddMasked(list, static_cast<HBITMAP>(bitmap), kMaskColour) < 0) {
                    ImageList_Destroy(list);
                } else {
                    BUTTON_IMAGELIST images{list, RECT{4, 4, 4, 4}, BUTTON_IMAGELIST_ALIGN_LEFT};
                    if (SendMessageW(button, BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)))
                        imageLists_.push_back(list);
                    else
                        ImageList_Destroy(list);
                }
            }
            DeleteObject(bitmap);
        }
        // The template's size is the least: some platforms' ideal size leaves the text no room.
        RECT own{};
        GetWindowRect(button, &own);
        buttonSize_.cx = std::max(buttonSize_.cx, own.right - own.left);
        buttonSize_.cy = std::max(buttonSize_.cy, own.bottom - own.top);
        SIZE ideal{};
        if (SendMessageW(button, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal))) {
            buttonSize_.cx = std::max(buttonSize_.cx, ideal.cx);
            buttonSize_.cy = std::max(buttonSize_.cy, ideal.cy);
        }
        buttonSize_.cx = std::max(buttonSize_.cx, RoomForImageAndText(button));
    }
    for (int i = 0; i < count; ++i)
        SetWindowPos(GetDlgItem(window_, kButtonImages[i].id), nullptr, 0, 0, buttonSize_.cx, buttonSize_.cy,
                     kNoChange | SWP_NOMOVE);
}

void ControlPanelDialog::LayOut() {
    if (!initialised_)
        return;
    RECT client{};
    GetClientRect(window_, &client);
    RECT margins{0, 0, 7, 7};
    MapDialogRect(window_, &margins);
    const HWND label = GetDlgItem(window_, kNodePathLabel);
    const HWND edit = GetDlgItem(window_, kNodePathEdit);
    const RECT labelRect = ChildRect(window_, label);
    const RECT editRect = ChildRect(window_, edit);

    LayoutInput in;
    in.width = client.right;
    in.height = client.bottom;
    in.marginX = margins.right;
    in.marginY = margins.bottom;
    in.button = buttonSize_;
    in.animation = animation_ ? animation_->Size() : SIZE{};
    in.labelWidth = labelRect.right - labelRect.left;
    in.editHeight = editRect.bottom - editRect.top;
    in.loginRow = OperatorsExist();
    const Layout l = ComputeLayout(in);

    Place(GetDlgItem(window_, kExitButton), l.exit);
    Place(GetDlgItem(window_, kHelpButton), l.help);
    Place(GetDlgItem(window_, kStartButton), l.startStop);
    Place(GetDlgItem(window_, kStopButton), l.startStop);
    if (in.loginRow) {
        Place(GetDlgItem(window_, kLoginButton), l.login);
        Place(GetDlgItem(window_, kLogoutButton), l.login);
    }
    if (animation_)
        Place(animation_->Window(), l.animation);
    Place(label, l.label);
    Place(edit, l.edit);
    Place(nodeView_->Window(), l.nodeView);
}

void ControlPanelDialog::ShowControl(int id, bool show) {
    SetWindowPos(GetDlgItem(window_, id), nullptr, 0, 0, 0, 0,
                 kNoChange | SWP_NOMOVE | SWP_NOSIZE | (show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
}

bool ControlPanelDialog::OperatorsExist() {
    NRK_Server* runtime = context_.Runtime();
    return runtime && runtime->GetOperatorCount() > 0;
}

void ControlPanelDialog::UpdateButtonStates() {
    NRK_Server* runtime = context_.Runtime();
    if (!runtime)
        return;
    if (OperatorsExist()) {
        ShowControl(kLoginButton, login_ < 0);
        ShowControl(kLogoutButton, login_ >= 0);
    }
    const bool running = runtime->IsNodeRunning();
    ShowControl(kStartButton, !running);
    ShowControl(kStopButton, running);
    EnableWindow(GetDlgItem(window_, kExitButton), !running);
    if (HMENU menu = GetSystemMenu(GetParent(window_), FALSE))
        EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (running ? MF_GRAYED : MF_ENABLED));
    if (running)
        EnableWindow(GetDlgItem(window_, kStopButton), runtime->CanStop());
    else
        EnableWindow(GetDlgItem(window_, kStartButton), runtime->CanStart());
    if (nodeView_)
        nodeView_->RecountRows();
}

void ControlPanelDialog::Command(int id) {
    switch (id) {
    case kStartButton: ChangeNode(true); break;
    case kStopButton: ChangeNode(false); break;
    case kLoginButton: Login(); break;
    case kLogoutButton: Logout(); break;
    case kHelpButton: Focus(kHelpButton); ShowHelp(window_); break;
    case kExitButton:
    case kCancelCommand: Exit(); break;
    default: break;
    }
}

void ControlPanelDialog::Focus(int id) {
    if (const HWND control = GetDlgItem(window_, id))
        SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void ControlPanelDialog::ShowFailure(UINT textId, int focusId) {
    try {
        ShowErrorBox(textId, window_);
    } catch (const std::bad_alloc&) {
        // no memory for the message: only the focus tells
    }
    Focus(focusId);
}

// Start or Stop: the runtime is asked under the wait cursor, and whether the node runs
// afterwards tells success; a failure keeps the panel's states and shows its box.
void ControlPanelDialog::ChangeNode(bool start) {
    NRK_Server* runtime = context_.Runtime();
    if (!runtime)
        return;
    const int pressed = start ? kStartButton : kStopButton;
    Focus(pressed);
    {
        WaitCursor wait;
        if (start)
            runtime->StartNode();
        else
            runtime->StopNode();
    }
    if (runtime->IsNodeRunning() != start)
        return ShowFailure(start ? IDS_NODE_START_FAILED : IDS_NODE_STOP_FAILED, pressed);
    UpdateButtonStates();
    if (animation_)
        animation_->SetPlaying(start);
    Focus(start ? kStopButton : kStartButton);
}

void ControlPanelDialog::Login() {
    NRK_Server* runtime = context_.Runtime();
    if (!runtime)
        return;
    Focus(kLoginButton);
    if (login_ >= 0) {
        runtime->Logout(login_, 0);
        login_ = -1;
        UpdateButtonStates();
    }
    login_ = RunLoginDialog(window_, *runtime);
    if (login_ >= 0) {
        UpdateButtonStates();
        Focus(kLogoutButton);
    } else {
        Focus(kLoginButton);
    }
}

void ControlPanelDialog::Logout() {
    NRK_Server* runtime = context_.Runtime();
    Focus(kLogoutButton);
    if (!runtime || login_ < 0)
        return;
    runtime->Logout(login_, 0);
    login_ = -1;
    UpdateButtonStates();
    Focus(kLoginButton);
}

// Ends the process: asks first when clients hold objects, lets no new client in, gives
// the clients the two shutdown notices with a wait after each, and closes the frame.
void ControlPanelDialog::Exit() {
    Focus(kExitButton);
    NRK_Server* runtime = context_.Runtime();
    if (runtime && runtime->IsNodeRunning())
        return;
    if (context_.LockCount() != 1) {
        const auto text = LoadResourceString(IDS_CLIENTS_CONNECTED);
        const auto caption = LoadResourceString(IDS_PRODUCT);
        if (text && caption &&
            MessageBoxW(window_, text->c_str(), caption->c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
    }
    CoSuspendClassObjects();
    if (context_.LockCount() != 1) {
        WaitCursor wait;
        const DWORD delay = context_.ShutdownDelay();
        context_.SetShuttingDown(true);
        context_.FirstShutdownNotice()();
        WaitForClients(delay);
        if (context_.LockCount() != 1) {
            context_.SecondShutdownNotice()();
            WaitForClients(delay);
        }
    }
    PostMessageW(GetParent(window_), WM_CLOSE, 0, 0);
}

// Waits, without dispatching messages, until only the panel's own lock is left or the
// delay has passed.
void ControlPanelDialog::WaitForClients(DWORD delayMs) {
    const ULONGLONG start = GetTickCount64();
    while (context_.LockCount() != 1 && GetTickCount64() - start <= delayMs)
        Sleep(100);
}

bool ControlPanelDialog::PreTranslateMessage(MSG& message) {
    if (!window_)
        return false;
    if (message.message == WM_KEYDOWN || message.message == WM_KEYUP) {
        if (message.wParam == VK_ESCAPE)
            return true;
        if (message.wParam == VK_RETURN) {
            const HWND focus = GetFocus();
            const HWND view = nodeView_ ? nodeView_->Window() : nullptr;
            if (view && focus && (focus == view || IsChild(view, focus)))
                return false;   // the list may start or end editing
            // Exit is pressed once, when the key goes down.
            if (message.message == WM_KEYDOWN && focus && focus == GetDlgItem(window_, kExitButton))
                PostMessageW(window_, WM_COMMAND, MAKEWPARAM(kExitButton, BN_CLICKED), reinterpret_cast<LPARAM>(focus));
            return true;
        }
    }
    return IsDialogMessageW(window_, &message) != FALSE;
}

} // namespace lx::panel
