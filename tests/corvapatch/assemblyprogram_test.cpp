#include "assemblyprogram.h"
#include "encodedprogram.h"
#include "logrecorder.h"
#include "status.h"

#include <gtest/gtest.h>

#include <string>

using namespace corvapatch;

namespace {

const char kUnreachable[] = "REACHED UNREACHABLE";

} // namespace

TEST(AssemblyProgram, SharesOneInstructionPerByteValue)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.PushByte(0x41));
    ASSERT_TRUE(program.PushByte(0x42));
    ASSERT_TRUE(program.PushByte(0x41));
    const InstructionVector &instructions = program.instructions();
    ASSERT_EQ(instructions.size(), 3u);
    EXPECT_EQ(instructions[0], instructions[2]);
    EXPECT_NE(instructions[0], instructions[1]);
    EXPECT_EQ(instructions[0]->op(), OP_BYTE);
    EXPECT_EQ(instructions[0]->info(), 0x41u);
    // The destructor releases the shared instruction once (AddressSanitizer checks it).
}

TEST(AssemblyProgram, LabelsAreSharedPerAddressAndCounted)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    Label *first = program.GetRel32Label(0x1000);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(program.GetRel32Label(0x1000), first);
    Label *absolute = program.GetAbs32Label(0x1000);
    EXPECT_NE(absolute, first);
    EXPECT_EQ(first->count, 2);
    EXPECT_EQ(absolute->count, 1);
    EXPECT_EQ(first->index, Label::kNoIndex);
    EXPECT_EQ(first->rva, 0x1000u);
}

TEST(AssemblyProgram, NumbersEachMapInAddressOrder)
{
    LogRecorder log;
    AssemblyProgram program(EXE_ELF_32_X86);
    Label *high = program.GetRel32Label(0x3000);
    Label *low = program.GetRel32Label(0x1000);
    Label *middle = program.GetRel32Label(0x2000);
    Label *absolute = program.GetAbs32Label(0x5000);
    program.NumberLabels();
    EXPECT_EQ(high->index, 2);
    EXPECT_EQ(low->index, 0);
    EXPECT_EQ(middle->index, 1);
    EXPECT_EQ(absolute->index, 0);
    EXPECT_TRUE(log.messages.empty());

    // Numbering again reports every label that already had an index, and renumbers it all the same.
    program.NumberLabels();
    EXPECT_EQ(log.messages.size(), 4u);
    EXPECT_EQ(log.joined("|"), "REACHED UNREACHABLE|REACHED UNREACHABLE|REACHED UNREACHABLE|REACHED UNREACHABLE");
    EXPECT_EQ(high->index, 2);

    program.ClearLabelIndexes();
    EXPECT_EQ(middle->index, Label::kNoIndex);
    EXPECT_EQ(absolute->index, Label::kNoIndex);
}

