#include "sourcestreamset.h"

namespace corvapatch {

bool SourceStreamSet::Init(const uint8_t *bytes, size_t length)
{
    for (SourceStream &stream : m_streams)
        stream = SourceStream();

    SourceStream header;
    header.Init(bytes, length);
    StreamSetHeader fields;
    if (!header.ReadVarint32(&fields.version) || fields.version != kStreamSetVersion)
        return false;
    if (!header.ReadVarint32(&fields.count) || fields.count > kStreamSetMaxStreams)
        return false;
    m_count = fields.count;

    uint64_t total = 0; // ten 32-bit lengths cannot wrap a 64-bit sum
    for (uint32_t i = 0; i < fields.count; ++i) {
        if (!header.ReadVarint32(&fields.lengths[i]))
            return false;
        total += fields.lengths[i];
    }
    if (total != header.Remaining())
        return false;
    for (uint32_t i = 0; i < fields.count; ++i) {
        if (!header.ReadSubstream(fields.lengths[i], &m_streams[i]))
            return false;
    }
    return true;
}

bool SourceStreamSet::Init(const SourceStream &source)
{
    return Init(source.Current(), source.Remaining());
}

bool SourceStreamSet::ReadSet(SourceStreamSet *set)
{
    SourceStream *lengths = stream(0);
    if (!lengths)
        return false;
    uint32_t n = 0;
    if (!lengths->ReadVarint32(&n) || n > kStreamSetMaxStreams || n > m_count)
        return false;
    uint32_t sizes[kStreamSetMaxStreams] = {};
    for (uint32_t i = 0; i < n; ++i) {
        if (!lengths->ReadVarint32(&sizes[i]))
            return false;
    }
    set->m_count = kStreamSetMaxStreams;
    for (uint32_t i = 0; i < kStreamSetMaxStreams; ++i) {
        if (i >= n) {
            set->m_streams[i] = SourceStream();
            continue;
        }
        if (!m_streams[i].ReadSubstream(sizes[i], &set->m_streams[i]))
            return false;
    }
    return true;
}

bool SourceStreamSet::Empty() const
{
    for (uint32_t i = 0; i < m_count; ++i) {
        if (!m_streams[i].Empty())
            return false;
    }
    return true;
}

} // namespace corvapatch
