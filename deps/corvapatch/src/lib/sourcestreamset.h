#pragma once

#include "sourcestream.h"
#include "streamsetheader.h"

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Up to ten cursors read from one serialised stream set. The streams point into the parsed bytes, which must
// outlive the set.
class SourceStreamSet
{
public:
    SourceStreamSet() = default;

    // Parses the top-level form. Fails on another version, a count above 10, a cut-short varint, or lengths that
    // do not add up to exactly the bytes after the header. All streams are empty after a failure; the count is
    // kept when it had been read.
    [[nodiscard]] bool Init(const uint8_t *bytes, size_t length);
    // The same over a cursor's remaining bytes; the cursor does not move.
    [[nodiscard]] bool Init(const SourceStream &source);
    // Reads a set written in nested form by SinkStreamSet::WriteSet: its stream count and lengths from this set's
    // stream 0, then each of its streams from this set's stream of the same index. `set` keeps count 10.
    [[nodiscard]] bool ReadSet(SourceStreamSet *set);
    // Every stream below the count is used up.
    bool Empty() const;

    // Stream i, or nullptr when i is not below the count.
    SourceStream *stream(size_t i) { return i < m_count ? &m_streams[i] : nullptr; }
    uint32_t count() const { return m_count; }

private:
    uint32_t m_count = kStreamSetMaxStreams;
    SourceStream m_streams[kStreamSetMaxStreams];
};

} // namespace corvapatch
