#include "suffixsort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

// Reference order: plain lexicographic comparison, a proper prefix first.
template<typename Symbol> std::vector<int32_t> NaiveSuffixArray(const std::vector<Symbol> &text)
{
    std::vector<int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    return sa;
}

std::vector<uint8_t> Bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

template<typename Symbol> std::vector<Symbol> RandomText(std::mt19937 &rng, size_t n, int32_t k)
{
    std::uniform_int_distribution<int32_t> symbol(0, k - 1);
    std::vector<Symbol> text(n);
    for (Symbol &c : text)
        c = static_cast<Symbol>(symbol(rng));
    return text;
}

// Fibonacci words have many equal LMS substrings and so recurse deeply.
std::vector<uint8_t> FibonacciWord(size_t n)
{
    std::string a = "a", b = "ab";
    while (b.size() < n) {
        std::string next = b + a;
        a = std::move(b);
        b = std::move(next);
    }
    return Bytes(b.substr(0, n));
}

std::vector<int32_t> SortBytes(const std::vector<uint8_t> &text)
{
    std::vector<int32_t> sa(text.size() + 1, -7); // the extra slot catches writes past the end
    const uint8_t none = 0; // an empty vector's data() may be null
    EXPECT_EQ(SuffixSortBytes(text.empty() ? &none : text.data(), sa.data(), static_cast<int32_t>(text.size())), 0);
    EXPECT_EQ(sa.back(), -7);
    sa.pop_back();
    return sa;
}

} // namespace

TEST(SuffixSortBytes, KnownAnswers)
{
    struct Case
    {
        const char *text;
        std::vector<int32_t> sa;
    };
    const Case cases[] = {
        {"", {}},
        {"x", {0}},
        {"banana", {5, 3, 1, 0, 4, 2}},
        {"aaaa", {3, 2, 1, 0}},
        {"abab", {2, 0, 3, 1}},
        {"mississippi", {10, 7, 4, 1, 0, 9, 8, 6, 3, 5, 2}},
        {"dcba", {3, 2, 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SortBytes(Bytes(c.text)), c.sa);
    }
}

TEST(SuffixSortBytes, MatchesNaiveSortOnRandomAndStructuredTexts)
{
    std::mt19937 rng(20240611);
    for (int32_t k : {1, 2, 3, 4, 16, 256}) {
        for (size_t n : {2, 3, 5, 8, 13, 31, 64, 100, 257, 1000, 4099}) {
            SCOPED_TRACE("alphabet " + std::to_string(k) + ", length " + std::to_string(n));
            const std::vector<uint8_t> text = RandomText<uint8_t>(rng, n, k);
            EXPECT_EQ(SortBytes(text), NaiveSuffixArray(text));
        }
    }
    for (size_t n : {2, 7, 100, 1597, 3000}) {
        SCOPED_TRACE("fibonacci " + std::to_string(n));
        const std::vector<uint8_t> text = FibonacciWord(n);
        EXPECT_EQ(SortBytes(text), NaiveSuffixArray(text));
    }
    std::vector<uint8_t> periodic;
    for (int i = 0; i < 1500; ++i)
        periodic.push_back(static_cast<uint8_t>("abcab"[i % 5]));
    std::vector<uint8_t> descending(256);
    std::iota(descending.rbegin(), descending.rend(), 0);
    std::vector<uint8_t> extremes = Bytes(std::string(40, '\xff') + std::string(40, '\0') + "\xff\x00\xff");
    for (const auto &text : {periodic, descending, extremes}) {
        SCOPED_TRACE(text.size());
        EXPECT_EQ(SortBytes(text), NaiveSuffixArray(text));
    }
}

TEST(SuffixSortBytes, LargeRandomTextIsSorted)
{
    // Too long for the naive sort: check that the result is a permutation in strictly ascending order.
    std::mt19937 rng(7);
    for (int32_t k : {2, 4, 256}) {
        SCOPED_TRACE(k);
        const std::vector<uint8_t> text = RandomText<uint8_t>(rng, 300000, k);
        const std::vector<int32_t> sa = SortBytes(text);
        std::vector<bool> seen(text.size());
        for (int32_t p : sa) {
            ASSERT_TRUE(p >= 0 && static_cast<size_t>(p) < text.size() && !seen[p]);
            seen[p] = true;
        }
        for (size_t i = 1; i < sa.size(); ++i) {
            ASSERT_TRUE(
                std::lexicographical_compare(text.begin() + sa[i - 1], text.end(), text.begin() + sa[i], text.end()))
                << "at " << i;
        }
    }
}

TEST(SuffixSortInts, MatchesNaiveSortForIntegerAlphabets)
{
    std::mt19937 rng(99);
    for (int32_t k : {1, 2, 3, 7, 300, 100000}) {
        for (size_t n : {2, 3, 10, 65, 500, 2048}) {
            SCOPED_TRACE("alphabet " + std::to_string(k) + ", length " + std::to_string(n));
            const std::vector<int32_t> text = RandomText<int32_t>(rng, n, k);
            std::vector<int32_t> sa(n);
            ASSERT_EQ(SuffixSortInts(text.data(), sa.data(), static_cast<int32_t>(n), k), 0);
            EXPECT_EQ(sa, NaiveSuffixArray(text));
        }
    }
}

TEST(SuffixSort, RejectsBadArguments)
{
    const uint8_t bytes[] = {1, 2};
    int32_t ints[] = {0, 1, 2};
    int32_t sa[3] = {};
    uint8_t out[2] = {};
    struct Case
    {
        const char *name;
        int result;
    };
    const Case cases[] = {
        {"bytes: null text", SuffixSortBytes(nullptr, sa, 2)},
        {"bytes: null output", SuffixSortBytes(bytes, nullptr, 2)},
        {"bytes: negative length", SuffixSortBytes(bytes, sa, -1)},
        {"ints: null text", SuffixSortInts(nullptr, sa, 3, 3)},
        {"ints: negative length", SuffixSortInts(ints, sa, -1, 3)},
        {"ints: empty alphabet", SuffixSortInts(ints, sa, 3, 0)},
        {"ints: symbol equal to k", SuffixSortInts(ints, sa, 3, 2)},
        {"bwt bytes: null work", BurrowsWheelerBytes(bytes, out, nullptr, 2)},
        {"bwt bytes: null output", BurrowsWheelerBytes(bytes, nullptr, sa, 2)},
        {"bwt ints: negative length", BurrowsWheelerInts(ints, sa, sa, -3, 3)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, -1);
    }
    ints[1] = -1;
    EXPECT_EQ(SuffixSortInts(ints, sa, 3, 3), -1);
}

TEST(SuffixSort, ShortTextsNeedNoSorting)
{
    const uint8_t byte = 9;
    const int32_t symbol = 0;
    int32_t sa[1] = {-5};
    EXPECT_EQ(SuffixSortBytes(&byte, sa, 0), 0);
    EXPECT_EQ(sa[0], -5);
    EXPECT_EQ(SuffixSortBytes(&byte, sa, 1), 0);
    EXPECT_EQ(sa[0], 0);
    sa[0] = -5;
    EXPECT_EQ(SuffixSortInts(&symbol, sa, 1, 1), 0);
    EXPECT_EQ(sa[0], 0);
}

namespace {

// Inverts a transform in this library's layout by walking the last-to-first mapping from the terminator's row.
template<typename Symbol> std::vector<Symbol> InverseBurrowsWheeler(const std::vector<Symbol> &out, int32_t primary)
{
    const size_t n = out.size();
    // Full last column, with the terminator (ranked below everything) at the primary row.
    std::vector<std::pair<bool, Symbol>> last(n + 1);
    for (size_t row = 0, j = 0; row <= n; ++row)
        last[row] =
            row == static_cast<size_t>(primary) ? std::make_pair(false, Symbol()) : std::make_pair(true, out[j++]);
    std::vector<size_t> order(n + 1);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return last[a] < last[b]; });
    std::vector<size_t> lf(n + 1);
    for (size_t i = 0; i <= n; ++i)
        lf[order[i]] = i;
    std::vector<Symbol> text(n);
    size_t row = 0; // the terminator's own rotation; its last column holds the final symbol
    for (size_t i = n; i > 0; --i) {
        text[i - 1] = last[row].second;
        row = lf[row];
    }
    return text;
}

} // namespace

