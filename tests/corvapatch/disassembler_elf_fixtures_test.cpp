// The ELF disassemblers on executables built by clang and lld (fixtures/elf, see its README) and on the
// machine's own libraries and programs.
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "executabletype.h"
#include "status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvapatch;

namespace {

const std::string kFixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/elf/";

struct FixtureCase
{
    const char *file;
    int kind;
};

const FixtureCase kFixtureCases[] = {
    {"x86-static", EXE_ELF_32_X86},     {"x86-pic.so", EXE_ELF_32_X86},  {"x86-pic-changed.so", EXE_ELF_32_X86},
    {"x86-textrel.so", EXE_ELF_32_X86}, {"x64-static", ELF_64_X64},      {"x64-pic.so", ELF_64_X64},
    {"arm-static", ELF_32_ARM},         {"arm-pic.so", ELF_32_ARM},      {"arm-textrel.so", ELF_32_ARM},
    {"thumb-static", ELF_32_ARM},       {"thumb-pic.so", ELF_32_ARM},    {"thumb-pic-changed.so", ELF_32_ARM},
};

} // namespace

TEST(ElfFixtures, AssembleBackToTheirOwnBytes)
{
    for (const FixtureCase &c : kFixtureCases) {
        SCOPED_TRACE(c.file);
        const std::vector<uint8_t> image = ReadWholeFile(kFixtures + c.file);
        ASSERT_FALSE(image.empty());
        int kind = 0;
        size_t length = 0;
        ASSERT_EQ(DetectExecutableType(image.data(), image.size(), &kind, &length), Status::OK);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(length, image.size());

        std::vector<uint8_t> assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_TRUE(assembled == image) << "assembled " << assembled.size() << " bytes of " << image.size();
    }
}
