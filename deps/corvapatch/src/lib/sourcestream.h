#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

class SinkStream;

// A read cursor over bytes it does not own. Invariant: start <= current <= end. No operation allocates, and a
// failed operation moves nothing.
class SourceStream
{
public:
    SourceStream() = default;

    void Init(const uint8_t *bytes, size_t length);
    // Covers the sink's bytes as they are now; the sink must outlive the cursor and not grow meanwhile.
    void Init(const SinkStream &sink);

    const uint8_t *Current() const { return m_current; }
    size_t Remaining() const { return static_cast<size_t>(m_end - m_current); }
    bool Empty() const { return m_current == m_end; }

    [[nodiscard]] bool Read(void *dest, size_t n);
    // Inline for the one-byte form, which most values of a program's streams take.
    [[nodiscard]] bool ReadVarint32(uint32_t *out)
    {
        if (m_current < m_end && *m_current < 0x80) {
            *out = *m_current++;
            return true;
        }
        return ReadLongVarint32(out);
    }
    [[nodiscard]] bool ReadVarint32Signed(int32_t *out);
    [[nodiscard]] bool Skip(size_t n);
    // sub covers the next n bytes and this cursor moves past them.
    [[nodiscard]] bool ReadSubstream(size_t n, SourceStream *sub);
    // sub covers n bytes starting offset bytes ahead; this cursor does not move.
    [[nodiscard]] bool ShareSubstream(size_t offset, size_t n, SourceStream *sub) const;

private:
    [[nodiscard]] bool ReadLongVarint32(uint32_t *out);

    const uint8_t *m_start = nullptr;
    const uint8_t *m_end = nullptr;
    const uint8_t *m_current = nullptr;
};

} // namespace corvapatch
