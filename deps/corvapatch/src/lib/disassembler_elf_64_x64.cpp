#include "disassembler_elf_64_x64.h"

#include "disassembler_elf_x86scan.h"
#include "executabletype.h"

namespace corvapatch {

namespace {

// Later rules replace earlier matches: E8/E9 rel32; FF 15 / FF 25 (call/jmp [rip+disp32]) or the
// conditional jumps 0F 80..8F except 0F 8A/8B; REX.W mov/lea with a RIP-relative operand.
uint32_t X64Candidate(const uint8_t *p, uint64_t remaining)
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

// The first bytes X64Candidate can match.
const X86StartBytes kX64Starts{0xE8, 0xE9, 0xFF, 0x0F, 0x48, 0x49};

} // namespace

int DisassemblerElf64X64::kind() const
{
    return ELF_64_X64;
}

bool DisassemblerElf64X64::RelocationToRva(uint64_t, uint64_t, uint32_t *) const
{
    return false;
}

bool DisassemblerElf64X64::ParseRelocationSection(const ElfSection &section, AssemblyProgram *program)
{
    return PushBytesAt(program, section.offset, section.size);
}

bool DisassemblerElf64X64::ParseRel32InSection(const ElfSection &section)
{
    // A lambda, not the function's address, so that the rule is inlined into the scan.
    return ScanX86Branches(
        section, [](const uint8_t *p, uint64_t remaining) { return X64Candidate(p, remaining); }, kX64Starts);
}

} // namespace corvapatch
