// A plain top-level window that stands in for the control panel: it is titled with
// the product name, shows the node path and state, has Start and Stop buttons, starts
// the node by itself when the process was started with a run-mode switch, and ends the
// process through the Exit procedure (stopping a running node first, as it has no
// other way to end a running one).
#include "panel/ControlPanel.h"

#include "context/ProcessContext.h"
#include "context/ResourceIds.h"
#include "context/ResourceStrings.h"

#include <objbase.h>

#include <stdexcept>
#include <utility>

namespace {

constexpr const wchar_t* kWindowClass = L"Lx6OpcControlPanel";
constexpr int kStartButton = 202;
constexpr int kStopButton = 203;

class StandInPanel : public ControlPanel {
public:
    explicit StandInPanel(lx::ProcessContext& module) : module_(module) {}
    ~StandInPanel() override {
        if (window_) {
            SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
            DestroyWindow(window_);
        }
    }

    void Create() {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &StandInPanel::WindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(214));
        wc.lpszClassName = kWindowClass;
        if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            throw std::runtime_error("window class");
        const std::wstring title = lx::ResourceStringOr(lx::IDS_PRODUCT, lx::kFallbackTitle);
        window_ = CreateWindowExW(WS_EX_APPWINDOW | WS_EX_CLIENTEDGE, kWindowClass, title.c_str(),
                                  WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 560, 320, nullptr, nullptr, instance, this);
        if (!window_)
            throw std::runtime_error("panel window");
        const HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        for (auto [id, text] : {std::pair{kStartButton, L"Start"}, std::pair{kStopButton, L"Stop"}}) {
            const HWND button = CreateWindowExW(0, L"BUTTON", text, WS_CHILD | BS_PUSHBUTTON, 12, 60, 88, 26,
                                                window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                                instance, nullptr);
            if (button) SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
        UpdateButtons();
        NRK_Server* runtime = module_.Runtime();
        if (module_.AutoStart() && runtime && runtime->CanStart())
            PostMessageW(window_, WM_COMMAND, kStartButton, 0);
    }

    HWND Window() const noexcept override { return window_; }

    void Show(int showCommand) override {
        if (window_) {
            ShowWindow(window_, showCommand);
            UpdateWindow(window_);
        }
    }

private:
    // Exit without a node in control: ask if clients are connected, suspend the
    // class objects, give clients the two notices with a wait after each, close.
    void Exit() {
        NRK_Server* runtime = module_.Runtime();
        if (runtime && runtime->IsNodeRunning()) {
            runtime->StopNode();
            UpdateButtons();
            if (runtime->IsNodeRunning()) return;
        }
        if (module_.LockCount() != 1) {
            const auto text = lx::LoadResourceString(lx::IDS_CLIENTS_CONNECTED);
            const auto caption = lx::LoadResourceString(lx::IDS_PRODUCT);
            if (text && caption &&
                MessageBoxW(window_, text->c_str(), caption->c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
                return;
        }
        CoSuspendClassObjects();
        if (module_.LockCount() != 1) {
            const HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            module_.SetShuttingDown(true);
            module_.FirstShutdownNotice()();
            WaitForClients();
            if (module_.LockCount() != 1) {
                module_.SecondShutdownNotice()();
                WaitForClients();
            }
            SetCursor(previous);
        }
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }

    void Command(int id) {
        NRK_Server* runtime = module_.Runtime();
        if (!runtime) return;
        if (id == kStartButton && !runtime->IsNodeRunning() && runtime->CanStart()) runtime->StartNode();
        if (id == kStopButton && runtime->IsNodeRunning() && runtime->CanStop()) runtime->StopNode();
        UpdateButtons();
    }

    // Start while stopped, Stop while running; each enabled when the runtime allows it.
    void UpdateButtons() {
        NRK_Server* runtime = module_.Runtime();
        const bool running = runtime && runtime->IsNodeRunning();
        const HWND start = GetDlgItem(window_, kStartButton);
        const HWND stop = GetDlgItem(window_, kStopButton);
        ShowWindow(start, running ? SW_HIDE : SW_SHOW);
        ShowWindow(stop, running ? SW_SHOW : SW_HIDE);
        EnableWindow(start, runtime && !running && runtime->CanStart());
        EnableWindow(stop, runtime && running && runtime->CanStop());
        InvalidateRect(window_, nullptr, TRUE);
    }

    void WaitForClients() {
        const ULONGLONG start = GetTickCount64();
        while (module_.LockCount() != 1 && GetTickCount64() - start <= module_.ShutdownDelay())
            Sleep(100);
    }

    void Destroyed() {
        window_ = nullptr;
        module_.SetShutdownDelay(0);
        module_.SetShutdownPause(0);
        module_.Unlock();
    }

    void Paint(HWND window) {
        PAINTSTRUCT ps;
        const HDC dc = BeginPaint(window, &ps);
        RECT client;
        GetClientRect(window, &client);
        InflateRect(&client, -12, -12);
        NRK_Server* runtime = module_.Runtime();
        const std::wstring text = L"Node: " + module_.NodePath() + L"\r\nState: " +
                                  (runtime && runtime->IsNodeRunning() ? L"running" : L"stopped");
        SetBkMode(dc, TRANSPARENT);
        SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        DrawTextW(dc, text.c_str(), -1, &client, DT_LEFT | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
        EndPaint(window, &ps);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<StandInPanel*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self) {
            try {
                switch (message) {
                case WM_SYSCOMMAND:
                    if ((wParam & 0xFFF0) == SC_CLOSE) {
                        self->Exit();
                        return 0;
                    }
                    break;
                case WM_COMMAND:
                    self->Command(LOWORD(wParam));
                    return 0;
                case WM_PAINT:
                    self->Paint(window);
                    return 0;
                case WM_DESTROY:
                    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
                    self->Destroyed();
                    return 0;
                default:
                    break;
                }
            } catch (...) {
                // nothing may leave a window procedure
            }
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    lx::ProcessContext& module_;
    HWND window_ = nullptr;
};

} // namespace

std::shared_ptr<ControlPanel> CreateControlPanel(lx::ProcessContext& module, lx::MessageFilterHost&) {
    auto panel = std::make_shared<StandInPanel>(module);
    panel->Create();
    return panel;
}
