#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvapatch {

// A target of absolute or relative references: its address relative to the image base, its position in the
// encoded address table (kNoIndex until numbered) and how many references were made to it.
struct Label
{
    static constexpr int32_t kNoIndex = -1;

    explicit Label(uint32_t rva) : rva(rva) { }

    uint32_t rva = 0;
    int32_t index = kNoIndex;
    int32_t count = 0;
};

// Labels by address, walked in ascending address order. The program owns the labels.
//
// A disassembly looks a label up once per reference, hundreds of thousands of times in random address order,
// and walks the labels in order only a few times afterwards. So lookups go through an open-addressing table of
// label pointers, and the entries are kept in insertion order and sorted only when they are walked. Both
// together take less memory than one tree node per label. Insertions throw std::bad_alloc when memory runs out.
class RvaToLabel
{
public:
    using Entry = std::pair<uint32_t, Label *>;
    using const_iterator = std::vector<Entry>::const_iterator;
    using const_reverse_iterator = std::vector<Entry>::const_reverse_iterator;

    // The label at rva, nullptr when there is none.
    Label *Find(uint32_t rva) const
    {
        if (m_slots.empty())
            return nullptr;
        for (size_t slot = Home(rva);; slot = (slot + 1) & (m_slots.size() - 1)) {
            Label *label = m_slots[slot];
            if (!label || label->rva == rva)
                return label;
        }
    }
    // Adds label at its address, which must not be in the map yet.
    void Insert(Label *label);
    // Removes every label for which drop(label) is true.
    template <typename Drop>
    void RemoveIf(Drop drop)
    {
        size_t kept = 0;
        for (const Entry &entry : m_entries) {
            if (!drop(entry.second))
                m_entries[kept++] = entry;
        }
        m_entries.resize(kept);
        Reindex();
    }

    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    // The entry at rva, or end().
    const_iterator find(uint32_t rva) const;
    // The label at rva; throws std::out_of_range when there is none.
    Label *at(uint32_t rva) const;

    const_iterator begin() const { return Sorted().begin(); }
    const_iterator end() const { return Sorted().end(); }
    const_reverse_iterator rbegin() const { return Sorted().rbegin(); }
    const_reverse_iterator rend() const { return Sorted().rend(); }

private:
    size_t Home(uint32_t rva) const
    {
        // Fibonacci hashing: addresses are often aligned, so their low bits alone would crowd a few slots.
        return size_t(uint32_t(rva * 0x9E3779B1u) >> m_shift);
    }
    // A table of that many slots (a power of two) holding every entry.
    void Rehash(size_t slots);
    // Empties the table and enters every entry again; allocates nothing.
    void Reindex();
    void Place(Label *label);
    const std::vector<Entry> &Sorted() const;

    // Entries in insertion order until the first ordered walk sorts them; m_sorted tells which.
    mutable std::vector<Entry> m_entries;
    mutable bool m_sorted = true;
    // Power-of-two table, at most half full; empty until the first insertion.
    std::vector<Label *> m_slots;
    unsigned m_shift = 32;
};

} // namespace corvapatch
