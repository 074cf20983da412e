#include "suffixsort.h"

#include <algorithm>
#include <memory>
#include <new>

namespace corvapatch {

namespace {

constexpr int32_t kEmpty = -1;
constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kOutOfMemory = -2;

// One bit per position: set when the suffix there is S-type (smaller than the suffix after it).
class SuffixTypes
{
public:
    [[nodiscard]] bool Init(int32_t n)
    {
        m_words.reset(new (std::nothrow) uint64_t[static_cast<size_t>(n) / 64 + 1]());
        return m_words != nullptr;
    }
    bool IsS(int32_t i) const { return (m_words[i >> 6] >> (i & 63)) & 1; }
    void SetS(int32_t i) { m_words[i >> 6] |= uint64_t(1) << (i & 63); }
    // Leftmost S: an S-type suffix right after an L-type one. Position 0 never counts.
    bool IsLms(int32_t i) const { return i > 0 && IsS(i) && !IsS(i - 1); }

private:
    std::unique_ptr<uint64_t[]> m_words;
};

// bucket[c] = first slot of symbol c's bucket, or one past its last slot when ends is set.
void BucketBounds(const int32_t *counts, int32_t *bucket, int32_t k, bool ends)
{
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += counts[c];
        bucket[c] = ends ? sum : sum - counts[c];
    }
}

// Places every L-type suffix from the S-type (or LMS) suffixes already in sa, scanning left to right.
template<typename Symbol>
void InduceL(const Symbol *t, int32_t *sa, int32_t n, const int32_t *counts, int32_t *bucket, int32_t k,
             const SuffixTypes &types)
{
    BucketBounds(counts, bucket, k, false);
    // The terminator's empty suffix sorts first, and the suffix before it is L-type.
    sa[bucket[t[n - 1]]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = sa[i] - 1;
        if (j >= 0 && !types.IsS(j))
            sa[bucket[t[j]]++] = j;
    }
}

// Places every S-type suffix from the L-type suffixes, scanning right to left.
template<typename Symbol>
void InduceS(const Symbol *t, int32_t *sa, int32_t n, const int32_t *counts, int32_t *bucket, int32_t k,
             const SuffixTypes &types)
{
    BucketBounds(counts, bucket, k, true);
    for (int32_t i = n - 1; i >= 0; --i) {
        const int32_t j = sa[i] - 1;
        if (j >= 0 && types.IsS(j))
            sa[--bucket[t[j]]] = j;
    }
}

// Two LMS substrings (from an LMS position up to and including the next one) are equal when their symbols
// and types agree. The last one runs into the terminator, which is unique, so it equals no other.
template<typename Symbol>
bool EqualLmsSubstrings(const Symbol *t, int32_t n, const SuffixTypes &types, int32_t a, int32_t b)
{
    for (int32_t d = 0;; ++d) {
        if (a + d == n || b + d == n)
            return false;
        if (t[a + d] != t[b + d] || types.IsS(a + d) != types.IsS(b + d))
            return false;
        if (d > 0 && types.IsLms(a + d))
            return true; // types agree up to here, so b + d is an LMS position too
    }
}

// SA-IS for n >= 1 symbols in [0, k). sa[0..n) is the output and also the only scratch space the
// reduced problem needs: its text and its suffix array both fit in sa because it has at most n / 2 symbols.
template<typename Symbol> int Sais(const Symbol *t, int32_t *sa, int32_t n, int32_t k)
{
    SuffixTypes types;
    std::unique_ptr<int32_t[]> counts(new (std::nothrow) int32_t[k]());
    std::unique_ptr<int32_t[]> bucket(new (std::nothrow) int32_t[k]);
    if (!types.Init(n) || !counts || !bucket)
        return kOutOfMemory;

    for (int32_t i = n - 2; i >= 0; --i) {
        if (t[i] < t[i + 1] || (t[i] == t[i + 1] && types.IsS(i + 1)))
            types.SetS(i);
    }
    for (int32_t i = 0; i < n; ++i)
        ++counts[t[i]];

    // Sort the LMS substrings: LMS positions at their bucket ends, then one induced pass.
    std::fill(sa, sa + n, kEmpty);
    BucketBounds(counts.get(), bucket.get(), k, true);
    for (int32_t i = 1; i < n; ++i) {
        if (types.IsLms(i))
            sa[--bucket[t[i]]] = i;
    }
    InduceL(t, sa, n, counts.get(), bucket.get(), k, types);
    InduceS(t, sa, n, counts.get(), bucket.get(), k, types);

    // Gather the sorted LMS positions at the front and name each distinct substring.
    int32_t m = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (types.IsLms(sa[i]))
            sa[m++] = sa[i];
    }
    std::fill(sa + m, sa + n, kEmpty);
    int32_t names = 0;
    for (int32_t i = 0; i < m; ++i) {
        const int32_t pos = sa[i];
        if (i == 0 || !EqualLmsSubstrings(t, n, types, sa[i - 1], pos))
            ++names;
        // LMS positions are at least two apart, so pos / 2 is a distinct slot, and m + pos / 2 < n.
        sa[m + pos / 2] = names - 1;
    }
    // The names in text order form the reduced string, moved to the end of sa.
    int32_t *reduced = sa + n - m;
    for (int32_t i = n - 1, j = n - 1; i >= m; --i) {
        if (sa[i] != kEmpty)
            sa[j--] = sa[i];
    }

