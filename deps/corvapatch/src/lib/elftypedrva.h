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
// the end of the displacement, hence the + 4. The same operations as an ElfTypedRva, but not virtual and kept
// by value: a large library has hundreds of thousands of them, all of this one encoding, and the walk reads
// them without a table of pointers.
class X86TypedRva
{
public:
    explicit X86TypedRva(uint32_t rva) : m_rva(rva) { }

    uint32_t rva() const { return m_rva; }
    uint32_t relative_target() const { return m_relativeTarget; }
    uint32_t file_offset() const { return m_fileOffset; }
    void set_file_offset(uint32_t offset) { m_fileOffset = offset; }

    bool ComputeRelativeTarget(const uint8_t *op)
    {
        m_relativeTarget = ReadLittle32(op) + 4;
        return true;
    }
    [[nodiscard]] bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) const;
    static constexpr uint16_t OpSize() { return 4; }

private:
    uint32_t m_rva;
    uint32_t m_relativeTarget = 0;
    uint32_t m_fileOffset = ElfTypedRva::kUnmapped;
};

} // namespace corvapatch
