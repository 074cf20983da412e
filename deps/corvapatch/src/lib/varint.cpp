#include "varint.h"

namespace corvapatch {

const uint8_t *ParseVarint32(const uint8_t *start, const uint8_t *limit, uint32_t *out)
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

} // namespace corvapatch
