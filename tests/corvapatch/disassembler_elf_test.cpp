// The ELF disassemblers on small images built by ElfBuilder, whose programs and labels are derived by hand.
#include "support/elfbuilder.h"
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "encodedprogram.h"
#include "executabletype.h"
#include "instruction.h"
#include "logrecorder.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

using Image = std::vector<uint8_t>;
using Steps = std::vector<std::string>;

constexpr uint16_t kMachineX86 = 3;
constexpr uint16_t kMachineArm = 40;
constexpr uint16_t kMachineX64 = 62;
constexpr uint32_t kProgBits = 1;
constexpr uint32_t kStrTab = 3;
constexpr uint32_t kNoBits = 8;
constexpr uint32_t kRel = 9;
constexpr uint32_t kInitArray = 14;
constexpr uint32_t kLoad = 1;

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// The program as one line per instruction, literal runs given by their file range.
Steps Describe(const AssemblyProgram &program, const Image &image)
{
    return DescribeProgram(program, image.data());
}

struct ProgramDeleter
{
    void operator()(AssemblyProgram *program) const { DeleteAssemblyProgram(program); }
};
using ProgramPtr = std::unique_ptr<AssemblyProgram, ProgramDeleter>;

ProgramPtr Parse(const Image &image, int *status)
{
    AssemblyProgram *program = nullptr;
    *status = ParseExecutable(image.data(), image.size(), &program);
    return ProgramPtr(program);
}

Image Bytes(std::initializer_list<uint8_t> bytes)
{
    return Image(bytes);
}

// The steps after the first one (the bytes before the relocation table) up to the first origin.
Steps StepsBeforeTheText(const Steps &steps)
{
    const auto origin = std::find_if(steps.begin(), steps.end(),
                                     [](const std::string &step) { return step.rfind("origin", 0) == 0; });
    return steps.empty() ? Steps() : Steps(steps.begin() + 1, origin);
}

// 32-bit x86 shared object, one segment mapping the file at 0x1000:
//   0x060 .rel.dyn  two R_386_RELATIVE entries, for the words at 0x1108 and 0x110C
//   0x080 .text     0x1080: call 0x1100; jp (never a branch); je 0x1081; jmp far outside; E8 cut short
//   0x100 .data     0x1100: 8 plain bytes, then the words 0x1080 and 0x1234
//   0x110 .bss      (no bits, 0x20 bytes) and a 4-byte string table at the same offset
//   0x118 section header table, 6 entries, to 0x208
const Image kX86Text = Bytes({0xE8, 0x7B, 0x00, 0x00, 0x00,             // 0x80 call, displacement at 0x81
                              0x0F, 0x8A, 0x00, 0x00, 0x00, 0x00,       // 0x85 jp rel32
                              0x0F, 0x84, 0xF0, 0xFF, 0xFF, 0xFF,       // 0x8B je, displacement at 0x8D
                              0xE9, 0x00, 0x00, 0x00, 0x10,             // 0x91 jmp 0x10001096
                              0xE8, 0x01, 0x02, 0x03});                 // 0x96 only 4 bytes left
const Image kX86Data = Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00, 0x80, 0x10, 0x00, 0x00, 0x34, 0x12,
                              0x00, 0x00});

ElfBuilder X86Builder(const Image &relocations, uint64_t relEntsize = 8)
{
    ElfBuilder builder(false, kMachineX86);
    builder.segment(kLoad, 0, 0x1000, 0x208, 0x2000)
        .section(kRel, 0x60, 0x1060, relocations, relEntsize)
        .section(kProgBits, 0x80, 0x1080, kX86Text)
        .section(kProgBits, 0x100, 0x1100, kX86Data)
        .sectionHeader(kNoBits, 0x110, 0x1110, 0x20)
        .section(kStrTab, 0x110, 0, Bytes({0, 'a', 'b', 0}));
    return builder;
}

const Image kX86Relocations = Concat({Elf32Rel(0x1108, 8), Elf32Rel(0x110C, 8)});

} // namespace

TEST(DisassemblerElf32X86, GivesTheHandDerivedProgram)
{
    const Image image = X86Builder(kX86Relocations).build();
    ASSERT_EQ(image.size(), 0x208u);
    int status = 0;
    ProgramPtr program = Parse(image, &status);
    ASSERT_EQ(status, Status::OK);
    EXPECT_EQ(program->kind(), EXE_ELF_32_X86);
    EXPECT_EQ(Describe(*program, image), (Steps{
                                             "bytes 0x0 0x60",
                                             "elf relocs",
                                             "bytes 0x70 0x0",
                                             "bytes 0x70 0x10",
                                             "origin 0x1080",
                                             "bytes 0x80 0x1",
                                             "rel32 0x1100",
                                             "bytes 0x85 0x8",
                                             "rel32 0x1081",
                                             "bytes 0x91 0x9",
                                             "bytes 0x9a 0x66",
                                             "origin 0x1100",
                                             "bytes 0x100 0x8",
                                             "abs32 0x1080",
                                             "abs32 0x1234",
                                             "bytes 0x110 0xf8",
                                         }));
    EXPECT_EQ(LabelRvas(program->abs32_labels()), (std::vector<uint32_t>{0x1080, 0x1234}));
    EXPECT_EQ(LabelRvas(program->rel32_labels()), (std::vector<uint32_t>{0x1081, 0x1100}));

    Image assembled;
    ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
    EXPECT_EQ(assembled, image);
}

