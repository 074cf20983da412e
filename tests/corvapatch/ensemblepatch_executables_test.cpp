// Ensemble patches between two builds of one program (fixtures/elf, fixtures/pe, fixtures/macho, where the second
// build changes the function scale() only), with the whole executable as one element, so the patch is made and
// applied through the ELF, PE and Mach-O disassemblers.
#include "ensemblepatchwriter.h"
#include "support/programroundtrip.h"

#include "ensemblepatch.h"
#include "executabletype.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvapatch;

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
        patch.compress = true;
        const std::vector<uint8_t> bytes = patch.Serialize();
        ASSERT_FALSE(bytes.empty());

        SourceStream oldStream;
        oldStream.Init(old.data(), old.size());
        SourceStream patchStream;
        patchStream.Init(bytes.data(), bytes.size());
        SinkStream output;
        ASSERT_EQ(ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output), Status::OK);
        EXPECT_EQ(std::vector<uint8_t>(output.Buffer(), output.Buffer() + output.Length()), newData);
    }
}
