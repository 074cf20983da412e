#include "disassembler_elf_32_x86.h"

#include "assemblyprogram.h"
#include "disassembler_elf_x86scan.h"
#include "executabletype.h"
#include "x86candidates.h"

namespace corvapatch {

namespace {

constexpr uint64_t kRelocationRelative = 8; // R_386_RELATIVE, symbol 0

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
