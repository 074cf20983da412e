// The PE disassemblers: small hand-made images whose labels are derived by hand, executables built by clang and
// lld-link (fixtures/pe, scripts/make-pe-fixtures.sh), and the DLLs Debian's mingw-w64 packages ship.
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"
#include "executabletype.h"
#include "instruction.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

using Image = std::vector<uint8_t>;

void Put16(Image *image, size_t at, uint16_t value)
{
    (*image)[at] = uint8_t(value);
    (*image)[at + 1] = uint8_t(value >> 8);
}

void Put32(Image *image, size_t at, uint32_t value)
{
    Put16(image, at, uint16_t(value));
    Put16(image, at + 2, uint16_t(value >> 16));
}

// Offsets inside the hand-made images.
constexpr size_t kPeHeader = 0x40;
constexpr size_t kOptionalHeader = kPeHeader + 24;
constexpr size_t kText = 0x200;
constexpr size_t kTextSize = 0x28;
constexpr size_t kReloc = kText + kTextSize;

size_t SectionTable(bool pe32Plus)
{
    return kOptionalHeader + (pe32Plus ? 0xF0 : 0xE0);
}

// A PE32 (or PE32+) image based at 0x400000 with two sections and 16 bytes after them:
//   .text  RVA 0x1000, file 0x200, 0x28 bytes
//   .reloc RVA 0x2000, file 0x228, 12 bytes: one block for page 0x1000 with an absolute reference at 0x1010 and
//          a filler entry
// .text holds, at offset
//   0x00 E8 0B000000         call 0x1010: inside .text
//   0x05 E8 00100000         call 0x200A: outside .text
//   0x0A 0F 84 02000000      je 0x1012
//   0x10 18104000            absolute 0x401018
//   0x14 FF 15 E60F0000      call [rip + 0xFE6], reading 0x2000 (x86-64 only)
//   0x1A 0F 8A 00000000      jp: never taken as a reference
//   0x20 90 90 90 90
//   0x24 E8 000000           a call cut off by the section end
Image HandMadePe(bool pe32Plus, const Image &textOverride = {})
{
    Image image(kReloc + 12 + 16, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(&image, 60, kPeHeader);
    std::memcpy(&image[kPeHeader], "PE\0\0", 4);
    Put16(&image, kPeHeader + 4, pe32Plus ? 0x8664 : 0x14C);
    Put16(&image, kPeHeader + 6, 2);
    Put16(&image, kPeHeader + 20, pe32Plus ? 0xF0 : 0xE0);
    const size_t o = kOptionalHeader;
    Put16(&image, o, pe32Plus ? 0x20B : 0x10B);
    Put32(&image, o + (pe32Plus ? 24 : 28), 0x400000);
    Put32(&image, o + 56, 0x3000);
    const size_t directories = o + (pe32Plus ? 112 : 96);
    Put32(&image, directories - 4, 16);
    Put32(&image, directories + 5 * 8, 0x2000);
    Put32(&image, directories + 5 * 8 + 4, 12);

    const struct
    {
        const char *name;
        uint32_t rva, size, offset;
    } sections[] = {{".text", 0x1000, kTextSize, kText}, {".reloc", 0x2000, 12, kReloc}};
    size_t header = SectionTable(pe32Plus);
    for (const auto &s : sections) {
        std::memcpy(&image[header], s.name, std::strlen(s.name));
        Put32(&image, header + 8, s.size);
        Put32(&image, header + 12, s.rva);
        Put32(&image, header + 16, s.size);
        Put32(&image, header + 20, s.offset);
        header += 40;
    }
    const uint8_t text[kTextSize] = {
        0xE8, 0x0B, 0x00, 0x00, 0x00, 0xE8, 0x00, 0x10, 0x00, 0x00, 0x0F, 0x84, 0x02, 0x00,
        0x00, 0x00, 0x18, 0x10, 0x40, 0x00, 0xFF, 0x15, 0xE6, 0x0F, 0x00, 0x00, 0x0F, 0x8A,
        0x00, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90, 0x90, 0xE8, 0x00, 0x00, 0x00,
    };
    if (textOverride.size() == kTextSize)
        std::memcpy(&image[kText], textOverride.data(), kTextSize);
    else
        std::memcpy(&image[kText], text, sizeof text);
    Put32(&image, kReloc, 0x1000);
    Put32(&image, kReloc + 4, 12);
    Put16(&image, kReloc + 8, uint16_t((pe32Plus ? 0xA000 : 0x3000) | 0x010));
    Put16(&image, kReloc + 10, 0);
    return image;
}

} // namespace

