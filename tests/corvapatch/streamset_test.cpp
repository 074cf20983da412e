#include "bytes.h"
#include "sinkstreamset.h"
#include "sourcestreamset.h"

#include <gtest/gtest.h>

using namespace corvapatch;

namespace {

Bytes contents(SourceStream *s)
{
    return s ? Bytes(s->Current(), s->Current() + s->Remaining()) : Bytes();
}

const Bytes kEmptySet = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

} // namespace

TEST(SinkStreamSet, EmptySetSerialisesToFifteenBytes)
{
    SinkStreamSet set;
    SinkStream out;
    ASSERT_TRUE(set.CopyTo(&out));
    EXPECT_EQ(bytesOf(out), kEmptySet);
}

TEST(SinkStreamSet, CopyToWritesEveryLengthAndTheStreamsInOrder)
{
    SinkStreamSet set;
    ASSERT_TRUE(set.stream(0)->Write("ab", 2));
    ASSERT_TRUE(set.stream(3)->Write("c", 1));
    Bytes big(200, 0x11);
    ASSERT_TRUE(set.stream(9)->Write(big.data(), big.size()));
    SinkStream out;
    ASSERT_TRUE(out.Write("!", 1)); // CopyTo appends
    ASSERT_TRUE(set.CopyTo(&out));

    Bytes expected = {'!', 0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x02, 0, 0, 0x01, 0, 0, 0, 0, 0, 0xC8, 0x01, 'a', 'b', 'c'};
    expected.insert(expected.end(), big.begin(), big.end());
    EXPECT_EQ(bytesOf(out), expected);
    EXPECT_EQ(set.stream(0)->Length(), 0u); // streams are retired once copied
    EXPECT_EQ(set.stream(9)->Length(), 0u);
}

TEST(SinkStreamSet, CountLimitsTheHeaderAndTheStreams)
{
    SinkStreamSet set;
    EXPECT_FALSE(set.Init(11));
    EXPECT_EQ(set.count(), 10u);
    ASSERT_TRUE(set.Init(2));
    EXPECT_EQ(set.stream(2), nullptr);
    ASSERT_TRUE(set.stream(1)->Write("z", 1));
    SinkStream out;
    ASSERT_TRUE(set.CopyTo(&out));
    EXPECT_EQ(bytesOf(out), (Bytes {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00, 0x01, 'z'}));
}

TEST(SinkStreamSet, WriteSetCountsEmptyStreamsBelowTheHighestOnly)
{
    SinkStreamSet inner;
    ASSERT_TRUE(inner.stream(2)->Write("xy", 2));
    SinkStreamSet outer;
    ASSERT_TRUE(outer.stream(2)->Write("p", 1)); // appended after what is there
    ASSERT_TRUE(outer.WriteSet(&inner));
    EXPECT_EQ(bytesOf(*outer.stream(0)), (Bytes {0x03, 0x00, 0x00, 0x02}));
    EXPECT_EQ(bytesOf(*outer.stream(2)), (Bytes {'p', 'x', 'y'}));
    EXPECT_EQ(outer.stream(1)->Length(), 0u);

    SinkStreamSet allEmpty;
    SinkStreamSet second;
    ASSERT_TRUE(second.WriteSet(&allEmpty));
    EXPECT_EQ(bytesOf(*second.stream(0)), (Bytes {0x00}));
}

TEST(SinkStreamSet, WriteSetIntoTooFewStreamsFails)
{
    SinkStreamSet inner;
    ASSERT_TRUE(inner.stream(2)->Write("xy", 2));
    SinkStreamSet two;
    ASSERT_TRUE(two.Init(2));
    EXPECT_FALSE(two.WriteSet(&inner));
    SinkStreamSet none;
    ASSERT_TRUE(none.Init(0));
    SinkStreamSet empty;
    EXPECT_FALSE(none.WriteSet(&empty));
}

TEST(SinkStreamSet, WriteSetOfAFailedStreamFails)
{
    SinkStreamSet inner;
    ASSERT_TRUE(inner.stream(0)->Write("a", 1));
    ASSERT_FALSE(inner.stream(5)->Reserve(0xFFFFFFFFu)); // fails stream 5, which now reads as empty
    SinkStreamSet outer;
    EXPECT_FALSE(outer.WriteSet(&inner));
}

TEST(SourceStreamSet, InitParsesTheTopLevelForm)
{
    const Bytes data = {0xEA, 0x9A, 0xCA, 0x09, 0x03, 0x02, 0x00, 0x01, 0xAA, 0xBB, 0xCC};
    SourceStreamSet set;
    ASSERT_TRUE(set.Init(data.data(), data.size()));
    EXPECT_EQ(set.count(), 3u);
    EXPECT_EQ(contents(set.stream(0)), (Bytes {0xAA, 0xBB}));
    EXPECT_EQ(contents(set.stream(1)), Bytes {});
    EXPECT_EQ(contents(set.stream(2)), (Bytes {0xCC}));
    EXPECT_EQ(set.stream(3), nullptr);
    EXPECT_FALSE(set.Empty());
    ASSERT_TRUE(set.stream(0)->Skip(2));
    ASSERT_TRUE(set.stream(2)->Skip(1));
    EXPECT_TRUE(set.Empty());
}

