#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace corvapatch {

// A growable array of trivially copyable values that never throws. The first allocation holds 64 entries; a
// full array doubles (saturating at kMaxSize). A request of 0x40000000 entries or more, or a failed allocation,
// releases the contents and pins the capacity at kPinnedCapacity, after which every append fails.
template <typename T>
class GrowableArray
{
    static_assert(std::is_trivially_copyable<T>::value, "entries are moved with realloc");

public:
    static constexpr uint32_t kMinCapacity = 64;
    static constexpr uint32_t kMaxSize = 0x3fffffff;
    static constexpr uint32_t kPinnedCapacity = 0xFFFFFFFFu;

    // Called with the entries just before a pinned array drops them, so owned pointers can be released.
    using ReleaseEntries = void (*)(T *entries, uint32_t count);

    GrowableArray() = default;
    explicit GrowableArray(ReleaseEntries releaseEntries) : m_releaseEntries(releaseEntries) { }
    ~GrowableArray() { std::free(m_data); }
    GrowableArray(const GrowableArray &) = delete;
    GrowableArray &operator=(const GrowableArray &) = delete;

    // Makes room for at least count entries.
    [[nodiscard]] bool Reserve(uint64_t count)
    {
        if (Pinned())
            return false;
        if (count <= m_capacity)
            return true;
        if (count > kMaxSize) {
            Pin();
            return false;
        }
        const uint32_t capacity = count < kMinCapacity ? kMinCapacity : static_cast<uint32_t>(count);
        T *grown = static_cast<T *>(std::realloc(m_data, size_t(capacity) * sizeof(T)));
        if (!grown) {
            Pin();
            return false;
        }
        m_data = grown;
        m_capacity = capacity;
        return true;
    }

    [[nodiscard]] bool PushBack(const T &value)
    {
        if (Pinned() || m_size >= kMaxSize)
            return false;
        if (m_size == m_capacity && !Reserve(GrownCapacity(uint64_t(m_size) + 1)))
            return false;
        m_data[m_size++] = value;
        return true;
    }

    // Grows to count entries, the new ones set to fill; never shrinks.
    [[nodiscard]] bool Resize(uint64_t count, const T &fill)
    {
        if (Pinned())
            return false;
        if (count <= m_size)
            return true;
        if (count > m_capacity && !Reserve(GrownCapacity(count)))
            return false;
        while (m_size < count)
            m_data[m_size++] = fill;
        return true;
    }

    void Clear() { m_size = 0; }

    T *data() { return m_data; }
    const T *data() const { return m_data; }
    uint32_t size() const { return m_size; }
    uint32_t capacity() const { return m_capacity; }
    bool empty() const { return m_size == 0; }
    bool Pinned() const { return m_capacity == kPinnedCapacity; }
    T &operator[](uint32_t i) { return m_data[i]; }
    const T &operator[](uint32_t i) const { return m_data[i]; }
    T &back() { return m_data[m_size - 1]; }
    const T &back() const { return m_data[m_size - 1]; }

private:
    // The capacity (64 when none) doubled until it holds needed entries, at most kMaxSize.
    uint64_t GrownCapacity(uint64_t needed) const
    {
        uint64_t capacity = m_capacity == 0 ? kMinCapacity : m_capacity;
        while (capacity < needed && capacity < kMaxSize)
            capacity *= 2;
        return capacity > kMaxSize ? (needed > kMaxSize ? needed : kMaxSize) : capacity;
    }

    void Pin()
    {
        if (m_releaseEntries && m_size > 0)
            m_releaseEntries(m_data, m_size);
        std::free(m_data);
        m_data = nullptr;
        m_size = 0;
        m_capacity = kPinnedCapacity;
    }

    ReleaseEntries m_releaseEntries = nullptr;
    T *m_data = nullptr;
    uint32_t m_size = 0;
    uint32_t m_capacity = 0;
};

} // namespace corvapatch
