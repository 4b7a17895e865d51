// The main thread's message loop with message filters and idle handlers.
#pragma once

#include <windows.h>

#include <vector>

#include "context/MessageFilter.h"

namespace lx {

class MessageLoop : public MessageFilterHost {
public:
    void AddMessageFilter(MessageFilter* filter) override;
    void RemoveMessageFilter(MessageFilter* filter) override;
    void AddIdleHandler(IdleHandler* handler);
    void RemoveIdleHandler(IdleHandler* handler);

    // Runs until WM_QUIT; returns its wParam.
    int Run();

    // Filters are asked newest first; true if one consumed the message.
    bool PreTranslate(MSG& message);
    bool Idle();

    // False for the messages after which idle processing is not enabled again.
    static bool IsIdleMessage(const MSG& message);

private:
    std::vector<MessageFilter*> filters_;
    std::vector<IdleHandler*> idleHandlers_;
};

} // namespace lx
