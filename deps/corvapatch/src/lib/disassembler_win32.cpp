#include "disassembler_win32.h"

#include "assemblyprogram.h"
#include "elfformat.h"
#include "logstream.h"

#include <algorithm>
#include <cstring>

namespace corvapatch {

namespace {

constexpr uint32_t kNoOffset = 0xFFFFFFFF;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kBaseRelocationDirectory = 5;

} // namespace

uint32_t DisassemblerWin32::Read32(uint64_t offset) const
{
    return ReadLittle32(PointerAt(offset));
}

DisassemblerWin32::Section DisassemblerWin32::SectionAt(uint32_t index) const
{
    const uint8_t *header = PointerAt(m_sectionTableOffset + uint64_t(index) * kSectionHeaderSize);
    Section section;
    section.name = header;
    section.virtualSize = ReadLittle32(header + 8);
    section.virtualAddress = ReadLittle32(header + 12);
    section.sizeOfRawData = ReadLittle32(header + 16);
    section.pointerToRawData = ReadLittle32(header + 20);
    return section;
}

bool DisassemblerWin32::ReadDataDirectory(uint32_t index, DataDirectory *directory) const
{
    *directory = DataDirectory();
    if (static_cast<int32_t>(index) >= static_cast<int32_t>(m_numberOfDataDirectories))
        return true;
    const uint32_t entry = m_dataDirectoryOffset + 8 * index;
    if (entry >= m_sizeOfOptionalHeader)
        return false; // number of data directories inconsistent
    // The entry and at least one byte after it lie in the buffer.
    if (uint64_t(m_optionalHeaderOffset) + entry + 8 >= uint64_t(end() - start()))
        return false; // data directory outside image
    directory->rva = Read32(uint64_t(m_optionalHeaderOffset) + entry);
    directory->size = Read32(uint64_t(m_optionalHeaderOffset) + entry + 4);
    return directory->size <= m_sizeOfImage; // else data directory size too big
}

bool DisassemblerWin32::ParseHeader()
{
    const uint64_t size = length();
    if (size < 64)
        return Reject("Too small");
    if (*PointerAt(0) != 'M' || *PointerAt(1) != 'Z')
        return Reject("Not MZ");
    const uint32_t peOffset = Read32(60);
    if (peOffset >= size || peOffset == 0 || uint64_t(peOffset) + 24 >= size)
        return Reject("Bad offset to PE header");
    if (peOffset % 8 != 0)
        return Reject("Misaligned PE header");
    if (std::memcmp(PointerAt(peOffset), "PE\0\0", 4) != 0)
        return Reject("no PE signature");

    const uint8_t *coff = PointerAt(peOffset + 4);
    m_machine = ReadLittle16(coff);
    m_numberOfSections = ReadLittle16(coff + 2);
    m_sizeOfOptionalHeader = ReadLittle16(coff + 16);
    m_optionalHeaderOffset = peOffset + 24;
    if (uint64_t(m_optionalHeaderOffset) + m_sizeOfOptionalHeader >= size)
        return Reject("optional header past end of file");
    if (m_sizeOfOptionalHeader < 2)
        return Reject("optional header no magic");
    const uint8_t *optional = PointerAt(m_optionalHeaderOffset);
    const uint16_t magic = ReadLittle16(optional);
    if (magic == 0x20B) {
        m_isPe32Plus = true;
        m_dataDirectoryOffset = 112;
    } else if (magic == 0x10B) {
        m_isPe32Plus = false;
        m_dataDirectoryOffset = 96;
    } else {
        return Reject("unrecognized magic");
    }
    if (m_sizeOfOptionalHeader < m_dataDirectoryOffset)
        return Reject("optional header too short");

    m_sizeOfCode = ReadLittle32(optional + 4);
    m_sizeOfInitializedData = ReadLittle32(optional + 8);
    m_sizeOfUninitializedData = ReadLittle32(optional + 12);
    m_baseOfCode = ReadLittle32(optional + 20);
    m_baseOfData = m_isPe32Plus ? 0 : ReadLittle32(optional + 24);
    m_imageBase = m_isPe32Plus ? ReadLittle64(optional + 24) : ReadLittle32(optional + 28);
    m_sizeOfImage = ReadLittle32(optional + 56);
    m_numberOfDataDirectories = ReadLittle32(optional + m_dataDirectoryOffset - 4);

    // Export, import, resource, exception, base relocation, bound import, import address table, delay
    // import and runtime header. Only the base relocation table is used; all nine must be sound.
    bool directoriesSound = true;
    for (const uint32_t index : {0u, 1u, 2u, 3u, kBaseRelocationDirectory, 11u, 12u, 13u, 14u}) {
        DataDirectory directory;
        if (!ReadDataDirectory(index, &directory))
            directoriesSound = false;
        if (index == kBaseRelocationDirectory)
            m_baseRelocationTable = directory;
    }
    if (!directoriesSound)
        return Reject("malformed data directory");

    m_sectionTableOffset = m_optionalHeaderOffset + m_sizeOfOptionalHeader;
    // The section headers are read in place, so they must all lie in the buffer.
    if (uint64_t(m_sectionTableOffset) + uint64_t(m_numberOfSections) * kSectionHeaderSize > size)
        return Reject("section table past end of file");
    uint64_t executableLength = 0;
    m_hasTextSection = false;
    for (uint32_t i = 0; i < m_numberOfSections; ++i) {
        const Section section = SectionAt(i);
        if (std::memcmp(section.name, ".text\0", 6) == 0)
            m_hasTextSection = true;
        executableLength =
            std::max(executableLength, uint64_t(section.pointerToRawData) + section.sizeOfRawData);
    }
    if (executableLength < size)
        ShortenLength(static_cast<uint32_t>(executableLength));

    if (m_isPe32Plus != WantsPe32Plus())
        return Reject(WrongWidthReason());
    if (!m_hasTextSection)
        return Reject("Resource-only executables are not yet supported");
    IndexSections();
    return Accept();
}

void DisassemblerWin32::IndexSections()
{
    std::vector<FirstCover::Range> byRva;
    std::vector<FirstCover::Range> byRawData;
    m_rawDataOrder.clear();
    for (uint32_t i = 0; i < m_numberOfSections; ++i) {
        const Section section = SectionAt(i);
        // The lookups compare in 32 bits, so a range that passes 2^32 also covers the low values it wraps to.
        FirstCover::AddWrapped32(&byRva, section.virtualAddress, section.virtualSize, i);
        FirstCover::AddWrapped32(&byRawData, section.pointerToRawData, section.sizeOfRawData, i);
        if (section.sizeOfRawData != 0)
            m_rawDataOrder.push_back(i);
    }
    m_byRva = FirstCover(byRva);
    m_byRawData = FirstCover(byRawData);
    std::stable_sort(m_rawDataOrder.begin(), m_rawDataOrder.end(), [this](uint32_t a, uint32_t b) {
        return SectionAt(a).pointerToRawData < SectionAt(b).pointerToRawData;
    });
}

uint32_t DisassemblerWin32::RvaToFileOffset(uint32_t rva) const
{
    if (const uint32_t i = m_byRva.Find(rva); i != FirstCover::kNone) {
        const Section section = SectionAt(i);
        const uint32_t offset = rva - section.virtualAddress;
        if (offset >= section.sizeOfRawData)
            return kNoOffset;
        const uint64_t fileOffset = uint64_t(section.pointerToRawData) + offset;
        return fileOffset < kNoOffset ? static_cast<uint32_t>(fileOffset) : kNoOffset;
    }
    if (rva == 0 || rva == 2)
        return rva;
    LogStream(1) << "REACHED UNREACHABLE";
    return kNoOffset;
}

uint32_t DisassemblerWin32::FileOffsetToRva(uint32_t offset) const
{
    if (const uint32_t i = m_byRawData.Find(offset); i != FirstCover::kNone) {
        const Section section = SectionAt(i);
        return section.virtualAddress + (offset - section.pointerToRawData);
    }
    return 0;
}

bool DisassemblerWin32::ParseRelocations()
{
    const DataDirectory &table = m_baseRelocationTable;
    if (table.size == 0)
        return true;
    const uint32_t tableStart = RvaToFileOffset(table.rva);
    const uint64_t bufferSize = uint64_t(end() - start());
    const uint64_t tableEnd = uint64_t(tableStart) + table.size;
    if (tableStart == kNoOffset || tableStart >= bufferSize || tableEnd > bufferSize)
        return Reject(".relocs outside image");
    if (table.size <= 8)
        return true;
    uint64_t block = tableStart;
    while (block + 8 < tableEnd) {
        const uint32_t page = Read32(block);
        const uint32_t blockSize = Read32(block + 4);
        if (blockSize < 8 || blockSize % 4 != 0)
            return Reject("unreasonable relocs block");
        const uint64_t blockEnd = block + blockSize;
        if (blockEnd > bufferSize)
            return Reject(".relocs block outside image");
        for (uint64_t at = block + 8; at + 2 <= blockEnd; at += 2) {
            const uint16_t entry = ReadLittle16(PointerAt(at));
            const uint16_t type = entry >> 12;
            if (type == 0)
                continue;
            if (type != RelocationType())
                return Reject("unknown type of reloc");
            m_abs32Locations.push_back(page + (entry & 0xFFF));
        }
        block = blockEnd;
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerWin32::NextSection(uint64_t cursor, Section *next) const
{
    const auto first = std::partition_point(m_rawDataOrder.begin(), m_rawDataOrder.end(),
                                            [&](uint32_t i) { return SectionAt(i).pointerToRawData < cursor; });
    if (first == m_rawDataOrder.end())
        return false;
    *next = SectionAt(*first);
    return true;
}

bool DisassemblerWin32::SectionInBuffer(const Section &section) const
{
    return uint64_t(section.pointerToRawData) + section.sizeOfRawData <= uint64_t(end() - start());
}

void DisassemblerWin32::ScanSection(const Section &section)
{
    if (std::strncmp(reinterpret_cast<const char *>(section.name), ".text", 8) != 0)
        return;
    const uint64_t from = section.pointerToRawData;
    const uint64_t to = from + section.sizeOfRawData;
    const uint32_t startRva = FileOffsetToRva(section.pointerToRawData);
    const uint64_t endRva = uint64_t(startRva) + section.virtualSize;
    auto abs32 = m_abs32Locations.cbegin();
    const auto rvaAt = [&](uint64_t at) { return static_cast<uint32_t>(startRva + (at - from)); };

    uint64_t p = from;
    while (p < to) {
        const uint32_t rva = rvaAt(p);
        if (rva == m_baseRelocationTable.rva && m_baseRelocationTable.size != 0) {
            p += m_baseRelocationTable.size;
            continue;
        }
        const uint8_t *bytes = PointerAt(p);
        uint64_t q = 0;
        bool ripRelative = false;
        if (p + 5 <= to && (bytes[0] & 0xFE) == 0xE8)
            q = p + 1;
        if (ScansRipRelative() && p + 6 <= to && bytes[0] == 0xFF && (bytes[1] == 0x15 || bytes[1] == 0x25)) {
            q = p + 2;
            ripRelative = true;
        }
        if (p + 6 <= to && bytes[0] == 0x0F && (bytes[1] & 0xF0) == 0x80 && (bytes[1] & 0xFE) != 0x8A) {
            q = p + 2;
            ripRelative = false;
        }
        if (ScansRipRelative() && p + 7 <= to && (bytes[0] == 0x48 || bytes[0] == 0x49) &&
            (bytes[1] == 0x8D || bytes[1] == 0x8B) && (bytes[2] & 0xC7) == 5) {
            q = p + 3;
            ripRelative = true;
        }
        if (q == 0) {
            p += 1;
            continue;
        }
        const uint32_t r = rvaAt(q);
        while (abs32 != m_abs32Locations.cend() && *abs32 < r - 3)
            ++abs32;
        if (abs32 != m_abs32Locations.cend() && *abs32 < r + 4) {
            // The displacement overlaps an absolute reference: go on after the reference.
            p = static_cast<uint64_t>(int64_t(q) + (int64_t(*abs32) - int64_t(r)) + 4);
            continue;
        }
        const uint32_t target = r + 4 + Read32(q);
        const bool inSection = target >= startRva && target < endRva;
        if ((!ripRelative && !inSection) || target >= m_sizeOfImage) {
            p += 1;
            continue;
        }
        m_rel32Locations.push_back(r);
        p = q + 4;
    }
}

bool DisassemblerWin32::CollectRel32Locations()
{
    if (length() == 0)
        return true;
    uint64_t cursor = 0;
    Section section;
    while (cursor < length() && NextSection(cursor, &section)) {
        if (!SectionInBuffer(section))
            return false;
        ScanSection(section);
        cursor = std::max<uint64_t>(cursor, section.pointerToRawData) + section.sizeOfRawData;
    }
    std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
    return true;
}

bool DisassemblerWin32::WalkFile(AssemblyProgram *program)
{
    uint64_t cursor = 0;
    Section section;
    while (cursor < length() && NextSection(cursor, &section)) {
        if (!SectionInBuffer(section))
            return false;
        for (; cursor < section.pointerToRawData; ++cursor)
            if (!program->PushByte(*PointerAt(cursor)))
                return false;
        const uint64_t sectionEnd = uint64_t(section.pointerToRawData) + section.sizeOfRawData;
        if (!ParseSectionData(section.pointerToRawData, sectionEnd, program))
            return false;
        cursor = sectionEnd;
    }
    return true;
}

bool DisassemblerWin32::ParseSectionData(uint64_t from, uint64_t to, AssemblyProgram *program)
{
    const uint32_t startRva = FileOffsetToRva(static_cast<uint32_t>(from));
    if (!program->PushOrigin(startRva))
        return false;
    const uint64_t bufferSize = uint64_t(end() - start());
    const uint32_t imageBase32 = static_cast<uint32_t>(m_imageBase);
    auto abs32 = m_abs32Locations.cbegin();
    auto rel32 = m_rel32Locations.cbegin();
    uint64_t p = from;
    while (p < to) {
        const uint32_t rva = static_cast<uint32_t>(startRva + (p - from));
        if (rva == m_baseRelocationTable.rva) {
            if (!program->PushPeRelocs())
                return false;
            if (m_baseRelocationTable.size != 0) {
                p += m_baseRelocationTable.size;
                continue;
            }
        }
        while (abs32 != m_abs32Locations.cend() && *abs32 < rva)
            ++abs32;
        if (abs32 != m_abs32Locations.cend() && *abs32 == rva) {
            if (p + 4 > bufferSize)
                return false;
            if (!program->PushAbs32(program->GetAbs32Label(Read32(p) - imageBase32)))
                return false;
            p += 4;
            continue;
        }
        while (rel32 != m_rel32Locations.cend() && *rel32 < rva)
            ++rel32;
        if (rel32 != m_rel32Locations.cend() && *rel32 == rva) {
            if (p + 4 > bufferSize)
                return false;
            if (!program->PushRel32(program->GetRel32Label(rva + 4 + Read32(p))))
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

bool DisassemblerWin32::Disassemble(AssemblyProgram *program)
{
    if (failure_reason())
        return false;
    program->set_image_base(WantsPe32Plus() ? m_imageBase : (m_imageBase & 0xFFFFFFFF));
    m_abs32Locations.clear();
    if (!ParseRelocations())
        return false;
    if (!CollectRel32Locations())
        return false;
    if (!WalkFile(program))
        return false;
    program->NumberLabels();
    return true;
}

} // namespace corvapatch
