#include "writefile.h"

#include <cstdint>
#include <cstdio>

namespace corvapatch {

size_t WriteFile(const char *path, const uint8_t *data, size_t n)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        return n == 0 ? SIZE_MAX : 0;
    const size_t written = n == 0 ? 0 : std::fwrite(data, 1, n, file);
    if (std::fclose(file) != 0)
        return n == 0 ? SIZE_MAX : 0;
    return written;
}

} // namespace corvapatch
