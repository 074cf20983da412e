#include "label.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace corvapatch {

namespace {

constexpr size_t kMinSlots = 64;
// Below this a comparison sort is as quick as two counting passes over 65536 buckets.
constexpr size_t kRadixFrom = 16384;

// Sorts by address in two stable passes over the low and the high 16 bits, with a scratch copy of the entries
// for the time of the sort. False, with entries untouched, when they are too few to gain or the copy cannot be
// had.
bool RadixSort(std::vector<RvaToLabel::Entry> *entries)
{
    if (entries->size() < kRadixFrom)
        return false;
    std::vector<RvaToLabel::Entry> scratch;
    std::vector<uint32_t> counts;
    try {
        scratch.resize(entries->size());
        counts.resize(65536);
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::vector<RvaToLabel::Entry> *from = entries;
    std::vector<RvaToLabel::Entry> *to = &scratch;
    for (const unsigned shift : {0u, 16u}) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const RvaToLabel::Entry &entry : *from)
            ++counts[(entry.first >> shift) & 0xFFFF];
        uint32_t start = 0;
        for (uint32_t &count : counts) {
            const uint32_t n = count;
            count = start;
            start += n;
        }
        for (const RvaToLabel::Entry &entry : *from)
            (*to)[counts[(entry.first >> shift) & 0xFFFF]++] = entry;
        std::swap(from, to);
    }
    // Two passes: the sorted entries are back in *entries.
    return true;
}

} // namespace

void RvaToLabel::Insert(Label *label)
{
    if (2 * (m_entries.size() + 1) > m_slots.size())
        Rehash(std::max(kMinSlots, 2 * m_slots.size()));
    // Grown before the slot is taken, so a failed growth leaves both parts as they were.
    if (m_entries.size() == m_entries.capacity())
        m_entries.reserve(std::max(kMinSlots, 2 * m_entries.capacity()));
    Place(label);
    if (m_sorted && !m_entries.empty() && m_entries.back().first > label->rva)
        m_sorted = false;
    m_entries.emplace_back(label->rva, label);
}

void RvaToLabel::Rehash(size_t slots)
{
    std::vector<Label *> table(slots, nullptr);
    unsigned shift = 32;
    for (size_t n = slots; n > 1; n /= 2)
        --shift;
    m_slots.swap(table);
    m_shift = shift;
    // The new table is empty already: only the entries go in.
    for (const Entry &entry : m_entries)
        Place(entry.second);
}

void RvaToLabel::Reindex()
{
    std::fill(m_slots.begin(), m_slots.end(), nullptr);
    if (m_slots.empty())
        return;
    for (const Entry &entry : m_entries)
        Place(entry.second);
}

void RvaToLabel::Place(Label *label)
{
    size_t slot = Home(label->rva);
    while (m_slots[slot])
        slot = (slot + 1) & (m_slots.size() - 1);
    m_slots[slot] = label;
}

const std::vector<RvaToLabel::Entry> &RvaToLabel::Sorted() const
{
    if (!m_sorted) {
        // Addresses are unique, so the order is the same whichever way it is sorted.
        if (!RadixSort(&m_entries))
            std::sort(m_entries.begin(), m_entries.end(),
                      [](const Entry &a, const Entry &b) { return a.first < b.first; });
        m_sorted = true;
    }
    return m_entries;
}

RvaToLabel::const_iterator RvaToLabel::find(uint32_t rva) const
{
    const std::vector<Entry> &entries = Sorted();
    const auto found = std::lower_bound(entries.begin(), entries.end(), rva,
                                        [](const Entry &entry, uint32_t key) { return entry.first < key; });
    return found != entries.end() && found->first == rva ? found : entries.end();
}

Label *RvaToLabel::at(uint32_t rva) const
{
    Label *label = Find(rva);
    if (!label)
        throw std::out_of_range("RvaToLabel::at");
    return label;
}

} // namespace corvapatch
