#include "bytes.h"
#include "growablebuffer.h"
#include "sinkstream.h"

#include <gtest/gtest.h>

using namespace corvapatch;

TEST(SinkStream, GrowsFrom256ByDoubling)
{
    SinkStream sink;
    EXPECT_EQ(sink.Buffer(), nullptr);
    ASSERT_TRUE(sink.Write("x", 1));
    EXPECT_EQ(sink.Capacity(), 256u);
    const Bytes block(300, 0xAB);
    ASSERT_TRUE(sink.Write(block.data(), block.size()));
    EXPECT_EQ(sink.Capacity(), 512u);
    EXPECT_EQ(sink.Length(), 301u);
    EXPECT_EQ(sink.Buffer()[0], 'x');
    EXPECT_EQ(sink.Buffer()[300], 0xAB);

    ASSERT_TRUE(sink.Reserve(1000)); // one allocation of exactly length + n
    EXPECT_EQ(sink.Capacity(), 1301u);
    EXPECT_EQ(sink.Length(), 301u);
    EXPECT_EQ(sink.Buffer()[0], 'x');
}

TEST(SinkStream, ReserveThatWouldWrapFailsAndKeepsTheData)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Write("0123456789", 10));
    EXPECT_FALSE(sink.Reserve(0xFFFFFFFFu - 5));
    EXPECT_FALSE(sink.Reserve(SIZE_MAX));
    EXPECT_FALSE(sink.Failed());
    EXPECT_EQ(bytesOf(sink), Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_TRUE(sink.Write("a", 1));
}

TEST(SinkStream, FailedStateIsStickyForEveryOperation)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Write("abc", 3));
    // A buffer of 0xFFFFFFFF bytes cannot exist (that capacity marks failure), so this is a failed allocation.
    EXPECT_FALSE(sink.Reserve(0xFFFFFFFFu - 3));
    EXPECT_TRUE(sink.Failed());
    EXPECT_EQ(sink.Buffer(), nullptr);
    EXPECT_EQ(sink.Length(), 0u);

    EXPECT_FALSE(sink.Write("a", 1));
    EXPECT_FALSE(sink.Write(nullptr, 0));
    EXPECT_FALSE(sink.WriteVarint32(1));
    EXPECT_FALSE(sink.WriteVarint32Signed(-1));
    EXPECT_FALSE(sink.WriteSizeVarint32(0));
    EXPECT_FALSE(sink.Reserve(0));
    EXPECT_FALSE(sink.Extend(0));
    SinkStream other;
    ASSERT_TRUE(other.Write("z", 1));
    EXPECT_FALSE(sink.Append(&other));
    EXPECT_EQ(other.Length(), 1u); // not retired: nothing was taken from it
    sink.Retire();
    EXPECT_TRUE(sink.Failed());
}

TEST(SinkStream, AppendOfAFailedSinkFails)
{
    SinkStream failed;
    ASSERT_FALSE(failed.Reserve(0xFFFFFFFFu));
    SinkStream sink;
    ASSERT_TRUE(sink.Write("ok", 2));
    EXPECT_FALSE(sink.Append(&failed));
    EXPECT_EQ(bytesOf(sink), Bytes({'o', 'k'}));
}

TEST(SinkStream, AppendMovesTheBytesAndRetiresTheSource)
{
    SinkStream a, b, empty;
    ASSERT_TRUE(a.Write("ab", 2));
    ASSERT_TRUE(b.Write("cd", 2));
    ASSERT_TRUE(a.Append(&b));
    ASSERT_TRUE(a.Append(&empty));
    EXPECT_EQ(bytesOf(a), Bytes({'a', 'b', 'c', 'd'}));
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(b.Buffer(), nullptr);
    EXPECT_FALSE(b.Failed());
    ASSERT_TRUE(b.Write("e", 1)); // a retired sink is usable again
}

