#pragma once

#include "disassembler.h"
#include "firstcover.h"

#include <cstdint>
#include <vector>

namespace corvapatch {

// Thin Mach-O executables, libraries and bundles for 32-bit x86 and x86-64. They carry no relocation table the
// program could rebuild, so only relative references are labelled: the displacements of calls, jumps,
// conditional jumps and (x86-64) RIP-relative operands found by scanning the pure-instruction sections. Every
// rule here decides the program a patch is made against, so maker and applier must agree on it exactly.
class DisassemblerMacho : public Disassembler
{
public:
    using Disassembler::Disassembler;

    int kind() const override { return m_kind; }
    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram *program) override;

    const std::vector<uint32_t> &rel32_locations() const { return m_rel32Locations; }
    // The rebased address of a file offset; 0 when no segment maps it.
    uint32_t FileOffsetToRva(uint64_t offset) const;

private:
    struct Segment
    {
        uint64_t vmaddr;
        uint32_t vmsize;
        uint32_t fileoff;
        uint32_t filesize;
    };
    struct CodeSection
    {
        uint64_t addr;
        uint32_t size;
        uint32_t offset;
    };

    bool ParseSegment32(uint64_t command, uint32_t commandSize);
    bool ParseSegment64(uint64_t command, uint32_t commandSize);
    bool RecordSegment(const Segment &segment);
    bool InSomeSegment(uint32_t rva) const;
    void ScanCodeSection(const CodeSection &section);
    bool WalkFile(AssemblyProgram *program);
    bool ParseCodeSection(const CodeSection &section, AssemblyProgram *program);

    // The code sections the walk takes, in its order: the first of each run of sections that share bytes with
    // one taken before (real files have no such runs). Only these are scanned, so a file that repeats a
    // section many times costs what the section does once.
    void ChooseWalkedSections();

    std::vector<uint32_t> m_rel32Locations;
    std::vector<Segment> m_segments;
    std::vector<CodeSection> m_codeSections;
    std::vector<CodeSection> m_walkedSections;
    FirstCover m_segmentsByFileOffset; // [fileoff, + filesize)
    FirstCover m_segmentsByRva; // rebased [vmaddr, + vmsize)
    int m_kind = 0;
    uint32_t m_fileEnd = 0;
};

} // namespace corvapatch
