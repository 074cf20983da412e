#pragma once

#include <cstdint>
#include <vector>

namespace corvapatch {

// For a table of ranges (section or segment ranges, in table order), which range covers a point first in table
// order: the answer a scan of the table from its start gives, found by binary search instead. Built once in
// O(n log n); a table of tens of thousands of entries would otherwise be scanned again for every byte or every
// reference. Ranges are half-open and may overlap; empty ranges cover nothing.
class FirstCover
{
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    struct Range
    {
        uint64_t begin;
        uint64_t end; // exclusive; a range with end <= begin is empty
        uint32_t index; // position in the table; one entry may give several disjoint ranges
    };

    FirstCover() = default;
    explicit FirstCover(const std::vector<Range> &ranges);

    // Where the answer of a Find holds: every point in [begin, end) has the same one. Callers whose points
    // come in runs (references into one segment) keep the last piece and skip the search while it still holds.
    struct Piece
    {
        uint64_t begin = 1;
        uint64_t end = 0; // empty until a Find fills it
        uint32_t first = kNone;
    };

    // The smallest index whose range holds point; kNone when no range does.
    uint32_t Find(uint64_t point) const;
    // The same, answered from *last when point lies in it; otherwise *last becomes the piece of point.
    uint32_t Find(uint64_t point, Piece *last) const
    {
        if (point >= last->begin && point < last->end)
            return last->first;
        return FindPiece(point, last);
    }

    // begin + size as a 32-bit address or offset does: the one or two ranges [begin, begin + size) mod 2^32
    // that a test `value - begin < size` in 32 bits accepts.
    static void AddWrapped32(std::vector<Range> *ranges, uint32_t begin, uint32_t size, uint32_t index);

private:
    uint32_t FindPiece(uint64_t point, Piece *piece) const;

    // Piece i covers [m_starts[i], m_starts[i + 1]) and its first range is m_first[i].
    std::vector<uint64_t> m_starts;
    std::vector<uint32_t> m_first;
};

} // namespace corvapatch
