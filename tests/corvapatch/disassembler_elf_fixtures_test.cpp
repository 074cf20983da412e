// The ELF disassemblers on executables built by clang and lld (fixtures/elf, see its README) and on the
// machine's own libraries and programs.
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "executabletype.h"
#include "elfformat.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

class ElfFixture : public testing::TestWithParam<FixtureCase>
{
};

INSTANTIATE_TEST_SUITE_P(Builds, ElfFixture, testing::ValuesIn(kFixtureCases),
                         [](const testing::TestParamInfo<FixtureCase> &info) {
                             std::string name = info.param.file;
                             for (char &ch : name)
                                 ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

TEST_P(ElfFixture, AssemblesBackToItsOwnBytes)
{
    const FixtureCase &c = GetParam();
    const std::vector<uint8_t> image = ReadWholeFile(kFixtures + c.file);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(DetectedLength(image), image.size());
    ExpectAssemblesBackToItsOwnBytes(image, c.kind);
}

TEST_P(ElfFixture, TruncatedCopiesFailCleanly)
{
    const FixtureCase &c = GetParam();
    const std::vector<uint8_t> image = ReadWholeFile(kFixtures + c.file);
    ASSERT_FALSE(image.empty());
    for (size_t length = 0; length < image.size(); length += length < 0x100 ? 1 : 7) {
        SCOPED_TRACE(length);
        ExpectCleanOutcome(std::vector<uint8_t>(image.begin(), image.begin() + static_cast<long>(length)));
    }
}

TEST_P(ElfFixture, DamagedHeadersFailCleanly)
{
    // Every byte of the file header, the program headers and the section headers: zero, all ones, and its top
    // bit flipped.
    const FixtureCase &c = GetParam();
    const std::vector<uint8_t> image = ReadWholeFile(kFixtures + c.file);
    ASSERT_GT(image.size(), 64u);
    const bool is64 = image[4] == 2;
    const uint64_t phoff = is64 ? ReadLittle64(&image[32]) : ReadLittle32(&image[28]);
    const uint64_t shoff = is64 ? ReadLittle64(&image[40]) : ReadLittle32(&image[32]);
    const uint64_t phend = phoff + uint64_t(is64 ? 56 : 32) * ReadLittle16(&image[is64 ? 56 : 44]);
    ASSERT_LE(phend, shoff);
    std::vector<uint64_t> positions;
    for (uint64_t at = 0; at < phend; ++at)
        positions.push_back(at);
    for (uint64_t at = shoff; at < image.size(); ++at)
        positions.push_back(at);
    for (const uint64_t at : positions) {
        for (const uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(image[at] ^ 0x80)}) {
            if (image[at] == value)
                continue;
            SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int(value));
            std::vector<uint8_t> damaged = image;
            damaged[at] = value;
            ExpectCleanOutcome(damaged);
        }
    }
}

namespace {

// Programs and libraries that come with the machine's Debian packages (libc6, libc6-i386, libc6-armhf-cross,
// bash, xz-utils, zlib1g): the largest ELF files of each machine the updater may meet, and a few small ones.
struct CorpusCase
{
    const char *name;
    const char *path;
    int kind;
};

const CorpusCase kCorpusCases[] = {
    {"x64_libc", "/usr/lib/x86_64-linux-gnu/libc.so.6", ELF_64_X64},
    {"x64_bash", "/usr/bin/bash", ELF_64_X64},
    {"x64_ls", "/usr/bin/ls", ELF_64_X64},
    {"x64_xz", "/usr/bin/xz", ELF_64_X64},
    {"x64_libz", "/usr/lib/x86_64-linux-gnu/libz.so.1", ELF_64_X64},
    {"x86_libc", "/usr/lib32/libc.so.6", EXE_ELF_32_X86},
    {"x86_libm", "/usr/lib32/libm.so.6", EXE_ELF_32_X86},
    {"x86_ld_linux", "/usr/lib32/ld-linux.so.2", EXE_ELF_32_X86},
    {"x86_libresolv", "/usr/lib32/libresolv.so.2", EXE_ELF_32_X86},
    {"x86_libstdcxx", "/usr/lib32/libstdc++.so.6", EXE_ELF_32_X86},
    {"arm_libc", "/usr/arm-linux-gnueabihf/lib/libc.so.6", ELF_32_ARM},
    {"arm_libm", "/usr/arm-linux-gnueabihf/lib/libm.so.6", ELF_32_ARM},
    {"arm_ld_linux", "/usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3", ELF_32_ARM},
    {"arm_libresolv", "/usr/arm-linux-gnueabihf/lib/libresolv.so.2", ELF_32_ARM},
    {"arm_libpthread", "/usr/arm-linux-gnueabihf/lib/libpthread.so.0", ELF_32_ARM},
};

// Whether offset lies in a relocation section (type 9) of a 32-bit ELF image.
bool InElf32RelocationSection(const std::vector<uint8_t> &image, uint64_t offset)
{
    const uint64_t shoff = ReadLittle32(&image[32]);
    const uint16_t shnum = ReadLittle16(&image[48]);
    for (uint16_t i = 0; i < shnum; ++i) {
        const uint8_t *header = &image[shoff + i * 40u];
        const uint64_t start = ReadLittle32(header + 16);
        if (ReadLittle32(header + 4) == 9 && offset >= start && offset < start + ReadLittle32(header + 20))
            return true;
    }
    return false;
}

class ElfCorpus : public testing::TestWithParam<CorpusCase>
{
};

INSTANTIATE_TEST_SUITE_P(Machine, ElfCorpus, testing::ValuesIn(kCorpusCases),
                         [](const testing::TestParamInfo<CorpusCase> &info) { return std::string(info.param.name); });

} // namespace

TEST_P(ElfCorpus, AssemblesBackToItsOwnBytes)
{
    const CorpusCase &c = GetParam();
    const std::vector<uint8_t> image = ReadWholeFile(c.path);
    if (image.empty())
        GTEST_SKIP() << c.path << " is not installed";
    int kind = 0;
    size_t length = 0;
    ASSERT_EQ(DetectExecutableType(image.data(), image.size(), &kind, &length), Status::OK);
    EXPECT_EQ(kind, c.kind);
    ASSERT_EQ(length, image.size());

    std::vector<uint8_t> assembled;
    ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
    if (assembled == image)
        return;
    // The one way an ELF program may differ from its file: an ARM relocation table that is not rebuilt loses
    // the entries from its first absolute reference up to and including the first entry that breaks the
    // sequence. The rest of the file must follow unchanged.
    ASSERT_EQ(c.kind, ELF_32_ARM) << "assembled " << assembled.size() << " bytes of " << image.size();
    ASSERT_LT(assembled.size(), image.size());
    const size_t dropped = image.size() - assembled.size();
    EXPECT_EQ(dropped % 8, 0u);
    const size_t first = static_cast<size_t>(
        std::mismatch(assembled.begin(), assembled.end(), image.begin()).first - assembled.begin());
    EXPECT_TRUE(InElf32RelocationSection(image, first)) << "first difference at " << first;
    EXPECT_TRUE(std::equal(assembled.begin() + static_cast<long>(first), assembled.end(),
                           image.begin() + static_cast<long>(first + dropped)));
}
