#include "bytes.h"
#include "sourcestream.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace corvapatch;

TEST(SourceStream, DefaultIsEmpty)
{
    SourceStream s;
    EXPECT_TRUE(s.Empty());
    EXPECT_EQ(s.Remaining(), 0u);
    uint8_t byte = 0;
    EXPECT_FALSE(s.Read(&byte, 1));
    EXPECT_TRUE(s.Read(&byte, 0));
    EXPECT_TRUE(s.Skip(0));
    EXPECT_FALSE(s.Skip(1));
}

TEST(SourceStream, ReadSkipAndSubstreamsStayInBounds)
{
    const Bytes data = {1, 2, 3, 4, 5, 6};
    SourceStream s;
    s.Init(data.data(), data.size());

    uint8_t two[2] = {};
    ASSERT_TRUE(s.Read(two, 2));
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(two[1], 2);
    EXPECT_EQ(s.Remaining(), 4u);

    // Sizes near SIZE_MAX would wrap a `current + n > end` check.
    uint8_t sink[8] = {};
    EXPECT_FALSE(s.Read(sink, 5));
    EXPECT_FALSE(s.Read(sink, SIZE_MAX));
    EXPECT_FALSE(s.Skip(SIZE_MAX));
    EXPECT_FALSE(s.Skip(5));
    SourceStream sub;
    EXPECT_FALSE(s.ReadSubstream(SIZE_MAX, &sub));
    EXPECT_FALSE(s.ShareSubstream(1, SIZE_MAX, &sub));
    EXPECT_FALSE(s.ShareSubstream(SIZE_MAX, 1, &sub));
    EXPECT_FALSE(s.ShareSubstream(5, 0, &sub));
    EXPECT_FALSE(s.ShareSubstream(2, 3, &sub));
    EXPECT_EQ(s.Remaining(), 4u); // nothing moved

    ASSERT_TRUE(s.ShareSubstream(1, 3, &sub));
    EXPECT_EQ(sub.Current(), data.data() + 3);
    EXPECT_EQ(sub.Remaining(), 3u);
    EXPECT_EQ(s.Remaining(), 4u);
    ASSERT_TRUE(s.ShareSubstream(4, 0, &sub));
    EXPECT_TRUE(sub.Empty());

    ASSERT_TRUE(s.ReadSubstream(3, &sub));
    EXPECT_EQ(sub.Current(), data.data() + 2);
    EXPECT_EQ(sub.Remaining(), 3u);
    EXPECT_EQ(s.Remaining(), 1u);
    ASSERT_TRUE(s.Skip(1));
    EXPECT_TRUE(s.Empty());
}
