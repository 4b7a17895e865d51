#include "panel/ActivityAnimation.h"

#include "panel/ObjectWindow.h"

#include <cstdlib>
#include <system_error>

namespace panel {

namespace {

constexpr DWORD kStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
constexpr DWORD kExStyle = WS_EX_CLIENTEDGE;

bool RegisterAnimationClass(WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = ActivityAnimation::kClassName;
    return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// Copies the clip resource into a new temporary file "ani*.tmp"; its path, or empty.
bool WriteClip(std::wstring& path) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(ActivityAnimation::kClipResource), L"ANIMATION");
    const DWORD size = resource ? SizeofResource(module, resource) : 0;
    const HGLOBAL loaded = size ? LoadResource(module, resource) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return false;
    wchar_t directory[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    if (length == 0 || length > MAX_PATH) return false;
    wchar_t name[MAX_PATH] = {};
    if (!GetTempFileNameW(directory, L"ani", 0, name)) return false;
    path = name;
    const HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

} // namespace

ActivityAnimation::ActivityAnimation() { AVIFileInit(); }

ActivityAnimation::~ActivityAnimation() {
    if (window_) DestroyWindow(window_);
    StopFrames();
    CloseClip();
    AVIFileExit();
}

bool ActivityAnimation::Create(HWND parent, POINT topLeft, int id) {
    if (window_ || !RegisterAnimationClass(&ObjectWindow<ActivityAnimation>::Procedure)) return false;
    if (!OpenClip()) {
        CloseClip();
        return false;
    }
    RECT r{0, 0, frame_.right - frame_.left, frame_.bottom - frame_.top};
    AdjustWindowRectEx(&r, kStyle, FALSE, kExStyle);
    CreateWindowExW(kExStyle, kClassName, L"", kStyle, topLeft.x, topLeft.y, r.right - r.left, r.bottom - r.top,
                    parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), this);
    if (!window_) {
        CloseClip();
        return false;
    }
    StartFrames();
    return true;
}

bool ActivityAnimation::OpenClip() {
    if (!WriteClip(temporaryPath_)) return false;
    if (AVIFileOpenW(&file_, temporaryPath_.c_str(), OF_READ | OF_SHARE_EXCLUSIVE, nullptr) != AVIERR_OK) {
        file_ = nullptr;
        return false;
    }
    if (AVIFileGetStream(file_, &stream_, streamtypeVIDEO, 0) != AVIERR_OK) {
        stream_ = nullptr;
        return false;
    }
    AVISTREAMINFOW info{};
    if (AVIStreamInfoW(stream_, &info, sizeof(info)) != AVIERR_OK || info.dwRate == 0 ||
        static_cast<long>(info.dwLength) <= 0)
        return false;
    frame_ = info.rcFrame;
    length_ = static_cast<long>(info.dwLength);
    period_ = static_cast<UINT>(static_cast<unsigned long long>(info.dwScale) * 1000 / info.dwRate);
    BITMAPINFOHEADER wanted{};
    wanted.biSize = sizeof(wanted);
    wanted.biWidth = frame_.right - frame_.left;
    wanted.biHeight = frame_.bottom - frame_.top;
    wanted.biPlanes = 1;
    wanted.biBitCount = 32;
    wanted.biCompression = BI_RGB;
    decoder_ = AVIStreamGetFrameOpen(stream_, &wanted);
    return decoder_ != nullptr && wanted.biWidth > 0 && wanted.biHeight > 0;
}

void ActivityAnimation::CloseClip() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        decoded_ = nullptr;
    }
    if (decoder_) AVIStreamGetFrameClose(decoder_);
    if (stream_) AVIStreamRelease(stream_);
    if (file_) AVIFileRelease(file_);
    decoder_ = nullptr;
    stream_ = nullptr;
    file_ = nullptr;
    if (!temporaryPath_.empty()) {
        DeleteFileW(temporaryPath_.c_str());  // a failure to delete is ignored
        temporaryPath_.clear();
    }
}

SIZE ActivityAnimation::Size() const noexcept {
    RECT r{};
    if (window_) GetWindowRect(window_, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

long ActivityAnimation::FrameIndex() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_;
}

void ActivityAnimation::StartFrames() {
    stop_ = false;
    try {
        worker_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!wake_.wait_for(lock, std::chrono::milliseconds(period_), [this] { return stop_.load(); })) {
                lock.unlock();
                if (playing_) Advance();
                lock.lock();
            }
        });
    } catch (const std::system_error&) {
        timerRunning_ = SetTimer(window_, kFrameTimer, period_, nullptr) != 0;
    }
}

void ActivityAnimation::StopFrames() {
    if (worker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        worker_.join();
    } else if (timerRunning_ && window_) {
        KillTimer(window_, kFrameTimer);
    }
    timerRunning_ = false;
}

// The next frame (after the last the first); the window is asked to paint it.
void ActivityAnimation::Advance() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index_ = (index_ + 1) % length_;
        decoded_ = nullptr;
    }
    if (const HWND window = window_) InvalidateRect(window, nullptr, FALSE);
}

void ActivityAnimation::Paint() {
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(window_, &ps);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!decoded_ && decoder_)
            decoded_ = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(decoder_, index_));
        if (decoded_) {
            RECT client{};
            GetClientRect(window_, &client);
            const int width = decoded_->biWidth, height = std::abs(decoded_->biHeight);
            const int left = (client.right - width) / 2, top = (client.bottom - height) / 2;
            const BYTE* bits = reinterpret_cast<const BYTE*>(decoded_) + decoded_->biSize +
                               decoded_->biClrUsed * sizeof(RGBQUAD);
            StretchDIBits(dc, left, top, width, height, 0, 0, width, height, bits,
                          reinterpret_cast<const BITMAPINFO*>(decoded_), DIB_RGB_COLORS, SRCCOPY);
        }
    }
    EndPaint(window_, &ps);
}

LRESULT ActivityAnimation::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the frame covers the client area
    case WM_TIMER:
        if (wParam == kFrameTimer && playing_) Advance();
        return 0;
    case WM_DESTROY:
        StopFrames();
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

} // namespace panel
