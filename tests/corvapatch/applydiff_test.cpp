#include "binarydiff.h"
#include "bytes.h"
#include "logrecorder.h"
#include "lzmaioout.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvapatch;

namespace {

Bytes Text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

struct Applied
{
    bool ok;
    Bytes output;
    std::string messages;
    size_t patchLeft;
};

Applied Apply(const Bytes &old, const Bytes &patch, bool withHeader = false)
{
    LogRecorder log;
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream output;
    const bool ok = ApplyDiff(&oldStream, &patchStream, &output, withHeader);
    EXPECT_EQ(oldStream.Remaining(), old.size()); // the old cursor never moves
    return {ok, bytesOf(output), log.joined("; "), patchStream.Remaining()};
}

} // namespace

// Hand-assembled diffs: method, new size, the three lengths, then control triples (zigzag: 0 -> 00, 1 -> 02,
// -1 -> 01, 3 -> 06, -5 -> 09, -6 -> 0B), diff bytes and extra bytes.
TEST(ApplyDiff, AppliesHandWrittenDiffs)
{
    struct Case
    {
        const char *name;
        Bytes old;
        Bytes patch;
        Bytes output;
        size_t patchLeft;
    };
    const Case cases[] = {
        {"empty", {}, {0x00, 0x00, 0x00, 0x00, 0x00}, {}, 0},
        {"extra only", {}, {0x00, 0x04, 0x03, 0x00, 0x04, 0x00, 0x08, 0x00, 0x61, 0x62, 0x63, 0x64}, Text("abcd"), 0},
        {"copy adds modulo 256",
         {0x01, 0x02, 0x03},
         {0x00, 0x03, 0x03, 0x03, 0x00, 0x06, 0x00, 0x00, 0xFF, 0x00, 0x01},
         {0x00, 0x02, 0x04},
         0},
        // (0,0,3) seeks to "DEF", (3,0,-6) copies it and goes back to 0, (3,0,0) copies "ABC".
        {"negative seek",
         Text("ABCDEF"),
         {0x00, 0x06, 0x09, 0x06, 0x00, 0x00, 0x00, 0x06, 0x06, 0x00, 0x0B, 0x06, 0x00, 0x00, 0, 0, 0, 0, 0, 0},
         Text("DEFABC"),
         0},
        // (0,0,4); (2,1,-5) adds 01 01 to "EF" and appends "x", then goes back to 1; (2,0,0) adds 00 20 to "BC".
        {"copy, extra and negative seek in one triple",
         Text("ABCDEF"),
         {0x00, 0x05, 0x09, 0x04, 0x01, 0x00, 0x00, 0x08, 0x04, 0x02, 0x09, 0x04, 0x00, 0x00, 0x01, 0x01, 0x00, 0x20,
          0x78},
         Text("FGxBc"),
         0},
        // (0,0,100) and (0,0,-200) leave the old position at 100 and then -100; empty copies read nothing there.
        {"empty copies outside the old data",
         {0x01, 0x02, 0x03},
         {0x00, 0x01, 0x0B, 0x00, 0x01, 0x00, 0x00, 0xC8, 0x01, 0x00, 0x00, 0x8F, 0x03, 0x00, 0x02, 0x00, 0x7A},
         Text("z"),
         0},
        // Triples and bytes beyond the new size are ignored; the cursor stops after the three areas.
        {"leftovers ignored, cursor after the areas",
         {},
         {0x00, 0x01, 0x06, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x61, 0x62, 0xEE, 0xEE},
         Text("a"),
         2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Applied result = Apply(c.old, c.patch);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.messages, "");
        EXPECT_EQ(result.patchLeft, c.patchLeft);
    }
}

