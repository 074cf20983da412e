// Encoding an executable in two walks of its disassembly, without keeping its instructions, must give the very
// streams that encoding the kept program gives: patches were made against that form.
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassembler_elf.h"
#include "encodedprogram.h"
#include "sinkstreamset.h"
#include "status.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

const std::string kFixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/";

using Bytes = std::vector<uint8_t>;

Bytes Linear(SinkStreamSet *set)
{
    SinkStream linear;
    EXPECT_TRUE(set->CopyTo(&linear));
    return Bytes(linear.Buffer(), linear.Buffer() + linear.Length());
}

// The status and the written streams of the kept-program path.
int EncodeKept(const Bytes &image, Bytes *streams)
{
    AssemblyProgram *program = nullptr;
    if (const int parsed = ParseExecutable(image.data(), image.size(), &program); parsed != Status::OK)
        return parsed;
    int status = TrimAssemblyProgram(program);
    EncodedProgram *encoded = nullptr;
    if (status == Status::OK)
        status = EncodeAssemblyProgram(program, &encoded);
    DeleteAssemblyProgram(program);
    if (status != Status::OK)
        return status;
    SinkStreamSet set;
    status = WriteEncodedProgram(encoded, &set);
    DeleteEncodedProgram(encoded);
    *streams = Linear(&set);
    return status;
}

int EncodeWalkedTwice(const Bytes &image, Bytes *streams)
{
    EncodedProgram *encoded = nullptr;
    if (const int status = ParseAndEncodeExecutable(image.data(), image.size(), &encoded); status != Status::OK)
        return status;
    SinkStreamSet set;
    const int status = WriteEncodedProgram(encoded, &set);
    DeleteEncodedProgram(encoded);
    *streams = Linear(&set);
    return status;
}

} // namespace

TEST(ParseAndEncodeExecutable, GivesTheStreamsOfTheKeptProgram)
{
    // Every format and every disassembler, ARM (whose labels are trimmed on the kept path) included.
    const char *files[] = {"elf/x86-static", "elf/x86-pic.so",   "elf/x86-textrel.so", "elf/x64-static",
                           "elf/x64-pic.so", "elf/arm-static",   "elf/thumb-pic.so",   "pe/x86.exe",
                           "pe/x86.dll",     "pe/x64.exe",       "pe/x64.dll",         "macho/x64-exe",
                           "macho/x86-exe",  "macho/x64.dylib"};
    for (const char *file : files) {
        SCOPED_TRACE(file);
        const Bytes image = ReadWholeFile(kFixtures + file);
        ASSERT_FALSE(image.empty());
        Bytes kept, walked;
        ASSERT_EQ(EncodeKept(image, &kept), Status::OK);
        ASSERT_EQ(EncodeWalkedTwice(image, &walked), Status::OK);
        EXPECT_TRUE(kept == walked);
    }
}

TEST(ParseAndEncodeExecutable, FailsAsTheKeptPathFails)
{
    Bytes image = ReadWholeFile(kFixtures + "elf/x64-static");
    ASSERT_FALSE(image.empty());
    EncodedProgram *encoded = nullptr;
    const Bytes notAnExecutable(4096, 0x90);
    EXPECT_EQ(ParseAndEncodeExecutable(notAnExecutable.data(), notAnExecutable.size(), &encoded),
              Status::INPUT_NOT_RECOGNISED);
    EXPECT_EQ(encoded, nullptr);
    // Damaged images: whatever the kept path answers, the two walks answer the same.
    for (size_t at = 64; at < image.size(); at += image.size() / 37) {
        Bytes damaged = image;
        damaged[at] ^= 0xFF;
        damaged[at / 2] ^= 0x5A;
        Bytes kept, walked;
        EXPECT_EQ(EncodeKept(damaged, &kept), EncodeWalkedTwice(damaged, &walked)) << "at " << at;
        EXPECT_TRUE(kept == walked) << "at " << at;
    }
}

TEST(ParseAndEncodeExecutable, ReportsTheLiteralRunsItHasEncoded)
{
    // The applier gives back the old file's pages behind these ends: each lies in the image, and the walk of an
    // ELF file goes forward through it.
    const Bytes image = ReadWholeFile(kFixtures + "elf/x64-static");
    ASSERT_FALSE(image.empty());
    std::vector<const uint8_t *> ends;
    EncodedProgram *encoded = nullptr;
    ASSERT_EQ(ParseAndEncodeExecutable(image.data(), image.size(), &encoded,
                                       [&ends](const uint8_t *end) { ends.push_back(end); }),
              Status::OK);
    DeleteEncodedProgram(encoded);
    ASSERT_GT(ends.size(), 10u);
    for (size_t i = 0; i < ends.size(); ++i) {
        EXPECT_GT(ends[i], image.data());
        EXPECT_LE(ends[i], image.data() + image.size());
        if (i > 0) {
            EXPECT_GE(ends[i], ends[i - 1]);
        }
    }
    EXPECT_EQ(ends.back(), image.data() + image.size()) << "the last literal run ends the file";
}

TEST(ParseAndEncodeExecutable, SplitScansFindTheSameReferences)
{
    // A large section is scanned from its start and from its middle at once; the two meet where both stand.
    // Split at every size from a few bytes up, each x86 fixture must give the streams of the scan in one piece.
    const char *files[] = {"elf/x86-static", "elf/x86-pic.so", "elf/x86-textrel.so", "elf/x64-static",
                           "elf/x64-pic.so"};
    for (const char *file : files) {
        SCOPED_TRACE(file);
        const Bytes image = ReadWholeFile(kFixtures + file);
        ASSERT_FALSE(image.empty());
        const size_t whole = DisassemblerElf64::ScanSplitSize();
        DisassemblerElf64::SetScanSplitSize(SIZE_MAX);
        Bytes once;
        ASSERT_EQ(EncodeWalkedTwice(image, &once), Status::OK);
        for (const size_t split : {size_t(2), size_t(17), size_t(64), size_t(1000), size_t(4096)}) {
            DisassemblerElf64::SetScanSplitSize(split);
            Bytes twice;
            EXPECT_EQ(EncodeWalkedTwice(image, &twice), Status::OK) << "split at " << split;
            EXPECT_TRUE(twice == once) << "split at " << split;
        }
        DisassemblerElf64::SetScanSplitSize(whole);
    }
}