TEST(SourceStreamSet, InitRejectsMalformedHeaders)
{
    struct Case
    {
        const char *name;
        Bytes bytes;
        bool ok;
        uint32_t count; // after the call
    };
    const Case cases[] = {
        {"count 0", {0xEA, 0x9A, 0xCA, 0x09, 0x00}, true, 0},
        {"count 0 with a byte after", {0xEA, 0x9A, 0xCA, 0x09, 0x00, 0x00}, false, 0},
        {"count 10, all empty", kEmptySet, true, 10},
        {"count 11", {0xEA, 0x9A, 0xCA, 0x09, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 10},
        {"huge count", {0xEA, 0x9A, 0xCA, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, false, 10},
        {"other version", {0xEB, 0x9A, 0xCA, 0x09, 0x00}, false, 10},
        {"empty input", {}, false, 10},
        {"version cut short", {0xEA, 0x9A}, false, 10},
        {"no count", {0xEA, 0x9A, 0xCA, 0x09}, false, 10},
        {"lengths cut short", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01}, false, 2},
        {"one byte too few", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 0xAA}, false, 1},
        {"one byte too many", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 0xAA, 0xBB, 0xCC}, false, 1},
        // Two lengths of 0xFFFFFFFF sum to 2 modulo 2^32: a wrapping sum would accept the two bytes.
        {"lengths wrap",
         {0xEA, 0x9A, 0xCA, 0x09, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x04, 0xAA, 0xBB},
         false,
         3},
        {"longer version encoding is accepted", {0xEA, 0x9A, 0xCA, 0x89, 0x00, 0x01, 0x01, 0x55}, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SourceStreamSet set;
        EXPECT_EQ(set.Init(c.bytes.data(), c.bytes.size()), c.ok);
        EXPECT_EQ(set.count(), c.count);
        if (!c.ok) {
            for (uint32_t i = 0; i < set.count(); ++i)
                EXPECT_TRUE(set.stream(i)->Empty()) << i;
        }
    }
}

TEST(SourceStreamSet, InitFromACursorLeavesTheCursorInPlace)
{
    Bytes data = {0x77};
    data.insert(data.end(), kEmptySet.begin(), kEmptySet.end());
    SourceStream cursor;
    cursor.Init(data.data(), data.size());
    ASSERT_TRUE(cursor.Skip(1));
    SourceStreamSet set;
    ASSERT_TRUE(set.Init(cursor));
    EXPECT_EQ(cursor.Remaining(), kEmptySet.size());
}

TEST(StreamSet, NestedSetRoundTripsThroughTheTopLevelForm)
{
    SinkStreamSet inner;
    ASSERT_TRUE(inner.stream(0)->Write("A", 1));
    ASSERT_TRUE(inner.stream(2)->Write("BC", 2));
    SinkStreamSet outer;
    ASSERT_TRUE(outer.WriteSet(&inner));
    SinkStream combined;
    ASSERT_TRUE(outer.CopyTo(&combined));
    const Bytes expected = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x05, 0x00, 0x02, 0,   0,   0,
                            0,    0,    0,    0,    0x03, 0x01, 0x00, 0x02, 'A', 'B', 'C'};
    EXPECT_EQ(bytesOf(combined), expected);

    SourceStreamSet parsed;
    ASSERT_TRUE(parsed.Init(combined.Buffer(), combined.Length()));
    SourceStreamSet back;
    ASSERT_TRUE(parsed.ReadSet(&back));
    EXPECT_EQ(back.count(), 10u);
    EXPECT_EQ(contents(back.stream(0)), (Bytes {'A'}));
    EXPECT_EQ(contents(back.stream(1)), Bytes {});
    EXPECT_EQ(contents(back.stream(2)), (Bytes {'B', 'C'}));
    EXPECT_TRUE(back.stream(3)->Empty());
    EXPECT_TRUE(parsed.Empty());
}

TEST(SourceStreamSet, ReadSetRejectsCountsItCannotHold)
{
    struct Case
    {
        const char *name;
        Bytes outer;
    };
    const Case cases[] = {
        // outer set of count 0: there is no stream 0 to read n from
        {"outer without streams", {0xEA, 0x9A, 0xCA, 0x09, 0x00}},
        // outer count 1, n = 2: stream 1 of the outer set does not exist
        {"n above the outer count", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x03, 0x02, 0x00, 0x00}},
        {"n above 10", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x01, 0x0B}},
        {"lengths cut short", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 0x02, 0x00}},
        {"substream longer than its stream", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 0x01, 0x05}},
        {"empty stream 0", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SourceStreamSet outer;
        ASSERT_TRUE(outer.Init(c.outer.data(), c.outer.size()));
        SourceStreamSet inner;
        EXPECT_FALSE(outer.ReadSet(&inner));
    }
}
