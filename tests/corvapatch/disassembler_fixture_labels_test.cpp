// The programs of the committed fixtures against answers taken from binutils and LLVM, not from this code:
//   abs32 labels  the 32-bit values stored at the sites of the relative relocations
//                 (readelf -rW: R_386_RELATIVE / R_ARM_RELATIVE; llvm-readobj --coff-basereloc: HIGHLOW / DIR64,
//                 each value minus the image base);
//   rel32 labels  the targets of the calls and jumps with a 32-bit displacement (E8, E9, 0F 80..8F but 8A/8B)
//                 and, for x86-64, of the RIP-relative FF 15/25 and 48/49 8B/8D operands (objdump -d,
//                 llvm-objdump -d for Mach-O; Mach-O x86-64 rebased by 0x100000000);
//   stream        the origins in walk order (readelf -SW: each program-bits section in table order;
//                 objdump -h: each PE section with raw data by file offset; the Mach-O __text), where the
//                 relocation table becomes one instruction, and how many sites become references.
// ARM code is scanned byte by byte for five branch forms, so its labels are a superset of what objdump shows:
// its branch targets must all be labels, and the absolute ones match exactly.
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

using Rvas = std::vector<uint32_t>;
using Steps = std::vector<std::string>;

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The origins and relocation-table instructions in order, then the numbers of absolute and relative references.
Steps StreamSummary(const AssemblyProgram &program, const std::vector<uint8_t> &image)
{
    Steps steps;
    size_t abs32 = 0;
    size_t rel32 = 0;
    for (const std::string &step : DescribeProgram(program, image.data())) {
        if (step.rfind("origin", 0) == 0 || step.find("relocs") != std::string::npos)
            steps.push_back(step);
        abs32 += step.rfind("abs32", 0) == 0;
        rel32 += step.rfind("rel32", 0) == 0 || step.rfind("arm", 0) == 0;
    }
    steps.push_back(std::to_string(abs32) + " abs32");
    steps.push_back(std::to_string(rel32) + " rel32");
    return steps;
}

struct FixtureAnswer
{
    const char *file;
    Rvas abs32;
    Rvas rel32;
    Steps stream;
};

const FixtureAnswer kAnswers[] = {
    {"elf/x86-pic.so",
     {0x220, 0x225, 0x22B, 0x22F, 0x233, 0x238, 0x23C, 0x242, 0x1490, 0x14C0, 0x14D0, 0x14E0, 0x359C, 0x35B8, 0x35F0,
      0x3698},
     {0x1258, 0x12A0, 0x12AC, 0x12D0, 0x13EC, 0x1400, 0x1406, 0x1496},
     {"elf relocs", "origin 0x200", "origin 0x1250", "origin 0x24ec", "origin 0x358c", "origin 0x0", "18 abs32",
      "11 rel32"}},
    {"elf/x64-pic.so",
     {},
     {0x338, 0x358, 0x13E0, 0x1410, 0x1504, 0x1520, 0x2630, 0x3710},
     {"origin 0x338", "origin 0x13a0", "origin 0x2600", "origin 0x0", "0 abs32", "12 rel32"}},
    {"pe/x86.exe",
     {0x1174, 0x117D, 0x1186, 0x11A1, 0x11AA, 0x11B0, 0x11B6, 0x11C6, 0x11E0, 0x1200, 0x1210, 0x1220, 0x2000, 0x2020,
      0x2038, 0x2058, 0x2068, 0x206C, 0x2071, 0x2075, 0x207A, 0x2080, 0x2085, 0x2089, 0x3000, 0x3004, 0x3020, 0x3058,
      0x3100},
     {0x1040, 0x1050, 0x114B, 0x1160},
     {"origin 0x1000", "origin 0x2000", "origin 0x4000", "pe relocs", "38 abs32", "7 rel32"}},
    {"pe/x64.exe",
     {0x1240, 0x1260, 0x1270, 0x1280, 0x2090, 0x2094, 0x2099, 0x209D, 0x20A2, 0x20A8, 0x20AD, 0x20B1, 0x3010, 0x302C,
      0x3064, 0x310C},
     {0x1040, 0x1070, 0x1164, 0x1180, 0x1214, 0x2030, 0x2070, 0x3010},
     {"origin 0x1000", "origin 0x2000", "origin 0x4000", "pe relocs", "18 abs32", "12 rel32"}},
    {"macho/x64-exe", {}, {0x4F0, 0x510, 0x613, 0x630, 0x6C8, 0x73C, 0x1000, 0x1030, 0x2010},
     {"origin 0x4b0", "0 abs32", "13 rel32"}},
    {"macho/x86-exe", {}, {0xD, 0x50, 0x5E, 0x80, 0x189, 0x1A0, 0x1B2, 0x259}, {"origin 0x0", "0 abs32", "11 rel32"}},
};

const std::string kFixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/";

struct ProgramDeleter
{
    void operator()(AssemblyProgram *program) const { DeleteAssemblyProgram(program); }
};

// A fixture and its program, which points into it.
struct ParsedFixture
{
    explicit ParsedFixture(const std::string &file)
        : image(ReadWholeFile(kFixtures + file))
    {
        AssemblyProgram *parsed = nullptr;
        EXPECT_EQ(ParseExecutable(image.data(), image.size(), &parsed), Status::OK);
        program.reset(parsed);
    }

    const std::vector<uint8_t> image;
    std::unique_ptr<AssemblyProgram, ProgramDeleter> program;
};

} // namespace

TEST(DisassemblerFixtures, LabelsAndStreamMatchTheToolsAnswers)
{
    for (const FixtureAnswer &answer : kAnswers) {
        SCOPED_TRACE(answer.file);
        const ParsedFixture fixture(answer.file);
        const auto &program = fixture.program;
        ASSERT_NE(program, nullptr);
        EXPECT_EQ(LabelRvas(program->abs32_labels()), answer.abs32);
        EXPECT_EQ(LabelRvas(program->rel32_labels()), answer.rel32);
        EXPECT_EQ(StreamSummary(*program, fixture.image), answer.stream);
    }
}

TEST(DisassemblerFixtures, ArmLabelsHoldEveryBranchTarget)
{
    const ParsedFixture fixture("elf/arm-pic.so");
    const auto &program = fixture.program;
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(LabelRvas(program->abs32_labels()),
              (Rvas{0x260, 0x265, 0x26B, 0x26F, 0x273, 0x278, 0x27C, 0x282, 0x104DC, 0x10500, 0x1050C, 0x10514,
                    0x305C0, 0x305DC, 0x30614, 0x306BC}));
    // llvm-objdump -d --triple=armv7: the targets of b, bl and the conditional branches.
    const Rvas targets = {0x102B8, 0x102C4, 0x102EC, 0x102FC, 0x10350, 0x10378,
                          0x103A4, 0x103A8, 0x103BC, 0x103E4, 0x103F8};
    const Rvas labels = LabelRvas(program->rel32_labels());
    for (const uint32_t target : targets)
        EXPECT_TRUE(std::binary_search(labels.begin(), labels.end(), target)) << Hex(target);
}
