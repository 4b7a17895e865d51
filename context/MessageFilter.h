// Hooks into the main thread's message loop: message filters, which see every message
// before it is translated and dispatched, and idle handlers. The loop itself belongs
// to the module; windows register with it through MessageFilterHost.
#pragma once

#include <windows.h>

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

// Where filters are registered and removed (the module's message loop).
class MessageFilterHost {
public:
    virtual ~MessageFilterHost() = default;
    virtual void AddMessageFilter(MessageFilter* filter) = 0;
    virtual void RemoveMessageFilter(MessageFilter* filter) = 0;
};

} // namespace lx
