#include "lzma2blockwriter.h"

#include "lzmaioout.h"
#include "sinkstream.h"

namespace patchwriter {

namespace {

constexpr size_t kStoredChunkMax = 0x10000;
constexpr uint8_t kStoredChunkResetDictionary = 0x01;
constexpr uint8_t kStoredChunk = 0x02;
constexpr uint8_t kEndMarker = 0x00;

// The LZMA2 dictionary of property p: (2 | (p & 1)) << (p / 2 + 11) bytes.
uint64_t DictionarySize(uint8_t property)
{
    return uint64_t(2 | (property & 1)) << (property / 2 + 11);
}

Bytes BytesOf(const corvapatch::SinkStream &sink)
{
    return sink.Length() ? Bytes(sink.Buffer(), sink.Buffer() + sink.Length()) : Bytes();
}

} // namespace

Bytes StoredLzma2Block(const Bytes &content)
{
    uint8_t property = 0;
    while (property < 39 && DictionarySize(property) < content.size())
        ++property;
    corvapatch::SinkStream block;
    if (!block.Write(&property, 1) || !block.WriteSizeVarint32(content.size()))
        return Bytes();
    for (size_t done = 0; done < content.size();) {
        const size_t n = content.size() - done < kStoredChunkMax ? content.size() - done : kStoredChunkMax;
        const uint8_t header[] = {done == 0 ? kStoredChunkResetDictionary : kStoredChunk,
                                  static_cast<uint8_t>((n - 1) >> 8), static_cast<uint8_t>(n - 1)};
        if (!block.Write(header, sizeof header) || !block.Write(content.data() + done, n))
            return Bytes();
        done += n;
    }
    if (!block.Write(&kEndMarker, 1))
        return Bytes();
    return BytesOf(block);
}

Bytes CompressedLzma2Block(const Bytes &content)
{
    corvapatch::SinkStream block;
    if (!corvapatch::CompressLzma2Buffer(content.data(), content.size(), &block))
        return Bytes();
    return BytesOf(block);
}

} // namespace patchwriter
