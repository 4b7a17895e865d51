// The activity animation in this process with the clip embedded in the test program.
#include "panel/ActivityAnimation.h"

#include <gtest/gtest.h>

#include <vfw.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <vector>

namespace {

bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    while (!condition()) {
        if (GetTickCount64() - start > timeoutMs) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(20);
    }
    return true;
}

class ActivityAnimationTest : public ::testing::Test {
protected:
    ActivityAnimationTest() {
        host = CreateWindowExW(0, L"STATIC", L"animation host", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 300,
                               200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~ActivityAnimationTest() override { DestroyWindow(host); }
    HWND host = nullptr;
};

TEST_F(ActivityAnimationTest, StandsStillPlaysInALoopAndFreezesFromATemporaryCopy) {
    std::filesystem::path copy;
    {
        panel::ActivityAnimation animation;
        EXPECT_EQ(animation.Size().cx, 0);
        ASSERT_TRUE(animation.Create(host, POINT{10, 10}));
        copy = animation.TemporaryPath();
        EXPECT_TRUE(std::filesystem::exists(copy));
        EXPECT_EQ(copy.filename().wstring().rfind(L"ani", 0), 0u);
        EXPECT_EQ(GetDlgCtrlID(animation.Window()), panel::ActivityAnimation::kControlId);
        RECT client{};
        GetClientRect(animation.Window(), &client);
        EXPECT_EQ(client.right, 128);
        EXPECT_EQ(client.bottom, 128);
        RECT window{};
        GetWindowRect(animation.Window(), &window);
        EXPECT_EQ(animation.Size().cx, window.right - window.left);
        EXPECT_GT(animation.Size().cx, 128);  // the client edge
        EXPECT_EQ(animation.Length(), 541);
        EXPECT_EQ(animation.FramePeriod(), 66u);

        Sleep(300);
        EXPECT_EQ(animation.FrameIndex(), 0);
        animation.Play();
        EXPECT_TRUE(Eventually([&] { return animation.FrameIndex() >= 3; }, 5000));
        animation.Stop();
        Sleep(100);
        const long frozen = animation.FrameIndex();
        Sleep(300);
        EXPECT_EQ(animation.FrameIndex(), frozen);
        animation.Play();
        EXPECT_TRUE(Eventually([&] { return animation.FrameIndex() > frozen; }, 5000));
    }
    EXPECT_FALSE(std::filesystem::exists(copy));
}

// The clip decodes through the platform's decoder, and its last frame leads back into the first.
TEST_F(ActivityAnimationTest, ClipDecodesAndItsLastFrameIsTheFirstPicture) {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(210), L"ANIMATION");
    ASSERT_TRUE(resource);
    const auto* data = static_cast<const char*>(LockResource(LoadResource(nullptr, resource)));
    const auto path = std::filesystem::temp_directory_path() / L"activity-clip-test.avi";
    std::ofstream(path, std::ios::binary).write(data, SizeofResource(nullptr, resource));
    AVIFileInit();
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileW(&stream, path.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr), AVIERR_OK);
    BITMAPINFOHEADER wanted{sizeof(wanted), 128, 128, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    PGETFRAME decoder = AVIStreamGetFrameOpen(stream, &wanted);
    ASSERT_TRUE(decoder);
    const auto frame = [&](long index) {
        const auto* header = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(decoder, index));
        if (!header) return std::vector<char>();
        const char* bits = reinterpret_cast<const char*>(header) + header->biSize;
        return std::vector<char>(bits, bits + 128 * 128 * 4);
    };
    const auto first = frame(0);
    ASSERT_EQ(first.size(), 128u * 128u * 4u);
    EXPECT_NE(frame(1), first);
    EXPECT_NE(frame(539), first);
    EXPECT_EQ(frame(540), first);
    EXPECT_TRUE(frame(541).empty());
    AVIStreamGetFrameClose(decoder);
    AVIStreamRelease(stream);
    AVIFileExit();
    std::filesystem::remove(path);
}

} // namespace
