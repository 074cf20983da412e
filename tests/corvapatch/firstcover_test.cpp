#include "firstcover.h"

#include <gtest/gtest.h>

#include <vector>

using namespace corvapatch;

// Known answers for a small table, as a scan from its first entry gives them.
TEST(FirstCover, GivesTheFirstRangeInTableOrderThatHoldsThePoint)
{
    //   index 0: [10, 20)   index 1: [5, 30)   index 2: [15, 15) empty   index 3: [20, 25)   index 4: [0, 5)
    const FirstCover cover({{10, 20, 0}, {5, 30, 1}, {15, 15, 2}, {20, 25, 3}, {0, 5, 4}});
    const struct
    {
        uint64_t point;
        uint32_t first;
    } cases[] = {
        {0, 4}, {4, 4}, {5, 1}, {9, 1}, {10, 0}, {15, 0}, {19, 0}, {20, 1}, {24, 1}, {29, 1},
        {30, FirstCover::kNone}, {UINT64_MAX, FirstCover::kNone},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.point);
        EXPECT_EQ(cover.Find(c.point), c.first);
    }
    EXPECT_EQ(FirstCover().Find(0), FirstCover::kNone);
}

// A lookup that keeps its last piece answers every point as the plain lookup does, in any order of points.
TEST(FirstCover, LookupFromTheLastPieceAgreesWithTheSearch)
{
    const FirstCover cover({{10, 20, 0}, {5, 30, 1}, {15, 15, 2}, {20, 25, 3}, {0, 5, 4}, {100, UINT64_MAX, 5}});
    const uint64_t points[] = {12, 13, 19, 20, 4, 0, 30, 99, 100, UINT64_MAX, UINT64_MAX - 1, 29, 5, 10, 24, 25};
    FirstCover::Piece last;
    for (const uint64_t point : points) {
        SCOPED_TRACE(point);
        EXPECT_EQ(cover.Find(point, &last), cover.Find(point));
        EXPECT_EQ(cover.Find(point, &last), cover.Find(point)); // answered from the piece this time
    }
    FirstCover::Piece none;
    EXPECT_EQ(FirstCover().Find(7, &none), FirstCover::kNone);
}

// A 32-bit test `value - begin < size` also accepts the low values a range past 2^32 wraps to.
TEST(FirstCover, WrappedRangesCoverTheLowValuesToo)
{
    std::vector<FirstCover::Range> ranges;
    FirstCover::AddWrapped32(&ranges, 0xFFFFFFF0u, 0x20, 0); // [0xFFFFFFF0, 2^32) and [0, 0x10)
    FirstCover::AddWrapped32(&ranges, 0x8, 0x10, 1);
    const FirstCover cover(ranges);
    EXPECT_EQ(cover.Find(0x0), 0u);
    EXPECT_EQ(cover.Find(0xF), 0u);
    EXPECT_EQ(cover.Find(0x10), 1u);
    EXPECT_EQ(cover.Find(0x17), 1u);
    EXPECT_EQ(cover.Find(0x18), FirstCover::kNone);
    EXPECT_EQ(cover.Find(0xFFFFFFEF), FirstCover::kNone);
    EXPECT_EQ(cover.Find(0xFFFFFFF0), 0u);
    EXPECT_EQ(cover.Find(0xFFFFFFFF), 0u);
}
