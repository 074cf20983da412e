#pragma once

#include "x86startbytes.h"

#include <cstdint>

namespace corvapatch {

// The candidate rules of the x86 and x86-64 scans: the offset of a 32-bit displacement in the instruction at p
// (0 for none), given the bytes left in the section. Inline, so that the scan of every byte inlines them.

// call/jmp rel32 (E8, E9) and the conditional jumps 0F 80..8F, except 0F 8A and 0F 8B.
inline uint32_t X86Candidate(const uint8_t *p, uint64_t remaining)
{
    uint32_t displacement = 0;
    if (remaining >= 5 && (p[0] & 0xFE) == 0xE8)
        displacement = 1;
    if (remaining >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && (p[1] & 0xFE) != 0x8A)
        displacement = 2;
    return displacement;
}

// Later rules replace earlier matches: E8/E9 rel32; FF 15 / FF 25 (call/jmp [rip+disp32]) or the
// conditional jumps 0F 80..8F except 0F 8A/8B; REX.W mov/lea with a RIP-relative operand.
inline uint32_t X64Candidate(const uint8_t *p, uint64_t remaining)
{
    uint32_t displacement = 0;
    if (remaining >= 5 && (p[0] & 0xFE) == 0xE8)
        displacement = 1;
    if (remaining >= 6) {
        if (p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25))
            displacement = 2;
        else if (p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && (p[1] & 0xFE) != 0x8A)
            displacement = 2;
    }
    if (remaining >= 7 && (p[0] & 0xFE) == 0x48 && (p[1] == 0x8B || p[1] == 0x8D) && (p[2] & 0xC7) == 5)
        displacement = 3;
    return displacement;
}

// Where each rule can match, by its first two bytes (wider than the rule where one test is cheaper).
extern const X86StartBytes kX86Starts;
extern const X86StartBytes kX64Starts;

} // namespace corvapatch
