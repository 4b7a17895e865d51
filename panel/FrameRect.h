// The panel frame's rectangle as kept per user: value "Frame" (REG_BINARY, 16 bytes:
// left, top, right, bottom as signed 32-bit little-endian screen coordinates) under
// the configuration key's "UI" subkey.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>

namespace lx::panel {

inline constexpr const wchar_t* kFrameValue = L"Frame";

// The rectangle a stored value gives, if it is usable: type REG_BINARY, exactly 16
// bytes, a width and a height that are not zero.
std::optional<RECT> DecodeFrameRect(DWORD type, const BYTE* data, std::size_t size);

// The stored rectangle, if there is a usable one.
std::optional<RECT> ReadFrameRect();

// Stores the rectangle, creating the key if needed; failures are ignored.
void WriteFrameRect(const RECT& rect) noexcept;

} // namespace lx::panel
