#include "assemblyprogram.h"
#include "bytes.h"
#include "encodedprogram.h"
#include "logrecorder.h"
#include "sinkstream.h"
#include "status.h"
#include "streamsetbuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace corvapatch;

namespace {

struct EncodedDeleter
{
    void operator()(EncodedProgram *program) const { DeleteEncodedProgram(program); }
};
using EncodedPtr = std::unique_ptr<EncodedProgram, EncodedDeleter>;

// The stream-set header of ten streams with these lengths.
Bytes setHeader(const Bytes &lengths)
{
    Bytes header = {0xEA, 0x9A, 0xCA, 0x09, 0x0A};
    header.insert(header.end(), lengths.begin(), lengths.end());
    return header;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// One ENC_COPY of "ABC".
EncodedPtr copyProgram()
{
    EncodedPtr program(new EncodedProgram);
    EXPECT_TRUE(program->AppendCopy(3, reinterpret_cast<const uint8_t *>("ABC")));
    return program;
}

const Bytes kCopyProgramSet = concat({setHeader({2, 2, 4, 1, 1, 1, 1, 2, 0, 0}),
                                      {0x00, 0x00},             // 0: image base 0, no origins
                                      {0x01, 0x01},             // 1: ops {ENC_COPY}
                                      {0x03, 'A', 'B', 'C'},    // 2: copy bytes
                                      {0x00}, {0x00},           // 3, 4: no label indexes
                                      {0x00}, {0x00},           // 5, 6: no label addresses
                                      {0x01, 0x03}});           // 7: copy counts {3}

// An x86 ELF program: E8 <rel32 to 0x1010> <abs32 0x2000> <abs32 0x1800> C3 at 0x1000, image base 0x400000.
EncodedPtr labelProgram()
{
    AssemblyProgram assembly(EXE_ELF_32_X86);
    assembly.set_image_base(0x400000);
    EXPECT_TRUE(assembly.PushOrigin(0x1000));
    EXPECT_TRUE(assembly.PushByte(0xE8));
    EXPECT_TRUE(assembly.PushRel32(assembly.GetRel32Label(0x1010)));
    EXPECT_TRUE(assembly.PushAbs32(assembly.GetAbs32Label(0x2000)));
    EXPECT_TRUE(assembly.PushAbs32(assembly.GetAbs32Label(0x1800)));
    EXPECT_TRUE(assembly.PushByte(0xC3));
    assembly.NumberLabels();
    return EncodedPtr(assembly.Encode());
}

const Bytes kLabelProgramSet = concat({setHeader({7, 7, 3, 3, 2, 5, 3, 1, 0, 0}),
                                       {0x80, 0x80, 0x80, 0x02, 0x01, 0x80, 0x20}, // base 0x400000, {0x1000}
                                       {0x06, 0x00, 0x02, 0x03, 0x04, 0x04, 0x02}, // ORIGIN COPY1 REL32 ABS32 ABS32 COPY1
                                       {0x02, 0xE8, 0xC3},                         // copy bytes
                                       {0x02, 0x01, 0x00},                         // abs32_ix {1, 0}
                                       {0x01, 0x00},                               // rel32_ix {0}
                                       {0x02, 0x80, 0x30, 0x80, 0x10},             // abs32 {0x1800, +0x800}
                                       {0x01, 0x90, 0x20},                         // rel32 {0x1010}
                                       {0x00}});                                   // no copy counts
const Bytes kLabelProgramBytes = {0xE8, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x20, 0x40, 0x00, 0x00, 0x18, 0x40, 0x00, 0xC3};

// A PE x86 program: abs32 references to 0x1000 at 0x1004, 0x1008 and 0x2010, then its relocation table, then ZZ.
EncodedPtr relocProgram()
{
    EncodedPtr program(new EncodedProgram);
    program->set_image_base(0x400000);
    EXPECT_TRUE(program->SetAbs32Rva(0, 0x1000));
    EXPECT_TRUE(program->AppendOrigin(0x1004));
    EXPECT_TRUE(program->AppendAbs32(0));
    EXPECT_TRUE(program->AppendAbs32(0));
    EXPECT_TRUE(program->AppendOrigin(0x2010));
    EXPECT_TRUE(program->AppendAbs32(0));
    EXPECT_TRUE(program->AppendPeRelocs(WIN_32_X86));
    EXPECT_TRUE(program->AppendCopy(2, reinterpret_cast<const uint8_t *>("ZZ")));
    return program;
}

const Bytes kRelocProgramSet = concat({setHeader({9, 8, 3, 4, 1, 3, 1, 2, 0, 0}),
                                       {0x80, 0x80, 0x80, 0x02, 0x02, 0x84, 0x20, 0x90, 0x40}, // {0x1004, 0x2010}
                                       {0x07, 0x00, 0x04, 0x04, 0x00, 0x04, 0x05, 0x01},
                                       {0x02, 'Z', 'Z'},
                                       {0x03, 0x00, 0x00, 0x00},
                                       {0x00},
                                       {0x01, 0x80, 0x20},
                                       {0x00},
                                       {0x01, 0x02}});
const Bytes kRelocProgramBytes = {
    0x00, 0x10, 0x40, 0x00, 0x00, 0x10, 0x40, 0x00, 0x00, 0x10, 0x40, 0x00, // the three abs32 values
    0x00, 0x10, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x04, 0x30, 0x08, 0x30, // block {0x1000, 12, 0x3004, 0x3008}
    0x00, 0x20, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x10, 0x30, 0x00, 0x00, // block {0x2000, 12, 0x3010, pad}
    'Z',  'Z'};

Bytes assembled(EncodedProgram *program, int *status)
{
    SinkStream out;
    *status = Assemble(program, &out);
    return bytesOf(out);
}

} // namespace

TEST(EncodedProgram, SerialisesEveryFieldIntoItsStreamByteForByte)
{
    struct Case
    {
        const char *name;
        EncodedPtr (*build)();
        const Bytes &set;
    };
    const Case cases[] = {{"one copy", copyProgram, kCopyProgramSet},
                          {"rel32 and abs32 labels", labelProgram, kLabelProgramSet},
                          {"relocation op", relocProgram, kRelocProgramSet}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EncodedPtr program = c.build();
        ASSERT_TRUE(program);
        const Bytes written = serialisedProgram(program.get());
        EXPECT_EQ(written, c.set);
        EXPECT_EQ(serialisedProgram(c.build().get()), written) << "a second run gives other bytes";

        EncodedProgram *read = nullptr;
        ASSERT_EQ(readProgram(written, &read), Status::OK);
        EncodedPtr readBack(read);
        EXPECT_EQ(serialisedProgram(readBack.get()), written);
    }
}

// An element's program moves its literal bytes into the set instead of copying them; the set's bytes are the
// same, also when the literals' stream already holds bytes and the move cannot be made.
TEST(EncodedProgram, WritingThatReleasesTheLiteralsGivesTheSameSet)
{
    const Bytes held = {'x', 'y'};
    for (EncodedPtr (*build)() : {copyProgram, labelProgram, relocProgram}) {
        for (const bool streamUsed : {false, true}) {
            SCOPED_TRACE(streamUsed ? "literals' stream already used" : "fresh set");
            Bytes out[2];
            for (const bool releasing : {false, true}) {
                EncodedPtr program = build();
                SinkStreamSet set;
                ASSERT_TRUE(set.Init(8));
                ASSERT_TRUE(!streamUsed || set.stream(2)->Write(held.data(), held.size()));
                const int status = releasing ? WriteEncodedProgramReleasing(program.get(), &set)
                                             : WriteEncodedProgram(program.get(), &set);
                ASSERT_EQ(status, Status::OK);
                SinkStream combined;
                ASSERT_TRUE(set.CopyTo(&combined));
                out[releasing] = bytesOf(combined);
            }
            EXPECT_EQ(out[1], out[0]);
        }
    }
}

TEST(EncodedProgram, AssemblesTheExecutableBytes)
{
    struct Case
    {
        const char *name;
        EncodedPtr (*build)();
        const Bytes &bytes;
    };
    const Case cases[] = {{"one copy", copyProgram, {'A', 'B', 'C'}},
                          {"rel32 and abs32 labels", labelProgram, kLabelProgramBytes},
                          {"PE relocation table", relocProgram, kRelocProgramBytes}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // The program as built, read back from its serialisation, and read back in place (its literal bytes
        // left where they lie in the serialisation, which outlives it).
        EncodedPtr built = c.build();
        EncodedProgram *read = nullptr;
        ASSERT_EQ(readProgram(serialisedProgram(built.get()), &read), Status::OK);
        EncodedPtr readBack(read);
        const Bytes serialised = serialisedProgram(built.get());
        SourceStreamSet set;
        ASSERT_TRUE(set.Init(serialised.data(), serialised.size()));
        EncodedProgram *inPlace = nullptr;
        ASSERT_EQ(ReadEncodedProgramInPlace(&set, &inPlace), Status::OK);
        EncodedPtr readInPlace(inPlace);
        EXPECT_EQ(serialisedProgram(readInPlace.get()), serialised);
        for (EncodedProgram *program : {built.get(), readBack.get(), readInPlace.get()}) {
            int status = 0;
            EXPECT_EQ(assembled(program, &status), c.bytes);
            EXPECT_EQ(status, Status::OK);
        }
    }
}

// Assembly writes into the room the output already has: after what it held, never past its limit, also when
// the reserved room reaches beyond the limit.
TEST(EncodedProgram, AssemblyAppendsWithinTheOutputsLimitWhateverItsReservedRoom)
{
    const Bytes prefix = {'P', 'R', 'E'};
    for (EncodedPtr (*build)() : {labelProgram, relocProgram}) {
        const Bytes expected = [&] {
            int status = 0;
            EncodedPtr program = build();
            return assembled(program.get(), &status);
        }();
        ASSERT_FALSE(expected.empty());
        for (const bool reserved : {false, true}) {
            for (const size_t shortBy : {size_t(0), size_t(1), size_t(4)}) {
                SCOPED_TRACE(testing::Message() << "reserved " << reserved << " short by " << shortBy);
                EncodedPtr program = build();
                SinkStream sink;
                ASSERT_TRUE(sink.Write(prefix.data(), prefix.size()));
                if (reserved) {
                    ASSERT_TRUE(sink.Reserve(4096));
                }
                sink.SetLimit(prefix.size() + expected.size() - shortBy);
                const int status = Assemble(program.get(), &sink);
                ASSERT_LE(sink.Length(), prefix.size() + expected.size() - shortBy);
                if (shortBy > 0) {
                    EXPECT_EQ(status, Status::ASSEMBLY_FAILED);
                    continue;
                }
                EXPECT_EQ(status, Status::OK);
                EXPECT_EQ(Bytes(sink.Buffer(), sink.Buffer() + sink.Length()), concat({prefix, expected}));
            }
        }
    }
}

TEST(EncodedProgram, AssemblesRelocationTablesAndArmBranches)
{
    struct Case
    {
        const char *name;
        void (*build)(EncodedProgram *program);
        Bytes expected;
    };
    const Case cases[] = {
        {"ELF entries sorted, before the output that follows the op",
         [](EncodedProgram *p) {
             EXPECT_TRUE(p->SetAbs32Rva(0, 0x10));
             EXPECT_TRUE(p->AppendElfRelocs());
             EXPECT_TRUE(p->AppendOrigin(0x20));
             EXPECT_TRUE(p->AppendAbs32(0));
             EXPECT_TRUE(p->AppendOrigin(0x08));
             EXPECT_TRUE(p->AppendAbs32(0));
         },
         {0x08, 0, 0, 0, 0x08, 0, 0, 0, 0x20, 0, 0, 0, 0x08, 0, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 0}},
        {"ELF ARM entries have type 23",
         [](EncodedProgram *p) {
             EXPECT_TRUE(p->SetAbs32Rva(0, 0x10));
             EXPECT_TRUE(p->AppendAbs32(0));
             EXPECT_TRUE(p->AppendElfArmRelocs());
         },
         {0x10, 0, 0, 0, 0x00, 0, 0, 0, 23, 0, 0, 0}},
        {"PE64 entries have type 10",
         [](EncodedProgram *p) {
             EXPECT_TRUE(p->SetAbs32Rva(0, 0x10));
             EXPECT_TRUE(p->AppendOrigin(0x3FFC));
             EXPECT_TRUE(p->AppendAbs32(0));
             EXPECT_TRUE(p->AppendPeRelocs(WIN_32_X64));
         },
         {0x10, 0, 0, 0, 0x00, 0x30, 0, 0, 12, 0, 0, 0, 0xFC, 0xAF, 0, 0}},
        {"no relocations, no table",
         [](EncodedProgram *p) { EXPECT_TRUE(p->AppendPeRelocs(WIN_32_X86)); },
         {}},
        {"ARM BL +0x48 at 0x1000",
         [](EncodedProgram *p) {
             EXPECT_TRUE(p->SetRel32Rva(0, 0x1048));
             EXPECT_TRUE(p->AppendOrigin(0x1000));
             EXPECT_TRUE(p->AppendRel32Arm(0x30EB, 0));
         },
         {0x10, 0x00, 0x00, 0xEB}},
        {"Thumb B +14 writes one halfword and moves on by 2",
         [](EncodedProgram *p) {
             EXPECT_TRUE(p->SetRel32Rva(0, 0x100E));
             EXPECT_TRUE(p->SetRel32Rva(1, 0x1002));
             EXPECT_TRUE(p->AppendOrigin(0x1000));
             EXPECT_TRUE(p->AppendRel32Arm(0x201C, 0));
             EXPECT_TRUE(p->AppendRel32(1));
         },
         {0x05, 0xE0, 0xFC, 0xFF, 0xFF, 0xFF}},
        {"Thumb-2 BEQ.W +0 writes its first halfword first",
         [](EncodedProgram *p) {
             EXPECT_TRUE(p->SetRel32Rva(0, 0x104));
             EXPECT_TRUE(p->AppendOrigin(0x100));
             EXPECT_TRUE(p->AppendRel32Arm(0x5000, 0));
         },
         {0x00, 0xF0, 0x00, 0x80}},
        {"literal runs merge: two lone bytes and three more are one copy of five",
         [](EncodedProgram *p) {
             const uint8_t a = 'a', b = 'b';
             EXPECT_TRUE(p->AppendCopy(1, &a));
             EXPECT_TRUE(p->AppendCopy(1, &b));
             EXPECT_TRUE(p->AppendCopy(3, reinterpret_cast<const uint8_t *>("cde")));
             EXPECT_EQ(p->ops().size(), 1u);
             EXPECT_EQ(p->ops()[0], uint32_t(ENC_COPY));
             EXPECT_EQ(p->copy_counts().size(), 1u);
             EXPECT_EQ(p->copy_counts()[0], 5u);
         },
         {'a', 'b', 'c', 'd', 'e'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EncodedProgram program;
        c.build(&program);
        int status = 0;
        EXPECT_EQ(assembled(&program, &status), c.expected);
        EXPECT_EQ(status, Status::OK);
    }
}

TEST(EncodedProgram, RvaTableGapsTakeTheEntryBefore)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0x1000));
    ASSERT_TRUE(program.SetAbs32Rva(2, 0x1400));
    ASSERT_TRUE(program.SetRel32Rva(1, 0x2000));
    EXPECT_EQ(program.abs32_rvas()[1], 0xFFFFFFFFu);
    program.FillRvaGaps();
    ASSERT_EQ(program.abs32_rvas().size(), 3u);
    EXPECT_EQ(program.abs32_rvas()[0], 0x1000u);
    EXPECT_EQ(program.abs32_rvas()[1], 0x1000u);
    EXPECT_EQ(program.abs32_rvas()[2], 0x1400u);
    ASSERT_EQ(program.rel32_rvas().size(), 2u);
    EXPECT_EQ(program.rel32_rvas()[0], 0u);
    EXPECT_EQ(program.rel32_rvas()[1], 0x2000u);
}