TEST(ApplyDiff, ChecksTheOptionalHeader)
{
    // "CVDIFF10", the varint32 of 0xCADBBE3D (the crc of "abc"), then (0,3,0) with the extra bytes "abc".
    const Bytes magic = Text("CVDIFF10");
    const Bytes body = {0x00, 0x03, 0x03, 0x00, 0x03, 0x00, 0x06, 0x00, 0x61, 0x62, 0x63};
    auto with = [&](Bytes prefix) {
        prefix.insert(prefix.end(), body.begin(), body.end());
        return prefix;
    };
    Bytes goodHeader = magic;
    goodHeader.insert(goodHeader.end(), {0xBD, 0xFC, 0xEE, 0xD6, 0x0C});
    Bytes wrongCrc = magic;
    wrongCrc.insert(wrongCrc.end(), {0xBD, 0xFC, 0xEE, 0xD6, 0x0D});
    Bytes cutCrc = magic;
    cutCrc.push_back(0x80);

    struct Case
    {
        const char *name;
        Bytes patch;
        bool ok;
        std::string messages;
    };
    const Case cases[] = {
        {"good", with(goodHeader), true, ""},
        {"wrong crc", with(wrongCrc), false, "crc mismatch"},
        {"other magic", with(Text("CVDIFF11\xBD\xFC\xEE\xD6\x0C")), false, "Corrupt patch header"},
        {"magic cut short", Text("CVDIFF"), false, ""},
        {"crc cut short", cutCrc, false, "Could not read crc"},
        {"no header where one is expected", body, false, "Corrupt patch header"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Applied result = Apply({}, c.patch, true);
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.messages, c.messages);
        if (c.ok) {
            EXPECT_EQ(result.output, Text("abc"));
        }
    }
    // Without the header the same bytes are not taken for one.
    EXPECT_EQ(Apply({}, body).output, Text("abc"));
}

// The diff appends to an output that already holds bytes: the header's crc covers only the bytes this diff made.
TEST(ApplyDiff, AppendsToAnOutputThatAlreadyHoldsBytes)
{
    // "CVDIFF10", crc 0xCADBBE3D of "abc", then (0,3,0) with the extra bytes "abc".
    Bytes patch = Text("CVDIFF10");
    patch.insert(patch.end(), {0xBD, 0xFC, 0xEE, 0xD6, 0x0C, 0x00, 0x03, 0x03, 0x00, 0x03, 0x00, 0x06, 0x00, 0x61, 0x62,
                               0x63});
    const Bytes old;
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream output;
    ASSERT_TRUE(output.Write("XYZ", 3));
    LogRecorder log;
    EXPECT_TRUE(ApplyDiff(&oldStream, &patchStream, &output, true));
    EXPECT_EQ(bytesOf(output), Text("XYZabc"));
    EXPECT_EQ(log.joined("; "), "");
}

