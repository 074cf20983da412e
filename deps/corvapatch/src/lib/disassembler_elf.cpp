#include "disassembler_elf.h"

#include "assemblyprogram.h"
#include "logstream.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>

namespace corvapatch {

namespace {

std::atomic<size_t> scanSplitSize{size_t(1) << 20};

} // namespace

template <typename Format>
size_t DisassemblerElf<Format>::ScanSplitSize()
{
    return scanSplitSize.load(std::memory_order_relaxed);
}

template <typename Format>
void DisassemblerElf<Format>::SetScanSplitSize(size_t bytes)
{
    scanSplitSize.store(bytes, std::memory_order_relaxed);
}

template <typename Format>
bool DisassemblerElf<Format>::ParseHeader()
{
    if (length() < Format::kHeaderSize)
        return Reject("Too small");
    const uint8_t *p = start();
    if (p[0] != 0x7F || p[1] != 'E' || p[2] != 'L' || p[3] != 'F')
        return Reject("No Magic Number");
    m_header = Format::ReadHeader(p);
    // 2 is an executable, 3 a shared object.
    if ((m_header.type & ~1u) != 2)
        return Reject("Not an executable file or shared library");
    if (m_header.machine != ElfMachine())
        return Reject("Not a supported architecture");
    if (m_header.version != 1)
        return Reject("Unknown file version");
    if (m_header.shentsize != Format::kSectionHeaderSize)
        return Reject("Unexpected section header size");
    if (m_header.shoff >= length())
        return Reject("Out of bounds section header table offset");
    if (!InImage(m_header.shoff, uint64_t(m_header.shnum) * Format::kSectionHeaderSize))
        return Reject("Out of bounds section header table");
    if (m_header.phoff >= length())
        return Reject("Out of bounds program header table offset");
    if (!InImage(m_header.phoff, uint64_t(m_header.phnum) * Format::kProgramHeaderSize))
        return Reject("Out of bounds program header table");
    ShortenLength(static_cast<uint32_t>(ExecutableLength()));
    IndexTables();
    return Accept();
}

namespace {

uint64_t SaturatedEnd(uint64_t begin, uint64_t size)
{
    return size > UINT64_MAX - begin ? UINT64_MAX : begin + size;
}

} // namespace

template <typename Format>
void DisassemblerElf<Format>::IndexTables()
{
    m_walked.assign(m_header.shnum, false);
    std::vector<FirstCover::Range> walkedRanges;
    std::map<uint64_t, uint64_t> walked; // begin -> end of the non-empty walked ranges, which never overlap
    for (uint32_t i = 0; i < m_header.shnum; ++i) {
        const ElfSection section = SectionAt(i);
        if (section.type != SHT_PROGBITS && section.type != SHT_REL)
            continue;
        const uint64_t end = SaturatedEnd(section.offset, section.size);
        if (section.size != 0) {
            auto after = walked.lower_bound(end);
            if (after != walked.begin() && std::prev(after)->second > section.offset)
                continue; // a walked range starts before this one's end and ends after its start
            walked.emplace(section.offset, end);
        }
        m_walked[i] = true;
        walkedRanges.push_back({section.offset, end, i});
    }
    m_walkedTypedSections = FirstCover(walkedRanges);

    std::vector<FirstCover::Range> mapped;
    std::vector<FirstCover::Range> loadable;
    for (uint32_t i = 0; i < m_header.phnum; ++i) {
        const ElfSegment segment = SegmentAt(i);
        mapped.push_back({segment.vaddr, SaturatedEnd(segment.vaddr, std::min(segment.memsz, segment.filesz)), i});
        if (segment.type == PT_LOAD)
            loadable.push_back({segment.vaddr, SaturatedEnd(segment.vaddr, segment.memsz), i});
    }
    m_mappedSegments = FirstCover(mapped);
    m_loadableSegments = FirstCover(loadable);
}

template <typename Format>
uint64_t DisassemblerElf<Format>::ExecutableLength() const
{
    uint64_t result = 0;
    for (uint32_t i = 0; i < m_header.shnum; ++i) {
        const ElfSection section = SectionAt(i);
        if (section.type != SHT_NOBITS)
            result = std::max(result, Format::LengthSum(section.offset, section.size));
    }
    for (uint32_t i = 0; i < m_header.phnum; ++i) {
        const ElfSegment segment = SegmentAt(i);
        result = std::max(result, Format::LengthSum(segment.offset, segment.filesz));
    }
    result = std::max(result, Format::LengthSum(m_header.shoff, uint64_t(m_header.shnum) * Format::kSectionHeaderSize));
    result = std::max(result, Format::LengthSum(m_header.phoff, uint64_t(m_header.phnum) * Format::kProgramHeaderSize));
    return result & 0xFFFFFFFFu;
}

template <typename Format>
ElfSection DisassemblerElf<Format>::SectionAt(uint32_t index) const
{
    return Format::ReadSection(PointerAt(m_header.shoff + uint64_t(index) * Format::kSectionHeaderSize));
}

template <typename Format>
ElfSegment DisassemblerElf<Format>::SegmentAt(uint32_t index) const
{
    return Format::ReadSegment(PointerAt(m_header.phoff + uint64_t(index) * Format::kProgramHeaderSize));
}

template <typename Format>
bool DisassemblerElf<Format>::RvaToFileOffset(uint32_t rva, uint32_t *offset, FirstCover::Piece *last) const
{
    // The first segment in table order that holds rva in memory and in the file.
    const uint32_t i = m_mappedSegments.Find(rva, last);
    if (i != FirstCover::kNone) {
        const ElfSegment segment = SegmentAt(i);
        const uint64_t fileOffset = rva - segment.vaddr + segment.offset;
        // No image holds an offset beyond 32 bits.
        if (fileOffset < segment.offset || fileOffset >= ElfTypedRva::kUnmapped)
            return false;
        *offset = static_cast<uint32_t>(fileOffset);
        return true;
    }
    return false;
}

template <typename Format>
bool DisassemblerElf<Format>::IsLoadable(uint32_t rva) const
{
    return m_loadableSegments.Find(rva) != FirstCover::kNone;
}

template <typename Format>
bool DisassemblerElf<Format>::InTypedSection(uint32_t fileOffset) const
{
    return m_walkedTypedSections.Find(fileOffset) != FirstCover::kNone;
}

template <typename Format>
bool DisassemblerElf<Format>::RelocationInSection(const ElfSection &section, uint64_t index,
                                                  ElfRelocation *relocation) const
{
    if (index >= section.size / Format::kRelocationSize)
        return false;
    *relocation = Format::ReadRelocation(PointerAt(section.offset + index * Format::kRelocationSize));
    return true;
}

template <typename Format>
bool DisassemblerElf<Format>::PushBytesAt(AssemblyProgram *program, uint64_t offset, uint64_t size)
{
    if (!InImage(offset, size))
        return false;
    m_literalBytes += size;
    if (m_literalBytes > kMaxLiteralBytesPerByte * length() + kLiteralSlack)
        return false;
    return program->PushBytes(PointerAt(offset), static_cast<uint32_t>(size));
}

template <typename Format>
bool DisassemblerElf<Format>::Disassemble(AssemblyProgram *program)
{
    if (failure_reason())
        return false;
    program->set_image_base(0);
    if (!CollectAbs32() || !CollectRel32() || !WalkFile(program))
        return false;
    program->NumberLabels();
    return true;
}

template <typename Format>
bool DisassemblerElf<Format>::DisassembleAgain(AssemblyProgram *program)
{
    if (failure_reason())
        return false;
    program->set_image_base(0);
    if (!WalkFile(program))
        return false;
    program->NumberLabels();
    return true;
}

template <typename Format>
bool DisassemblerElf<Format>::CollectAbs32()
{
    m_abs32.clear();
    for (uint32_t i = 0; i < m_header.shnum; ++i) {
        const ElfSection section = SectionAt(i);
        // A relocation section without an entry size has no entries.
        if (section.type != SHT_REL || section.entsize == 0 || !Walked(i))
            continue;
        const uint64_t count = section.size / section.entsize;
        if (count > 0 && section.offset > length())
            return false;
        // Entries are read at their structure's stride, as many as the entry size gives; each must lie in
        // the image, which also bounds the loop.
        const uint64_t fitting = count > 0 ? (length() - section.offset) / Format::kRelocationSize : 0;
        FirstCover::Piece piece;
        for (uint64_t e = 0; e < count; ++e) {
            if (e >= fitting)
                return false;
            const ElfRelocation relocation =
                Format::ReadRelocation(PointerAt(section.offset + e * Format::kRelocationSize));
            uint32_t rva = 0;
            uint32_t fileOffset = 0;
            if (RelocationToRva(relocation.offset, relocation.info, &rva) &&
                RvaToFileOffset(rva, &fileOffset, &piece) && InTypedSection(fileOffset))
                m_abs32.push_back(rva);
        }
    }
    std::sort(m_abs32.begin(), m_abs32.end());
    return true;
}

template <typename Format>
bool DisassemblerElf<Format>::CollectRel32()
{
    m_rel32.clear();
    m_x86Rel32.clear();
    m_ownedRel32.clear();
    for (uint32_t i = 0; i < m_header.shnum; ++i) {
        const ElfSection section = SectionAt(i);
        if (section.type == SHT_PROGBITS && Walked(i) && !ParseRel32InSection(section))
            return false;
    }
    if (!m_x86Rel32.empty() && !m_ownedRel32.empty())
        return false; // one scan per disassembler, of one kind
    // Stable, so references at one address keep the order they were found in. Sections in address order, as
    // in every real file, give references in address order already.
    const auto x86ByRva = [](const X86TypedRva &a, const X86TypedRva &b) { return a.rva() < b.rva(); };
    if (!std::is_sorted(m_x86Rel32.begin(), m_x86Rel32.end(), x86ByRva))
        std::stable_sort(m_x86Rel32.begin(), m_x86Rel32.end(), x86ByRva);
    m_rel32.reserve(m_ownedRel32.size());
    for (const std::unique_ptr<TypedRVA> &reference : m_ownedRel32)
        m_rel32.push_back(reference.get());
    const auto byRva = [](const TypedRVA *a, const TypedRVA *b) { return a->rva() < b->rva(); };
    if (!std::is_sorted(m_rel32.begin(), m_rel32.end(), byRva))
        std::stable_sort(m_rel32.begin(), m_rel32.end(), byRva);
    return true;
}

template <typename Format>
bool DisassemblerElf<Format>::WalkFile(AssemblyProgram *program)
{
    m_abs32Offsets.assign(m_abs32.size(), 0);
    FirstCover::Piece piece;
    for (size_t i = 0; i < m_abs32.size(); ++i) {
        if (!RvaToFileOffset(m_abs32[i], &m_abs32Offsets[i], &piece))
            return false;
    }
    if (Rel32Count() > 0 && m_header.phnum == 0)
        return false;
    for (X86TypedRva &reference : m_x86Rel32) {
        uint32_t fileOffset = 0;
        if (!RvaToFileOffset(reference.rva(), &fileOffset, &piece))
            return false;
        reference.set_file_offset(fileOffset);
    }
    for (TypedRVA *reference : m_rel32) {
        uint32_t fileOffset = 0;
        if (!RvaToFileOffset(reference->rva(), &fileOffset, &piece))
            return false;
        reference->set_file_offset(fileOffset);
    }

    m_abs32Next = 0;
    m_rel32Next = 0;
    m_literalBytes = 0;
    uint64_t cursor = 0;
    for (uint32_t i = 0; i < m_header.shnum; ++i) {
        const ElfSection section = SectionAt(i);
        // A section over bytes another one already stood for is passed over; the walk goes on where it was.
        if ((section.type == SHT_PROGBITS || section.type == SHT_REL) && !Walked(i))
            continue;
        if (section.offset > cursor && !PushBytesAt(program, cursor, section.offset - cursor))
            return false;
        cursor = section.offset;
        switch (section.type) {
        case SHT_PROGBITS:
            if (!SectionInImage(section) || !ParseProgBitsSection(section, program))
                return false;
            cursor = section.offset + section.size;
            break;
        case SHT_REL:
            if (!SectionInImage(section) || !ParseRelocationSection(section, program))
                return false;
            cursor = section.offset + section.size;
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            while (m_abs32Next < m_abs32.size() && Contains(section, m_abs32Offsets[m_abs32Next])) {
                LogStream(3) << "Skipping relocation entry for unsupported section: " << section.type;
                ++m_abs32Next;
            }
            break;
        default:
            if (m_abs32Next < m_abs32.size() && Contains(section, m_abs32Offsets[m_abs32Next]))
                LogStream(3) << "Relocation address in unrecognized ELF section: " << section.type;
            break;
        }
    }
    // Pushed even when empty: an empty run still turns a lone byte before it into a counted copy.
    if (cursor <= length() && !PushBytesAt(program, cursor, length() - cursor))
        return false;
    return m_abs32Next == m_abs32.size();
}

template <typename Format>
bool DisassemblerElf<Format>::ParseProgBitsSection(const ElfSection &section, AssemblyProgram *program)
{
    if (!program->PushOrigin(static_cast<uint32_t>(section.addr)))
        return false;
    const uint64_t end = section.offset + section.size;
    uint64_t o = section.offset;
    while (o < end) {
        const bool haveAbs32 = m_abs32Next < m_abs32.size();
        if (haveAbs32 && m_abs32Offsets[m_abs32Next] < o)
            return false;
        const size_t references = Rel32Count();
        while (m_rel32Next < references && Rel32FileOffset(m_rel32Next) < o)
            ++m_rel32Next;
        const bool haveReference = m_rel32Next < references;
        const uint32_t referenceOffset = haveReference ? Rel32FileOffset(m_rel32Next) : 0;

        uint64_t nextStop = end;
        if (haveAbs32 && m_abs32Offsets[m_abs32Next] < nextStop)
            nextStop = m_abs32Offsets[m_abs32Next];
        if (haveReference && nextStop > uint64_t(referenceOffset) + 3)
            nextStop = referenceOffset;

        if (nextStop > o) {
            if (!PushBytesAt(program, o, nextStop - o))
                return false;
            o = nextStop;
        } else if (haveAbs32 && o == m_abs32Offsets[m_abs32Next]) {
            if (!InImage(o, 4))
                return false;
            Label *label = program->GetAbs32Label(ReadLittle32(PointerAt(o)));
            if (!label || !program->PushAbs32(label))
                return false;
            o += 4;
            ++m_abs32Next;
        } else if (haveReference && o == referenceOffset) {
            if (!m_x86Rel32.empty()) {
                const X86TypedRva &reference = m_x86Rel32[m_rel32Next];
                if (!reference.EmitInstruction(program, SectionRva(section, o) + reference.relative_target()))
                    return false;
                o += X86TypedRva::OpSize();
            } else {
                TypedRVA *reference = m_rel32[m_rel32Next];
                if (!reference->EmitInstruction(program, SectionRva(section, o) + reference->relative_target()))
                    return false;
                o += reference->OpSize();
            }
            ++m_rel32Next;
        } else {
            return false; // unreachable: the next stop is always one of the three
        }
    }
    return true;
}

template class DisassemblerElf<Elf32Format>;
template class DisassemblerElf<Elf64Format>;

} // namespace corvapatch
