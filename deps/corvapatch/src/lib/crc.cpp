#include "crc.h"

#include <zlib.h>

namespace corvapatch {

uint32_t ComputeCrc(const uint8_t *data, size_t n)
{
    // zlib's CRC tables are built at compile time, so concurrent callers share nothing that is written.
    uLong crc = crc32_z(0, Z_NULL, 0);
    if (n > 0)
        crc = crc32_z(crc, data, n);
    return ~static_cast<uint32_t>(crc);
}

} // namespace corvapatch
