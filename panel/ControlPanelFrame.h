// The panel's top-level window: resizable, keeps the dialog filling its client area,
// persists its rectangle ("Frame"), and turns Close (also Alt+F4 and the close box)
// into the dialog's Exit. Its destruction hands the process's lock back.
#pragma once

#include <windows.h>

#include <memory>

#include "panel/ControlPanel.h"
#include "panel/ControlPanelDialog.h"

namespace lx {
class ProcessContext;
class MessageFilterHost;
}

namespace lx::panel {

class ControlPanelFrame : public ControlPanel {
public:
    ControlPanelFrame(ProcessContext& context, MessageFilterHost& filters);
    ~ControlPanelFrame() override;
    ControlPanelFrame(const ControlPanelFrame&) = delete;
    ControlPanelFrame& operator=(const ControlPanelFrame&) = delete;

    // Creates the window hidden, with the dialog inside; false if either fails.
    bool Create();

    HWND Window() const noexcept override { return window_; }
    void Show(int showCommand) override;

    ControlPanelDialog& Dialog() noexcept { return dialog_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool OnCreate();
    void OnDestroy();
    void MinimumTrackSize(MINMAXINFO& info);

    ProcessContext& context_;
    MessageFilterHost& filters_;
    ControlPanelDialog dialog_;
    HWND window_ = nullptr;
    bool filterRegistered_ = false;
};

} // namespace lx::panel