TEST(EncodedProgram, RefusesUnnumberedLabelIndexes)
{
    EncodedProgram program;
    EXPECT_FALSE(program.SetAbs32Rva(-1, 0x1000));
    EXPECT_FALSE(program.SetRel32Rva(-5, 0x1000));
    EXPECT_FALSE(program.AppendAbs32(-1));
    EXPECT_FALSE(program.AppendRel32(-1));
    EXPECT_FALSE(program.AppendRel32Arm(0x30EB, -1));
    EXPECT_TRUE(program.abs32_rvas().empty());
    EXPECT_TRUE(program.ops().empty());
}

TEST(EncodedProgram, ImageBaseKeepsOnlyItsLow32Bits)
{
    EncodedProgram program;
    program.set_image_base(0x123456788004000Full);
    const Bytes written = serialisedProgram(&program);
    const Bytes expected = concat({setHeader({6, 1, 1, 1, 1, 1, 1, 1, 0, 0}),
                                   {0x8F, 0x80, 0x90, 0x80, 0x08, 0x00}, // 0x8004000F, no origins
                                   {0x00}, {0x00}, {0x00}, {0x00}, {0x00}, {0x00}, {0x00}});
    EXPECT_EQ(written, expected);
    EncodedProgram *read = nullptr;
    ASSERT_EQ(readProgram(written, &read), Status::OK);
    EXPECT_EQ(read->image_base(), 0x8004000Full);
    DeleteEncodedProgram(read);
}

