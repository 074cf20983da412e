#include "sinkstream.h"

#include "varint.h"

namespace corvapatch {

bool SinkStream::Write(const void *data, size_t n)
{
    return n <= Room() && m_buffer.Append(data, n);
}

bool SinkStream::WriteVarint32(uint32_t value)
{
    // Straight into reserved space when the longest form fits there; the streams of a program take millions.
    if (Room() >= kMaxVarint32Length && Capacity() - Length() >= kMaxVarint32Length)
        return m_buffer.Extend(EncodeVarint32(value, Tail()));
    uint8_t bytes[kMaxVarint32Length];
    return Write(bytes, EncodeVarint32(value, bytes));
}

bool SinkStream::WriteVarint32Signed(int32_t value)
{
    return WriteVarint32(ZigzagEncode(value));
}

bool SinkStream::WriteSizeVarint32(size_t size)
{
    return WriteVarint32(static_cast<uint32_t>(size));
}

bool SinkStream::Append(SinkStream *other)
{
    if (other->Failed())
        return false;
    // Into an empty sink without room reserved for them the bytes move instead of being copied: a set's streams
    // are appended whole.
    if (Capacity() < other->Length() && Adopt(&other->m_buffer))
        return true;
    if (!Write(other->Buffer(), other->Length()))
        return false;
    other->Retire();
    return true;
}

bool SinkStream::Adopt(GrowableBuffer *buffer)
{
    if (Length() != 0 || Failed() || buffer->Failed() || buffer->Length() > Room())
        return false;
    m_buffer.Swap(buffer);
    buffer->Retire();
    return true;
}

bool SinkStream::Reserve(size_t n)
{
    // A sum that wraps would reserve too little, so the caller would write past the allocation.
    if (m_buffer.Failed() || n > GrowableBuffer::kFailedCapacity - m_buffer.Length() || n > Room())
        return false;
    return m_buffer.Reserve(uint64_t(m_buffer.Length()) + n);
}

void SinkStream::Retire()
{
    m_buffer.Retire();
}

void SinkStream::Recycle(SinkStream *other)
{
    if (Length() != 0 || Failed() || other->Failed() || other->Capacity() <= Capacity())
        return;
    m_buffer.Swap(&other->m_buffer);
    m_buffer.Clear();
    other->Retire();
}

} // namespace corvapatch
