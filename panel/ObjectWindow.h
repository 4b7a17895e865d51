// The window procedure of a window that belongs to a C++ object: the object is handed over
// as the creation parameter and receives every message through its Handle until the window
// is gone (Attach at WM_NCCREATE, Detach at WM_NCDESTROY). An exception never leaves the
// procedure: WM_CREATE then fails the creation, any other message answers 0.
//
//   class Thing { friend struct panel::ObjectWindow<Thing>;
//                 void Attach(HWND); void Detach(); LRESULT Handle(UINT, WPARAM, LPARAM); };
//   wc.lpfnWndProc = &panel::ObjectWindow<Thing>::Procedure;
//   CreateWindowExW(..., this);
#pragma once

#include <windows.h>

namespace panel {

template <class T>
struct ObjectWindow {
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->Attach(window);
        }
        auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!self) return DefWindowProcW(window, message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            self->Detach();
            return DefWindowProcW(window, message, wParam, lParam);
        }
        try {
            return self->Handle(message, wParam, lParam);
        } catch (...) {
            return message == WM_CREATE ? -1 : 0;
        }
    }
};

} // namespace panel
