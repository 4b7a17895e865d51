// The small picture of the control panel that shows whether the node runs: an AVI clip
// (resource "ANIMATION" 210) that plays in a loop while playing is set and stands on its
// current frame otherwise. The clip is copied to a temporary file, read through the
// video-for-Windows file and frame APIs and drawn unscaled in the middle of the window.
// A worker thread advances the frames (a window timer if no thread can be started);
// all drawing happens on the window's thread.
//
//   panel::ActivityAnimation animation;            // lives as long as its window
//   animation.Create(dialog, POINT{x, y});          // false: no animation (Size() is 0 x 0)
//   SIZE size = animation.Size();                   // the frame plus the window's border
//   animation.Play();  ...  animation.Stop();       // when the node starts / stops
#pragma once

#include <windows.h>
#include <vfw.h>

#include "panel/ObjectWindow.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace panel {

class ActivityAnimation {
public:
    static constexpr const wchar_t* kClassName = L"Lx6OpcActivityAnimation";
    static constexpr int kControlId = 208;
    static constexpr int kClipResource = 210;
    static constexpr UINT_PTR kFrameTimer = 1;

    ActivityAnimation();
    ~ActivityAnimation();
    ActivityAnimation(const ActivityAnimation&) = delete;
    ActivityAnimation& operator=(const ActivityAnimation&) = delete;

    // Creates the window as child `id` of parent with its top-left corner at topLeft (parent's
    // client coordinates), at Size(). Any failure leaves no window and returns false.
    bool Create(HWND parent, POINT topLeft, int id = kControlId);
    HWND Window() const noexcept { return window_; }
    // The window's size (frame rectangle plus the client edge); 0 x 0 without a window.
    SIZE Size() const noexcept;

    void Play() noexcept { playing_ = true; }
    void Stop() noexcept { playing_ = false; }
    bool Playing() const noexcept { return playing_; }

    // Index of the frame shown now, and the clip's length and frame period.
    long FrameIndex() const;
    long Length() const noexcept { return length_; }
    UINT FramePeriod() const noexcept { return period_; }
    // The temporary copy of the clip (empty before creation and after destruction).
    const std::wstring& TemporaryPath() const noexcept { return temporaryPath_; }

private:
    friend struct ObjectWindow<ActivityAnimation>;
    void Attach(HWND window) noexcept { window_ = window; }
    void Detach() noexcept { window_ = nullptr; }
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool OpenClip();
    void StartFrames();
    void StopFrames();
    void Advance();
    void Paint();
    void CloseClip() noexcept;

    HWND window_ = nullptr;
    std::wstring temporaryPath_;
    PAVIFILE file_ = nullptr;
    PAVISTREAM stream_ = nullptr;
    PGETFRAME decoder_ = nullptr;
    RECT frame_{};
    long length_ = 0;
    UINT period_ = 0;
    std::atomic<bool> playing_{false};
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;        // guards index_ and decoded_
    long index_ = 0;
    const BITMAPINFOHEADER* decoded_ = nullptr;  // the decoder's picture of index_, or none
    std::condition_variable wake_;
    std::thread worker_;
    bool timerRunning_ = false;
};

} // namespace panel
