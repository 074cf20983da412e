// The ELF disassemblers on small images built by ElfBuilder, whose programs and labels are derived by hand.
#include "support/elfbuilder.h"
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "executabletype.h"
#include "instruction.h"
#include "logrecorder.h"
#include "status.h"

#include <gtest/gtest.h>

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
    Steps steps;
    const InstructionVector &instructions = program.instructions();
    for (uint32_t i = 0; i < instructions.size(); ++i) {
        const Instruction *instruction = instructions[i];
        switch (instruction->op()) {
        case OP_ORIGIN:
            steps.push_back("origin " + Hex(static_cast<const OriginInstruction *>(instruction)->rva()));
            break;
        case OP_BYTES: {
            const auto *bytes = static_cast<const BytesInstruction *>(instruction);
            steps.push_back("bytes " + Hex(bytes->values() - image.data()) + " " + Hex(bytes->length()));
            break;
        }
        case OP_REL32:
            steps.push_back("rel32 " + Hex(static_cast<const LabelInstruction *>(instruction)->label()->rva));
            break;
        case OP_ABS32:
            steps.push_back("abs32 " + Hex(static_cast<const LabelInstruction *>(instruction)->label()->rva));
            break;
        case OP_REL32_ARM: {
            const auto *arm = static_cast<const Rel32ArmInstruction *>(instruction);
            steps.push_back("arm " + Hex(arm->compressedOp()) + " " + Hex(arm->label()->rva) + " at " +
                            Hex(arm->armOp() - image.data()) + " size " + std::to_string(arm->opSize()));
            break;
        }
        case OP_ELF_RELOCS:
            steps.push_back("elf relocs");
            break;
        case OP_ELF_ARM_RELOCS:
            steps.push_back("elf arm relocs");
            break;
        default:
            steps.push_back("op " + std::to_string(instruction->op()));
        }
    }
    return steps;
}

std::vector<uint32_t> LabelRvas(const RvaToLabel &labels)
{
    std::vector<uint32_t> rvas;
    for (const auto &entry : labels)
        rvas.push_back(entry.first);
    return rvas;
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
        Steps relocationSteps; // the program's steps for the table at 0x60
        std::vector<uint32_t> abs32Labels;
    } cases[] = {
        {"exact", kX86Relocations, 8, {"elf relocs"}, {0x1080, 0x1234}},
        {"followed by another entry", Concat({kX86Relocations, Elf32Rel(0x1104, 0x107)}), 8,
         {"elf relocs", "bytes 0x70 0x8"}, {0x1080, 0x1234}},
        {"a relative entry into no section first", Concat({Elf32Rel(0x1800, 8), kX86Relocations}), 8,
         {"bytes 0x60 0x18"}, {0x1080, 0x1234}},
        {"swapped", Concat({Elf32Rel(0x110C, 8), Elf32Rel(0x1108, 8)}), 8, {"bytes 0x60 0x10"}, {0x1080, 0x1234}},
        {"entry size 16: one entry counted", kX86Relocations, 16, {"elf relocs", "bytes 0x68 0x8"}, {0x1080}},
        {"entry size 0: no entries", kX86Relocations, 0, {"bytes 0x60 0x10"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Image image = X86Builder(c.relocations, c.entsize).build();
        int status = 0;
        ProgramPtr program = Parse(image, &status);
        ASSERT_EQ(status, Status::OK);
        const Steps steps = Describe(*program, image);
        ASSERT_GT(steps.size(), c.relocationSteps.size());
        EXPECT_EQ(Steps(steps.begin() + 1, steps.begin() + 1 + static_cast<long>(c.relocationSteps.size())),
                  c.relocationSteps);
        EXPECT_EQ(LabelRvas(program->abs32_labels()), c.abs32Labels);

        Image assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, image);
    }
}
