#include "diffmatcher.h"

#include <algorithm>
#include <new>

namespace corvapatch {

namespace {

// Shorter exact matches cost more as a control triple than they save, and occur by chance in unrelated data.
constexpr int32_t kMinAnchor = 8;

// A run stops growing once mismatches outnumber matches by this much past its best point; changes shorter
// than this inside otherwise equal data are carried as diff bytes instead of breaking the run.
constexpr int32_t kExtensionSlack = 24;

// Length (at most limit) over which old[oldPos + step * i] and newData[newPos + step * i] agree best:
// each equal byte counts +1 and each different one -1, and the length with the highest total wins.
int32_t ApproximateExtension(const uint8_t *old, int64_t oldPos, const uint8_t *newData, int64_t newPos, int64_t limit,
                             int step)
{
    int32_t score = 0;
    int32_t best = 0;
    int32_t bestLength = 0;
    for (int64_t i = 0; i < limit; ++i) {
        score += old[oldPos + step * i] == newData[newPos + step * i] ? 1 : -1;
        if (score > best) {
            best = score;
            bestLength = static_cast<int32_t>(i + 1);
        } else if (score < best - kExtensionSlack) {
            break;
        }
    }
    return bestLength;
}

} // namespace

DiffMatcher::DiffMatcher(const uint8_t *old, int32_t oldSize, const int32_t *sa)
    : m_old(old)
    , m_oldSize(oldSize)
    , m_sa(sa)
{
}

int32_t DiffMatcher::CommonPrefix(int32_t oldPos, int32_t skip, const uint8_t *pattern, int32_t n) const
{
    const int32_t limit = std::min(m_oldSize - oldPos, n);
    int32_t i = skip;
    while (i < limit && m_old[oldPos + i] == pattern[i])
        ++i;
    return i;
}

void DiffMatcher::LongestMatch(const uint8_t *pattern, int32_t n, int32_t *position, int32_t *length) const
{
    *position = 0;
    *length = 0;
    if (m_oldSize == 0 || n == 0)
        return;
    // Binary search for where the pattern would sort. The longest match is a neighbour of that place.
    // Every suffix between lo and hi shares min(lcpLo, lcpHi) bytes with the pattern, so comparisons
    // start there and a search costs the match length plus the logarithm, not their product.
    int32_t lo = 0;
    int32_t hi = m_oldSize - 1;
    int32_t lcpLo = CommonPrefix(m_sa[lo], 0, pattern, n);
    int32_t lcpHi = CommonPrefix(m_sa[hi], 0, pattern, n);
    while (hi - lo > 1) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int32_t pos = m_sa[mid];
        const int32_t lcp = CommonPrefix(pos, std::min(lcpLo, lcpHi), pattern, n);
        const bool suffixBelow = lcp < n && (pos + lcp == m_oldSize || m_old[pos + lcp] < pattern[lcp]);
        if (suffixBelow) {
            lo = mid;
            lcpLo = lcp;
        } else {
            hi = mid;
            lcpHi = lcp;
        }
    }
    if (lcpLo >= lcpHi) {
        *position = m_sa[lo];
        *length = lcpLo;
    } else {
        *position = m_sa[hi];
        *length = lcpHi;
    }
}

bool FindDiffCopies(const uint8_t *old, int32_t oldSize, const int32_t *sa, const uint8_t *newData, int32_t newSize,
                    std::vector<DiffCopy> *copies)
{
    copies->clear();
    const DiffMatcher matcher(old, oldSize, sa);
    int64_t covered = 0; // new bytes before this belong to a run or are literal
    int64_t scan = 0;
    try {
        while (scan < newSize) {
            int32_t matchPos = 0;
            int32_t matchLength = 0;
            matcher.LongestMatch(newData + scan, static_cast<int32_t>(newSize - scan), &matchPos, &matchLength);
            if (matchLength < kMinAnchor) {
                ++scan;
                continue;
            }
            const int64_t back = ApproximateExtension(old, int64_t(matchPos) - 1, newData, scan - 1,
                                                      std::min<int64_t>(scan - covered, matchPos), -1);
            const int64_t oldEnd = int64_t(matchPos) + matchLength;
            const int64_t newEnd = scan + matchLength;
            const int64_t forward =
                ApproximateExtension(old, oldEnd, newData, newEnd, std::min(oldSize - oldEnd, newSize - newEnd), 1);
            copies->push_back({static_cast<int32_t>(scan - back), static_cast<int32_t>(matchPos - back),
                               static_cast<int32_t>(back + matchLength + forward)});
            scan = covered = newEnd + forward;
        }
    } catch (const std::bad_alloc &) {
        copies->clear();
        return false;
    }
    return true;
}

} // namespace corvapatch
