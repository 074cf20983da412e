#pragma once

#include "disassembler.h"
#include "firstcover.h"

#include <cstdint>
#include <vector>

namespace corvapatch {

// Windows PE executables (PE32 and PE32+). Absolute references come from the base relocation table; relative
// ones are the displacements of calls, jumps and conditional jumps found by scanning ".text". The two machine
// classes differ only in the hooks below. Every rule here decides the program a patch is made against, so
// maker and applier must agree on it exactly.
class DisassemblerWin32 : public Disassembler
{
public:
    using Disassembler::Disassembler;

    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram *program) override;

    bool is_32bit() const { return !m_isPe32Plus; }
    const std::vector<uint32_t> &abs32_locations() const { return m_abs32Locations; }
    const std::vector<uint32_t> &rel32_locations() const { return m_rel32Locations; }

    // 0xFFFFFFFF when the RVA has no bytes in the file.
    uint32_t RvaToFileOffset(uint32_t rva) const;
    // 0 when no section holds the offset.
    uint32_t FileOffsetToRva(uint32_t offset) const;

protected:
    virtual bool WantsPe32Plus() const = 0;
    virtual const char *WrongWidthReason() const = 0;
    virtual uint16_t RelocationType() const = 0;
    // Whether the scan also takes RIP-relative indirect calls, jumps and loads.
    virtual bool ScansRipRelative() const = 0;

private:
    struct Section
    {
        const uint8_t *name; // 8 bytes, not always zero-terminated
        uint32_t virtualSize;
        uint32_t virtualAddress;
        uint32_t sizeOfRawData;
        uint32_t pointerToRawData;
    };
    struct DataDirectory
    {
        uint32_t rva = 0;
        uint32_t size = 0;
    };

    Section SectionAt(uint32_t index) const;
    // The lookups below answer from these instead of scanning the section table each time.
    void IndexSections();
    bool ReadDataDirectory(uint32_t index, DataDirectory *directory) const;
    bool ParseRelocations();
    // The section the file walks take next: smallest raw data offset not below cursor; nullptr-like false when
    // none is left.
    bool NextSection(uint64_t cursor, Section *section) const;
    bool SectionInBuffer(const Section &section) const;
    void ScanSection(const Section &section);
    bool CollectRel32Locations();
    bool WalkFile(AssemblyProgram *program);
    bool ParseSectionData(uint64_t from, uint64_t to, AssemblyProgram *program);
    uint32_t Read32(uint64_t offset) const;

    std::vector<uint32_t> m_abs32Locations;
    bool m_isPe32Plus = false;
    uint32_t m_optionalHeaderOffset = 0;
    uint16_t m_sizeOfOptionalHeader = 0;
    uint16_t m_dataDirectoryOffset = 0;
    uint16_t m_machine = 0;
    uint16_t m_numberOfSections = 0;
    uint32_t m_sectionTableOffset = 0;
    bool m_hasTextSection = false;
    std::vector<uint32_t> m_rel32Locations;
    uint32_t m_sizeOfCode = 0;
    uint32_t m_sizeOfInitializedData = 0;
    uint32_t m_sizeOfUninitializedData = 0;
    uint32_t m_baseOfCode = 0;
    uint32_t m_baseOfData = 0;
    uint64_t m_imageBase = 0;
    uint32_t m_sizeOfImage = 0;
    uint32_t m_numberOfDataDirectories = 0;
    DataDirectory m_baseRelocationTable;
    FirstCover m_byRva; // sections by [VirtualAddress, + VirtualSize)
    FirstCover m_byRawData; // sections by [PointerToRawData, + SizeOfRawData)
    std::vector<uint32_t> m_rawDataOrder; // sections with raw data, by PointerToRawData, then table order
};

} // namespace corvapatch
