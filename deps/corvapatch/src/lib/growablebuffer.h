#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Byte storage of a sink. Allocation never throws: when it fails, the buffer drops its data and enters the
// failed state (capacity 0xFFFFFFFF), in which every later append or reserve fails. Sizes are 32-bit.
class GrowableBuffer
{
public:
    static constexpr uint32_t kFailedCapacity = 0xFFFFFFFFu;
    static constexpr uint32_t kInitialCapacity = 256;

    GrowableBuffer() = default;
    ~GrowableBuffer();
    GrowableBuffer(const GrowableBuffer &) = delete;
    GrowableBuffer &operator=(const GrowableBuffer &) = delete;

    // Appends n bytes, growing geometrically from 256. False on failure; a length that would pass 32 bits
    // changes nothing, a failed allocation fails the buffer.
    [[nodiscard]] bool Append(const void *data, size_t n);
    // Makes the capacity at least total bytes in one allocation. A total of 0xFFFFFFFF or more cannot be held
    // and counts as a failed allocation.
    [[nodiscard]] bool Reserve(uint64_t total);
    // Marks n more bytes of the reserved space after the used part as used (they were written through Tail()).
    [[nodiscard]] bool Extend(size_t n);
    // Frees the data and starts over empty; a failed buffer stays failed.
    void Retire();
    // Empties the buffer but keeps its allocation.
    void Clear();
    // Exchanges the contents and states of the two buffers.
    void Swap(GrowableBuffer *other);

    uint8_t *Data() { return m_data; }
    const uint8_t *Data() const { return m_data; }
    uint32_t Length() const { return m_length; }
    uint32_t Capacity() const { return m_capacity; }
    bool Failed() const { return m_capacity == kFailedCapacity; }

private:
    void Fail();

    uint8_t *m_data = nullptr;
    uint32_t m_length = 0;
    uint32_t m_capacity = 0;
};

} // namespace corvapatch