TEST(DisassemblerWin32, HandMadeImagesGiveTheHandDerivedLabels)
{
    const struct
    {
        bool pe32Plus;
        int kind;
        uint64_t imageBase;
        std::vector<uint32_t> rel32;
    } cases[] = {
        {false, WIN_32_X86, 0x400000, {0x1010, 0x1012}},
        {true, WIN_32_X64, 0x400000, {0x1010, 0x1012, 0x2000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        const Image image = HandMadePe(c.pe32Plus);
        int kind = 0;
        size_t length = 0;
        ASSERT_EQ(DetectExecutableType(image.data(), image.size(), &kind, &length), Status::OK);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(length, 0x234u); // the 16 trailing bytes are not part of the executable

        AssemblyProgram *program = nullptr;
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::OK);
        EXPECT_EQ(program->image_base(), c.imageBase);
        EXPECT_EQ(LabelRvas(program->abs32_labels()), std::vector<uint32_t>{0x1018});
        EXPECT_EQ(LabelRvas(program->rel32_labels()), c.rel32);

        // Every header byte is one literal instruction, then .text starts at its RVA, and the relocation table
        // is one instruction at the start of .reloc.
        const InstructionVector &instructions = program->instructions();
        ASSERT_GT(instructions.size(), kText + 1);
        for (size_t i = 0; i < kText; ++i)
            ASSERT_EQ(instructions[i]->op(), OP_BYTE) << i;
        ASSERT_EQ(instructions[kText]->op(), OP_ORIGIN);
        EXPECT_EQ(static_cast<const OriginInstruction *>(instructions[kText])->rva(), 0x1000u);
        ASSERT_EQ(instructions[instructions.size() - 1]->op(), OP_PE_RELOCS);
        ASSERT_EQ(instructions[instructions.size() - 2]->op(), OP_ORIGIN);
        EXPECT_EQ(static_cast<const OriginInstruction *>(instructions[instructions.size() - 2])->rva(), 0x2000u);
        DeleteAssemblyProgram(program);

        std::vector<uint8_t> assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, Image(image.begin(), image.begin() + 0x234));
    }
}

namespace {

// The rel32 labels of the hand-made image with another .text (0x28 bytes); the base relocation at 0x1010 stays.
std::vector<uint32_t> Rel32Labels(bool pe32Plus, const Image &text)
{
    const Image image = HandMadePe(pe32Plus, text);
    AssemblyProgram *program = nullptr;
    EXPECT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::OK);
    const std::vector<uint32_t> labels = program ? LabelRvas(program->rel32_labels()) : std::vector<uint32_t>{};
    DeleteAssemblyProgram(program);
    return labels;
}

// 0x28 bytes of nops with these bytes placed at their offsets.
Image Text(std::initializer_list<std::pair<size_t, Image>> pieces)
{
    Image text(kTextSize, 0x90);
    for (const auto &piece : pieces)
        std::copy(piece.second.begin(), piece.second.end(), text.begin() + long(piece.first));
    return text;
}

} // namespace

