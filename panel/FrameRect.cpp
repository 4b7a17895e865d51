#include "panel/FrameRect.h"

#include "context/ResourceIds.h"

#include <cstdint>
#include <cstring>

namespace lx::panel {
namespace {

std::int32_t ReadInt32(const BYTE* data) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | data[i];
    std::int32_t out;
    std::memcpy(&out, &v, sizeof(out));
    return out;
}

void WriteInt32(BYTE* data, std::int32_t value) {
    std::uint32_t v;
    std::memcpy(&v, &value, sizeof(v));
    for (int i = 0; i < 4; ++i, v >>= 8) data[i] = static_cast<BYTE>(v & 0xFF);
}

} // namespace

std::optional<RECT> DecodeFrameRect(DWORD type, const BYTE* data, std::size_t size) {
    if (type != REG_BINARY || size != 16 || !data) return std::nullopt;
    const RECT r{ReadInt32(data), ReadInt32(data + 4), ReadInt32(data + 8), ReadInt32(data + 12)};
    if (r.right == r.left || r.bottom == r.top) return std::nullopt;
    return r;
}

std::optional<RECT> ReadFrameRect() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUiKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
    BYTE data[16] = {};
    DWORD type = 0, size = sizeof(data);
    const LSTATUS status = RegQueryValueExW(key, kFrameValue, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;   // missing, or longer than 16 bytes
    return DecodeFrameRect(type, data, size);
}

void WriteFrameRect(const RECT& rect) noexcept {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUiKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    BYTE data[16];
    WriteInt32(data, rect.left);
    WriteInt32(data + 4, rect.top);
    WriteInt32(data + 8, rect.right);
    WriteInt32(data + 12, rect.bottom);
    RegSetValueExW(key, kFrameValue, 0, REG_BINARY, data, sizeof(data));
    RegCloseKey(key);
}

} // namespace lx::panel
