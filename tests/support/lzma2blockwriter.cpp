#include "lzma2blockwriter.h"

#include <lzma.h>

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

Bytes ZerosLzma2Block(uint32_t n)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 0))
        return {};
    options.dict_size = 1u << 20;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK)
        return {};
    corvapatch::SinkStream head;
    const uint8_t property = 16; // 2 << 19: a 1 MiB dictionary
    if (!head.Write(&property, 1) || !head.WriteVarint32(n)) {
        lzma_end(&stream);
        return {};
    }
    Bytes block(head.Buffer(), head.Buffer() + head.Length());
    const Bytes zeros(1 << 20, 0);
    Bytes out(1 << 20);
    uint32_t left = n;
    lzma_ret status = LZMA_OK;
    do {
        if (stream.avail_in == 0 && left > 0) {
            const uint32_t piece = left < zeros.size() ? left : uint32_t(zeros.size());
            stream.next_in = zeros.data();
            stream.avail_in = piece;
            left -= piece;
        }
        stream.next_out = out.data();
        stream.avail_out = out.size();
        status = lzma_code(&stream, left == 0 && stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
        block.insert(block.end(), out.begin(), out.end() - long(stream.avail_out));
    } while (status == LZMA_OK);
    lzma_end(&stream);
    return status == LZMA_STREAM_END ? block : Bytes();
}

} // namespace patchwriter
