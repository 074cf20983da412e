// The Mach-O disassembler: small hand-made images whose labels are derived by hand, and files built by clang
// and ld64.lld (fixtures/macho, scripts/make-macho-fixtures.sh).
#include "support/programroundtrip.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassembler_macho.h"
#include "executabletype.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

using Image = std::vector<uint8_t>;

void Put32(Image *image, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*image)[at + i] = uint8_t(value >> (8 * i));
}

void Put64(Image *image, size_t at, uint64_t value)
{
    Put32(image, at, uint32_t(value));
    Put32(image, at + 4, uint32_t(value >> 32));
}

constexpr size_t kText = 0x100;

// Where the fields of the hand-made images lie.
struct Layout
{
    size_t zeroPage, textSegment, section;
};
const Layout kLayout64 = {32, 104, 176};
const Layout kLayout32 = {28, 84, 140};

// A Mach-O image of 0x200 bytes plus 16 trailing ones: a zero page segment, a text segment mapping the file
// (x86-64: at 0x100000000, 32-bit: at 0x1000, each 0x1000 long) and one code section at file offset 0x100,
// 0x20 bytes. The code, at offset
//   0x00 E8 0B000000         call: target offset 0x110
//   0x05 E8 00100000         call: target offset 0x110A, outside every segment
//   0x0A FF 15 F0000000      call [rip]: target offset 0x200 (x86-64 only)
//   0x10 48 8B 05 E90E0000   mov rax, [rip]: target offset 0x1000, just past the text segment
//   0x17 0F 85 E5FFFFFF      jne: target offset 0x102
//   0x1D 90 90 90
Image HandMadeMacho(bool is64, const Image &codeOverride = {})
{
    const Layout &l = is64 ? kLayout64 : kLayout32;
    Image image(0x210, 0);
    Put32(&image, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
    Put32(&image, 4, is64 ? 0x1000007 : 7);
    Put32(&image, 12, 2);
    Put32(&image, 16, 2);
    const uint32_t segmentSize = is64 ? 72 : 56;
    const uint32_t sectionSize = is64 ? 80 : 68;
    const uint32_t cmd = is64 ? 25 : 1;
    const uint64_t textAddress = is64 ? 0x100000000 : 0x1000;
    Put32(&image, l.zeroPage, cmd);
    Put32(&image, l.zeroPage + 4, segmentSize);
    Put32(&image, l.textSegment, cmd);
    Put32(&image, l.textSegment + 4, segmentSize + sectionSize);
    if (is64) {
        Put64(&image, l.zeroPage + 32, 0x100000000);
        Put64(&image, l.textSegment + 24, textAddress);
        Put64(&image, l.textSegment + 32, 0x1000);
        Put64(&image, l.textSegment + 48, 0x200);
        Put32(&image, l.textSegment + 64, 1);
        Put64(&image, l.section + 32, textAddress + kText);
        Put64(&image, l.section + 40, 0x20);
        Put32(&image, l.section + 48, kText);
    } else {
        Put32(&image, l.zeroPage + 28, 0x1000);
        Put32(&image, l.textSegment + 24, uint32_t(textAddress));
        Put32(&image, l.textSegment + 28, 0x1000);
        Put32(&image, l.textSegment + 36, 0x200);
        Put32(&image, l.textSegment + 48, 1);
        Put32(&image, l.section + 32, uint32_t(textAddress + kText));
        Put32(&image, l.section + 36, 0x20);
        Put32(&image, l.section + 40, kText);
    }
    Put32(&image, l.section + (is64 ? 64 : 56), 0x80000400);
    const uint8_t code[0x20] = {0xE8, 0x0B, 0x00, 0x00, 0x00, 0xE8, 0x00, 0x10, 0x00, 0x00, 0xFF,
                                0x15, 0xF0, 0x00, 0x00, 0x00, 0x48, 0x8B, 0x05, 0xE9, 0x0E, 0x00,
                                0x00, 0x0F, 0x85, 0xE5, 0xFF, 0xFF, 0xFF, 0x90, 0x90, 0x90};
    if (codeOverride.size() == sizeof code)
        std::memcpy(&image[kText], codeOverride.data(), sizeof code);
    else
        std::memcpy(&image[kText], code, sizeof code);
    return image;
}

} // namespace

TEST(DisassemblerMacho, HandMadeImagesGiveTheHandDerivedLabels)
{
    // The x86-64 zero page has no sections and is not counted, so addresses are rebased to the text segment; the
    // 32-bit zero page is counted and the base stays 0.
    const struct
    {
        bool is64;
        int kind;
        std::vector<uint32_t> rel32;
    } cases[] = {
        {true, MACHO_X64, {0x102, 0x110, 0x200}},
        {false, MACHO_X86, {0x1102, 0x1110}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        const Image image = HandMadeMacho(c.is64);
        int kind = 0;
        size_t length = 0;
        ASSERT_EQ(DetectExecutableType(image.data(), image.size(), &kind, &length), Status::OK);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(length, 0x200u);

        AssemblyProgram *program = nullptr;
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::OK);
        EXPECT_EQ(program->image_base(), 0u);
        EXPECT_TRUE(program->abs32_labels().empty());
        EXPECT_EQ(LabelRvas(program->rel32_labels()), c.rel32);
        DeleteAssemblyProgram(program);

        std::vector<uint8_t> assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, Image(image.begin(), image.begin() + 0x200));
    }
}