TEST(DisassemblerElf32X86, RebuildsTheRelocationTableOnlyWhenItStartsWithTheAbsoluteReferences)
{
    const struct
    {
        const char *name;
        Image relocations;
        uint64_t entsize;
        Steps relocationSteps; // the program's steps from the table at 0x60 up to the text's origin
        std::vector<uint32_t> abs32Labels;
    } cases[] = {
        {"exact", kX86Relocations, 8, {"elf relocs", "bytes 0x70 0x0", "bytes 0x70 0x10"}, {0x1080, 0x1234}},
        {"followed by another entry", Concat({kX86Relocations, Elf32Rel(0x1104, 0x107)}), 8,
         {"elf relocs", "bytes 0x70 0x8", "bytes 0x78 0x8"}, {0x1080, 0x1234}},
        {"a relative entry into no section first", Concat({Elf32Rel(0x1800, 8), kX86Relocations}), 8,
         {"bytes 0x60 0x18", "bytes 0x78 0x8"}, {0x1080, 0x1234}},
        {"swapped", Concat({Elf32Rel(0x110C, 8), Elf32Rel(0x1108, 8)}), 8, {"bytes 0x60 0x10", "bytes 0x70 0x10"},
         {0x1080, 0x1234}},
        {"entry size 16: one entry counted", kX86Relocations, 16,
         {"elf relocs", "bytes 0x68 0x8", "bytes 0x70 0x10"}, {0x1080}},
        {"entry size 0: no entries", kX86Relocations, 0, {"bytes 0x60 0x10", "bytes 0x70 0x10"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Image image = X86Builder(c.relocations, c.entsize).build();
        int status = 0;
        ProgramPtr program = Parse(image, &status);
        ASSERT_EQ(status, Status::OK);
        EXPECT_EQ(StepsBeforeTheText(Describe(*program, image)), c.relocationSteps);
        EXPECT_EQ(LabelRvas(program->abs32_labels()), c.abs32Labels);

        Image assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, image);
    }
}

namespace {

// 32-bit ARM shared object, one segment mapping the file at 0x1000 with 0x2000 bytes of memory:
//   0x060 .rel.dyn    the entries of each case
//   0x080 .text       0x1080: beq . (Thumb); b . (Thumb); b . (ARM); bl 0x208C (Thumb-2); beq.w 0x1190
//                     (Thumb-2); an ARM b far outside the segment; zeros
//   0x100 .data       0x1100: 8 zero bytes, then the words 0x1080 and 0x1234
//   0x110 .init_array one word
//   0x118 section header table, 5 entries, to 0x1E0
const Image kArmText = Bytes({0xFE, 0xD0,             // 0x80
                              0xFE, 0xE7,             // 0x82
                              0xFE, 0xFF, 0xFF, 0xEA, // 0x84
                              0x01, 0xF0, 0x00, 0xF8, // 0x88
                              0x00, 0xF0, 0x80, 0x80, // 0x8C
                              0xFF, 0xFF, 0x7F, 0xEA, // 0x90
                              0x00, 0x00, 0x00, 0x00});
const Image kArmData = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x10, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00});

ElfBuilder ArmBuilder(const Image &relocations, uint64_t relEntsize = 8, const Image &afterRelocations = {})
{
    ElfBuilder builder(false, kMachineArm);
    builder.segment(kLoad, 0, 0x1000, 0x1E0, 0x2000).section(kRel, 0x60, 0x1060, relocations, relEntsize);
    if (!afterRelocations.empty())
        builder.section(kStrTab, 0x70, 0, afterRelocations);
    builder.section(kProgBits, 0x80, 0x1080, kArmText)
        .section(kProgBits, 0x100, 0x1100, kArmData)
        .section(kInitArray, 0x110, 0x1110, Bytes({0x80, 0x10, 0x00, 0x00}));
    return builder;
}

constexpr uint32_t kArmRelative = 23;
const Image kInitArrayEntry = Elf32Rel(0x1110, kArmRelative); // not in a program-bits section: no reference

// image without [from, from + length): what the ARM relocation rule leaves of a table it does not rebuild.
Image Without(Image image, long from, long length)
{
    image.erase(image.begin() + from, image.begin() + from + length);
    return image;
}

} // namespace

