#include "disassembler_elf_64_x64.h"

#include "disassembler_elf_x86scan.h"
#include "executabletype.h"
#include "x86candidates.h"

namespace corvapatch {

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
