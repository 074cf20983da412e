#include "programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "instruction.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestreamset.h"
#include "status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

using namespace corvapatch;

namespace {

struct ProgramDeleter
{
    void operator()(AssemblyProgram *program) const { DeleteAssemblyProgram(program); }
    void operator()(EncodedProgram *program) const { DeleteEncodedProgram(program); }
};

} // namespace

int RoundTripProgram(const std::vector<uint8_t> &image, std::vector<uint8_t> *assembled)
{
    AssemblyProgram *parsed = nullptr;
    if (int status = ParseExecutable(image.data(), image.size(), &parsed); status != Status::OK)
        return status;
    std::unique_ptr<AssemblyProgram, ProgramDeleter> program(parsed);
    if (int status = TrimAssemblyProgram(program.get()); status != Status::OK)
        return status;
    EncodedProgram *encodedRaw = nullptr;
    if (int status = EncodeAssemblyProgram(program.get(), &encodedRaw); status != Status::OK)
        return status;
    std::unique_ptr<EncodedProgram, ProgramDeleter> encoded(encodedRaw);

    SinkStreamSet sinks;
    if (int status = WriteEncodedProgram(encoded.get(), &sinks); status != Status::OK)
        return status;
    SinkStream serialised;
    if (!sinks.CopyTo(&serialised))
        return Status::STREAM_ERROR;
    SourceStreamSet sources;
    if (!sources.Init(serialised.Buffer(), serialised.Length()))
        return Status::STREAM_ERROR;
    EncodedProgram *readRaw = nullptr;
    if (int status = ReadEncodedProgram(&sources, &readRaw); status != Status::OK)
        return status;
    std::unique_ptr<EncodedProgram, ProgramDeleter> read(readRaw);

    SinkStream output;
    if (int status = Assemble(read.get(), &output); status != Status::OK)
        return status;
    assembled->assign(output.Buffer(), output.Buffer() + output.Length());
    return Status::OK;
}

size_t DetectedLength(const std::vector<uint8_t> &image)
{
    int kind = 0;
    size_t length = 0;
    return DetectExecutableType(image.data(), image.size(), &kind, &length) == Status::OK ? length : 0;
}

std::vector<uint8_t> ReadWholeFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<uint32_t> LabelRvas(const corvapatch::RvaToLabel &labels)
{
    std::vector<uint32_t> rvas;
    for (const auto &entry : labels)
        rvas.push_back(entry.first);
    return rvas;
}

void ExpectCleanOutcome(const std::vector<uint8_t> &image)
{
    using namespace corvapatch;
    AssemblyProgram *program = nullptr;
    const int status = ParseExecutable(image.data(), image.size(), &program);
    EXPECT_TRUE(status == Status::OK || status == Status::INPUT_NOT_RECOGNISED ||
                status == Status::DISASSEMBLY_FAILED)
        << "status " << status;
    EXPECT_EQ(program != nullptr, status == Status::OK);
    DeleteAssemblyProgram(program);
}

void ExpectAssemblesBackToItsOwnBytes(const std::vector<uint8_t> &image, int kind)
{
    int detected = 0;
    size_t length = 0;
    ASSERT_EQ(DetectExecutableType(image.data(), image.size(), &detected, &length), Status::OK);
    EXPECT_EQ(detected, kind);
    ASSERT_LE(length, image.size());
    std::vector<uint8_t> assembled;
    ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
    EXPECT_TRUE(assembled == std::vector<uint8_t>(image.begin(), image.begin() + long(length)))
        << "assembled " << assembled.size() << " bytes of " << length;
}

namespace {

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

std::vector<std::string> DescribeProgram(const corvapatch::AssemblyProgram &program, const uint8_t *image)
{
    std::vector<std::string> steps;
    const corvapatch::InstructionVector &instructions = program.instructions();
    for (uint32_t i = 0; i < instructions.size(); ++i) {
        const corvapatch::Instruction *instruction = instructions[i];
        switch (instruction->op()) {
        case corvapatch::OP_ORIGIN:
            steps.push_back("origin " + Hex(static_cast<const corvapatch::OriginInstruction *>(instruction)->rva()));
            break;
        case corvapatch::OP_BYTES: {
            const auto *bytes = static_cast<const corvapatch::BytesInstruction *>(instruction);
            steps.push_back("bytes " + Hex(bytes->values() - image) + " " + Hex(bytes->length()));
            break;
        }
        case corvapatch::OP_REL32:
            steps.push_back("rel32 " +
                            Hex(static_cast<const corvapatch::LabelInstruction *>(instruction)->label()->rva));
            break;
        case corvapatch::OP_ABS32:
            steps.push_back("abs32 " +
                            Hex(static_cast<const corvapatch::LabelInstruction *>(instruction)->label()->rva));
            break;
        case corvapatch::OP_REL32_ARM: {
            const auto *arm = static_cast<const corvapatch::Rel32ArmInstruction *>(instruction);
            steps.push_back("arm " + Hex(arm->compressedOp()) + " " + Hex(arm->label()->rva) + " at " +
                            Hex(arm->armOp() - image) + " size " + std::to_string(arm->opSize()));
            break;
        }
        case corvapatch::OP_ELF_RELOCS:
            steps.push_back("elf relocs");
            break;
        case corvapatch::OP_ELF_ARM_RELOCS:
            steps.push_back("elf arm relocs");
            break;
        case corvapatch::OP_PE_RELOCS:
            steps.push_back("pe relocs");
            break;
        default:
            steps.push_back("op " + std::to_string(instruction->op()));
        }
    }
    return steps;
}