TEST(DisassemblerElf32ARM, GivesTheHandDerivedProgram)
{
    const Image relocations =
        Concat({kInitArrayEntry, Elf32Rel(0x1108, kArmRelative), Elf32Rel(0x110C, kArmRelative)});
    const Image image = ArmBuilder(relocations).build();
    ASSERT_EQ(image.size(), 0x1E0u);
    int status = 0;
    ProgramPtr program = Parse(image, &status);
    ASSERT_EQ(status, Status::OK);
    EXPECT_EQ(program->kind(), ELF_32_ARM);
    EXPECT_EQ(Describe(*program, image), (Steps{
                                             "bytes 0x0 0x60",
                                             "bytes 0x60 0x8",
                                             "elf arm relocs",
                                             "bytes 0x78 0x0",
                                             "bytes 0x78 0x8",
                                             "origin 0x1080",
                                             "arm 0x10d0 0x1080 at 0x80 size 2",
                                             "arm 0x201c 0x1082 at 0x82 size 2",
                                             "arm 0x30ea 0x1084 at 0x84 size 4",
                                             "arm 0x44f7 0x208c at 0x88 size 4",
                                             "arm 0x5000 0x1190 at 0x8c size 4",
                                             "bytes 0x90 0x8",
                                             "bytes 0x98 0x68",
                                             "origin 0x1100",
                                             "bytes 0x100 0x8",
                                             "abs32 0x1080",
                                             "abs32 0x1234",
                                             "bytes 0x110 0xd0",
                                         }));
    EXPECT_EQ(LabelRvas(program->abs32_labels()), (std::vector<uint32_t>{0x1080, 0x1234}));
    EXPECT_EQ(LabelRvas(program->rel32_labels()), (std::vector<uint32_t>{0x1080, 0x1082, 0x1084, 0x1190, 0x208C}));

    Image assembled;
    ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
    EXPECT_EQ(assembled, image);
}

TEST(DisassemblerElf32ARM, RelocationTableRule)
{
    const struct
    {
        const char *name;
        Image relocations;
        uint64_t entsize;
        Image afterRelocations; // bytes at 0x70, read as further entries when the entry size says so
        Steps relocationSteps;  // the program's steps from the table at 0x60 up to the text's origin
        long droppedFrom;       // the bytes the rule leaves out of the program, if any
        long droppedLength;
    } cases[] = {
        {"no relative entries: copied", Concat({Elf32Rel(0x1104, 0x215), Elf32Rel(0x1108, 0x202)}), 8, {},
         {"bytes 0x60 0x10", "bytes 0x70 0x10"}, 0, 0},
        {"entries up to the first reference one by one, then rebuilt",
         Concat({kInitArrayEntry, Elf32Rel(0x1108, kArmRelative), Elf32Rel(0x110C, kArmRelative)}), 8, {},
         {"bytes 0x60 0x8", "elf arm relocs", "bytes 0x78 0x0", "bytes 0x78 0x8"}, 0, 0},
        {"a mismatch drops the matched entries and itself",
         Concat({kInitArrayEntry, Elf32Rel(0x1108, kArmRelative), Elf32Rel(0x1104, 0x215),
                 Elf32Rel(0x110C, kArmRelative)}),
         8, {}, {"bytes 0x60 0x8", "bytes 0x78 0x8"}, 0x68, 0x10},
        {"the section ends before every reference matched",
         Concat({kInitArrayEntry, Elf32Rel(0x1108, kArmRelative)}), 4, Elf32Rel(0x110C, kArmRelative),
         {"bytes 0x60 0x8", "bytes 0x70 0x0", "bytes 0x70 0x10"}, 0x68, 0x8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Image image = ArmBuilder(c.relocations, c.entsize, c.afterRelocations).build();
        int status = 0;
        ProgramPtr program = Parse(image, &status);
        ASSERT_EQ(status, Status::OK);
        EXPECT_EQ(StepsBeforeTheText(Describe(*program, image)), c.relocationSteps);

        Image assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, Without(image, c.droppedFrom, c.droppedLength));
    }
}

namespace {

// x86-64 shared object, one segment mapping the file at 0x1000:
//   0x080 a relocation section with one Elf64_Rel entry of type 8 (never an absolute reference here)
//   0x100 .text 0x1100: call [rip+0xFA]; lea rax,[rip+0xF5]; jnp rel32 (never a branch);
//         jmp [rip+0xE7]; mov rcx,[rip+0]
//   0x120 section header table, 3 entries, to 0x1E0
const Image kX64Text = Bytes({0xFF, 0x15, 0xFA, 0x00, 0x00, 0x00,       // 0x100, displacement at 0x102
                              0x48, 0x8D, 0x05, 0xF5, 0x00, 0x00, 0x00, // 0x106, displacement at 0x109
                              0x0F, 0x8B, 0x00, 0x00, 0x00, 0x00,       // 0x10D
                              0xFF, 0x25, 0xE7, 0x00, 0x00, 0x00,       // 0x113, displacement at 0x115
                              0x49, 0x8B, 0x0D, 0x00, 0x00, 0x00, 0x00}); // 0x119, displacement at 0x11C

Image X64Image()
{
    Image relocation(16, 0);
    Put64(&relocation, 0, 0x1100);
    Put64(&relocation, 8, 8);
    ElfBuilder builder(true, kMachineX64);
    builder.segment(kLoad, 0, 0x1000, 0x1E0, 0x2000)
        .section(kRel, 0x80, 0x1080, relocation, 16)
        .section(kProgBits, 0x100, 0x1100, kX64Text);
    return builder.build();
}

} // namespace

