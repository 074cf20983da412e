#pragma once

#include "armbranch.h"
#include "disassembler_elf.h"

namespace corvapatch {

// 32-bit ARM ELF executables and shared libraries, in ARM and Thumb code. Absolute references come from
// R_ARM_RELATIVE entries; relative ones are the five branch forms of ArmBranchForm.
class DisassemblerElf32ARM : public DisassemblerElf32
{
public:
    // A branch of one form, kept with its compressed op and a pointer to its bytes in the image.
    class TypedRVAARM : public ElfTypedRva
    {
    public:
        TypedRVAARM(int form, uint32_t rva) : ElfTypedRva(rva), m_form(form) { }

        bool ComputeRelativeTarget(const uint8_t *op) override;
        bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) override;
        uint16_t OpSize() const override;

        int form() const { return m_form; }
        uint16_t compressed_op() const { return m_compressedOp; }

    private:
        int m_form;
        uint16_t m_compressedOp = 0;
        const uint8_t *m_op = nullptr;
    };

    using DisassemblerElf32::DisassemblerElf32;

    int kind() const override;

protected:
    uint16_t ElfMachine() const override { return 40; }
    bool RelocationToRva(uint64_t offset, uint64_t info, uint32_t *rva) const override;
    bool ParseRelocationSection(const ElfSection &section, AssemblyProgram *program) override;
    bool ParseRel32InSection(const ElfSection &section) override;
};

} // namespace corvapatch
