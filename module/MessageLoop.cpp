#include "module/MessageLoop.h"

#include <algorithm>

namespace lx {

void MessageLoop::AddMessageFilter(MessageFilter* filter) {
    if (filter) filters_.push_back(filter);
}

void MessageLoop::RemoveMessageFilter(MessageFilter* filter) {
    filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}

void MessageLoop::AddIdleHandler(IdleHandler* handler) {
    if (handler) idleHandlers_.push_back(handler);
}

void MessageLoop::RemoveIdleHandler(IdleHandler* handler) {
    idleHandlers_.erase(std::remove(idleHandlers_.begin(), idleHandlers_.end(), handler), idleHandlers_.end());
}

bool MessageLoop::PreTranslate(MSG& message) {
    // A filter may remove itself (or others) while it runs: iterate over a copy and
    // skip the ones that are gone.
    const std::vector<MessageFilter*> filters = filters_;
    for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
        if (std::find(filters_.begin(), filters_.end(), *it) == filters_.end())
            continue;
        if ((*it)->PreTranslateMessage(message))
            return true;
    }
    return false;
}

bool MessageLoop::Idle() {
    const std::vector<IdleHandler*> handlers = idleHandlers_;
    bool more = false;
    for (IdleHandler* handler : handlers) {
        if (std::find(idleHandlers_.begin(), idleHandlers_.end(), handler) == idleHandlers_.end())
            continue;
        more = handler->OnIdle() || more;
    }
    return more;
}

bool MessageLoop::IsIdleMessage(const MSG& message) {
    switch (message.message) {
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_PAINT:
    case 0x0118:   // the system timer (caret blink)
        return false;
    default:
        return true;
    }
}

int MessageLoop::Run() {
    MSG message{};
    bool doIdle = true;
    for (;;) {
        while (doIdle && !PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!Idle())
                doIdle = false;
        }
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1)
            continue;   // an invalid window handle in a filter: nothing to dispatch
        if (!got)
            break;
        if (!PreTranslate(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (IsIdleMessage(message))
            doIdle = true;
    }
    return static_cast<int>(message.wParam);
}

} // namespace lx