TEST(DisassemblerElf64X64, GivesTheHandDerivedProgram)
{
    const Image image = X64Image();
    ASSERT_EQ(image.size(), 0x1E0u);
    int status = 0;
    ProgramPtr program = Parse(image, &status);
    ASSERT_EQ(status, Status::OK);
    EXPECT_EQ(program->kind(), ELF_64_X64);
    EXPECT_EQ(Describe(*program, image), (Steps{
                                             "bytes 0x0 0x80",
                                             "bytes 0x80 0x10",
                                             "bytes 0x90 0x70",
                                             "origin 0x1100",
                                             "bytes 0x100 0x2",
                                             "rel32 0x1200",
                                             "bytes 0x106 0x3",
                                             "rel32 0x1202",
                                             "bytes 0x10d 0x8",
                                             "rel32 0x1200",
                                             "bytes 0x119 0x3",
                                             "rel32 0x1120",
                                             "bytes 0x120 0xc0",
                                         }));
    EXPECT_TRUE(program->abs32_labels().empty());
    EXPECT_EQ(LabelRvas(program->rel32_labels()), (std::vector<uint32_t>{0x1120, 0x1200, 0x1202}));
    EXPECT_EQ(program->rel32_labels().at(0x1200)->count, 2);

    Image assembled;
    ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
    EXPECT_EQ(assembled, image);
}

namespace {

template <typename T>
std::string HeaderVerdict(const Image &image)
{
    T disassembler(image.data(), static_cast<uint32_t>(image.size()));
    return disassembler.ParseHeader() ? "accepted" : disassembler.failure_reason();
}

} // namespace

