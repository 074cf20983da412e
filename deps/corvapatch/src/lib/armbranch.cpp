#include "armbranch.h"

namespace corvapatch {

namespace {

// value's low `bits` bits as a signed number, in 32-bit two's complement.
uint32_t SignExtend(uint32_t value, int bits)
{
    const uint32_t sign = 1u << (bits - 1);
    value &= (sign << 1) - 1;
    return (value ^ sign) - sign;
}

} // namespace

bool CompressArmBranch(int form, uint32_t op, uint32_t rva, uint16_t *compressedOp, uint32_t *relativeTarget)
{
    const uint32_t s = (op >> 26) & 1;
    const uint32_t i11 = (op * 2) & 0xFFE;
    uint32_t target = 0;
    uint32_t compressed = 0;
    switch (form) {
    case ARM_THUMB_B8:
        target = SignExtend((op & 0xFF) << 1, 9) + 4;
        compressed = (op >> 8) | 0x1000;
        break;
    case ARM_THUMB_B11:
        target = SignExtend((op & 0x7FF) << 1, 12) + 4;
        compressed = (op >> 11) | 0x2000;
        break;
    case ARM_B24:
        target = SignExtend((op & 0xFFFFFF) << 2, 26) + 8;
        compressed = (op >> 24) | 0x3000;
        break;
    case ARM_THUMB2_BL25: {
        // BLX (bit 14 set, bit 12 clear) lands on a word boundary, so its pc offset depends on the alignment.
        const bool blx = (op & 0x4000) && !(op & 0x1000);
        const uint32_t k = blx && (rva & 3) ? 2 : 4;
        target = (((op >> 4) & 0x3FF000) | i11 | s << 24 | (((op >> 13) ^ s) & 1) << 23 |
                  (((op >> 11) ^ s) & 1) << 22) ^
            0xC00000;
        if (s)
            target += 0xFE000000u;
        target += k;
        compressed = ((op & 0x4000) >> 13) | ((op >> 12) & 1) | ((op >> 13) & 4) | ((op >> 24) & 0xF8) | k << 8 |
            0x4000;
        break;
    }
    case ARM_THUMB2_BCOND21:
        target = ((op >> 6) & 0x100000) | ((op >> 4) & 0x3F000) | i11 | ((op << 6) & 0x80000) |
            ((op << 7) & 0x40000);
        if (s)
            target -= 0x200000;
        target += 4;
        compressed = ((op >> 22) & 0xF) | 0x5000;
        break;
    default:
        return false;
    }
    *compressedOp = static_cast<uint16_t>(compressed);
    *relativeTarget = target;
    return true;
}

bool DecompressArmBranch(int form, uint16_t compressedOp, uint32_t relativeTarget, uint32_t *op)
{
    const uint32_t c = compressedOp;
    const uint32_t a = relativeTarget;
    switch (form) {
    case ARM_THUMB_B8:
        *op = ((c << 8) & 0xFFF00) | (((a + 508) >> 1) & 0xFF);
        return true;
    case ARM_THUMB_B11:
        *op = ((c << 11) & 0x7FF800) | (((a + 4092) >> 1) & 0x7FF);
        return true;
    case ARM_B24:
        *op = (c << 24) | (((a + 0x3FFFFF8) >> 2) & 0xFFFFFF);
        return true;
    case ARM_THUMB2_BL25: {
        const uint32_t t = a - ((c >> 8) & 0xF);
        *op = ((t >> 1) & 0x7FF) | ((c >> 3) << 27) | ((c << 13) & 0xC000) | ((c & 1) << 12) |
            ((t << 4) & 0x3FF0000) | ((t << 2) & 0x4000000) | ((((t >> 22) ^ (t >> 24)) & 1) ^ 1) << 11 |
            ((((t >> 23) ^ (t >> 24)) & 1) ^ 1) << 13;
        return true;
    }
    case ARM_THUMB2_BCOND21: {
        const uint32_t t = a + 0x1FFFFC;
        *op = ((t << 6) & 0x4000000) | ((c & 0xF) << 22) | ((t >> 7) & 0x800) | ((t >> 6) & 0x2000) |
            ((t >> 1) & 0x7FF) | ((t << 4) & 0x3F0000) | 0xF0008000u;
        return true;
    }
    default:
        return false;
    }
}

} // namespace corvapatch
