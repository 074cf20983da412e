#pragma once

#include "disassembler.h"
#include "elfformat.h"
#include "elftypedrva.h"
#include "firstcover.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace corvapatch {

class X86StartBytes;

// The common walk of the ELF disassemblers, for the 32-bit (Elf32Format) and the 64-bit (Elf64Format) layout.
// It checks the headers, maps addresses to file offsets, collects the absolute references (from relocation
// sections) and the relative ones (from the subclass's scan of every program-bits section), and turns the file
// into a program: section contents with their references as labels, everything else as literal bytes.
// Subclasses give the machine, the relocation type, the relocation-section rule and the branch scan.
//
// Patches depend on this program being the same wherever the file is disassembled, so every rule here is part
// of the patch format. Every read is checked against the image: a header that points outside refuses the
// input, anything found outside later fails the disassembly.
template <typename Format>
class DisassemblerElf : public Disassembler
{
public:
    using TypedRVA = ElfTypedRva;

    DisassemblerElf(const uint8_t *start, uint32_t length) : Disassembler(start, length) { }

    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram *program) override;
    // Sections of at least this many bytes (1 MiB unless set) are scanned by two threads at once, which find
    // the same references; tests lower it to reach that path with small files.
    static size_t ScanSplitSize();
    static void SetScanSplitSize(size_t bytes);
    // Walks the file again over the references the first walk collected; the walk resets its own cursors.
    bool DisassembleAgain(AssemblyProgram *program) override;

protected:
    virtual uint16_t ElfMachine() const = 0;
    // The address an entry of a relocation section makes absolute; false when the entry is not of this
    // machine's relative type.
    [[nodiscard]] virtual bool RelocationToRva(uint64_t offset, uint64_t info, uint32_t *rva) const = 0;
    // Pushes a relocation section (inside the image) onto program.
    [[nodiscard]] virtual bool ParseRelocationSection(const ElfSection &section, AssemblyProgram *program) = 0;
    // Adds the relative references of a program-bits section; false fails the disassembly.
    [[nodiscard]] virtual bool ParseRel32InSection(const ElfSection &section) = 0;

    // Both ranges are checked without overflow: offset + size never wraps.
    bool InImage(uint64_t offset, uint64_t size) const { return offset <= length() && size <= length() - offset; }
    bool SectionInImage(const ElfSection &section) const { return InImage(section.offset, section.size); }
    // The address of a file offset inside section, as the section header places it.
    static uint32_t SectionRva(const ElfSection &section, uint64_t fileOffset)
    {
        return static_cast<uint32_t>(fileOffset - section.offset + section.addr);
    }
    // Whether some loadable segment covers rva in memory.
    bool IsLoadable(uint32_t rva) const;
    // Entry index of a relocation section (inside the image), when the whole entry lies inside the section.
    bool RelocationInSection(const ElfSection &section, uint64_t index, ElfRelocation *relocation) const;
    // Pushes [offset, offset + size) as one literal run, also when it is empty (an empty run still changes the
    // encoding: it makes a lone byte before it a counted copy, or adds a copy of count 0); false outside the
    // image, or once the walk has pushed more literal bytes than kMaxLiteralBytesPerByte times the length (plus
    // kLiteralSlack). Callers whose rule pushes only bytes that are there test for them first.
    [[nodiscard]] bool PushBytesAt(AssemblyProgram *program, uint64_t offset, uint64_t size);

    // The x86 and x86-64 scan: at each position rule(position, remaining) gives the offset of a 32-bit
    // displacement in the instruction there (0 for none); a displacement whose target is loadable becomes a
    // reference and the scan goes on after it, otherwise one byte later. The rule is asked only where one of
    // starts holds (x86startbytes.h), which must hold wherever the rule matches. A template, so that the rule is
    // inlined into the loop over every byte; defined in disassembler_elf_x86scan.h.
    template <typename Rule>
    [[nodiscard]] bool ScanX86Branches(const ElfSection &section, Rule rule, const X86StartBytes &starts);
    // A disassembler adds references of one kind only: through AddRel32 or through the x86 scan.
    void AddRel32(std::unique_ptr<TypedRVA> reference) { m_ownedRel32.push_back(std::move(reference)); }

    const std::vector<uint32_t> &abs32_locations() const { return m_abs32; }

private:
    ElfSection SectionAt(uint32_t index) const;
    // Decides which program-bits and relocation sections are walked and builds the address lookups, so that
    // neither a byte nor a reference makes the walk scan the header tables again.
    void IndexTables();
    bool Walked(uint32_t index) const { return m_walked[index]; }
    ElfSegment SegmentAt(uint32_t index) const;
    // last: the segment lookup's piece from the call before (see FirstCover::Piece).
    bool RvaToFileOffset(uint32_t rva, uint32_t *offset, FirstCover::Piece *last) const;
    bool InTypedSection(uint32_t fileOffset) const;
    static bool Contains(const ElfSection &section, uint64_t fileOffset)
    {
        return fileOffset >= section.offset && fileOffset - section.offset < section.size;
    }
    uint64_t ExecutableLength() const;

    [[nodiscard]] bool CollectAbs32();
    [[nodiscard]] bool CollectRel32();
    [[nodiscard]] bool WalkFile(AssemblyProgram *program);
    [[nodiscard]] bool ParseProgBitsSection(const ElfSection &section, AssemblyProgram *program);

    ElfHeader m_header;
    // Program-bits and relocation sections whose file range shares no byte with one walked before them in table
    // order. Real files never overlap such sections; a file that repeats one many times is walked once, so
    // the work and the program stay in proportion to the file.
    std::vector<bool> m_walked;
    FirstCover m_walkedTypedSections; // walked sections of both types by file range
    FirstCover m_mappedSegments; // segments by [p_vaddr, + min(p_memsz, p_filesz))
    FirstCover m_loadableSegments; // PT_LOAD segments by [p_vaddr, + p_memsz)
    std::vector<uint32_t> m_abs32;        // addresses, ascending
    std::vector<uint32_t> m_abs32Offsets; // their file offsets, filled by the walk
    // The references: the x86 scan's by value (one allocation for all), sorted by address; or the others' one
    // by one, which m_rel32 points at by address, ascending. A disassembler finds references of one kind.
    std::vector<X86TypedRva> m_x86Rel32;
    std::vector<std::unique_ptr<TypedRVA>> m_ownedRel32;
    std::vector<TypedRVA *> m_rel32;
    size_t Rel32Count() const { return m_x86Rel32.empty() ? m_rel32.size() : m_x86Rel32.size(); }
    uint32_t Rel32FileOffset(size_t i) const
    {
        return m_x86Rel32.empty() ? m_rel32[i]->file_offset() : m_x86Rel32[i].file_offset();
    }
    // The walk's positions in both lists; they run on across sections.
    size_t m_abs32Next = 0;
    size_t m_rel32Next = 0;
    // The walk's cursor follows every section's offset, also backwards, so the bytes after a section that lies
    // before the cursor travel again in the next gap. Real files push each byte about once (files whose
    // section table is out of file order, as patchelf leaves them, about twice); a table that jumps back and
    // forth thousands of times would push the file again each time.
    static constexpr uint64_t kMaxLiteralBytesPerByte = 8;
    static constexpr uint64_t kLiteralSlack = 1024 * 1024;
    uint64_t m_literalBytes = 0;
};

using DisassemblerElf32 = DisassemblerElf<Elf32Format>;
using DisassemblerElf64 = DisassemblerElf<Elf64Format>;

extern template class DisassemblerElf<Elf32Format>;
extern template class DisassemblerElf<Elf64Format>;

} // namespace corvapatch
