#include "elfbuilder.h"

#include <algorithm>

namespace {

void PutN(std::vector<uint8_t> *image, uint64_t offset, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        image->at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

void Put16(std::vector<uint8_t> *image, uint64_t offset, uint16_t value)
{
    PutN(image, offset, value, 2);
}

void Put32(std::vector<uint8_t> *image, uint64_t offset, uint32_t value)
{
    PutN(image, offset, value, 4);
}

void Put64(std::vector<uint8_t> *image, uint64_t offset, uint64_t value)
{
    PutN(image, offset, value, 8);
}

std::vector<uint8_t> Elf32Rel(uint32_t offset, uint32_t info)
{
    std::vector<uint8_t> entry(8);
    Put32(&entry, 0, offset);
    Put32(&entry, 4, info);
    return entry;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> joined;
    for (const std::vector<uint8_t> &part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

ElfBuilder &ElfBuilder::fileType(uint16_t type)
{
    m_type = type;
    return *this;
}

ElfBuilder &ElfBuilder::segment(uint32_t type, uint64_t offset, uint64_t vaddr, uint64_t filesz, uint64_t memsz)
{
    m_segments.push_back({type, offset, vaddr, filesz, memsz});
    return *this;
}

ElfBuilder &ElfBuilder::section(uint32_t type, uint64_t offset, uint64_t addr, const std::vector<uint8_t> &contents,
                                uint64_t entsize)
{
    m_sections.push_back({type, offset, addr, contents.size(), entsize, contents});
    return *this;
}

ElfBuilder &ElfBuilder::sectionHeader(uint32_t type, uint64_t offset, uint64_t addr, uint64_t size, uint64_t entsize)
{
    m_sections.push_back({type, offset, addr, size, entsize, {}});
    return *this;
}

uint64_t ElfBuilder::sectionTableOffset() const
{
    uint64_t end = headerSize() + uint64_t(m_segments.size()) * programHeaderSize();
    for (const Section &s : m_sections)
        end = std::max(end, s.offset + s.contents.size());
    return (end + 7) & ~uint64_t(7);
}

std::vector<uint8_t> ElfBuilder::build() const
{
    const uint64_t shoff = sectionTableOffset();
    const uint16_t shnum = static_cast<uint16_t>(m_sections.size() + 1);
    std::vector<uint8_t> image(shoff + uint64_t(shnum) * sectionHeaderSize(), 0);

    image[0] = 0x7F;
    image[1] = 'E';
    image[2] = 'L';
    image[3] = 'F';
    image[4] = m_is64 ? 2 : 1; // class
    image[5] = 1;              // little-endian
    image[6] = 1;              // version
    Put16(&image, 16, m_type);
    Put16(&image, 18, m_machine);
    Put32(&image, 20, 1);
    const uint64_t phoff = m_segments.empty() ? 0 : headerSize();
    if (m_is64) {
        Put64(&image, 32, phoff);
        Put64(&image, 40, shoff);
        Put16(&image, 52, 64);
        Put16(&image, 54, 56);
        Put16(&image, 56, static_cast<uint16_t>(m_segments.size()));
        Put16(&image, 58, 64);
        Put16(&image, 60, shnum);
    } else {
        Put32(&image, 28, static_cast<uint32_t>(phoff));
        Put32(&image, 32, static_cast<uint32_t>(shoff));
        Put16(&image, 40, 52);
        Put16(&image, 42, 32);
        Put16(&image, 44, static_cast<uint16_t>(m_segments.size()));
        Put16(&image, 46, 40);
        Put16(&image, 48, shnum);
    }

    for (size_t i = 0; i < m_segments.size(); ++i) {
        const Segment &s = m_segments[i];
        const uint64_t at = headerSize() + i * programHeaderSize();
        Put32(&image, at, s.type);
        if (m_is64) {
            Put64(&image, at + 8, s.offset);
            Put64(&image, at + 16, s.vaddr);
            Put64(&image, at + 24, s.vaddr);
            Put64(&image, at + 32, s.filesz);
            Put64(&image, at + 40, s.memsz);
        } else {
            Put32(&image, at + 4, static_cast<uint32_t>(s.offset));
            Put32(&image, at + 8, static_cast<uint32_t>(s.vaddr));
            Put32(&image, at + 12, static_cast<uint32_t>(s.vaddr));
            Put32(&image, at + 16, static_cast<uint32_t>(s.filesz));
            Put32(&image, at + 20, static_cast<uint32_t>(s.memsz));
        }
    }

    for (size_t i = 0; i < m_sections.size(); ++i) {
        const Section &s = m_sections[i];
        std::copy(s.contents.begin(), s.contents.end(), image.begin() + static_cast<std::ptrdiff_t>(s.offset));
        const uint64_t at = shoff + (i + 1) * sectionHeaderSize();
        Put32(&image, at + 4, s.type);
        if (m_is64) {
            Put64(&image, at + 16, s.addr);
            Put64(&image, at + 24, s.offset);
            Put64(&image, at + 32, s.size);
            Put64(&image, at + 56, s.entsize);
        } else {
            Put32(&image, at + 12, static_cast<uint32_t>(s.addr));
            Put32(&image, at + 16, static_cast<uint32_t>(s.offset));
            Put32(&image, at + 20, static_cast<uint32_t>(s.size));
            Put32(&image, at + 36, static_cast<uint32_t>(s.entsize));
        }
    }
    return image;
}