// 0F 80 to 0F 8F are the conditional jumps; the scan takes all but 0F 8A and 0F 8B. Displacement 0: the target
// is the byte after the jump, 0x1006.
TEST(DisassemblerWin32, ConditionalJumpsExceptTwoAreBranches)
{
    for (const bool pe32Plus : {false, true}) {
        for (uint8_t opcode = 0x80; opcode <= 0x8F; ++opcode) {
            SCOPED_TRACE(testing::Message() << (pe32Plus ? "PE32+ " : "PE32 ") << "0F " << std::hex << int(opcode));
            const bool taken = opcode != 0x8A && opcode != 0x8B;
            EXPECT_EQ(Rel32Labels(pe32Plus, Text({{0, {0x0F, opcode, 0, 0, 0, 0}}, {0x10, {0, 0x10, 0x40, 0}}})),
                      taken ? std::vector<uint32_t>{0x1006} : std::vector<uint32_t>{});
        }
    }
}

// A displacement that shares a byte with the absolute reference at 0x1010..0x1013 is no reference, and the scan
// goes on after the absolute one; one that only touches it is. By hand, with each call's target inside .text.
TEST(DisassemblerWin32, DisplacementsOverlappingAnAbsoluteReferenceAreSkipped)
{
    const struct
    {
        const char *name;
        Image text;
        std::vector<uint32_t> labels;
    } cases[] = {
        // displacement 0x100C..0x100F, F0FFFFFF: target 0x1000
        {"ends just before it", Text({{0x0B, {0xE8, 0xF0, 0xFF, 0xFF, 0xFF}}, {0x10, {0x00, 0x10, 0x40, 0x00}}}),
         {0x1000}},
        // displacement 0x100D..0x1010, 05 00 00 | 00: target 0x1016
        {"its last byte is the reference's first",
         Text({{0x0C, {0xE8, 0x05, 0x00, 0x00}}, {0x10, {0x00, 0x10, 0x40, 0x00}}}), {}},
        // the call's opcode is the reference's third byte; displacement 0x1013..0x1016, 00 | 00 00 00: target 0x1017
        {"its first byte is the reference's last", Text({{0x10, {0x00, 0x10, 0xE8, 0x00, 0x00, 0x00, 0x00}}}), {}},
        // the call's opcode is the reference's last byte; displacement 0x1014..0x1017, 0: target 0x1018
        {"starts just after it", Text({{0x10, {0x00, 0x10, 0x40, 0xE8, 0x00, 0x00, 0x00, 0x00}}}), {0x1018}},
    };
    for (const bool pe32Plus : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << (pe32Plus ? "PE32+ " : "PE32 ") << c.name);
            EXPECT_EQ(Rel32Labels(pe32Plus, c.text), c.labels);
        }
    }
}

