// The operator window as the module sees it: created once through
// CreateControlPanel, shown once the class object is registered, destroyed by Exit.
//
// The window's destruction sets the module's shutdown delay and pause to 0 and
// releases the module lock that the process took before its message loop; the
// ShutdownMonitor then ends the process once no client object is left.
#pragma once

#include <windows.h>

#include <memory>

namespace lx {
class ProcessContext;
class MessageFilterHost;
}

class ControlPanel {
public:
    virtual ~ControlPanel() = default;
    // The top-level frame window; null once it is destroyed.
    virtual HWND Window() const noexcept = 0;
    // Shows the frame with the process's show command.
    virtual void Show(int showCommand) = 0;
};

// Creates the panel with its window hidden; throws if the window cannot be created.
// The panel registers its keyboard filter with `loop` and removes it when its window ends.
std::shared_ptr<ControlPanel> CreateControlPanel(lx::ProcessContext& context, lx::MessageFilterHost& loop);