// 0F 80 to 0F 8F are the conditional jumps; the scan takes all but 0F 8A and 0F 8B. Displacement 0: the target
// is the byte after the jump, at 0x106 (x86-64, rebased to the text segment) or 0x1106 (32-bit).
TEST(DisassemblerMacho, ConditionalJumpsExceptTwoAreBranches)
{
    for (const bool is64 : {false, true}) {
        for (uint8_t opcode = 0x80; opcode <= 0x8F; ++opcode) {
            SCOPED_TRACE(testing::Message() << (is64 ? "x86-64 " : "x86 ") << "0F " << std::hex << int(opcode));
            Image code(0x20, 0x90);
            code[0] = 0x0F;
            code[1] = opcode;
            std::fill(code.begin() + 2, code.begin() + 6, 0);
            const Image image = HandMadeMacho(is64, code);
            AssemblyProgram *program = nullptr;
            ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::OK);
            const bool taken = opcode != 0x8A && opcode != 0x8B;
            EXPECT_EQ(LabelRvas(program->rel32_labels()),
                      taken ? std::vector<uint32_t>{is64 ? 0x106u : 0x1106u} : std::vector<uint32_t>{});
            DeleteAssemblyProgram(program);
        }
    }
}

TEST(DisassemblerMacho, RefusedHeadersSayWhy)
{
    using Edit = std::function<void(Image *)>;
    const Layout &l = kLayout64;
    const struct
    {
        const char *reason;
        bool is64;
        Edit edit;
    } cases[] = {
        {"Too small", true, [](Image *i) { i->resize(31); }},
        {"Unknown magic type", true, [](Image *i) { Put32(i, 0, 0xBEBAFECA); }}, // universal
        {"unsupported cpu type", true, [](Image *i) { Put32(i, 4, 7); }},
        {"unsupported cpu type", false, [](Image *i) { Put32(i, 4, 0x1000007); }},
        {"Unsupported filetype in header", true, [](Image *i) { Put32(i, 12, 1); }},
        {"file to small in load commands", true, [&](Image *i) { Put32(i, l.textSegment + 4, 0x200); }},
        {"file to small in load commands", true, [](Image *i) { Put32(i, 16, 0x7FFFFFFF); }},
        {"bad LC_SEGMENT_64", true, [&](Image *i) { Put32(i, l.zeroPage + 4, 0); }},
        {"LC_SEGMENT not supported", true, [&](Image *i) { Put32(i, l.zeroPage, 1); }},
        {"LC_SEGMENT_64 not supported", false, [](Image *i) { Put32(i, kLayout32.zeroPage, 25); }},
        {"bad LC_SEGMENT_64", true, [&](Image *i) { Put32(i, l.zeroPage + 4, 64); }},
        {"bad LC_SEGMENT", false, [](Image *i) { Put32(i, kLayout32.zeroPage + 4, 48); }},
        {"overflow", true, [&](Image *i) { Put64(i, l.textSegment + 32, 0x100000000); }},
        {"segment too large", true, [&](Image *i) { Put64(i, l.textSegment + 48, 0x211); }},
        {"sections too small", true, [&](Image *i) { Put32(i, l.textSegment + 64, 2); }},
        {"section larger than segment", true, [&](Image *i) { Put64(i, l.section + 40, 0x1000); }},
        {"section larger than segment", false, [](Image *i) { Put32(i, kLayout32.section + 36, 0xFFFFFFF0); }},
        {"Resource-only executables are not yet supported", true, [&](Image *i) { Put32(i, l.section + 64, 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        Image image = HandMadeMacho(c.is64);
        c.edit(&image);
        DisassemblerMacho disassembler(image.data(), uint32_t(image.size()));
        EXPECT_FALSE(disassembler.ParseHeader());
        ASSERT_NE(disassembler.failure_reason(), nullptr);
        EXPECT_STREQ(disassembler.failure_reason(), c.reason);
    }
}

// The load commands are read as many times as the header counts them, each cmdsize bytes after the one before;
// a command shorter than its own header is read like any other and only a read past the buffer refuses.
TEST(DisassemblerMacho, ShortLoadCommandsAreReadAsTheCountSays)
{
    const Image original = ReadWholeFile(CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/macho/x64-exe");
    ASSERT_EQ(original.size(), 8632u);
    AssemblyProgram *program = nullptr;
    ASSERT_EQ(ParseExecutable(original.data(), original.size(), &program), Status::OK);
    const std::vector<uint32_t> labels = LabelRvas(program->rel32_labels());
    DeleteAssemblyProgram(program);

    // Its 14 commands end at 1168, followed by zeros up to the code at 1200: the extra commands read there have
    // cmd 0 and cmdsize 0 and change nothing.
    for (const uint32_t count : {15u, 16u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(count);
        Image image = original;
        Put32(&image, 16, count);
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), Status::OK);
        EXPECT_EQ(LabelRvas(program->rel32_labels()), labels);
        DeleteAssemblyProgram(program);
        std::vector<uint8_t> assembled;
        ASSERT_EQ(RoundTripProgram(image, &assembled), Status::OK);
        EXPECT_EQ(assembled, Image(image.begin(), image.begin() + 8192)); // the segments' end, as unchanged
    }

    // The hand-made image whose first command (no segment) has size 4: the next one is read at offset 36, inside
    // it, with cmd 4 (the size just written) and cmdsize 0 (the empty segment name), and the count left reads it
    // again. No segment is found.
    Image shortCommand = HandMadeMacho(true);
    Put32(&shortCommand, 16, 3);
    Put32(&shortCommand, kLayout64.zeroPage, 0x1B);
    Put32(&shortCommand, kLayout64.zeroPage + 4, 4);
    DisassemblerMacho disassembler(shortCommand.data(), uint32_t(shortCommand.size()));
    EXPECT_FALSE(disassembler.ParseHeader());
    EXPECT_STREQ(disassembler.failure_reason(), "Resource-only executables are not yet supported");

    // Only a header that would be read past the buffer's end refuses the file.
    Image atTheEnd = HandMadeMacho(true);
    Put32(&atTheEnd, 16, 3);
    Put32(&atTheEnd, kLayout64.textSegment + 4, uint32_t(atTheEnd.size() - kLayout64.textSegment - 4));
    DisassemblerMacho tooFar(atTheEnd.data(), uint32_t(atTheEnd.size()));
    EXPECT_FALSE(tooFar.ParseHeader());
    EXPECT_STREQ(tooFar.failure_reason(), "file to small in load commands");
}

TEST(DisassemblerMacho, OddCodeSectionsEndCleanly)
{
    // A code section of size 0 holds nothing and the walk goes on past it.
    Image empty = HandMadeMacho(true);
    Put64(&empty, kLayout64.section + 40, 0);
    std::vector<uint8_t> assembled;
    ASSERT_EQ(RoundTripProgram(empty, &assembled), Status::OK);
    EXPECT_EQ(assembled, Image(empty.begin(), empty.begin() + 0x200));

    // A code section whose file range lies past the buffer is not read.
    for (const uint32_t offset : {0x1F8u, 0xFFFFFFF0u}) {
        Image outside = HandMadeMacho(true);
        Put32(&outside, kLayout64.section + 48, offset);
        AssemblyProgram *program = nullptr;
        EXPECT_EQ(ParseExecutable(outside.data(), outside.size(), &program), Status::DISASSEMBLY_FAILED) << offset;
        EXPECT_EQ(program, nullptr);
    }
}

namespace {

struct FileCase
{
    const char *name;
    int kind;
};

const FileCase kFixtureCases[] = {
    {"x64-exe", MACHO_X64},   {"x64.dylib", MACHO_X64}, {"x64-changed.dylib", MACHO_X64},
    {"x64.bundle", MACHO_X64}, {"x86-exe", MACHO_X86},  {"x86.dylib", MACHO_X86},
};

const std::string kFixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/macho/";

} // namespace

class MachoFile : public testing::TestWithParam<FileCase>
{
};

INSTANTIATE_TEST_SUITE_P(Fixtures, MachoFile, testing::ValuesIn(kFixtureCases),
                         [](const testing::TestParamInfo<FileCase> &info) {
                             std::string name = info.param.name;
                             std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

TEST_P(MachoFile, AssemblesBackToItsOwnBytes)
{
    const FileCase &c = GetParam();
    const Image image = ReadWholeFile(kFixtures + c.name);
    ASSERT_FALSE(image.empty());
    ExpectAssemblesBackToItsOwnBytes(image, c.kind);
}

TEST_P(MachoFile, TruncatedAndDamagedCopiesFailCleanly)
{
    const Image image = ReadWholeFile(kFixtures + GetParam().name);
    ASSERT_FALSE(image.empty());
    for (size_t length = 0; length < image.size(); length += length < 0x400 ? 1 : 7)
        ExpectCleanOutcome(Image(image.begin(), image.begin() + long(length)));
    // Every byte of the header and the load commands: zero, all ones, and its top bit flipped.
    const size_t commands = std::min<size_t>(image.size(), 32 + size_t(image[20] | image[21] << 8));
    for (size_t at = 0; at < commands; ++at) {
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
