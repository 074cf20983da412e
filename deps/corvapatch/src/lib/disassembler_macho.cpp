#include "disassembler_macho.h"

#include "assemblyprogram.h"
#include "elfformat.h"
#include "executabletype.h"

#include <algorithm>

namespace corvapatch {

namespace {

constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX64 = 0x1000007;
constexpr uint32_t kSegment32 = 1;
constexpr uint32_t kSegment64 = 25;
constexpr uint32_t kSegment32Size = 56;
constexpr uint32_t kSegment64Size = 72;
constexpr uint32_t kSection32Size = 68;
constexpr uint32_t kSection64Size = 80;

// Pure instructions, section type regular.
bool IsCodeSection(uint32_t flags)
{
    return (flags & 0x800000FF) == 0x80000000;
}

} // namespace

bool DisassemblerMacho::ParseHeader()
{
    m_fileEnd = 0;
    const uint64_t size = length();
    if (size < 32)
        return Reject("Too small");
    const uint32_t magic = ReadLittle32(PointerAt(0));
    const uint32_t cpu = ReadLittle32(PointerAt(4));
    if (magic == kMagic64) {
        if (cpu != kCpuX64)
            return Reject("unsupported cpu type");
        m_kind = MACHO_X64;
    } else if (magic == kMagic32) {
        if (cpu != kCpuX86)
            return Reject("unsupported cpu type");
        m_kind = MACHO_X86;
    } else {
        return Reject("Unknown magic type");
    }
    const uint32_t fileType = ReadLittle32(PointerAt(12));
    if (fileType != 2 && fileType != 5 && fileType != 6 && fileType != 8)
        return Reject("Unsupported filetype in header");

    const uint32_t commandCount = ReadLittle32(PointerAt(16));
    uint64_t command = m_kind == MACHO_X64 ? 32 : 28;
    for (uint32_t i = 0; i < commandCount; ++i) {
        // The command's own header must be in the buffer before its size can be trusted.
        if (command + 8 > size)
            return Reject("file to small in load commands");
        const uint32_t cmd = ReadLittle32(PointerAt(command));
        const uint32_t commandSize = ReadLittle32(PointerAt(command + 4));
        if (command + commandSize > size)
            return Reject("file to small in load commands");
        if (cmd == kSegment64 && !ParseSegment64(command, commandSize))
            return false;
        if (cmd == kSegment32 && !ParseSegment32(command, commandSize))
            return false;
        // A command of size 0 is read again for every count left; it is no segment (a segment that short was
        // refused above), so those readings would change nothing.
        if (commandSize == 0)
            break;
        command += commandSize;
    }

    if (!m_segments.empty()) {
        uint64_t base = m_segments.front().vmaddr;
        for (const Segment &segment : m_segments)
            base = std::min(base, segment.vmaddr);
        for (Segment &segment : m_segments) {
            segment.vmaddr -= base;
            if (segment.vmaddr + segment.vmsize > 0xFFFFFFFF)
                return Reject("overflow");
        }
        for (CodeSection &section : m_codeSections)
            section.addr -= base;
    }
    if (m_codeSections.empty())
        return Reject("Resource-only executables are not yet supported");
    std::stable_sort(m_codeSections.begin(), m_codeSections.end(),
                     [](const CodeSection &a, const CodeSection &b) { return a.offset < b.offset; });
    ShortenLength(m_fileEnd);
    std::vector<FirstCover::Range> byFileOffset;
    std::vector<FirstCover::Range> byRva;
    for (uint32_t i = 0; i < m_segments.size(); ++i) {
        const Segment &segment = m_segments[i];
        byFileOffset.push_back({segment.fileoff, uint64_t(segment.fileoff) + segment.filesize, i});
        byRva.push_back({segment.vmaddr, segment.vmaddr + segment.vmsize, i});
    }
    m_segmentsByFileOffset = FirstCover(byFileOffset);
    m_segmentsByRva = FirstCover(byRva);
    ChooseWalkedSections();
    return Accept();
}

void DisassemblerMacho::ChooseWalkedSections()
{
    m_walkedSections.clear();
    uint64_t cursor = 0;
    // Sections of size 0 hold nothing and would never move the cursor on.
    for (const CodeSection &section : m_codeSections) {
        if (section.offset < cursor || section.size == 0)
            continue;
        m_walkedSections.push_back(section);
        cursor = uint64_t(section.offset) + section.size;
    }
}

bool DisassemblerMacho::RecordSegment(const Segment &segment)
{
    m_segments.push_back(segment);
    const uint64_t segmentEnd = uint64_t(segment.fileoff) + segment.filesize;
    m_fileEnd = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(m_fileEnd, segmentEnd), 0xFFFFFFFF));
    return segmentEnd <= length() || Reject("segment too large");
}

