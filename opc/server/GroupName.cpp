#include "opc/server/GroupName.h"

#include <cstdint>

namespace opc::server {

std::wstring MakeGroupName(std::mt19937& random) {
    std::uint8_t bytes[16];
    for (int word = 0; word < 4; ++word) {
        const std::uint32_t draw = static_cast<std::uint32_t>(random());
        for (int i = 0; i < 4; ++i) bytes[word * 4 + i] = static_cast<std::uint8_t>(draw >> (8 * i));
    }
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0xBF) | 0x80); // variant
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x4F) | 0x40); // version 4
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
        if (i == 3 || i == 5 || i == 7 || i == 9) text += L'-';
    }
    return text;
}

} // namespace opc::server
