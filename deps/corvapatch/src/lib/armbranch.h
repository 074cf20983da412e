#pragma once

#include <cstdint>

namespace corvapatch {

// ARM and Thumb branch forms whose targets the ELF ARM disassembler turns into labels.
enum ArmBranchForm : int {
    ARM_THUMB_B8 = 0,
    ARM_THUMB_B11 = 1,
    ARM_B24 = 2,
    ARM_THUMB2_BL25 = 3,
    ARM_THUMB2_BCOND21 = 4,
};

// Splits a branch (op as read: the halfword, the word, or first halfword << 16 | second) at address rva into
// its compressed op (form tag in bits 12 to 15) and its target relative to rva. False for a form above 4.
[[nodiscard]] bool CompressArmBranch(int form, uint32_t op, uint32_t rva, uint16_t *compressedOp,
                                     uint32_t *relativeTarget);
// Rebuilds the branch value from its compressed op and relative target. False for a form above 4.
[[nodiscard]] bool DecompressArmBranch(int form, uint16_t compressedOp, uint32_t relativeTarget, uint32_t *op);

} // namespace corvapatch