    // Sort the reduced string's suffixes into sa[0..m); they order the LMS suffixes.
    if (names < m) {
        if (int rc = Sais<int32_t>(reduced, sa, m, names); rc != kOk)
            return rc;
    } else {
        for (int32_t i = 0; i < m; ++i)
            sa[reduced[i]] = i;
    }

    // Back from reduced indices to text positions.
    for (int32_t i = 1, j = 0; i < n; ++i) {
        if (types.IsLms(i))
            reduced[j++] = i;
    }
    for (int32_t i = 0; i < m; ++i)
        sa[i] = reduced[sa[i]];
    std::fill(sa + m, sa + n, kEmpty);

    // The sorted LMS suffixes go to their bucket ends, largest first; each target slot is at or after its
    // source, and every slot above the source has been moved already.
    BucketBounds(counts.get(), bucket.get(), k, true);
    for (int32_t i = m - 1; i >= 0; --i) {
        const int32_t pos = sa[i];
        sa[i] = kEmpty;
        sa[--bucket[t[pos]]] = pos;
    }
    InduceL(t, sa, n, counts.get(), bucket.get(), k, types);
    InduceS(t, sa, n, counts.get(), bucket.get(), k, types);
    return kOk;
}

bool SymbolsInRange(const int32_t *text, int32_t n, int32_t k)
{
    return std::all_of(text, text + n, [k](int32_t c) { return c >= 0 && c < k; });
}

template<typename Symbol> int SortSuffixes(const Symbol *text, int32_t *sa, int32_t n, int32_t k)
{
    if (n == 1)
        sa[0] = 0;
    if (n < 2)
        return kOk;
    return Sais(text, sa, n, k);
}

template<typename Symbol> int32_t Transform(const Symbol *text, Symbol *out, int32_t *work, int32_t n, int32_t k)
{
    if (n == 0)
        return 0;
    if (n == 1) {
        out[0] = text[0];
        return 1;
    }
    if (int rc = Sais(text, work, n, k); rc != kOk)
        return rc;
    // Replace each suffix by the symbol before it first, so that out may overwrite text afterwards.
    const Symbol last = text[n - 1];
    int32_t primary = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (work[i] == 0)
            primary = i + 1;
        else
            work[i] = text[work[i] - 1];
    }
    // Row 0 is the terminator's own suffix, preceded by the last symbol; the primary row holds the terminator.
    out[0] = last;
    for (int32_t i = 0, j = 1; i < n; ++i) {
        if (i + 1 != primary)
            out[j++] = static_cast<Symbol>(work[i]);
    }
    return primary;
}

} // namespace

int SuffixSortBytes(const uint8_t *text, int32_t *sa, int32_t n)
{
    if (!text || !sa || n < 0)
        return kBadArgument;
    return SortSuffixes(text, sa, n, 256);
}

int SuffixSortInts(const int32_t *text, int32_t *sa, int32_t n, int32_t k)
{
    if (!text || !sa || n < 0 || k < 1 || !SymbolsInRange(text, n, k))
        return kBadArgument;
    return SortSuffixes(text, sa, n, k);
}

int32_t BurrowsWheelerBytes(const uint8_t *text, uint8_t *out, int32_t *work, int32_t n)
{
    if (!text || !out || !work || n < 0)
        return kBadArgument;
    return Transform(text, out, work, n, 256);
}

int32_t BurrowsWheelerInts(const int32_t *text, int32_t *out, int32_t *work, int32_t n, int32_t k)
{
    if (!text || !out || !work || n < 0 || k < 1 || !SymbolsInRange(text, n, k))
        return kBadArgument;
    return Transform(text, out, work, n, k);
}

} // namespace corvapatch
