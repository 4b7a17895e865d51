// The attributes that each channel type carries: their value kind and name.
#pragma once

#include <cstdint>
#include <string_view>

namespace nrk {

// The value kind of one attribute. Numeric kinds are held as doubles; Date is
// seconds since 1970-01-01 UTC; Text is narrow text (UTF-8 inside the runtime).
enum class Kind : std::uint8_t { None, Bool, UI1, UI2, UI4, I2, I4, R4, R8, Date, Text };

constexpr int kChannelTypes = 16;
constexpr int kAttributes = 256;

// The attribute layout of one channel type: the kind of every attribute id and
// its index among the type's numeric or text slots.
struct TypeLayout {
    Kind kind[kAttributes] = {};
    std::uint16_t slot[kAttributes] = {};
    int numericCount = 0;
    int textCount = 0;
    const char* name[kAttributes] = {};
};

// Layout of channel type 0..15; nullptr outside.
const TypeLayout* layoutOf(int type);

// The attribute's name for this type; nullptr when the type lacks the attribute.
const char* attributeName(int type, int attr);

// Attribute id by name (exact) or by decimal id; -1 when the type lacks it.
int attributeByName(int type, std::string_view name);

const char* kindName(Kind kind);
inline bool isNumeric(Kind k) { return k != Kind::None && k != Kind::Text; }

} // namespace nrk