TEST(BurrowsWheeler, KnownAnswerAndRoundTrips)
{
    // banana$ sorted: $ a$ ana$ anana$ banana$ na$ nana$ -> last column a n n b $ a a; $ is at row 4.
    std::vector<uint8_t> banana = Bytes("banana");
    std::vector<uint8_t> out(6);
    std::vector<int32_t> work(6);
    EXPECT_EQ(BurrowsWheelerBytes(banana.data(), out.data(), work.data(), 6), 4);
    EXPECT_EQ(std::string(out.begin(), out.end()), "annbaa");
    // In place.
    EXPECT_EQ(BurrowsWheelerBytes(banana.data(), banana.data(), work.data(), 6), 4);
    EXPECT_EQ(std::string(banana.begin(), banana.end()), "annbaa");

    uint8_t single = 'q', singleOut = 0;
    int32_t singleWork = 0;
    EXPECT_EQ(BurrowsWheelerBytes(&single, &singleOut, &singleWork, 1), 1);
    EXPECT_EQ(singleOut, 'q');
    EXPECT_EQ(BurrowsWheelerBytes(&single, &singleOut, &singleWork, 0), 0);

    std::mt19937 rng(5);
    for (size_t n : {2, 3, 17, 200, 3001}) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> text = RandomText<uint8_t>(rng, n, 3);
        std::vector<uint8_t> bwt(n);
        std::vector<int32_t> scratch(n);
        const int32_t primary = BurrowsWheelerBytes(text.data(), bwt.data(), scratch.data(), static_cast<int32_t>(n));
        ASSERT_GE(primary, 1);
        EXPECT_EQ(InverseBurrowsWheeler(bwt, primary), text);

        const std::vector<int32_t> ints = RandomText<int32_t>(rng, n, 1000);
        std::vector<int32_t> intBwt(n);
        const int32_t intPrimary =
            BurrowsWheelerInts(ints.data(), intBwt.data(), scratch.data(), static_cast<int32_t>(n), 1000);
        ASSERT_GE(intPrimary, 1);
        EXPECT_EQ(InverseBurrowsWheeler(intBwt, intPrimary), ints);
    }
}
