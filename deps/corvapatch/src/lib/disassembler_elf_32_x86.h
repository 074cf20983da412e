#pragma once

#include "disassembler_elf.h"

namespace corvapatch {

// 32-bit x86 ELF executables and shared libraries. Absolute references come from R_386_RELATIVE entries;
// relative ones are the displacements of calls, jumps and conditional jumps.
class DisassemblerElf32X86 : public DisassemblerElf32
{
public:
    using TypedRVAX86 = X86TypedRva;

    using DisassemblerElf32::DisassemblerElf32;

    int kind() const override;

protected:
    uint16_t ElfMachine() const override { return 3; }
    bool RelocationToRva(uint64_t offset, uint64_t info, uint32_t *rva) const override;
    bool ParseRelocationSection(const ElfSection &section, AssemblyProgram *program) override;
    bool ParseRel32InSection(const ElfSection &section) override;
};

} // namespace corvapatch
