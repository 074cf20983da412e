#include "firstcover.h"

#include <algorithm>
#include <set>

namespace corvapatch {

FirstCover::FirstCover(const std::vector<Range> &ranges)
{
    struct Event
    {
        uint64_t at;
        bool opens;
        uint32_t index;
    };
    std::vector<Event> events;
    events.reserve(2 * ranges.size());
    for (const Range &range : ranges) {
        if (range.end <= range.begin)
            continue;
        events.push_back({range.begin, true, range.index});
        events.push_back({range.end, false, range.index});
    }
    std::sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.at < b.at; });
    std::multiset<uint32_t> open;
    for (size_t i = 0; i < events.size();) {
        const uint64_t at = events[i].at;
        for (; i < events.size() && events[i].at == at; ++i) {
            if (events[i].opens)
                open.insert(events[i].index);
            else
                open.erase(open.find(events[i].index));
        }
        m_starts.push_back(at);
        m_first.push_back(open.empty() ? kNone : *open.begin());
    }
}

uint32_t FirstCover::Find(uint64_t point) const
{
    const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), point);
    if (after == m_starts.begin())
        return kNone;
    return m_first[static_cast<size_t>(after - m_starts.begin()) - 1];
}

uint32_t FirstCover::FindPiece(uint64_t point, Piece *piece) const
{
    const size_t after =
        static_cast<size_t>(std::upper_bound(m_starts.begin(), m_starts.end(), point) - m_starts.begin());
    piece->begin = after == 0 ? 0 : m_starts[after - 1];
    piece->end = after == m_starts.size() ? UINT64_MAX : m_starts[after];
    piece->first = after == 0 ? kNone : m_first[after - 1];
    return piece->first;
}

void FirstCover::AddWrapped32(std::vector<Range> *ranges, uint32_t begin, uint32_t size, uint32_t index)
{
    const uint64_t end = uint64_t(begin) + size;
    constexpr uint64_t kWrap = uint64_t(1) << 32;
    if (end <= kWrap) {
        ranges->push_back({begin, end, index});
        return;
    }
    ranges->push_back({begin, kWrap, index});
    ranges->push_back({0, end - kWrap, index});
}

} // namespace corvapatch
