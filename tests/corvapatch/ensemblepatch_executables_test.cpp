// Ensemble patches between two builds of one program (fixtures/elf, fixtures/pe, fixtures/macho, where the second
// build changes the function scale() only), with the whole executable as one element, so the patch is made and
// applied through the ELF, PE and Mach-O disassemblers; and two versions of a larger generated program, where the
// writer's label matching shows in the patch size.
#include "elfbuilder.h"
#include "ensemblepatchwriter.h"
#include "support/programroundtrip.h"

#include "ensemblepatch.h"
#include "executabletype.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

struct Applied
{
    size_t patchSize;
    int status;
    std::vector<uint8_t> result;
};

// The patch written with its payload compressed, and applied to old.
Applied CompressAndApply(const std::vector<uint8_t> &old, patchwriter::EnsemblePatch *patch)
{
    patch->compress = true;
    const std::vector<uint8_t> bytes = patch->Serialize();
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream patchStream;
    patchStream.Init(bytes.data(), bytes.size());
    SinkStream output;
    const int status = bytes.empty() ? 0 : ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output);
    return {bytes.size(), status, std::vector<uint8_t>(output.Buffer(), output.Buffer() + output.Length())};
}

} // namespace

TEST(EnsemblePatchExecutables, TwoBuildsOfOneProgramPatchThroughTheirDisassembly)
{
    const std::string fixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/";
    const struct
    {
        const char *oldFile;
        const char *newFile;
        uint32_t kind;
    } cases[] = {
        {"elf/x86-pic.so", "elf/x86-pic-changed.so", EXE_ELF_32_X86},
        {"elf/thumb-pic.so", "elf/thumb-pic-changed.so", ELF_32_ARM},
        {"pe/x86.dll", "pe/x86-changed.dll", WIN_32_X86},
        {"pe/x64.dll", "pe/x64-changed.dll", WIN_32_X64},
        {"macho/x64.dylib", "macho/x64-changed.dylib", MACHO_X64},
        {"macho/x86.dylib", "macho/x86-changed.dylib", MACHO_X86},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.newFile);
        const std::vector<uint8_t> old = ReadWholeFile(fixtures + c.oldFile);
        const std::vector<uint8_t> newData = ReadWholeFile(fixtures + c.newFile);
        ASSERT_FALSE(old.empty());
        ASSERT_FALSE(newData.empty());
        ASSERT_NE(old, newData);

        patchwriter::EnsemblePatch patch;
        const std::vector<patchwriter::Element> elements = {
            {c.kind, 0, static_cast<uint32_t>(old.size()), 0, static_cast<uint32_t>(newData.size())}};
        ASSERT_EQ(patchwriter::MakeEnsemblePatch(old, newData, elements, &patch), Status::OK);
        const Applied applied = CompressAndApply(old, &patch);
        ASSERT_EQ(applied.status, Status::OK);
        EXPECT_EQ(applied.result, newData);
    }
}

namespace {

// An x86-64 shared object whose .text holds the given functions back to back, each a few bytes of its own, two
// calls (E8 rel32) to other functions, and a return. functions[i] names the function's identity, which decides
// its bytes and its calls' targets, so two versions built from lists with some identities added or left out
// hold the same code at shifted addresses. Identities below 600 are the common ones.
std::vector<uint8_t> X64Program(const std::vector<uint32_t> &functions)
{
    constexpr uint32_t kFunctionSize = 24;
    constexpr uint64_t kText = 0x100, kBase = 0x1000;
    std::vector<uint8_t> text(functions.size() * kFunctionSize, 0xCC);
    const auto slotOf = [&functions](uint32_t identity) {
        for (size_t i = 0; i < functions.size(); ++i) {
            if (functions[i] == identity)
                return i;
        }
        return size_t(0);
    };
    for (size_t i = 0; i < functions.size(); ++i) {
        const uint32_t identity = functions[i];
        const size_t at = i * kFunctionSize;
        const uint8_t own[] = {0x55, 0x48, 0x89, 0xE5, 0xB8, uint8_t(identity), uint8_t(identity >> 8), 0, 0};
        std::copy(std::begin(own), std::end(own), text.begin() + at);
        // Calls to two other functions, chosen by identity (the first function when the callee is missing).
        for (size_t c = 0; c < 2; ++c) {
            const size_t call = at + 9 + 5 * c;
            const size_t target = slotOf((identity * (c ? 7 : 13) + 5) % 600);
            text[call] = 0xE8;
            Put32(&text, call + 1, uint32_t(target * kFunctionSize - (call + 5)));
        }
        text[at + 19] = 0xC3;
    }
    ElfBuilder builder(true, 62);
    builder.section(1, kText, kBase + kText, text);
    const uint64_t length = builder.sectionTableOffset() + 2 * builder.sectionHeaderSize();
    builder.segment(1, 0, kBase, length, length);
    return builder.build();
}

} // namespace

TEST(EnsemblePatchExecutables, MatchedLabelsMakeASmallerPatchAfterCodeWasInsertedAndRemoved)
{
    std::vector<uint32_t> oldFunctions, newFunctions;
    for (uint32_t identity = 0; identity < 600; ++identity) {
        // Functions 1000 and up are new; every 97th old one is gone.
        if (identity % 97 != 50)
            newFunctions.push_back(identity);
        if (identity % 150 == 20)
            newFunctions.push_back(1000 + identity);
        oldFunctions.push_back(identity);
    }
    const std::vector<uint8_t> old = X64Program(oldFunctions);
    const std::vector<uint8_t> newData = X64Program(newFunctions);
    const std::vector<patchwriter::Element> elements = {
        {ELF_64_X64, 0, static_cast<uint32_t>(old.size()), 0, static_cast<uint32_t>(newData.size())}};

    size_t sizes[2] = {};
    const patchwriter::LabelNumbering numberings[] = {patchwriter::LabelNumbering::INDEPENDENT,
                                                      patchwriter::LabelNumbering::MATCHED};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        patchwriter::EnsemblePatch patch;
        ASSERT_EQ(patchwriter::MakeEnsemblePatch(old, newData, elements, &patch, numberings[i]), Status::OK);
        const Applied applied = CompressAndApply(old, &patch);
        ASSERT_EQ(applied.status, Status::OK);
        EXPECT_EQ(applied.result, newData);
        sizes[i] = applied.patchSize;
    }
    // Independent numbering shifts the index of every label behind an inserted or removed function, so the
    // element correction has to rewrite most references; matched numbering leaves them alone.
    EXPECT_LT(sizes[1] * 2, sizes[0]) << "matched " << sizes[1] << ", independent " << sizes[0];
}
