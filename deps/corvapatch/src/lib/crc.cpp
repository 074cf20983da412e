#include "crc.h"

#include <zlib.h>

namespace corvapatch {

uint32_t ComputeCrc(const uint8_t *data, size_t n)
{
    // zlib's CRC tables are built at compile time, so concurrent callers share nothing that is written.
    return ExtendCrc(~static_cast<uint32_t>(crc32_z(0, Z_NULL, 0)), data, n);
}

uint32_t ExtendCrc(uint32_t crc, const uint8_t *data, size_t n)
{
    // The engine's value is the register itself; zlib's is its complement.
    if (n == 0)
        return crc;
    return ~static_cast<uint32_t>(crc32_z(~crc, data, n));
}

} // namespace corvapatch
