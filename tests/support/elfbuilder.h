#pragma once

#include <cstdint>
#include <vector>

// Builds small ELF images for the disassembler tests, 32- or 64-bit little-endian: the file header, the
// program headers right after it, the section contents at the offsets the test gives (zero bytes between),
// and the section header table at the end (section 0 is the null section). Tests break single fields of the
// result with the Put... helpers.
class ElfBuilder
{
public:
    ElfBuilder(bool is64, uint16_t machine) : m_is64(is64), m_machine(machine) { }

    uint32_t headerSize() const { return m_is64 ? 64 : 52; }
    uint32_t programHeaderSize() const { return m_is64 ? 56 : 32; }
    uint32_t sectionHeaderSize() const { return m_is64 ? 64 : 40; }

    ElfBuilder &fileType(uint16_t type);
    ElfBuilder &segment(uint32_t type, uint64_t offset, uint64_t vaddr, uint64_t filesz, uint64_t memsz);
    // A section with these contents at file offset (at or after the previous section's end).
    ElfBuilder &section(uint32_t type, uint64_t offset, uint64_t addr, const std::vector<uint8_t> &contents,
                        uint64_t entsize = 0);
    // A section header only, with any offset and size (no bits, or a range the test wants to be wrong).
    ElfBuilder &sectionHeader(uint32_t type, uint64_t offset, uint64_t addr, uint64_t size, uint64_t entsize = 0);

    // The section header table starts at the first multiple of 8 after the last contents.
    std::vector<uint8_t> build() const;
    // Where build() puts the section header table.
    uint64_t sectionTableOffset() const;

private:
    struct Section
    {
        uint32_t type;
        uint64_t offset;
        uint64_t addr;
        uint64_t size;
        uint64_t entsize;
        std::vector<uint8_t> contents;
    };
    struct Segment
    {
        uint32_t type;
        uint64_t offset;
        uint64_t vaddr;
        uint64_t filesz;
        uint64_t memsz;
    };

    bool m_is64;
    uint16_t m_machine;
    uint16_t m_type = 3;
    std::vector<Segment> m_segments;
    std::vector<Section> m_sections;
};

// Little-endian stores into an image; the bytes must exist.
void Put16(std::vector<uint8_t> *image, uint64_t offset, uint16_t value);
void Put32(std::vector<uint8_t> *image, uint64_t offset, uint32_t value);
void Put64(std::vector<uint8_t> *image, uint64_t offset, uint64_t value);

// Eight bytes of an Elf32_Rel entry.
std::vector<uint8_t> Elf32Rel(uint32_t offset, uint32_t info);
// Joins byte runs.
std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts);
