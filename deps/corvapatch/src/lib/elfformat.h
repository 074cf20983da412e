#pragma once

#include <cstdint>

namespace corvapatch {

// Little-endian field reads; callers check that the bytes lie inside the image first.
inline uint16_t ReadLittle16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t ReadLittle32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t ReadLittle64(const uint8_t *p)
{
    return uint64_t(ReadLittle32(p)) | uint64_t(ReadLittle32(p + 4)) << 32;
}

// The ELF fields the disassemblers use, widened to 64 bits so ELF32 and ELF64 share one walk.
struct ElfHeader
{
    uint16_t type = 0;
    uint16_t machine = 0;
    uint32_t version = 0;
    uint64_t phoff = 0;
    uint64_t shoff = 0;
    uint16_t phnum = 0;
    uint16_t shentsize = 0;
    uint16_t shnum = 0;
};

struct ElfSection
{
    uint32_t type = 0;
    uint64_t addr = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t entsize = 0;
};

struct ElfSegment
{
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t vaddr = 0;
    uint64_t filesz = 0;
    uint64_t memsz = 0;
};

struct ElfRelocation
{
    uint64_t offset = 0;
    uint64_t info = 0;
};

enum : uint32_t {
    SHT_PROGBITS = 1,
    SHT_REL = 9,
    SHT_NOBITS = 8,
    SHT_INIT_ARRAY = 14,
    SHT_FINI_ARRAY = 15,
    PT_LOAD = 1,
};

// Layout of 32-bit ELF files: header 52 bytes, section headers 40, program headers 32, Elf32_Rel 8.
struct Elf32Format
{
    static constexpr uint32_t kHeaderSize = 52;
    static constexpr uint32_t kSectionHeaderSize = 40;
    static constexpr uint32_t kProgramHeaderSize = 32;
    static constexpr uint32_t kRelocationSize = 8;

    static ElfHeader ReadHeader(const uint8_t *p)
    {
        ElfHeader h;
        h.type = ReadLittle16(p + 16);
        h.machine = ReadLittle16(p + 18);
        h.version = ReadLittle32(p + 20);
        h.phoff = ReadLittle32(p + 28);
        h.shoff = ReadLittle32(p + 32);
        h.phnum = ReadLittle16(p + 44);
        h.shentsize = ReadLittle16(p + 46);
        h.shnum = ReadLittle16(p + 48);
        return h;
    }
    static ElfSection ReadSection(const uint8_t *p)
    {
        ElfSection s;
        s.type = ReadLittle32(p + 4);
        s.addr = ReadLittle32(p + 12);
        s.offset = ReadLittle32(p + 16);
        s.size = ReadLittle32(p + 20);
        s.entsize = ReadLittle32(p + 36);
        return s;
    }
    static ElfSegment ReadSegment(const uint8_t *p)
    {
        ElfSegment s;
        s.type = ReadLittle32(p);
        s.offset = ReadLittle32(p + 4);
        s.vaddr = ReadLittle32(p + 8);
        s.filesz = ReadLittle32(p + 16);
        s.memsz = ReadLittle32(p + 20);
        return s;
    }
    static ElfRelocation ReadRelocation(const uint8_t *p) { return {ReadLittle32(p), ReadLittle32(p + 4)}; }
    // The executable's length is summed in 32 bits, wrapping, in ELF32 files.
    static uint64_t LengthSum(uint64_t a, uint64_t b) { return (a + b) & 0xFFFFFFFFu; }
};

// Layout of 64-bit ELF files: header 64 bytes, section headers 64, program headers 56, Elf64_Rel 16.
struct Elf64Format
{
    static constexpr uint32_t kHeaderSize = 64;
    static constexpr uint32_t kSectionHeaderSize = 64;
    static constexpr uint32_t kProgramHeaderSize = 56;
    static constexpr uint32_t kRelocationSize = 16;

    static ElfHeader ReadHeader(const uint8_t *p)
    {
        ElfHeader h;
        h.type = ReadLittle16(p + 16);
        h.machine = ReadLittle16(p + 18);
        h.version = ReadLittle32(p + 20);
        h.phoff = ReadLittle64(p + 32);
        h.shoff = ReadLittle64(p + 40);
        h.phnum = ReadLittle16(p + 56);
        h.shentsize = ReadLittle16(p + 58);
        h.shnum = ReadLittle16(p + 60);
        return h;
    }
    static ElfSection ReadSection(const uint8_t *p)
    {
        ElfSection s;
        s.type = ReadLittle32(p + 4);
        s.addr = ReadLittle64(p + 16);
        s.offset = ReadLittle64(p + 24);
        s.size = ReadLittle64(p + 32);
        s.entsize = ReadLittle64(p + 56);
        return s;
    }
    static ElfSegment ReadSegment(const uint8_t *p)
    {
        ElfSegment s;
        s.type = ReadLittle32(p);
        s.offset = ReadLittle64(p + 8);
        s.vaddr = ReadLittle64(p + 16);
        s.filesz = ReadLittle64(p + 32);
        s.memsz = ReadLittle64(p + 40);
        return s;
    }
    static ElfRelocation ReadRelocation(const uint8_t *p) { return {ReadLittle64(p), ReadLittle64(p + 8)}; }
    // 64-bit sums; only the low 32 bits of the largest one become the length.
    static uint64_t LengthSum(uint64_t a, uint64_t b) { return a + b; }
};

} // namespace corvapatch