TEST(DisassemblerElf, HeaderChecks)
{
    const Image x86 = X86Builder(kX86Relocations).build(); // section header table 0x118..0x208
    const Image x64 = X64Image();                          // section header table 0x120..0x1E0
    const struct
    {
        const char *name;
        bool is64;
        std::function<void(Image *)> change;
        const char *verdict;
    } cases[] = {
        {"as built", false, [](Image *) {}, "accepted"},
        {"51 bytes", false, [](Image *i) { i->resize(51); }, "Too small"},
        {"63 bytes of ELF64", true, [](Image *i) { i->resize(63); }, "Too small"},
        {"magic", false, [](Image *i) { (*i)[3] = 'f'; }, "No Magic Number"},
        {"executable", false, [](Image *i) { Put16(i, 16, 2); }, "accepted"},
        {"relocatable object", false, [](Image *i) { Put16(i, 16, 1); }, "Not an executable file or shared library"},
        {"core file", false, [](Image *i) { Put16(i, 16, 4); }, "Not an executable file or shared library"},
        {"ARM machine", false, [](Image *i) { Put16(i, 18, kMachineArm); }, "Not a supported architecture"},
        {"version 2", false, [](Image *i) { Put32(i, 20, 2); }, "Unknown file version"},
        {"section header size 64", false, [](Image *i) { Put16(i, 46, 64); }, "Unexpected section header size"},
        {"section table at the end", false, [](Image *i) { Put32(i, 32, 0x208); },
         "Out of bounds section header table offset"},
        {"last section header 4 bytes short", false, [](Image *i) { i->resize(0x204); },
         "Out of bounds section header table"},
        {"one section header more", false, [](Image *i) { Put16(i, 48, 7); }, "Out of bounds section header table"},
        {"program headers past the end", false, [](Image *i) { Put32(i, 28, 0x208); },
         "Out of bounds program header table offset"},
        {"too many program headers", false, [](Image *i) { Put16(i, 44, 0x100); },
         "Out of bounds program header table"},
        {"ELF64 as built", true, [](Image *) {}, "accepted"},
        {"ELF64 section table offset's high half", true, [](Image *i) { Put32(i, 44, 1); },
         "Out of bounds section header table offset"},
        {"ELF64 program table offset's high half", true, [](Image *i) { Put32(i, 36, 1); },
         "Out of bounds program header table offset"},
        {"ELF64 section header size 40", true, [](Image *i) { Put16(i, 58, 40); }, "Unexpected section header size"},
        {"ELF64 one section header more", true, [](Image *i) { Put16(i, 60, 4); },
         "Out of bounds section header table"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Image image = c.is64 ? x64 : x86;
        c.change(&image);
        EXPECT_EQ(c.is64 ? HeaderVerdict<DisassemblerElf64X64>(image) : HeaderVerdict<DisassemblerElf32X86>(image),
                  c.verdict);
    }
    // The other machines refuse each other's files.
    EXPECT_EQ(HeaderVerdict<DisassemblerElf32ARM>(x86), "Not a supported architecture");
    EXPECT_EQ(HeaderVerdict<DisassemblerElf64X64>(x86), "Not a supported architecture");
    EXPECT_EQ(HeaderVerdict<DisassemblerElf32X86>(x64), "Not a supported architecture");
}

TEST(DisassemblerElf, DetectedLengthEndsAtTheLastSectionTableOrSegment)
{
    const Image x86 = X86Builder(kX86Relocations).build();
    const struct
    {
        const char *name;
        std::function<void(Image *)> change;
        size_t length;
    } cases[] = {
        {"trailing bytes are not part of it", [](Image *i) { i->resize(0x300, 0xAA); }, 0x208},
        {"a segment reaching further", [](Image *i) { i->resize(0x300); Put32(i, 0x34 + 16, 0x280); }, 0x280},
        // .bss has no bits in the file, so its size does not count.
        {"a large section without bits", [](Image *i) { i->resize(0x300); Put32(i, 0x118 + 4 * 40 + 20, 0x1000); },
         0x208},
        // Sums are 32 bits in ELF32: 0x100 + 0xFFFFFFF0 wraps to 0xF0.
        {"a section end wrapping 32 bits", [](Image *i) { Put32(i, 0x118 + 3 * 40 + 20, 0xFFFFFFF0); }, 0x208},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Image image = x86;
        c.change(&image);
        EXPECT_EQ(DetectedLength(image), c.length);
    }
}

TEST(DisassemblerElf, RefusesReferencesOutsideTheImageAfterTheHeader)
{
    // Section headers of the x86 image: 1 .rel.dyn, 2 .text, 3 .data, 4 .bss, 5 string table.
    auto field = [](int section, int offset) { return 0x118 + section * 40 + offset; };
    const struct
    {
        const char *name;
        std::function<void(Image *)> change;
        int status;
    } cases[] = {
        {"text running past the end", [&](Image *i) { Put32(i, field(2, 20), 0x200); }, Status::DISASSEMBLY_FAILED},
        {"text size wrapping", [&](Image *i) { Put32(i, field(2, 20), 0xFFFFFFF0); }, Status::DISASSEMBLY_FAILED},
        {"relocations beyond the end", [&](Image *i) { Put32(i, field(1, 16), 0x300); }, Status::DISASSEMBLY_FAILED},
        {"relocation entries running past the end", [&](Image *i) { Put32(i, field(1, 20), 0x1B0); },
         Status::DISASSEMBLY_FAILED},
        {"a section without bits far beyond the end", [&](Image *i) { Put32(i, field(4, 16), 0x7FFFFFFF); },
         Status::DISASSEMBLY_FAILED},
        {"a reference into the relocation table", [&](Image *i) { Put32(i, 0x60, 0x1064); },
         Status::DISASSEMBLY_FAILED},
        {"a string table beyond the end is never read", [&](Image *i) { Put32(i, field(5, 16), 0x208); }, Status::OK},
        {"no segments: no references", [](Image *i) { Put16(i, 44, 0); }, Status::OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Image image = X86Builder(kX86Relocations).build();
        c.change(&image);
        int status = 0;
        ProgramPtr program = Parse(image, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(program != nullptr, c.status == Status::OK);
    }
}

TEST(DisassemblerElf, ReportsReferencesIntoSectionsItDoesNotWalk)
{
    const struct
    {
        const char *name;
        uint32_t type; // of an extra section header over .data's words, before .data in the table
        const char *line;
        size_t abs32Pushes;
    } cases[] = {
        {"no bits", kNoBits, "Skipping relocation entry for unsupported section: 8", 0},
        {"init array", kInitArray, "Skipping relocation entry for unsupported section: 14", 0},
        {"string table", kStrTab, "Relocation address in unrecognized ELF section: 3", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ElfBuilder builder(false, kMachineX86);
        builder.segment(kLoad, 0, 0x1000, 0x1E0, 0x2000)
            .section(kRel, 0x60, 0x1060, kX86Relocations, 8)
            .sectionHeader(c.type, 0x108, 0x1108, 8)
            .section(kProgBits, 0x100, 0x1100, kX86Data);
        const Image image = builder.build();
        LogRecorder log;
        int status = 0;
        ProgramPtr program = Parse(image, &status);
        ASSERT_EQ(status, Status::OK);
        EXPECT_NE(std::find(log.messages.begin(), log.messages.end(), c.line), log.messages.end()) << log.joined("; ");
        const Steps steps = Describe(*program, image);
        EXPECT_EQ(size_t(std::count_if(steps.begin(), steps.end(),
                                       [](const std::string &s) { return s.rfind("abs32", 0) == 0; })),
                  c.abs32Pushes);
    }
}

// A program-bits or relocation section whose file range shares bytes with one walked before it (in table order)
// is passed over by the scans and the walk, so repeating a section costs nothing: the program is the one of the
// file without the repeats, apart from the longer header table at the end.
TEST(DisassemblerElf, SectionsOverBytesAlreadyWalkedArePassedOver)
{
    const Image once = X86Builder(kX86Relocations).build();
    int status = 0;
    ProgramPtr single = Parse(once, &status);
    ASSERT_EQ(status, Status::OK);
    Steps expected = Describe(*single, once);

    const struct
    {
        const char *name;
        std::function<void(ElfBuilder &)> repeat;
    } cases[] = {
        {"the relocation section three times",
         [](ElfBuilder &b) {
             for (int i = 0; i < 3; ++i)
                 b.sectionHeader(kRel, 0x60, 0x1060, 0x10, 8);
         }},
        {"the text three times",
         [](ElfBuilder &b) {
             for (int i = 0; i < 3; ++i)
                 b.sectionHeader(kProgBits, 0x80, 0x1080, kX86Text.size());
         }},
        {"the data's last byte as a relocation section",
         [](ElfBuilder &b) { b.sectionHeader(kRel, 0x10F, 0x110F, 1, 8); }},
        {"a program-bits section over the end of the text and the start of the data",
         [](ElfBuilder &b) { b.sectionHeader(kProgBits, 0x98, 0x1098, 0x70); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ElfBuilder builder = X86Builder(kX86Relocations);
        c.repeat(builder);
        Image image = builder.build();
        ProgramPtr program = Parse(image, &status);
        ASSERT_EQ(status, Status::OK);
        Steps steps = Describe(*program, image);
        // Only the last run, up to the end of the longer table, differs.
        ASSERT_EQ(steps.size(), expected.size());
        EXPECT_EQ(Steps(steps.begin(), steps.end() - 1), Steps(expected.begin(), expected.end() - 1));
        EXPECT_EQ(steps.back(), "bytes 0x110 " + Hex(image.size() - 0x110));
        EXPECT_EQ(LabelRvas(program->abs32_labels()), LabelRvas(single->abs32_labels()));
        EXPECT_EQ(LabelRvas(program->rel32_labels()), LabelRvas(single->rel32_labels()));
        Image assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, image);
    }
}

namespace {

// The encoded program's ops in order, copies with their counts and origins with their addresses.
Steps EncodedOps(const AssemblyProgram &program)
{
    std::unique_ptr<EncodedProgram> encoded(program.Encode());
    Steps steps;
    if (!encoded)
        return steps;
    uint32_t copy = 0;
    uint32_t origin = 0;
    for (uint32_t i = 0; i < encoded->ops().size(); ++i) {
        switch (encoded->ops()[i]) {
        case ENC_ORIGIN:
            steps.push_back("origin " + Hex(encoded->origins()[origin++]));
            break;
        case ENC_COPY:
            steps.push_back("copy " + std::to_string(encoded->copy_counts()[copy++]));
            break;
        case ENC_COPY1:
            steps.push_back("copy1");
            break;
        case ENC_REL32:
            steps.push_back("rel32");
            break;
        case ENC_ABS32:
            steps.push_back("abs32");
            break;
        case ENC_ELF_RELOCS:
            steps.push_back("elf relocs");
            break;
        case ENC_ELF_ARM_RELOCS:
            steps.push_back("elf arm relocs");
            break;
        default:
            steps.push_back("op " + Hex(encoded->ops()[i]));
        }
    }
    return steps;
}

// A lone byte in a section at 0x7E, then an empty relocation section and a text section both at 0x7F: the
// relocation rule pushes the whole (empty) section, which turns the lone byte into a counted copy.
Image EmptyRelocationSectionAfterALoneByte(bool is64, uint16_t machine)
{
    ElfBuilder builder(is64, machine);
    builder.segment(kLoad, 0, 0x1000, 0x80, 0x2000)
        .section(kProgBits, 0x7E, 0x107E, Bytes({0x90}))
        .section(kRel, 0x7F, 0x107F, {}, is64 ? 16 : 8)
        .section(kProgBits, 0x7F, 0x107F, Image(16, 0x90));
    return builder.build();
}

} // namespace

// Where a rule says the rest of a section or of the file follows as bytes, the run is pushed even when it is
// empty; where it says "any bytes" or "when there are any", only bytes that are there. An empty run encodes as
// a copy of count 0 after a reference, relocation or origin op, and makes a lone byte before it a counted copy.
// Each image puts such a run before an op that is no copy, so the encoding shows it.
TEST(DisassemblerElf, EmptyRunsArePushedWhereTheRulesSayBytesFollow)
{
    // x86: the table rebuilt, then its empty rest, with the text right after it.
    ElfBuilder x86Table(false, kMachineX86);
    x86Table.segment(kLoad, 0, 0x1000, 0x1B0, 0x2000)
        .section(kRel, 0x70, 0x1070, kX86Relocations, 8)
        .section(kProgBits, 0x80, 0x1080, kX86Text)
        .section(kProgBits, 0x100, 0x1100, kX86Data);
    // ARM: the entry before the first reference, the table rebuilt, its empty rest, the text right after.
    ElfBuilder armTable(false, kMachineArm);
    armTable.segment(kLoad, 0, 0x1000, 0x1E0, 0x2000)
        .section(kRel, 0x68, 0x1068,
                 Concat({kInitArrayEntry, Elf32Rel(0x1108, kArmRelative), Elf32Rel(0x110C, kArmRelative)}), 8)
        .section(kProgBits, 0x80, 0x1080, kArmText)
        .section(kProgBits, 0x100, 0x1100, kArmData);
    // x86: a program-bits section over the section header table, which ends in an absolute reference to the
    // table's last word (the last header's entry size, 0): the walk ends at the file's end, and the rest of
    // the file follows as an empty run.
    ElfBuilder x86End(false, kMachineX86);
    x86End.segment(kLoad, 0, 0x1000, 0xE0, 0x2000)
        .section(kRel, 0x60, 0x1060, Elf32Rel(0x10DC, 8), 8)
        .sectionHeader(kProgBits, 0x68, 0x1068, 0x78);
    ASSERT_EQ(x86End.sectionTableOffset(), 0x68u);

    const struct
    {
        const char *name;
        Image image;
        Steps ops; // up to the first origin, or all
        bool all;
    } cases[] = {
        {"x86: the rest of a rebuilt table", x86Table.build(),
         {"copy 112", "elf relocs", "copy 0", "origin 0x1080"}, false},
        {"ARM: the rest of a rebuilt table", armTable.build(),
         {"copy 112", "elf arm relocs", "copy 0", "origin 0x1080"}, false},
        {"x86: an empty table copied whole", EmptyRelocationSectionAfterALoneByte(false, kMachineX86),
         {"copy 126", "origin 0x107e", "copy 1", "origin 0x107f", "copy 177"}, true},
        {"ARM: an empty table copied whole", EmptyRelocationSectionAfterALoneByte(false, kMachineArm),
         {"copy 126", "origin 0x107e", "copy 1", "origin 0x107f", "copy 177"}, true},
        {"x86-64: an empty relocation section", EmptyRelocationSectionAfterALoneByte(true, kMachineX64),
         {"copy 126", "origin 0x107e", "copy 1", "origin 0x107f", "copy 273"}, true},
        {"x86: the rest of the file", x86End.build(),
         {"copy 96", "elf relocs", "copy 0", "origin 0x1068", "copy 116", "abs32", "copy 0"}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int status = 0;
        ProgramPtr program = Parse(c.image, &status);
        ASSERT_EQ(status, Status::OK);
        Steps ops = EncodedOps(*program);
        if (!c.all) {
            const auto origin = std::find_if(ops.begin(), ops.end(),
                                             [](const std::string &op) { return op.rfind("origin", 0) == 0; });
            ops.erase(origin == ops.end() ? origin : origin + 1, ops.end());
        }
        EXPECT_EQ(ops, c.ops);
        Image assembled;
        ASSERT_EQ(RoundTripProgram(c.image, &assembled), Status::OK);
        EXPECT_EQ(assembled, c.image);
    }
}

namespace {

// The rel32 labels of a one-section image: the code at file offset 0x80, address 0x1080, in one loadable segment.
std::vector<uint32_t> BranchLabels(bool is64, uint16_t machine, const Image &code)
{
    ElfBuilder builder(is64, machine);
    builder.segment(kLoad, 0, 0x1000, 0x100, 0x2000).section(kProgBits, 0x80, 0x1080, code);
    const Image image = builder.build();
    int status = 0;
    ProgramPtr program = Parse(image, &status);
    EXPECT_EQ(status, Status::OK);
    return program ? LabelRvas(program->rel32_labels()) : std::vector<uint32_t>{};
}

} // namespace

// 0F 80 to 0F 8F are the conditional jumps; the rule takes all but 0F 8A and 0F 8B. Each jump has displacement 0,
// so its target is the byte after it, 0x1086.
TEST(DisassemblerElf, ConditionalJumpsExceptTwoAreBranches)
{
    for (const bool is64 : {false, true}) {
        for (uint8_t opcode = 0x80; opcode <= 0x8F; ++opcode) {
            SCOPED_TRACE(testing::Message() << (is64 ? "x86-64 " : "x86 ") << "0F " << std::hex << int(opcode));
            const Image code = Bytes({0x0F, opcode, 0, 0, 0, 0, 0x90, 0x90, 0x90, 0x90});
            const bool taken = opcode != 0x8A && opcode != 0x8B;
            EXPECT_EQ(BranchLabels(is64, is64 ? kMachineX64 : kMachineX86, code),
                      taken ? std::vector<uint32_t>{0x1086} : std::vector<uint32_t>{});
        }
    }
}

// The ARM scan's alignment flag: an ARM branch is taken only where the flag is set. It starts set, flips at every
// 2-byte step without a branch and is set again after each branch taken; a 4-byte branch needs a fifth byte after
// its start. "b ." is FE FF FF EA (target: itself), the Thumb "b ." FE E7; 00 00 is no branch.
TEST(DisassemblerElf32ARM, ArmBranchesAreTakenOnlyWhereTheAlignmentFlagIsSet)
{
    const Image armB = Bytes({0xFE, 0xFF, 0xFF, 0xEA});
    const Image thumbB = Bytes({0xFE, 0xE7});
    const Image none = Bytes({0x00, 0x00});
    const struct
    {
        const char *name;
        Image code;
        std::vector<uint32_t> labels;
    } cases[] = {
        {"at the start", Concat({armB, none, none}), {0x1080}},
        {"after one step", Concat({none, armB, none}), {}},
        {"after two steps", Concat({none, none, armB, none}), {0x1084}},
        {"in the last four bytes: too near the end", Concat({armB}), {}},
        {"after three steps", Concat({none, none, none, armB, none}), {}},
        {"after a Thumb branch at an odd step", Concat({none, thumbB, armB, none}), {0x1082, 0x1084}},
        {"after a Thumb branch at the start", Concat({thumbB, armB, none}), {0x1080, 0x1082}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BranchLabels(false, kMachineArm, c.code), c.labels);
    }
}

// The walk sets its cursor to each section's offset, also below where it has been: a section of another type
// that lies before the text in the file but after it in the table makes the bytes from its offset on travel
// again in the next gap.
TEST(DisassemblerElf, TheCursorFollowsEachSectionsOffsetBackwards)
{
    ElfBuilder builder(false, kMachineX86);
    builder.segment(kLoad, 0, 0x1000, 0x100, 0x2000)
        .section(kProgBits, 0x80, 0x1080, Image(16, 0x90))
        .sectionHeader(kStrTab, 0x40, 0, 0x10)
        .section(kProgBits, 0xA0, 0x10A0, Image(16, 0x90));
    const Image image = builder.build();
    int status = 0;
    ProgramPtr program = Parse(image, &status);
    ASSERT_EQ(status, Status::OK);
    EXPECT_EQ(Describe(*program, image), (Steps{
                                             "bytes 0x0 0x80",
                                             "origin 0x1080",
                                             "bytes 0x80 0x10",
                                             "bytes 0x40 0x60",
                                             "origin 0x10a0",
                                             "bytes 0xa0 0x10",
                                             "bytes 0xb0 " + Hex(image.size() - 0xB0),
                                         }));
}

// Every section header the walk does not parse sets its cursor, also backwards, so headers that lie alternately
// at the start and the end of the code make it push the code again and again. A few such headers are followed;
// literal bytes beyond 8 per byte of the file plus 1 MiB fail the disassembly, so a small file cannot make its
// program gigabytes long.
TEST(DisassemblerElf, LiteralBytesPushedAgainAndAgainAreBounded)
{
    auto image = [](int headers) {
        ElfBuilder builder(false, kMachineX86);
        builder.segment(kLoad, 0, 0x1000, 0x1100, 0x2000).section(kProgBits, 0x100, 0x1100, Image(0x1000, 0x90));
        for (int i = 0; i < headers; ++i)
            builder.sectionHeader(kStrTab, i % 2 ? 0x1100 : 0x100, 0, 0);
        return builder.build();
    };
    const Image few = image(4);
    int status = 0;
    ProgramPtr program = Parse(few, &status);
    ASSERT_EQ(status, Status::OK);
    EXPECT_EQ(Describe(*program, few), (Steps{"bytes 0x0 0x100", "origin 0x1100", "bytes 0x100 0x1000",
                                              "bytes 0x100 0x1000", "bytes 0x100 0x1000",
                                              "bytes 0x1100 " + Hex(few.size() - 0x1100)}));

    // 1000 headers: 500 pushes of 4 KiB, 2 MB, against 8 x 44 KB + 1 MiB.
    const Image many = image(1000);
    EXPECT_LT(many.size(), 0xC000u);
    program = Parse(many, &status);
    EXPECT_EQ(status, Status::DISASSEMBLY_FAILED);
    EXPECT_EQ(program, nullptr);
}