// Into an empty sink the source's buffer is taken over rather than copied; the sink's limit and a reservation it
// made still hold.
TEST(SinkStream, AppendIntoAnEmptySinkTakesOverTheBytes)
{
    SinkStream source;
    ASSERT_TRUE(source.Write("abcdef", 6));
    const uint8_t *bytes = source.Buffer();
    SinkStream empty;
    ASSERT_TRUE(empty.Append(&source));
    EXPECT_EQ(empty.Buffer(), bytes);
    EXPECT_EQ(bytesOf(empty), Bytes({'a', 'b', 'c', 'd', 'e', 'f'}));
    EXPECT_EQ(source.Length(), 0u);
    EXPECT_EQ(source.Buffer(), nullptr);
    ASSERT_TRUE(empty.Write("g", 1));

    SinkStream limited;
    limited.SetLimit(5);
    EXPECT_FALSE(limited.Append(&empty));
    EXPECT_EQ(limited.Length(), 0u);
    EXPECT_EQ(empty.Length(), 7u); // not retired: nothing was taken from it

    SinkStream reserved;
    ASSERT_TRUE(reserved.Reserve(1024));
    const uint8_t *room = reserved.Buffer();
    ASSERT_TRUE(reserved.Append(&empty));
    EXPECT_EQ(reserved.Buffer(), room);
    EXPECT_EQ(bytesOf(reserved), Bytes({'a', 'b', 'c', 'd', 'e', 'f', 'g'}));
    EXPECT_EQ(empty.Length(), 0u);
}

TEST(SinkStream, TailAndExtendFillReservedSpace)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Write("a", 1));
    ASSERT_TRUE(sink.Reserve(3));
    sink.Tail()[0] = 'b';
    sink.Tail()[1] = 'c';
    ASSERT_TRUE(sink.Extend(2));
    EXPECT_FALSE(sink.Extend(sink.Capacity())); // past the reservation
    EXPECT_EQ(bytesOf(sink), Bytes({'a', 'b', 'c'}));
}

// A limit refuses what would pass it and leaves the sink usable, unlike a failed allocation.
TEST(SinkStream, LimitRefusesWhatWouldPassItAndKeepsTheSink)
{
    SinkStream sink;
    sink.SetLimit(4);
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(sink.Write(bytes, 3));
    EXPECT_EQ(sink.Room(), 1u);
    EXPECT_FALSE(sink.Write(bytes, 2));
    EXPECT_FALSE(sink.Reserve(2));
    EXPECT_TRUE(sink.Reserve(1));
    EXPECT_FALSE(sink.Extend(2));
    EXPECT_FALSE(sink.Failed());
    EXPECT_EQ(sink.Length(), 3u);
    ASSERT_TRUE(sink.Write(bytes + 3, 1));
    EXPECT_EQ(sink.Room(), 0u);
    EXPECT_FALSE(sink.WriteVarint32(0));
    sink.SetLimit(SIZE_MAX);
    EXPECT_TRUE(sink.WriteVarint32(0));
    EXPECT_EQ(sink.Length(), 5u);
}

TEST(SinkStream, RecycleTakesTheLargerAllocationEmptied)
{
    SinkStream large;
    ASSERT_TRUE(large.Reserve(1 << 20));
    ASSERT_TRUE(large.Write("old", 3));
    const uint8_t *allocation = large.Buffer();

    SinkStream holding; // a sink with bytes of its own keeps them
    ASSERT_TRUE(holding.Write("x", 1));
    holding.Recycle(&large);
    EXPECT_EQ(bytesOf(holding), Bytes({'x'}));
    EXPECT_EQ(large.Length(), 3u);

    SinkStream empty;
    empty.Recycle(&large);
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_EQ(empty.Capacity(), uint32_t(1 << 20));
    EXPECT_EQ(empty.Buffer(), allocation);
    EXPECT_EQ(large.Length(), 0u);
    EXPECT_EQ(large.Capacity(), 0u);
    ASSERT_TRUE(empty.Write("new", 3));
    EXPECT_EQ(bytesOf(empty), Bytes({'n', 'e', 'w'}));

    SinkStream roomy; // a smaller allocation is not taken
    ASSERT_TRUE(roomy.Reserve(4096));
    SinkStream small;
    ASSERT_TRUE(small.Reserve(16));
    roomy.Recycle(&small);
    EXPECT_EQ(roomy.Capacity(), 4096u);
    EXPECT_EQ(small.Capacity(), 256u); // the smallest allocation a buffer makes
}

TEST(GrowableBuffer, AppendPastThe32BitRangeChangesNothing)
{
    GrowableBuffer buffer;
    ASSERT_TRUE(buffer.Append("abc", 3));
    EXPECT_FALSE(buffer.Append("x", 0xFFFFFFFFu - 2));
    EXPECT_FALSE(buffer.Failed());
    EXPECT_EQ(buffer.Length(), 3u);
    EXPECT_TRUE(buffer.Append("d", 1));
}
