#pragma once

#include "growablebuffer.h"

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// A growable output buffer that never throws. Every operation returns false once the buffer has failed.
class SinkStream
{
public:
    SinkStream() = default;
    SinkStream(const SinkStream &) = delete;
    SinkStream &operator=(const SinkStream &) = delete;

    [[nodiscard]] bool Write(const void *data, size_t n);
    [[nodiscard]] bool WriteVarint32(uint32_t value);
    [[nodiscard]] bool WriteVarint32Signed(int32_t value);
    // The varint32 of the size's low 32 bits.
    [[nodiscard]] bool WriteSizeVarint32(size_t size);
    // Appends other's bytes and retires other. A failed other makes this fail too, so its loss is not hidden.
    [[nodiscard]] bool Append(SinkStream *other);
    // Takes over buffer's bytes and leaves it empty, when this sink is empty and they fit its limit; false and
    // nothing changed otherwise.
    [[nodiscard]] bool Adopt(GrowableBuffer *buffer);
    // Makes room for Length() + n bytes in one allocation.
    [[nodiscard]] bool Reserve(size_t n);
    // Caps the length: a write, reservation or extension that would pass maxLength fails and leaves the sink as
    // it was. Decoders check a declared size against Room() before they decode anything.
    void SetLimit(size_t maxLength) { m_limit = maxLength; }
    size_t Room() const { return Length() < m_limit ? m_limit - Length() : 0; }
    void Retire();
    // When this sink holds nothing and other's allocation is the larger, takes that allocation over, emptied, as
    // room for what comes, and leaves other empty. Its pages are already there: a large fresh allocation costs
    // the kernel a cleared page for every 4 KiB first written.
    void Recycle(SinkStream *other);

    // Direct filling of reserved space: write up to Capacity() - Length() bytes at Tail(), then Extend by the
    // number written.
    uint8_t *Tail() { return m_buffer.Data() ? m_buffer.Data() + m_buffer.Length() : nullptr; }
    size_t Capacity() const { return m_buffer.Failed() ? 0 : m_buffer.Capacity(); }
    [[nodiscard]] bool Extend(size_t n) { return n <= Room() && m_buffer.Extend(n); }

    const uint8_t *Buffer() const { return m_buffer.Data(); }
    size_t Length() const { return m_buffer.Length(); }
    bool Failed() const { return m_buffer.Failed(); }

private:
    GrowableBuffer m_buffer;
    size_t m_limit = SIZE_MAX;
};

} // namespace corvapatch