TEST(EncodedProgram, WriteNeedsEightStreams)
{
    EncodedPtr program = copyProgram();
    SinkStreamSet seven;
    ASSERT_TRUE(seven.Init(7));
    EXPECT_EQ(WriteEncodedProgram(program.get(), &seven), Status::STREAM_ERROR);
    SinkStreamSet eight;
    ASSERT_TRUE(eight.Init(8));
    EXPECT_EQ(WriteEncodedProgram(program.get(), &eight), Status::OK);
}

TEST(EncodedProgram, MalformedSetsFailToRead)
{
    // Streams of the copy program, changed one at a time.
    const std::vector<Bytes> good = {{0x00, 0x00}, {0x01, 0x01}, {0x03, 'A', 'B', 'C'}, {0x00}, {0x00},
                                     {0x00},       {0x00},       {0x01, 0x03}};
    const auto with = [&good](size_t stream, const Bytes &bytes) {
        std::vector<Bytes> streams = good;
        if (streams.size() <= stream)
            streams.resize(stream + 1);
        streams[stream] = bytes;
        return serialisedSet(streams);
    };
    struct Case
    {
        const char *name;
        Bytes set;
    };
    const Case cases[] = {
        {"eight streams only", serialisedSet(good, 8)},
        {"no streams", serialisedSet({}, 0)},
        {"all streams empty", serialisedSet({})},
        {"stream 8 holds a byte", with(8, {0x00})},
        {"a byte left in stream 0 after the origins", with(0, {0x00, 0x00, 0x00})},
        {"a byte left in the ops", with(1, {0x01, 0x01, 0x01})},
        {"ops count beyond the stream", with(1, {0xC8, 0x01, 0x01})},
        {"ops count 0xFFFFFFFF", with(1, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01})},
        {"origins count beyond the stream", with(0, {0x00, 0x02, 0x00})},
        {"copy byte count beyond the stream", with(2, {0x05, 'A', 'B', 'C'})},
        {"copy byte count 0xFFFFFFFF", with(2, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F})},
        {"abs32 address count beyond the stream", with(5, {0x03, 0x10})},
        {"rel32 index cut short", with(4, {0x01, 0x80})},
        {"image base cut short", with(0, {0x80})},
        {"image base missing", with(0, {})},
        {"copy counts missing", with(7, {})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.set.empty());
        EncodedProgram *program = reinterpret_cast<EncodedProgram *>(1);
        EXPECT_EQ(readProgram(c.set, &program), Status::DESERIALIZATION_FAILED);
        EXPECT_EQ(program, nullptr);
    }
    EncodedProgram *program = nullptr;
    ASSERT_EQ(readProgram(serialisedSet(good), &program), Status::OK);
    DeleteEncodedProgram(program);
}