TEST(DisassemblerWin32, RefusedHeadersSayWhy)
{
    using Edit = std::function<void(Image *)>;
    const struct
    {
        const char *reason;
        bool pe32Plus;
        Edit edit;
    } cases[] = {
        {"Too small", false, [](Image *i) { i->resize(63); }},
        {"Not MZ", false, [](Image *i) { (*i)[1] = 'Y'; }},
        {"Bad offset to PE header", false, [](Image *i) { Put32(i, 60, 0); }},
        {"Bad offset to PE header", false, [](Image *i) { Put32(i, 60, uint32_t(i->size() - 24)); }},
        {"Misaligned PE header", false, [](Image *i) { Put32(i, 60, 0x44); }},
        {"no PE signature", false, [](Image *i) { (*i)[kPeHeader + 1] = 'F'; }},
        {"optional header past end of file", false, [](Image *i) { Put16(i, kPeHeader + 20, 0xFFFF); }},
        {"optional header no magic", false, [](Image *i) { Put16(i, kPeHeader + 20, 1); }},
        {"unrecognized magic", false, [](Image *i) { Put16(i, kOptionalHeader, 0x10C); }},
        {"optional header too short", false, [](Image *i) { Put16(i, kPeHeader + 20, 95); }},
        {"optional header too short", true, [](Image *i) { Put16(i, kPeHeader + 20, 111); }},
        // Directory 1 would lie past the 100-byte optional header.
        {"malformed data directory", false, [](Image *i) { Put16(i, kPeHeader + 20, 100); }},
        {"malformed data directory", false, [](Image *i) { Put32(i, kOptionalHeader + 96 + 4, 0x3001); }},
        {"section table past end of file", false, [](Image *i) { Put16(i, kPeHeader + 6, 0x7FFF); }},
        {"Resource-only executables are not yet supported", false,
         [](Image *i) { std::memcpy(&(*i)[SectionTable(false)], ".data", 5); }},
        // ".textual" is not ".text".
        {"Resource-only executables are not yet supported", false,
         [](Image *i) { std::memcpy(&(*i)[SectionTable(false)], ".textual", 8); }},
        {"64 bit executables are not supported by this disassembler", true, [](Image *) {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        Image image = HandMadePe(c.pe32Plus);
        c.edit(&image);
        DisassemblerWin32X86 disassembler(image.data(), uint32_t(image.size()));
        EXPECT_FALSE(disassembler.ParseHeader());
        ASSERT_NE(disassembler.failure_reason(), nullptr);
        EXPECT_STREQ(disassembler.failure_reason(), c.reason);
    }

    const Image pe32 = HandMadePe(false);
    DisassemblerWin32X64 x64(pe32.data(), uint32_t(pe32.size()));
    EXPECT_FALSE(x64.ParseHeader());
    EXPECT_STREQ(x64.failure_reason(), "32 bit executables are not supported by this disassembler");
    DisassemblerWin32X86 x86(pe32.data(), uint32_t(pe32.size()));
    EXPECT_TRUE(x86.ParseHeader());
    EXPECT_EQ(x86.failure_reason(), nullptr);
}

TEST(DisassemblerWin32, RelocationTableAndSectionFaultsFailTheDisassembly)
{
    using Edit = std::function<void(Image *)>;
    const struct
    {
        const char *what;
        bool pe32Plus;
        Edit edit;
    } cases[] = {
        {"type 10 entry in PE32", false, [](Image *i) { Put16(i, kReloc + 8, 0xA010); }},
        {"type 3 entry in PE32+", true, [](Image *i) { Put16(i, kReloc + 8, 0x3010); }},
        {"block size below 8", false, [](Image *i) { Put32(i, kReloc + 4, 4); }},
        {"block size not a multiple of 4", false, [](Image *i) { Put32(i, kReloc + 4, 10); }},
        {"block past the buffer", false, [](Image *i) { Put32(i, kReloc + 4, 0x1000); }},
        {"table in no section", false, [](Image *i) { Put32(i, kOptionalHeader + 96 + 40, 0x2800); }},
        // .text claims more raw bytes than the file has: it must not be read past the buffer.
        {".text past the buffer", false, [](Image *i) { Put32(i, SectionTable(false) + 16, 0x10000); }},
        {".text past the buffer", true, [](Image *i) { Put32(i, SectionTable(true) + 16, 0xFFFFFFF0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Image image = HandMadePe(c.pe32Plus);
        c.edit(&image);
        AssemblyProgram *program = nullptr;
        EXPECT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::DISASSEMBLY_FAILED);
        EXPECT_EQ(program, nullptr);
    }

    // A table of exactly 8 bytes holds no block, and a filler entry gives nothing.
    for (const uint32_t tableSize : {8u, 12u}) {
        Image image = HandMadePe(false);
        Put32(&image, kOptionalHeader + 96 + 44, tableSize);
        Put16(&image, kReloc + 8, 0);
        AssemblyProgram *program = nullptr;
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::OK) << tableSize;
        EXPECT_TRUE(program->abs32_labels().empty()) << tableSize;
        DeleteAssemblyProgram(program);
    }
}

TEST(DisassemblerWin32, EmptyBufferIsNotRecognised)
{
    AssemblyProgram *program = nullptr;
    const uint8_t none = 0;
    EXPECT_EQ(ParseExecutable(&none, 0, &program), Status::INPUT_NOT_RECOGNISED);
}

namespace {

struct FileCase
{
    const char *name;
    std::string path;
    int kind;
};

const std::string kFixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/pe/";

const FileCase kFixtureCases[] = {
    {"x86_exe", kFixtures + "x86.exe", WIN_32_X86},
    {"x86_dll", kFixtures + "x86.dll", WIN_32_X86},
    {"x86_changed_dll", kFixtures + "x86-changed.dll", WIN_32_X86},
    {"x64_exe", kFixtures + "x64.exe", WIN_32_X64},
    {"x64_dll", kFixtures + "x64.dll", WIN_32_X64},
    {"x64_changed_dll", kFixtures + "x64-changed.dll", WIN_32_X64},
};

// DLLs of Debian's mingw-w64 packages (scripts/install-deps.sh), built by another toolchain.
const FileCase kCorpusCases[] = {
    {"x86_winpthread", "/usr/i686-w64-mingw32/lib/libwinpthread-1.dll", WIN_32_X86},
    {"x64_winpthread", "/usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll", WIN_32_X64},
    {"x86_libgcc", "/usr/lib/gcc/i686-w64-mingw32/12-win32/libgcc_s_dw2-1.dll", WIN_32_X86},
    {"x86_libstdcxx", "/usr/lib/gcc/i686-w64-mingw32/12-win32/libstdc++-6.dll", WIN_32_X86},
    {"x64_libgcc", "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libgcc_s_seh-1.dll", WIN_32_X64},
    {"x64_libstdcxx", "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libstdc++-6.dll", WIN_32_X64},
};

std::string CaseName(const testing::TestParamInfo<FileCase> &info)
{
    return info.param.name;
}

} // namespace

class Win32File : public testing::TestWithParam<FileCase>
{
};

INSTANTIATE_TEST_SUITE_P(Fixtures, Win32File, testing::ValuesIn(kFixtureCases), CaseName);
INSTANTIATE_TEST_SUITE_P(MingwCorpus, Win32File, testing::ValuesIn(kCorpusCases), CaseName);

TEST_P(Win32File, AssemblesBackToItsOwnBytes)
{
    const FileCase &c = GetParam();
    const Image image = ReadWholeFile(c.path);
    if (image.empty())
        GTEST_SKIP() << c.path << " is not installed";
    ExpectAssemblesBackToItsOwnBytes(image, c.kind);
}

TEST_P(Win32File, TruncatedAndDamagedCopiesFailCleanly)
{
    const FileCase &c = GetParam();
    const Image image = ReadWholeFile(c.path);
    if (image.empty())
        GTEST_SKIP() << c.path << " is not installed";
    // Truncations: every length through the headers, then a bounded number spread over the file. The large
    // corpus files get fewer, and no damaged copies, to keep the run short.
    const bool small = image.size() <= 0x10000;
    const size_t step = std::max<size_t>(7, image.size() / (small ? 400 : 8));
    for (size_t length = small ? 0 : 0x400; length < image.size(); length += length < 0x400 ? 1 : step) {
        SCOPED_TRACE(length);
        ExpectCleanOutcome(Image(image.begin(), image.begin() + long(length)));
    }
    // Every header byte (MZ header, PE header, optional header, section table) zeroed, set to all ones and
    // with its top bit flipped.
    const size_t headers = small ? std::min<size_t>(image.size(), 0x400) : 0;
    for (size_t at = 0; at < headers; ++at) {
        for (const uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(image[at] ^ 0x80)}) {
            if (image[at] == value)
                continue;
            SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int(value));
            Image damaged = image;
            damaged[at] = value;
            ExpectCleanOutcome(damaged);
        }
    }
}
