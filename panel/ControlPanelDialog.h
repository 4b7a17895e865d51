// The panel's child dialog (template 202): the node path, Start/Stop, Login.../Logout,
// Help and Exit in a column at the right, the node view and the animation. It keeps
// its controls laid out on every size change, starts and stops the node, logs the
// operator in and out, and runs the Exit procedure that ends the process.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <vector>

#include "context/MessageFilter.h"
#include "panel/PanelChildren.h"

namespace lx {
class ProcessContext;
}

namespace lx::panel {

// Control ids of template 202.
enum PanelControl : int {
    kExitButton = IDOK,
    kCancelCommand = IDCANCEL,
    kHelpButton = 9,
    kNodePathEdit = 201,
    kStartButton = 202,
    kStopButton = 203,
    kNodePathLabel = 206,
    kLoginButton = 215,
    kLogoutButton = 216,
};

inline constexpr int kPanelDialogTemplate = 202;

class ControlPanelDialog : public MessageFilter {
public:
    explicit ControlPanelDialog(ProcessContext& context);
    ~ControlPanelDialog() override;
    ControlPanelDialog(const ControlPanelDialog&) = delete;
    ControlPanelDialog& operator=(const ControlPanelDialog&) = delete;

    // Creates the dialog as a child of `frame`; false if it cannot be created.
    bool Create(HWND frame);
    HWND Window() const noexcept { return window_; }

    // The keyboard filter: Escape never closes the panel; Enter works only on Exit and
    // inside the node view; everything else gets the dialog's keyboard handling.
    bool PreTranslateMessage(MSG& message) override;

    // -1 while no operator is logged in; otherwise the login dialog's end value.
    int LoginValue() const noexcept { return login_; }

    // The operator sizes the panel (drags its border, maximises or restores it).
    void OperatorSizes() noexcept {
        if (nodeView_) nodeView_->EndStartupLayout();
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

    void Initialise();
    void SizeButtons(int count);
    void LayOut();
    void UpdateButtonStates();
    void Command(int id);
    void ChangeNode(bool start);
    void Login();
    void Logout();
    void Help();
    void Exit();
    void WaitForClients(DWORD delayMs);
    void Focus(int id);
    void ShowControl(int id, bool show);
    void ShowFailure(UINT textId, int focusId);
    bool OperatorsExist();

    ProcessContext& context_;
    HWND window_ = nullptr;
    std::unique_ptr<NodeViewPane> nodeView_;
    std::unique_ptr<AnimationPane> animation_;
    std::vector<HIMAGELIST> imageLists_;
    SIZE buttonSize_{};
    int login_ = -1;
    bool initialised_ = false;
};

} // namespace lx::panel