TEST(ApplyDiff, RejectsEveryBrokenLimit)
{
    const Bytes abcd = Text("abcd");
    const Bytes three = {0x01, 0x02, 0x03};
    struct Case
    {
        const char *name;
        Bytes old;
        Bytes patch;
        std::string messages; // empty: fails without a message of its own
    };
    const Case cases[] = {
        {"empty patch", {}, {}, ""},
        {"method 3", {}, {0x03, 0x00, 0x00, 0x00, 0x00}, "Invalid compression method"},
        {"method 255", {}, {0xFF, 0x00, 0x00, 0x00, 0x00}, "Invalid compression method"},
        {"new size missing", {}, {0x00}, ""},
        {"new size cut short", {}, {0x00, 0x80}, ""},
        {"lengths cut short", {}, {0x00, 0x00, 0x00, 0x00}, ""},
        {"areas shorter than their lengths", {}, {0x00, 0x00, 0x01, 0x00, 0x00}, ""},
        // 0xFFFFFFFF + 1 + 1 wraps to 1 in 32 bits, which is the one byte that follows.
        {"lengths that wrap in 32 bits", {}, {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x01, 0x61}, ""},
        {"control ends inside a triple",
         {},
         {0x00, 0x01, 0x02, 0x00, 0x01, 0x00, 0x02, 0x61},
         "Corrupt patch reading control"},
        {"control ends before the new size",
         {},
         {0x00, 0x02, 0x03, 0x00, 0x02, 0x00, 0x02, 0x00, 0x61, 0x62},
         "Corrupt patch reading control"},
        {"negative copy length", {}, {0x00, 0x01, 0x03, 0x00, 0x01, 0x01, 0x00, 0x00, 0x61}, "Corrupt patch"},
        {"negative extra length", {}, {0x00, 0x01, 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x61}, "Corrupt patch"},
        {"copy one byte past the old data",
         three,
         {0x00, 0x04, 0x03, 0x04, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         ""},
        {"copy before the old data",
         three,
         {0x00, 0x02, 0x06, 0x02, 0x00, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00},
         ""},
        // Position 2^31 - 1 plus a copy of 2 wraps negative in 32 bits.
        {"old position plus copy length wraps",
         three,
         {0x00, 0x02, 0x0A, 0x02, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0x04, 0x00, 0x00, 0x00, 0x00},
         ""},
        {"copy past the new size",
         abcd,
         {0x00, 0x03, 0x03, 0x04, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         "Corrupt patch"},
        {"copy past the diff data",
         abcd,
         {0x00, 0x04, 0x03, 0x03, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7A},
         "Corrupt patch"},
        {"extra past the new size",
         {},
         {0x00, 0x03, 0x03, 0x00, 0x04, 0x00, 0x08, 0x00, 0x61, 0x62, 0x63, 0x64},
         "Corrupt patch"},
        {"extra past the extra data",
         {},
         {0x00, 0x04, 0x03, 0x01, 0x03, 0x00, 0x08, 0x00, 0x00, 0x61, 0x62, 0x63},
         "Corrupt patch"},
        {"new size beyond the diff and extra bytes",
         {},
         {0x00, 0x05, 0x03, 0x00, 0x04, 0x00, 0x08, 0x00, 0x61, 0x62, 0x63, 0x64},
         "Corrupt patch"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Applied result = Apply(c.old, c.patch);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.messages, c.messages);
    }
}

TEST(ApplyDiff, LyingNewSizeAllocatesNothingLarge)
{
    // New size 0xFFFFFFFF over a body that can produce one byte.
    const Bytes patch = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x61};
    SourceStream old;
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream output;
    EXPECT_FALSE(ApplyDiff(&old, &patchStream, &output, false));
    EXPECT_FALSE(output.Failed());
    EXPECT_EQ(output.Capacity(), 0u);
}

TEST(ApplyDiff, FailedOutputSinkFailsTheDiff)
{
    const Bytes patch = {0x00, 0x04, 0x03, 0x00, 0x04, 0x00, 0x08, 0x00, 0x61, 0x62, 0x63, 0x64};
    SourceStream old;
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream output;
    ASSERT_FALSE(output.Reserve(0xFFFFFFFFu)); // cannot be held: the sink is failed from here on
    EXPECT_FALSE(ApplyDiff(&old, &patchStream, &output, false));
}

namespace {

Bytes Block(const Bytes &content)
{
    SinkStream sink;
    EXPECT_TRUE(CompressLzma2Buffer(content.data(), content.size(), &sink));
    return bytesOf(sink);
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

TEST(ApplyDiff, ReadsCompressedBodies)
{
    // Old "ABCDEF": (0,0,4); (2,1,-5) makes "FG" and "x"; (2,0,0) makes "Bc" (the negative-seek case above).
    const Bytes old = Text("ABCDEF");
    const Bytes control = {0x00, 0x00, 0x08, 0x04, 0x02, 0x09, 0x04, 0x00, 0x00};
    const Bytes diff = {0x01, 0x01, 0x00, 0x20};
    const Bytes extra = Text("x");
    const Bytes rawBody = Concat({{0x09, 0x04, 0x01}, control, diff, extra});
    const Bytes trailer = {0xEE, 0xEE, 0xEE};
    Bytes corruptDiffBlock = Block(diff);
    corruptDiffBlock[2] = 0x7F; // after the property and the one-byte size: no valid LZMA2 chunk starts so

    struct Case
    {
        const char *name;
        Bytes patch;
        bool ok;
        std::string messages;
    };
    const Case cases[] = {
        {"method 1", Concat({{0x01, 0x05}, Block(control), Block(diff), Block(extra), trailer}), true, ""},
        {"method 2", Concat({{0x02, 0x05}, Block(rawBody), trailer}), true, ""},
        {"method 1, extra block missing", Concat({{0x01, 0x05}, Block(control), Block(diff)}), false,
         "Error read LZMA2 properties"},
        {"method 1, corrupt diff block", Concat({{0x01, 0x05}, Block(control), corruptDiffBlock, Block(extra)}), false,
         "Error uncompressing data 1"},
        {"method 2, body shorter than its lengths",
         Concat({{0x02, 0x05}, Block(Bytes(rawBody.begin(), rawBody.end() - 1))}), false, ""},
        {"method 2, new size beyond the body", Concat({{0x02, 0x06}, Block(rawBody)}), false, "Corrupt patch"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Applied result = Apply(old, c.patch);
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.messages, c.messages);
        if (c.ok) {
            EXPECT_EQ(result.output, Text("FGxBc"));
            EXPECT_EQ(result.patchLeft, trailer.size()); // the cursor stops right after the blocks
        }
    }
}