TEST(AssemblyProgram, FillLabelIndexesKeepsPresetIndexesAndFillsAroundThem)
{
    struct Case
    {
        const char *name;
        std::vector<uint32_t> rvas;
        std::vector<int32_t> preset; // per address, -1 for none
        std::vector<int32_t> expected;
        std::string rel32Lines;
    };
    const Case cases[] = {
        {"forward, then infill", {0x10, 0x20, 0x30, 0x40}, {2, -1, -1, -1}, {2, 3, 1, 0},
         "1 of 4 labels pre-assigned|  fill forward 2  backward 0  infill 1"},
        {"backward", {0x10, 0x20, 0x30}, {2, -1, 1}, {2, 0, 1},
         "2 of 3 labels pre-assigned|  fill forward 0  backward 1  infill 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogRecorder log;
        AssemblyProgram program(EXE_ELF_32_X86);
        std::vector<Label *> labels;
        for (size_t i = 0; i < c.rvas.size(); ++i) {
            labels.push_back(program.GetRel32Label(c.rvas[i]));
            labels.back()->index = c.preset[i];
        }
        program.FillLabelIndexes();
        for (size_t i = 0; i < labels.size(); ++i)
            EXPECT_EQ(labels[i]->index, c.expected[i]) << "label " << i;
        EXPECT_EQ(log.joined("|"),
                  "0 of 0 labels pre-assigned|  fill forward 0  backward 0  infill 0|" + c.rel32Lines);
    }
}

TEST(AssemblyProgram, RefusesLabelInstructionsWithoutALabel)
{
    LogRecorder log;
    AssemblyProgram program(ELF_32_ARM);
    const uint8_t op[2] = {0x00, 0xE0};
    EXPECT_FALSE(program.PushRel32(nullptr));
    EXPECT_FALSE(program.PushAbs32(nullptr));
    EXPECT_EQ(log.messages.size(), 2u);
    EXPECT_FALSE(program.PushRel32Arm(0x2000, nullptr, op, 2));
    EXPECT_EQ(log.messages.size(), 4u);
    EXPECT_EQ(log.messages.back(), kUnreachable);
    EXPECT_EQ(log.levels.back(), 1);
    EXPECT_EQ(program.instructions().size(), 0u);
}

TEST(AssemblyProgram, TrimsRarelyUsedArmBranchTargetsOnly)
{
    // Three branches in an ARM program; their targets are referenced 6, 5 and 6 times.
    const uint8_t image[12] = {0x01, 0xE0, 0x02, 0xE0, 0x03, 0x00, 0x00, 0xEB, 0x04, 0xE0, 0x05, 0xE0};
    struct Case
    {
        const char *name;
        int kind;
        std::vector<uint32_t> keptRvas;
        std::vector<uint32_t> rel32Rvas; // of the encoded program
        std::vector<uint32_t> ops;
        std::string log;
    };
    const Case cases[] = {
        {"ARM: the count-5 label goes, its table slot is filled from the one before", ELF_32_ARM, {0x100, 0x300},
         {0x100, 0x100, 0x300}, {0x2001, ENC_COPY, 0x2002}, "TrimLabels: threshold 5"},
        {"x86: nothing is trimmed", EXE_ELF_32_X86, {0x100, 0x200, 0x300}, {0x100, 0x200, 0x300},
         {0x2001, 0x30EB, 0x2002}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AssemblyProgram program(c.kind);
        const uint32_t rvas[3] = {0x100, 0x200, 0x300};
        const int uses[3] = {6, 5, 6};
        Label *labels[3] = {};
        for (int i = 0; i < 3; ++i) {
            for (int n = 0; n < uses[i]; ++n)
                labels[i] = program.GetRel32Label(rvas[i]);
        }
        ASSERT_TRUE(program.PushRel32Arm(0x2001, labels[0], image, 2));
        ASSERT_TRUE(program.PushRel32Arm(0x30EB, labels[1], image + 4, 4));
        ASSERT_TRUE(program.PushRel32Arm(0x2002, labels[2], image + 8, 2));
        program.NumberLabels();

        LogRecorder log;
        ASSERT_EQ(TrimAssemblyProgram(&program), Status::OK);
        EXPECT_EQ(log.joined("|"), c.log);
        std::vector<uint32_t> kept;
        for (const auto &entry : program.rel32_labels())
            kept.push_back(entry.first);
        EXPECT_EQ(kept, c.keptRvas);

        const Instruction *middle = program.instructions()[1];
        if (c.kind == ELF_32_ARM) {
            ASSERT_EQ(middle->op(), OP_BYTES);
            EXPECT_EQ(static_cast<const BytesInstruction *>(middle)->values(), image + 4);
            EXPECT_EQ(static_cast<const BytesInstruction *>(middle)->length(), 4u);
        } else {
            EXPECT_EQ(middle->op(), OP_REL32_ARM);
        }

        EncodedProgram *encoded = nullptr;
        ASSERT_EQ(EncodeAssemblyProgram(&program, &encoded), Status::OK);
        std::vector<uint32_t> table(encoded->rel32_rvas().data(),
                                    encoded->rel32_rvas().data() + encoded->rel32_rvas().size());
        EXPECT_EQ(table, c.rel32Rvas);
        EXPECT_EQ(std::vector<uint32_t>(encoded->ops().data(), encoded->ops().data() + encoded->ops().size()), c.ops);
        DeleteEncodedProgram(encoded);
    }
}

TEST(AssemblyProgram, TrimFailsOnAnArmBranchOfNoBytes)
{
    AssemblyProgram program(ELF_32_ARM);
    const uint8_t op[2] = {0x00, 0xE0};
    ASSERT_TRUE(program.PushRel32Arm(0x2000, program.GetRel32Label(0x10), op, 0));
    program.NumberLabels();
    EXPECT_EQ(TrimAssemblyProgram(&program), Status::TRIM_FAILED);
}

TEST(AssemblyProgram, EncodesEveryInstructionKind)
{
    const uint8_t image[4] = {'x', 'y', 'z', 0x90};
    AssemblyProgram program(WIN_32_X64);
    program.set_image_base(0x140000000ull);
    ASSERT_TRUE(program.PushOrigin(0x1000));
    ASSERT_TRUE(program.PushByte('a'));
    ASSERT_TRUE(program.PushByte('b'));
    ASSERT_TRUE(program.PushBytes(image, 3));
    ASSERT_TRUE(program.PushRel32(program.GetRel32Label(0x1008)));
    ASSERT_TRUE(program.PushAbs32(program.GetAbs32Label(0x1004)));
    ASSERT_TRUE(program.PushInstruction(new Instruction(9)));
    ASSERT_TRUE(program.PushRel32Arm(0x30EB, program.GetRel32Label(0x1008), image, 4));
    ASSERT_TRUE(program.PushPeRelocs());
    ASSERT_TRUE(program.PushElfRelocs());
    ASSERT_TRUE(program.PushElfArmRelocs());
    program.NumberLabels();

    LogRecorder log;
    EncodedProgram *encoded = nullptr;
    ASSERT_EQ(EncodeAssemblyProgram(&program, &encoded), Status::OK);
    EXPECT_EQ(log.joined("|"), "REACHED UNREACHABLEUnknown Insn OP kind");
    EXPECT_EQ(encoded->image_base(), 0x140000000ull);
    const std::vector<uint32_t> expectedOps = {ENC_ORIGIN, ENC_COPY, ENC_REL32, ENC_ABS32, 0x30EB,
                                               ENC_PE64_RELOCS, ENC_ELF_RELOCS, ENC_ELF_ARM_RELOCS};
    const std::vector<uint32_t> ops(encoded->ops().data(), encoded->ops().data() + encoded->ops().size());
    EXPECT_EQ(ops, expectedOps);
    ASSERT_EQ(encoded->copy_counts().size(), 1u);
    EXPECT_EQ(encoded->copy_counts()[0], 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(encoded->copy_bytes().Data()), encoded->copy_bytes().Length()),
              "abxyz");
    ASSERT_EQ(encoded->rel32_ix().size(), 2u);
    EXPECT_EQ(encoded->rel32_ix()[1], 0u);
    EXPECT_EQ(encoded->origins()[0], 0x1000u);
    DeleteEncodedProgram(encoded);
}

TEST(AssemblyProgram, EncodeFailsOnLabelsThatWereNeverNumbered)
{
    for (const bool absolute : {false, true}) {
        SCOPED_TRACE(absolute ? "abs32" : "rel32");
        AssemblyProgram program(EXE_ELF_32_X86);
        ASSERT_TRUE(absolute ? program.PushAbs32(program.GetAbs32Label(0x10))
                             : program.PushRel32(program.GetRel32Label(0x10)));
        EncodedProgram *encoded = reinterpret_cast<EncodedProgram *>(1);
        EXPECT_EQ(EncodeAssemblyProgram(&program, &encoded), Status::GENERAL_ERROR);
        EXPECT_EQ(encoded, nullptr);
    }
}

TEST(AssemblyProgram, InstructionLabelsByKind)
{
    AssemblyProgram program(ELF_32_ARM);
    const uint8_t op[2] = {0x00, 0xE0};
    Label *rel = program.GetRel32Label(0x10);
    Label *abs = program.GetAbs32Label(0x20);
    ASSERT_TRUE(program.PushRel32(rel));
    ASSERT_TRUE(program.PushAbs32(abs));
    ASSERT_TRUE(program.PushRel32Arm(0x2000, rel, op, 2));
    ASSERT_TRUE(program.PushOrigin(0));
    const InstructionVector &in = program.instructions();
    EXPECT_EQ(AssemblyProgram::InstructionRel32Label(in[0]), rel);
    EXPECT_EQ(AssemblyProgram::InstructionAbs32Label(in[0]), nullptr);
    EXPECT_EQ(AssemblyProgram::InstructionAbs32Label(in[1]), abs);
    EXPECT_EQ(AssemblyProgram::InstructionRel32Label(in[1]), nullptr);
    EXPECT_EQ(AssemblyProgram::InstructionRel32Label(in[2]), rel);
    EXPECT_EQ(AssemblyProgram::InstructionRel32Label(in[3]), nullptr);
}
