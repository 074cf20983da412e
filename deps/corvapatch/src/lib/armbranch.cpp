#include "armbranch.h"

namespace corvapatch {

bool CompressArmBranch(int, uint32_t, uint32_t, uint16_t *, uint32_t *)
{
    return false;
}

bool DecompressArmBranch(int, uint16_t, uint32_t, uint32_t *)
{
    return false;
}

} // namespace corvapatch
