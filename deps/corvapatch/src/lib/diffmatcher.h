#pragma once

#include <cstdint>
#include <vector>

namespace corvapatch {

// One copy-and-add run of a byte diff: new[newStart, +length) is made from old[oldStart, +length).
struct DiffCopy
{
    int32_t newStart;
    int32_t oldStart;
    int32_t length;
};

// Looks up the longest exact matches of new data in old data through the old data's suffix array.
class DiffMatcher
{
public:
    // The three arrays must outlive the matcher; sa is SuffixSortBytes of old[0..oldSize).
    DiffMatcher(const uint8_t *old, int32_t oldSize, const int32_t *sa);

    // Longest prefix of pattern[0..n) that occurs in the old data: its length in *length (0 when the old
    // data is empty) and one old position where it occurs in *position.
    void LongestMatch(const uint8_t *pattern, int32_t n, int32_t *position, int32_t *length) const;

private:
    int32_t CommonPrefix(int32_t oldPos, int32_t skip, const uint8_t *pattern, int32_t n) const;

    const uint8_t *m_old;
    int32_t m_oldSize;
    const int32_t *m_sa;
};

// Covers new[0..newSize) with copy runs in ascending, non-overlapping order of newStart; the bytes between
// runs become literal bytes. Exact matches of at least a few bytes anchor a run, which then grows in both
// directions while the old and new bytes agree more often than not, so that scattered changed bytes
// stay inside one run. Returns false only when memory runs out.
[[nodiscard]] bool FindDiffCopies(const uint8_t *old, int32_t oldSize, const int32_t *sa, const uint8_t *newData,
                                  int32_t newSize, std::vector<DiffCopy> *copies);

} // namespace corvapatch
