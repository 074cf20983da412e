#include "assemblyprogram.h"
#include "disassembler.h"
#include "executabletype.h"
#include "logrecorder.h"
#include "logstream.h"
#include "status.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace corvapatch;

namespace {

// A parser that accepts what it is told to, and gives its length as the first byte of the buffer.
class FakeDisassembler : public Disassembler
{
public:
    FakeDisassembler(const uint8_t *start, uint32_t length, bool accept) : Disassembler(start, length), m_accept(accept)
    {
    }
    int kind() const override { return ELF_64_X64; }
    bool ParseHeader() override
    {
        if (!m_accept)
            return Reject("Too small");
        ShortenLength(*PointerAt(0));
        return Accept();
    }
    bool Disassemble(AssemblyProgram *) override { return false; }

private:
    bool m_accept;
};

} // namespace

TEST(Disassembler, AnEmptyBufferIsNotRecognised)
{
    const uint8_t none[1] = {0};
    AssemblyProgram *program = reinterpret_cast<AssemblyProgram *>(1);
    EXPECT_EQ(ParseExecutable(none, 0, &program), Status::INPUT_NOT_RECOGNISED);
    EXPECT_EQ(program, nullptr);
    int kind = -1;
    size_t length = 99;
    EXPECT_EQ(DetectExecutableType(none, 0, &kind, &length), Status::INPUT_NOT_RECOGNISED);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(MakeDisassembler(none, 0), nullptr);
}

TEST(Disassembler, ExecutableTypeNames)
{
    const struct
    {
        int type;
        const char *name;
    } cases[] = {{-1, "UNKNOWN"},          {0, "UNKNOWN"},     {1, "WIN_32_X86"}, {2, "EXE_ELF_32_X86"},
                 {3, "ELF_32_ARM"},        {4, "WIN_32_X64"},  {5, "ELF_64_X64"}, {6, "MACHO_X86"},
                 {7, "MACHO_X64"},         {8, "UNKNOWN"},     {0x7FFFFFFF, "UNKNOWN"}};
    for (const auto &c : cases)
        EXPECT_EQ(ExecutableTypeName(c.type), c.name) << c.type;
}

TEST(Disassembler, HeaderParseSetsReasonAndOnlyShortens)
{
    const uint8_t buffer[8] = {5, 0, 0, 0, 0, 0, 0, 0};
    FakeDisassembler refusing(buffer, sizeof buffer, false);
    EXPECT_STREQ(refusing.failure_reason(), "uninitialized");
    EXPECT_FALSE(refusing.ParseHeader());
    EXPECT_STREQ(refusing.failure_reason(), "Too small");
    EXPECT_EQ(refusing.length(), 8u);

    FakeDisassembler accepting(buffer, sizeof buffer, true);
    EXPECT_TRUE(accepting.ParseHeader());
    EXPECT_EQ(accepting.failure_reason(), nullptr);
    EXPECT_EQ(accepting.length(), 5u);
    EXPECT_EQ(accepting.end(), buffer + 8);

    const uint8_t longer[2] = {200, 0};
    FakeDisassembler notLonger(longer, sizeof longer, true);
    EXPECT_TRUE(notLonger.ParseHeader());
    EXPECT_EQ(notLonger.length(), 2u);
}

TEST(LogStream, HandsOneLineToTheLoggingLibrary)
{
    LogRecorder log;
    LogStream(2) << "value " << 42 << ' ' << 0x10u;
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0], "value 42 16");
    EXPECT_EQ(log.levels[0], 2);
}
