#pragma once

#include "elfformat.h"

#include <cstdint>

namespace corvapatch {

class AssemblyProgram;

// A relative reference found in an ELF section: where it is, where it points relative to its own address,
// and (once the walk has mapped it) its file offset. Subclasses know one instruction encoding each.
class ElfTypedRva
{
public:
    static constexpr uint32_t kUnmapped = 0xFFFFFFFFu;

    explicit ElfTypedRva(uint32_t rva) : m_rva(rva) { }
    virtual ~ElfTypedRva() = default;

    uint32_t rva() const { return m_rva; }
    uint32_t relative_target() const { return m_relativeTarget; }
    uint32_t file_offset() const { return m_fileOffset; }
    void set_file_offset(uint32_t offset) { m_fileOffset = offset; }

    // Decodes the reference at op, which the caller has checked holds OpSize() bytes of the image.
    [[nodiscard]] virtual bool ComputeRelativeTarget(const uint8_t *op) = 0;
    // Appends the reference to targetRva to program; false when a label or the push failed.
    [[nodiscard]] virtual bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) = 0;
    // Bytes the reference takes in the image.
    virtual uint16_t OpSize() const = 0;

protected:
    void set_relative_target(uint32_t target) { m_relativeTarget = target; }

private:
    uint32_t m_rva;
    uint32_t m_relativeTarget = 0;
    uint32_t m_fileOffset = kUnmapped;
};

// The 32-bit displacement of an x86 or x86-64 call, jump or RIP-relative operand. Its target is measured from
// the end of the displacement, hence the + 4.
class X86TypedRva final : public ElfTypedRva
{
public:
    using ElfTypedRva::ElfTypedRva;

    // Inline: the x86 scan calls it for every reference it finds.
    bool ComputeRelativeTarget(const uint8_t *op) override
    {
        set_relative_target(ReadLittle32(op) + 4);
        return true;
    }
    bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) override;
    uint16_t OpSize() const override { return 4; }
};

} // namespace corvapatch
