#include "disassembler_elf_32_arm.h"

#include "assemblyprogram.h"
#include "executabletype.h"

#include <algorithm>

namespace corvapatch {

namespace {

constexpr uint64_t kRelocationRelative = 23; // R_ARM_RELATIVE, symbol 0
constexpr uint64_t kEntrySize = 8;           // Elf32_Rel

} // namespace

bool DisassemblerElf32ARM::TypedRVAARM::ComputeRelativeTarget(const uint8_t *op)
{
    uint32_t value = 0;
    switch (m_form) {
    case ARM_THUMB_B8:
    case ARM_THUMB_B11:
        value = ReadLittle16(op);
        break;
    case ARM_B24:
        value = ReadLittle32(op);
        break;
    case ARM_THUMB2_BL25:
    case ARM_THUMB2_BCOND21:
        value = uint32_t(ReadLittle16(op)) << 16 | ReadLittle16(op + 2);
        break;
    default:
        return false;
    }
    uint32_t target = 0;
    if (!CompressArmBranch(m_form, value, rva(), &m_compressedOp, &target))
        return false;
    set_relative_target(target);
    m_op = op;
    return true;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitInstruction(AssemblyProgram *program, uint32_t targetRva)
{
    Label *label = program->GetRel32Label(targetRva);
    return label && program->PushRel32Arm(m_compressedOp, label, m_op, OpSize());
}

uint16_t DisassemblerElf32ARM::TypedRVAARM::OpSize() const
{
    switch (m_form) {
    case ARM_THUMB_B8:
    case ARM_THUMB_B11:
        return 2;
    case ARM_B24:
    case ARM_THUMB2_BL25:
    case ARM_THUMB2_BCOND21:
        return 4;
    default:
        return 0xFFFF;
    }
}

int DisassemblerElf32ARM::kind() const
{
    return ELF_32_ARM;
}

bool DisassemblerElf32ARM::RelocationToRva(uint64_t offset, uint64_t info, uint32_t *rva) const
{
    if (info != kRelocationRelative)
        return false;
    *rva = static_cast<uint32_t>(offset);
    return true;
}

bool DisassemblerElf32ARM::ParseRelocationSection(const ElfSection &section, AssemblyProgram *program)
{
    const std::vector<uint32_t> &abs32 = abs32_locations();
    if (abs32.empty())
        return PushBytesAt(program, section.offset, section.size);
    const uint64_t n = abs32.size();
    const uint64_t m = section.entsize ? section.size / section.entsize : 0;

    // Entries before the first one at the first absolute reference travel one by one. Entries are read only
    // where they lie wholly inside the section.
    uint64_t index = 0;
    ElfRelocation relocation;
    while (index < m && RelocationInSection(section, index, &relocation) && relocation.offset != abs32[0]) {
        if (!PushBytesAt(program, section.offset + index * kEntrySize, kEntrySize))
            return false;
        ++index;
    }
    uint64_t position = index * kEntrySize;
    if (n <= m) {
        uint64_t matched = 0;
        while (matched < n && RelocationInSection(section, index + matched, &relocation) &&
               relocation.info == kRelocationRelative && relocation.offset == abs32[matched])
            ++matched;
        if (matched == n) {
            if (!program->PushElfArmRelocs())
                return false;
            position = (index + n) * kEntrySize;
        } else {
            // The entries matched so far and the mismatching one are dropped; the end of the section counts as
            // a mismatch.
            position = std::min((index + matched + 1) * kEntrySize, section.size);
        }
    }
    // The rest follows as one run, also when nothing is left.
    return PushBytesAt(program, section.offset + position, section.size - position);
}

bool DisassemblerElf32ARM::ParseRel32InSection(const ElfSection &section)
{
    if (!SectionInImage(section))
        return false;
    const uint64_t end = section.offset + section.size;
    uint64_t p = section.offset;
    bool aligned = true;
    while (p < end) {
        int form = -1;
        uint16_t first = 0;
        if (p + 3 <= end) {
            first = ReadLittle16(PointerAt(p));
            if ((first & 0xF000) == 0xD000)
                form = ARM_THUMB_B8;
            else if ((first & 0xF800) == 0xE000)
                form = ARM_THUMB_B11;
        }
        if (form < 0) {
            if (p + 5 > end) {
                aligned = !aligned;
                p += 2;
                continue;
            }
            const uint16_t second = ReadLittle16(PointerAt(p + 2));
            const uint32_t word = uint32_t(first) << 16 | second;
            if ((word & 0xF8008000) == 0xF0008000) {
                form = ((second >> 8) & 0x50) != 0 ? ARM_THUMB2_BL25 : ARM_THUMB2_BCOND21;
            } else if (!aligned || (ReadLittle32(PointerAt(p)) & 0x0E000000) != 0x0A000000) {
                aligned = !aligned;
                p += 2;
                continue;
            } else {
                form = ARM_B24;
            }
        }
        auto reference = std::make_unique<TypedRVAARM>(form, SectionRva(section, p));
        if (!reference->ComputeRelativeTarget(PointerAt(p)))
            return false;
        if (IsLoadable(reference->rva() + reference->relative_target())) {
            p += reference->OpSize();
            aligned = true;
            AddRel32(std::move(reference));
        } else {
            aligned = !aligned;
            p += 2;
        }
    }
    return true;
}

} // namespace corvapatch
