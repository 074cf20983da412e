#include "disassembler_elf_32_x86.h"

#include "assemblyprogram.h"
#include "disassembler_elf_x86scan.h"
#include "executabletype.h"

namespace corvapatch {

namespace {

constexpr uint64_t kRelocationRelative = 8; // R_386_RELATIVE, symbol 0

// call/jmp rel32 (E8, E9) and the conditional jumps 0F 80..8F, except 0F 8A and 0F 8B.
uint32_t X86Candidate(const uint8_t *p, uint64_t remaining)
{
    uint32_t displacement = 0;
    if (remaining >= 5 && (p[0] & 0xFE) == 0xE8)
        displacement = 1;
    if (remaining >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && (p[1] & 0xFE) != 0x8A)
        displacement = 2;
    return displacement;
}

// The first bytes X86Candidate can match.
const X86StartBytes kX86Starts{0xE8, 0xE9, 0x0F};

} // namespace

int DisassemblerElf32X86::kind() const
{
    return EXE_ELF_32_X86;
}

bool DisassemblerElf32X86::RelocationToRva(uint64_t offset, uint64_t info, uint32_t *rva) const
{
    if (info != kRelocationRelative)
        return false;
    *rva = static_cast<uint32_t>(offset);
    return true;
}

bool DisassemblerElf32X86::ParseRelocationSection(const ElfSection &section, AssemblyProgram *program)
{
    // The table is rebuilt from the labels only when it starts with exactly the absolute references, in order;
    // otherwise it travels as bytes.
    const std::vector<uint32_t> &abs32 = abs32_locations();
    const uint64_t n = abs32.size();
    const uint64_t m = section.entsize ? section.size / section.entsize : 0;
    bool rebuilt = n > 0 && n <= m;
    for (uint64_t i = 0; rebuilt && i < n; ++i) {
        ElfRelocation relocation;
        rebuilt = RelocationInSection(section, i, &relocation) && relocation.info == kRelocationRelative &&
                  relocation.offset == abs32[i];
    }
    if (!rebuilt)
        return PushBytesAt(program, section.offset, section.size);
    return program->PushElfRelocs() && PushBytesAt(program, section.offset + 8 * n, section.size - 8 * n);
}

bool DisassemblerElf32X86::ParseRel32InSection(const ElfSection &section)
{
    // A lambda, not the function's address, so that the rule is inlined into the scan.
    return ScanX86Branches(
        section, [](const uint8_t *p, uint64_t remaining) { return X86Candidate(p, remaining); }, kX86Starts);
}

} // namespace corvapatch