bool DisassemblerMacho::ParseSegment32(uint64_t command, uint32_t commandSize)
{
    if (m_kind != MACHO_X86)
        return Reject("LC_SEGMENT not supported");
    if (commandSize < kSegment32Size)
        return Reject("bad LC_SEGMENT");
    const uint8_t *p = PointerAt(command);
    const Segment segment = {ReadLittle32(p + 24), ReadLittle32(p + 28), ReadLittle32(p + 32), ReadLittle32(p + 36)};
    if (!RecordSegment(segment))
        return false;
    const uint32_t sectionCount = ReadLittle32(p + 48);
    if (kSegment32Size + uint64_t(sectionCount) * kSection32Size > commandSize)
        return Reject("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *s = p + kSegment32Size + uint64_t(i) * kSection32Size;
        if (!IsCodeSection(ReadLittle32(s + 56)))
            continue;
        const uint32_t addr = ReadLittle32(s + 32);
        const uint32_t sectionSize = ReadLittle32(s + 36);
        if (addr < segment.vmaddr || (uint64_t(addr) + sectionSize) - segment.vmaddr > segment.vmsize)
            return Reject("section larger than segment");
        m_codeSections.push_back({addr, sectionSize, ReadLittle32(s + 40)});
    }
    return true;
}

bool DisassemblerMacho::ParseSegment64(uint64_t command, uint32_t commandSize)
{
    if (m_kind != MACHO_X64)
        return Reject("LC_SEGMENT_64 not supported");
    if (commandSize < kSegment64Size)
        return Reject("bad LC_SEGMENT_64");
    const uint8_t *p = PointerAt(command);
    const uint32_t sectionCount = ReadLittle32(p + 64);
    if (sectionCount == 0)
        return true;
    const uint64_t vmaddr = ReadLittle64(p + 24);
    const uint64_t vmsize = ReadLittle64(p + 32);
    const uint64_t fileoff = ReadLittle64(p + 40);
    const uint64_t filesize = ReadLittle64(p + 48);
    if ((vmsize | fileoff | filesize) >> 32)
        return Reject("overflow");
    const Segment segment = {vmaddr, uint32_t(vmsize), uint32_t(fileoff), uint32_t(filesize)};
    if (!RecordSegment(segment))
        return false;
    if (kSegment64Size + uint64_t(sectionCount) * kSection64Size > commandSize)
        return Reject("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *s = p + kSegment64Size + uint64_t(i) * kSection64Size;
        if (!IsCodeSection(ReadLittle32(s + 64)))
            continue;
        const uint64_t addr = ReadLittle64(s + 32);
        const uint64_t sectionSize = ReadLittle64(s + 40);
        if (sectionSize >> 32)
            return Reject("overflow");
        if (addr < vmaddr || (addr - vmaddr) + sectionSize > vmsize)
            return Reject("section larger than segment");
        m_codeSections.push_back({addr, uint32_t(sectionSize), ReadLittle32(s + 48)});
    }
    return true;
}

uint32_t DisassemblerMacho::FileOffsetToRva(uint64_t offset) const
{
    if (const uint32_t i = m_segmentsByFileOffset.Find(offset); i != FirstCover::kNone)
        return static_cast<uint32_t>(m_segments[i].vmaddr + (offset - m_segments[i].fileoff));
    return 0;
}

bool DisassemblerMacho::InSomeSegment(uint32_t rva) const
{
    return m_segmentsByRva.Find(rva) != FirstCover::kNone;
}

