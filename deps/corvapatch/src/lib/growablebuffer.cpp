#include "growablebuffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace corvapatch {

GrowableBuffer::~GrowableBuffer()
{
    std::free(m_data);
}

void GrowableBuffer::Fail()
{
    std::free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = kFailedCapacity;
}

bool GrowableBuffer::Append(const void *data, size_t n)
{
    if (Failed())
        return false;
    if (n > kFailedCapacity - m_length)
        return false;
    if (n == 0)
        return true;
    if (m_capacity - m_length < n) {
        const uint64_t needed = uint64_t(m_length) + n;
        uint64_t size = m_capacity == 0 ? kInitialCapacity : m_capacity;
        while (size < needed)
            size *= 2;
        if (size > kFailedCapacity)
            size = kFailedCapacity;
        if (!Reserve(size))
            return false;
    }
    std::memcpy(m_data + m_length, data, n);
    m_length += static_cast<uint32_t>(n);
    return true;
}

bool GrowableBuffer::Reserve(uint64_t total)
{
    if (Failed())
        return false;
    if (total <= m_capacity)
        return true;
    // The failed-state marker is not a usable capacity, so a buffer can never hold that much.
    if (total >= kFailedCapacity) {
        Fail();
        return false;
    }
    const uint32_t size = total < kInitialCapacity ? kInitialCapacity : static_cast<uint32_t>(total);
    // realloc moves a large block by remapping its pages, without copying them or touching fresh ones for the
    // part already held. On failure the old block is still ours, and Fail releases it.
    auto *grown = static_cast<uint8_t *>(std::realloc(m_data, size));
    if (!grown) {
        Fail();
        return false;
    }
    m_data = grown;
    m_capacity = size;
    return true;
}

bool GrowableBuffer::Extend(size_t n)
{
    if (Failed() || n > m_capacity - m_length)
        return false;
    m_length += static_cast<uint32_t>(n);
    return true;
}

void GrowableBuffer::Swap(GrowableBuffer *other)
{
    std::swap(m_data, other->m_data);
    std::swap(m_length, other->m_length);
    std::swap(m_capacity, other->m_capacity);
}

void GrowableBuffer::Clear()
{
    if (!Failed())
        m_length = 0;
}

void GrowableBuffer::Retire()
{
    if (!m_data)
        return;
    std::free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
}

} // namespace corvapatch
