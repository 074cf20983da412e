#pragma once

#include "disassembler_elf.h"

namespace corvapatch {

// x86-64 ELF executables and shared libraries. They have no absolute references (their relocations are
// RELA entries, carried as bytes); relative ones are the displacements of calls, jumps, indirect calls and
// jumps through RIP and RIP-relative mov/lea.
class DisassemblerElf64X64 : public DisassemblerElf64
{
public:
    using TypedRVAX64 = X86TypedRva;

    using DisassemblerElf64::DisassemblerElf64;

    int kind() const override;

protected:
    uint16_t ElfMachine() const override { return 62; }
    bool RelocationToRva(uint64_t offset, uint64_t info, uint32_t *rva) const override;
    bool ParseRelocationSection(const ElfSection &section, AssemblyProgram *program) override;
    bool ParseRel32InSection(const ElfSection &section) override;
};

} // namespace corvapatch