TEST(EncodedProgram, InconsistentProgramsFailToAssemble)
{
    // Streams: 0 base and origins, 1 ops, 2 copy bytes, 3 abs32_ix, 4 rel32_ix, 5 abs32 RVAs, 6 rel32 RVAs,
    // 7 copy counts.
    const auto set = [](Bytes origins, Bytes ops, Bytes copyBytes, Bytes abs32Ix, Bytes rel32Ix, Bytes copyCounts) {
        Bytes base = {0x00};
        base.insert(base.end(), origins.begin(), origins.end());
        return serialisedSet({base, ops, copyBytes, abs32Ix, rel32Ix, {0x01, 0x10}, {0x01, 0x20}, copyCounts});
    };
    const Bytes none = {0x00};
    struct Case
    {
        const char *name;
        Bytes set;
        int status;
    };
    const Case cases[] = {
        {"origin without an origin", set(none, {0x01, 0x00}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"an origin too many", set({0x01, 0x05}, none, none, none, none, none), Status::OK},
        {"copy without a count", set(none, {0x01, 0x01}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"copy count beyond the bytes", set(none, {0x01, 0x01}, {0x01, 'A'}, none, none, {0x01, 0x02}),
         Status::ASSEMBLY_FAILED},
        {"a copy byte too many", set(none, {0x01, 0x01}, {0x02, 'A', 'B'}, none, none, {0x01, 0x01}),
         Status::ASSEMBLY_FAILED},
        {"a copy count too many", set(none, {0x01, 0x01}, {0x01, 'A'}, none, none, {0x02, 0x01, 0x00}),
         Status::ASSEMBLY_FAILED},
        {"lone byte without a byte", set(none, {0x01, 0x02}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"rel32 without an index", set(none, {0x01, 0x03}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"rel32 index beyond the table", set(none, {0x01, 0x03}, none, none, {0x01, 0x01}, none),
         Status::ASSEMBLY_FAILED},
        {"abs32 index beyond the table", set(none, {0x01, 0x04}, none, {0x01, 0x01}, none, none),
         Status::ASSEMBLY_FAILED},
        {"abs32 index 0xFFFFFFFF", set(none, {0x01, 0x04}, none, {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, none, none),
         Status::ASSEMBLY_FAILED},
        {"an abs32 index left over", set(none, none, none, {0x01, 0x00}, none, none), Status::ASSEMBLY_FAILED},
        {"a rel32 index left over", set(none, none, none, none, {0x01, 0x00}, none), Status::ASSEMBLY_FAILED},
        {"two PE tables", set(none, {0x02, 0x05, 0x08}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"two ELF tables", set(none, {0x02, 0x06, 0x07}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"a PE and an ELF table", set(none, {0x02, 0x05, 0x06}, none, none, none, none), Status::OK},
        {"ARM op of form tag 0", set(none, {0x01, 0x09}, none, none, {0x01, 0x00}, none), Status::ASSEMBLY_FAILED},
        {"ARM op of form tag 6", set(none, {0x01, 0x80, 0xC0, 0x01}, none, none, {0x01, 0x00}, none),
         Status::ASSEMBLY_FAILED},
        {"ARM op without an index", set(none, {0x01, 0x80, 0x60}, none, none, none, none), Status::ASSEMBLY_FAILED},
        {"ARM op index beyond the table", set(none, {0x01, 0x80, 0x60}, none, none, {0x01, 0x01}, none),
         Status::ASSEMBLY_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EncodedProgram *program = nullptr;
        ASSERT_EQ(readProgram(c.set, &program), Status::OK);
        EncodedPtr owned(program);
        int status = 0;
        assembled(program, &status);
        EXPECT_EQ(status, c.status);
    }
}

TEST(EncodedProgram, RelocationBlockHoldsAtMost4096Entries)
{
    // References written again and again at one address (origins allow it) pile up in one page.
    for (const uint32_t references : {4096u, 4097u}) {
        SCOPED_TRACE(references);
        EncodedProgram program;
        ASSERT_TRUE(program.SetAbs32Rva(0, 0));
        for (uint32_t i = 0; i < references; ++i)
            ASSERT_TRUE(program.AppendOrigin(0x1FF0) && program.AppendAbs32(0));
        ASSERT_TRUE(program.AppendPeRelocs(WIN_32_X86));
        int status = 0;
        const Bytes out = assembled(&program, &status);
        if (references == 4096) {
            ASSERT_EQ(status, Status::OK);
            ASSERT_EQ(out.size(), 4096u * 4 + 8 + 4096 * 2);
            const Bytes header(out.begin() + 4096 * 4, out.begin() + 4096 * 4 + 8);
            EXPECT_EQ(header, (Bytes{0x00, 0x10, 0x00, 0x00, 0x08, 0x20, 0x00, 0x00})); // page 0x1000, 8200 bytes
            EXPECT_EQ(out[out.size() - 2], 0xF0);
            EXPECT_EQ(out[out.size() - 1], 0x3F);
        } else {
            EXPECT_EQ(status, Status::ASSEMBLY_FAILED);
        }
    }
}

TEST(EncodedProgram, SummaryNamesEveryArray)
{
    LogRecorder log;
    EncodedPtr program = labelProgram();
    program->PrintSummary();
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.levels[0], 3);
    EXPECT_EQ(log.messages[0],
              "EncodedProgram Summary\n  image base  4194304\n  abs32 rvas  2\n  rel32 rvas  1\n  ops         6"
              "\n  origins     1\n  copy_counts 0\n  copy_bytes  2\n  abs32_ix    2\n  rel32_ix    1");
}

TEST(GrowableArray, GrowsFrom64ByDoublingAndPinsOnAnImpossibleRequest)
{
    GrowableArray<uint32_t> array;
    ASSERT_TRUE(array.PushBack(7));
    EXPECT_EQ(array.capacity(), 64u);
    for (uint32_t i = 1; i < 65; ++i)
        ASSERT_TRUE(array.PushBack(i));
    EXPECT_EQ(array.capacity(), 128u);
    EXPECT_EQ(array[0], 7u);

    EXPECT_FALSE(array.Reserve(0x40000000));
    EXPECT_TRUE(array.Pinned());
    EXPECT_EQ(array.size(), 0u);
    EXPECT_FALSE(array.PushBack(1));
    EXPECT_FALSE(array.Reserve(1));
}
