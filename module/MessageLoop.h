// The main thread's message loop with message filters and idle handlers.
#pragma once

#include <windows.h>

#include <vector>

namespace lx {

// Sees every message before it is translated and dispatched; true consumes it.
class MessageFilter {
public:
    virtual ~MessageFilter() = default;
    virtual bool PreTranslateMessage(MSG& message) = 0;
};

// Called while no message waits; false when there is no more idle work.
class IdleHandler {
public:
    virtual ~IdleHandler() = default;
    virtual bool OnIdle() = 0;
};

class MessageLoop {
public:
    void AddMessageFilter(MessageFilter* filter);
    void RemoveMessageFilter(MessageFilter* filter);
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
