#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// varint32: little-endian base 128, at most five bytes. The fifth byte must have bit 7 clear; its bits above
// the 32-bit range are dropped. Longer-than-needed forms (80 00) are accepted.
constexpr size_t kMaxVarint32Length = 5;

// Decodes one varint32 from [start, limit). Returns the position after it, or nullptr when the bytes run out
// first or the fifth byte has bit 7 set; *out is written only on success. Inline: a program's streams are read
// millions of values at a time.
inline const uint8_t *ParseVarint32(const uint8_t *start, const uint8_t *limit, uint32_t *out)
{
    if (!start || !limit || limit < start)
        return nullptr;
    const size_t available = static_cast<size_t>(limit - start);
    uint32_t result = 0;
    for (size_t i = 0; i < kMaxVarint32Length && i < available; ++i) {
        const uint8_t byte = start[i];
        // At i == 4 the shift is 28, so bits 4 to 6 of the fifth byte fall off the top: taken modulo 2^32.
        result |= static_cast<uint32_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            *out = result;
            return start + i + 1;
        }
    }
    return nullptr;
}

// Writes the shortest form of value into buffer and returns its length; only those bytes are written. Inline:
// a program's streams are written millions of values at a time.
inline size_t EncodeVarint32(uint32_t value, uint8_t *buffer)
{
    size_t length = 0;
    while (value >= 0x80) {
        buffer[length++] = static_cast<uint8_t>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    buffer[length++] = static_cast<uint8_t>(value);
    return length;
}

// The length of EncodeVarint32's form of value.
inline size_t Varint32Length(uint32_t value)
{
    return value < (1u << 7) ? 1 : value < (1u << 14) ? 2 : value < (1u << 21) ? 3 : value < (1u << 28) ? 4 : 5;
}

// Zigzag mapping of signed values: 0, -1, 1, -2, 2 become 0, 1, 2, 3, 4.
inline uint32_t ZigzagEncode(int32_t value)
{
    return (static_cast<uint32_t>(value) << 1) ^ static_cast<uint32_t>(value >> 31);
}

inline int32_t ZigzagDecode(uint32_t value)
{
    return static_cast<int32_t>((value >> 1) ^ (0u - (value & 1u)));
}

} // namespace corvapatch
