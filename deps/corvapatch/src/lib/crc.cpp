#include "crc.h"

#include <zlib.h>

#include <system_error>
#include <thread>

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

uint32_t ComputeCrcInHalves(const uint8_t *data, size_t n)
{
    // Below this a thread's start costs about what it saves.
    constexpr size_t kSplitFrom = size_t(1) << 20;
    if (n < kSplitFrom)
        return ComputeCrc(data, n);
    const size_t firstLength = n / 2;
    uLong first = 0;
    std::thread helper;
    try {
        helper = std::thread([data, firstLength, &first] { first = crc32_z(0, data, firstLength); });
    } catch (const std::system_error &) {
        return ComputeCrc(data, n);
    }
    const uLong second = crc32_z(0, data + firstLength, n - firstLength);
    helper.join();
    return ~static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(n - firstLength)));
}

} // namespace corvapatch
