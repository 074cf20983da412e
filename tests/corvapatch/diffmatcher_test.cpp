#include "diffmatcher.h"
#include "suffixsort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromString(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// Random bytes in [low, low + 127]: blocks drawn from the two halves never match each other by chance.
Bytes RandomBlock(std::mt19937 &rng, size_t n, uint8_t low)
{
    std::uniform_int_distribution<int> byte(low, low + 127);
    Bytes block(n);
    for (uint8_t &b : block)
        b = static_cast<uint8_t>(byte(rng));
    return block;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<int32_t> SuffixArray(const Bytes &old)
{
    std::vector<int32_t> sa(old.size() + 1); // never empty: a null output counts as a bad argument
    const uint8_t none = 0;
    EXPECT_EQ(SuffixSortBytes(old.empty() ? &none : old.data(), sa.data(), static_cast<int32_t>(old.size())), 0);
    sa.pop_back();
    return sa;
}

std::string Describe(const std::vector<DiffCopy> &copies)
{
    std::string s;
    for (const DiffCopy &c : copies)
        s += "{" + std::to_string(c.newStart) + "," + std::to_string(c.oldStart) + "," + std::to_string(c.length) + "}";
    return s;
}

std::string Copies(const Bytes &old, const Bytes &newData)
{
    const std::vector<int32_t> sa = SuffixArray(old);
    std::vector<DiffCopy> copies;
    EXPECT_TRUE(FindDiffCopies(old.data(), static_cast<int32_t>(old.size()), sa.data(), newData.data(),
                               static_cast<int32_t>(newData.size()), &copies));
    return Describe(copies);
}

} // namespace

TEST(DiffMatcher, LongestMatchKnownAnswers)
{
    const Bytes old = FromString("banana");
    const std::vector<int32_t> sa = SuffixArray(old);
    const DiffMatcher matcher(old.data(), 6, sa.data());
    struct Case
    {
        const char *pattern;
        std::vector<int32_t> positions; // any of these is right
        int32_t length;
    };
    const Case cases[] = {
        {"nan", {2}, 3}, {"anax", {1, 3}, 3}, {"bananas", {0}, 6},  {"a", {1, 3, 5}, 1}, {"x", {}, 0},
        {"", {}, 0},     {"nb", {2, 4}, 1},   {"aa", {1, 3, 5}, 1}, {"banana", {0}, 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pattern);
        const Bytes pattern = FromString(c.pattern);
        int32_t position = -1, length = -1;
        matcher.LongestMatch(pattern.data(), static_cast<int32_t>(pattern.size()), &position, &length);
        EXPECT_EQ(length, c.length);
        if (!c.positions.empty()) {
            EXPECT_NE(std::find(c.positions.begin(), c.positions.end(), position), c.positions.end()) << position;
        }
    }
    const DiffMatcher empty(nullptr, 0, nullptr);
    int32_t position = -1, length = -1;
    empty.LongestMatch(old.data(), 6, &position, &length);
    EXPECT_EQ(length, 0);
}

TEST(DiffMatcher, FindsTheRunsOfTypicalEdits)
{
    std::mt19937 rng(1234);
    const Bytes a = RandomBlock(rng, 2000, 0), b = RandomBlock(rng, 2000, 0), c = RandomBlock(rng, 2000, 0);
    const Bytes foreign = RandomBlock(rng, 100, 128);
    Bytes oneByte = Join({a, b});
    oneByte[1000] ^= 0x80;
    Bytes scattered = Join({a, b});
    for (size_t i = 25; i < scattered.size(); i += 50)
        scattered[i] ^= 0x80;

    struct Case
    {
        const char *name;
        Bytes old, newData;
        std::string copies;
    };
    const Case cases[] = {
        {"identical", Join({a, b}), Join({a, b}), "{0,0,4000}"},
        {"one byte changed", Join({a, b}), oneByte, "{0,0,4000}"},
        {"a byte changed every 50", Join({a, b}), scattered, "{0,0,4000}"},
        {"block inserted", Join({a, c}), Join({a, foreign, c}), "{0,0,2000}{2100,2000,2000}"},
        {"block deleted", Join({a, foreign, c}), Join({a, c}), "{0,0,2000}{2000,2100,2000}"},
        {"blocks swapped", Join({a, b}), Join({b, a}), "{0,2000,2000}{2000,0,2000}"},
        {"block repeated", a, Join({a, a}), "{0,0,2000}{2000,0,2000}"},
        {"new data before and after", b, Join({foreign, b, foreign}), "{100,0,2000}"},
        {"unrelated", a, RandomBlock(rng, 3000, 128), ""},
        {"empty old", {}, a, ""},
        {"empty new", a, {}, ""},
    };
    for (const Case &t : cases) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(Copies(t.old, t.newData), t.copies);
    }
}

TEST(DiffMatcher, RunsStayOrderedAndInBounds)
{
    std::mt19937 rng(77);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        Bytes old = RandomBlock(rng, 1 + rng() % 3000, 0);
        for (uint8_t &b : old)
            b &= 3; // small alphabet: many short chance matches
        Bytes newData = old;
        for (int edit = 0; edit < 10; ++edit) {
            const size_t at = rng() % (newData.size() + 1);
            switch (rng() % 3) {
            case 0:
                newData.insert(newData.begin() + at, 1 + rng() % 40, static_cast<uint8_t>(rng()));
                break;
            case 1:
                newData.erase(newData.begin() + at, newData.begin() + std::min(newData.size(), at + rng() % 40));
                break;
            default:
                if (at < newData.size())
                    newData[at] = static_cast<uint8_t>(rng());
            }
        }
        const std::vector<int32_t> sa = SuffixArray(old);
        std::vector<DiffCopy> copies;
        ASSERT_TRUE(FindDiffCopies(old.data(), static_cast<int32_t>(old.size()), sa.data(), newData.data(),
                                   static_cast<int32_t>(newData.size()), &copies));
        int64_t newEnd = 0;
        for (const DiffCopy &c : copies) {
            EXPECT_GE(c.newStart, newEnd);
            EXPECT_GT(c.length, 0);
            EXPECT_GE(c.oldStart, 0);
            EXPECT_LE(int64_t(c.oldStart) + c.length, int64_t(old.size()));
            newEnd = int64_t(c.newStart) + c.length;
        }
        EXPECT_LE(newEnd, int64_t(newData.size()));
    }
}