void DisassemblerMacho::ScanCodeSection(const CodeSection &section)
{
    if (section.size < 1)
        return;
    const uint64_t from = section.offset;
    const uint64_t to = from + section.size;
    const uint32_t startRva = FileOffsetToRva(from);
    const auto rvaAt = [&](uint64_t at) { return static_cast<uint32_t>(startRva + (at - from)); };
    uint64_t p = from;
    while (p < to) {
        const uint8_t *bytes = PointerAt(p);
        uint64_t q = 0;
        bool ripRelative = false;
        if (p + 5 <= to && (bytes[0] & 0xFE) == 0xE8)
            q = p + 1;
        if (p + 6 <= to && bytes[0] == 0xFF && (bytes[1] == 0x15 || bytes[1] == 0x25)) {
            q = p + 2;
            ripRelative = true;
        }
        if (p + 6 <= to && bytes[0] == 0x0F && (bytes[1] & 0xF0) == 0x80 && (bytes[1] & 0xFE) != 0x8A) {
            q = p + 2;
            ripRelative = false;
        }
        if (p + 7 <= to && (bytes[0] == 0x48 || bytes[0] == 0x49) && (bytes[1] == 0x8D || bytes[1] == 0x8B) &&
            (bytes[2] & 0xC7) == 5) {
            q = p + 3;
            ripRelative = true;
        }
        if (q == 0 || (ripRelative && m_kind == MACHO_X86) || m_segments.empty()) {
            p += 1;
            continue;
        }
        const uint32_t r = rvaAt(q);
        const uint32_t target = r + 4 + ReadLittle32(PointerAt(q));
        if (!InSomeSegment(target)) {
            p += 1;
            continue;
        }
        m_rel32Locations.push_back(r);
        p = q + 4;
    }
}

bool DisassemblerMacho::ParseCodeSection(const CodeSection &section, AssemblyProgram *program)
{
    const uint64_t from = section.offset;
    const uint64_t to = from + section.size;
    const uint32_t startRva = FileOffsetToRva(from);
    if (!program->PushOrigin(startRva))
        return false;
    auto rel32 = m_rel32Locations.cbegin();
    uint64_t p = from;
    while (p < to) {
        const uint32_t rva = static_cast<uint32_t>(startRva + (p - from));
        while (rel32 != m_rel32Locations.cend() && *rel32 < rva)
            ++rel32;
        if (rel32 != m_rel32Locations.cend() && *rel32 == rva) {
            // Two sections may map one address; the one walked here must still hold the four bytes.
            if (p + 4 > uint64_t(end() - start()))
                return false;
            if (!program->PushRel32(program->GetRel32Label(rva + 4 + ReadLittle32(PointerAt(p)))))
                return false;
            p += 4;
            continue;
        }
        if (!program->PushByte(*PointerAt(p)))
            return false;
        p += 1;
    }
    return true;
}

bool DisassemblerMacho::WalkFile(AssemblyProgram *program)
{
    uint64_t cursor = 0;
    auto next = m_walkedSections.cbegin();
    while (cursor < length()) {
        const uint64_t stop = next == m_walkedSections.cend() ? length() : next->offset;
        for (; cursor < stop; ++cursor)
            if (!program->PushByte(*PointerAt(cursor)))
                return false;
        if (next == m_walkedSections.cend())
            return true;
        if (!ParseCodeSection(*next, program))
            return false;
        cursor = uint64_t(next->offset) + next->size;
        ++next;
    }
    return true;
}

bool DisassemblerMacho::Disassemble(AssemblyProgram *program)
{
    if (failure_reason())
        return false;
    program->set_image_base(0);
    // Code sections are read in place: each must lie in the buffer.
    const uint64_t bufferSize = uint64_t(end() - start());
    for (const CodeSection &section : m_codeSections) {
        if (uint64_t(section.offset) + section.size > bufferSize)
            return false;
    }
    for (const CodeSection &section : m_walkedSections)
        ScanCodeSection(section);
    std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
    if (!WalkFile(program))
        return false;
    program->NumberLabels();
    return true;
}

} // namespace corvapatch
