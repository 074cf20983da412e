#pragma once

#include "disassembler_elf.h"
#include "x86startbytes.h"

namespace corvapatch {

template <typename Format>
template <typename Rule>
bool DisassemblerElf<Format>::ScanX86Branches(const ElfSection &section, Rule rule, const X86StartBytes &starts)
{
    if (!SectionInImage(section))
        return false;
    const size_t end = static_cast<size_t>(section.offset + section.size);
    const uint8_t *bytes = PointerAt(0);
    // Targets mostly fall into the one text segment, so the segment lookup is mostly answered by its last piece.
    FirstCover::Piece loadable;
    X86StartBytes::Cursor cursor(starts, bytes, end);
    size_t p = cursor.Next(static_cast<size_t>(section.offset));
    while (p < end) {
        const uint32_t displacement = rule(bytes + p, end - p);
        if (displacement != 0) {
            const size_t q = p + displacement;
            const uint32_t rva = SectionRva(section, q);
            const uint32_t target = rva + ReadLittle32(bytes + q) + 4;
            if (m_loadableSegments.Find(target, &loadable) != FirstCover::kNone) {
                m_x86Rel32.emplace_back(rva);
                if (!m_x86Rel32.back().ComputeRelativeTarget(bytes + q))
                    return false;
                p = cursor.Next(q + 4);
                continue;
            }
        }
        p = cursor.Next(p + 1);
    }
    return true;
}

} // namespace corvapatch
