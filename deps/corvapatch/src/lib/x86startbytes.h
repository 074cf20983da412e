#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvapatch {

// Where an x86 scan's candidate rule can match: the positions ScanX86Branches asks it about. Each Start gives
// a test on the first byte and one on the byte after it ((byte & mask) == value; a mask of 0 takes any byte).
// The starts must hold wherever the rule matches; they may hold more often, since the rule decides. Most
// positions of a section hold none of them, so the scan tests 16 positions at a time, where the processor
// compares a whole block with each start at once, and keeps the block's hits for the positions after the one
// it asked about.
class X86StartBytes
{
public:
    struct Start
    {
        uint8_t firstMask;
        uint8_t first;
        uint8_t secondMask;
        uint8_t second;
    };
    static constexpr size_t kMaxStarts = 4;

    // At most kMaxStarts; further ones are dropped.
    X86StartBytes(std::initializer_list<Start> starts);

    // Walks the positions of [begin, end) of bytes where a start holds, in ascending order.
    class Cursor
    {
    public:
        Cursor(const X86StartBytes &starts, const uint8_t *bytes, size_t end)
            : m_starts(starts), m_bytes(bytes), m_end(end)
        {
        }
        // The first such position at or after at (at never below an earlier call's), end when there is none.
        size_t Next(size_t at)
        {
            if (at < m_blockEnd) {
                const uint32_t rest = m_hits >> (at - m_block);
                if (rest != 0)
                    return at + static_cast<size_t>(__builtin_ctz(rest));
                at = m_blockEnd;
            }
            while (at < m_end) {
                m_block = at;
                // A whole block needs the byte after it too, for the second-byte test of its last position.
                const bool whole = m_end - at > 16;
                m_blockEnd = whole ? at + 16 : m_end;
                m_hits = whole ? m_starts.BlockHits(m_bytes + at) : m_starts.TailHits(m_bytes + at, m_end - at);
                if (m_hits != 0)
                    return at + static_cast<size_t>(__builtin_ctz(m_hits));
                at = m_blockEnd;
            }
            return m_end;
        }

    private:
        const X86StartBytes &m_starts;
        const uint8_t *m_bytes;
        size_t m_end;
        size_t m_block = 0;
        size_t m_blockEnd = 0; // [m_block, m_blockEnd): the block whose hits m_hits holds, bit 0 for m_block
        uint32_t m_hits = 0;
    };

private:
    // Bit i set when a start holds at block[i], for 16 positions; block[16] must be readable too.
    uint32_t BlockHits(const uint8_t *block) const
    {
#if defined(__SSE2__)
        if (m_count > 0) {
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 1));
            // Unused entries repeat the first start, so all four tests always run without a loop.
            const __m128i hits = _mm_or_si128(_mm_or_si128(Holds(0, first, second), Holds(1, first, second)),
                                              _mm_or_si128(Holds(2, first, second), Holds(3, first, second)));
            return static_cast<uint32_t>(_mm_movemask_epi8(hits));
        }
#endif
        return TailHits(block, 16);
    }
    // The same for the last length (at most 16) positions of a section, by the first-byte test alone, which
    // holds wherever a whole start does.
    uint32_t TailHits(const uint8_t *block, size_t length) const
    {
        uint32_t hits = 0;
        for (size_t i = 0; i < length; ++i)
            hits |= uint32_t(m_firstMatches[block[i]]) << i;
        return hits;
    }

#if defined(__SSE2__)
    __m128i Holds(size_t i, __m128i first, __m128i second) const
    {
        const Lanes &start = m_lanes[i];
        return _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(first, start.firstMask), start.first),
                             _mm_cmpeq_epi8(_mm_and_si128(second, start.secondMask), start.second));
    }

    // A start's masks and values in all 16 lanes.
    struct Lanes
    {
        __m128i firstMask, first, secondMask, second;
    };
    Lanes m_lanes[kMaxStarts];
#endif
    bool m_firstMatches[256] = {};
    size_t m_count = 0;
};

} // namespace corvapatch
