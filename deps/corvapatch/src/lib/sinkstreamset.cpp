#include "sinkstreamset.h"

namespace corvapatch {

namespace {

// The version as the writer always emits it (the varint32 of 20090218).
constexpr uint8_t kVersionBytes[] = {0xEA, 0x9A, 0xCA, 0x09};

} // namespace

bool SinkStreamSet::Init(uint32_t count)
{
    if (count > kStreamSetMaxStreams)
        return false;
    m_count = count;
    return true;
}

bool SinkStreamSet::CopyHeaderTo(SinkStream *header)
{
    if (!header->Write(kVersionBytes, sizeof kVersionBytes) || !header->WriteSizeVarint32(m_count))
        return false;
    for (uint32_t i = 0; i < m_count; ++i) {
        if (!header->WriteSizeVarint32(m_streams[i].Length()))
            return false;
    }
    return true;
}

bool SinkStreamSet::CopyTo(SinkStream *combined)
{
    SinkStream header;
    if (!CopyHeaderTo(&header))
        return false;
    uint64_t total = header.Length();
    for (uint32_t i = 0; i < m_count; ++i)
        total += m_streams[i].Length();
    if (total > GrowableBuffer::kFailedCapacity || !combined->Reserve(static_cast<size_t>(total)))
        return false;
    if (!combined->Append(&header))
        return false;
    for (uint32_t i = 0; i < m_count; ++i) {
        if (!combined->Append(&m_streams[i]))
            return false;
    }
    return true;
}

bool SinkStreamSet::WriteSet(SinkStreamSet *set)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < kStreamSetMaxStreams; ++i) {
        // A failed stream reads as empty; skipping it would drop its lost bytes without a trace.
        if (set->m_streams[i].Failed())
            return false;
        if (set->m_streams[i].Length() > 0)
            n = i + 1;
    }
    SinkStream *lengths = stream(0);
    if (!lengths || n > m_count)
        return false;
    if (!lengths->WriteSizeVarint32(n))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        if (!lengths->WriteSizeVarint32(set->m_streams[i].Length()))
            return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!m_streams[i].Append(&set->m_streams[i]))
            return false;
    }
    return true;
}

} // namespace corvapatch
