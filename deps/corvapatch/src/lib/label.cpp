#include "label.h"

#include <algorithm>
#include <stdexcept>

namespace corvapatch {

namespace {

constexpr size_t kMinSlots = 64;

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
        // Addresses are unique, so the order is the same wherever it is sorted. In place: a scratch copy for a
        // faster sort would raise the disassembly's peak memory.
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
