#pragma once

#include "sinkstream.h"
#include "streamsetheader.h"

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Up to ten output streams that serialise into one stream set. Every set the engine builds has count 10.
class SinkStreamSet
{
public:
    SinkStreamSet() = default;
    SinkStreamSet(const SinkStreamSet &) = delete;
    SinkStreamSet &operator=(const SinkStreamSet &) = delete;

    // Sets the count; a count above 10 is refused and leaves the set as it was.
    [[nodiscard]] bool Init(uint32_t count);
    // Writes the top-level header: EA 9A CA 09, the count, and the length of every stream below the count.
    [[nodiscard]] bool CopyHeaderTo(SinkStream *header);
    // Appends the whole top-level form to combined, reserving its exact size first. Retires the streams.
    [[nodiscard]] bool CopyTo(SinkStream *combined);
    // Writes `set` in nested form: into this set's stream 0 the number n of streams up to set's highest
    // non-empty one and their n lengths, then set's stream i appended to this set's stream i. Retires set's
    // streams. Fails when this set has fewer than n streams (or none).
    [[nodiscard]] bool WriteSet(SinkStreamSet *set);

    // Stream i, or nullptr when i is not below the count.
    SinkStream *stream(size_t i) { return i < m_count ? &m_streams[i] : nullptr; }
    uint32_t count() const { return m_count; }

private:
    uint32_t m_count = kStreamSetMaxStreams;
    SinkStream m_streams[kStreamSetMaxStreams]; // destroyed last to first, stream 9 first
};

} // namespace corvapatch
