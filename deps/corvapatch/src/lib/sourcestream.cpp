#include "sourcestream.h"

#include "sinkstream.h"
#include "varint.h"

#include <cstring>

namespace corvapatch {

void SourceStream::Init(const uint8_t *bytes, size_t length)
{
    m_start = bytes;
    m_end = bytes ? bytes + length : bytes;
    m_current = m_start;
}

void SourceStream::Init(const SinkStream &sink)
{
    Init(sink.Buffer(), sink.Length());
}

bool SourceStream::Read(void *dest, size_t n)
{
    if (n > Remaining())
        return false;
    if (n > 0)
        std::memcpy(dest, m_current, n);
    m_current += n;
    return true;
}

bool SourceStream::ReadLongVarint32(uint32_t *out)
{
    const uint8_t *next = ParseVarint32(m_current, m_end, out);
    if (!next)
        return false;
    m_current = next;
    return true;
}

bool SourceStream::ReadVarint32Signed(int32_t *out)
{
    uint32_t zigzag = 0;
    if (!ReadVarint32(&zigzag))
        return false;
    *out = ZigzagDecode(zigzag);
    return true;
}

bool SourceStream::Skip(size_t n)
{
    if (n > Remaining())
        return false;
    m_current += n;
    return true;
}

bool SourceStream::ReadSubstream(size_t n, SourceStream *sub)
{
    if (n > Remaining())
        return false;
    sub->Init(m_current, n);
    m_current += n;
    return true;
}

bool SourceStream::ShareSubstream(size_t offset, size_t n, SourceStream *sub) const
{
    if (offset > Remaining() || n > Remaining() - offset)
        return false;
    sub->Init(m_current + offset, n);
    return true;
}

} // namespace corvapatch
