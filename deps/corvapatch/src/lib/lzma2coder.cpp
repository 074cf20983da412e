#include "lzma2coder.h"

#include "lzma2decoding.h"
#include "lzmadecoder.h"

#include <lzma.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace corvapatch {

namespace {

constexpr uint8_t kMaxProperty = 40;
constexpr uint32_t kMinDictionary = 4096; // the smallest dictionary liblzma accepts
constexpr size_t kEncodeChunk = 1 << 16;
// An upper bound on what one packed byte of an LZMA chunk can decode to. The longest match (273 bytes) costs at
// least 14 coded decisions of at least 0.022 bits each (the most probable bit's probability saturates at
// 2017/2048), so real data stays below about 7100 bytes per packed byte; the bound leaves twice that margin.
constexpr uint64_t kMaxBytesPerPackedByte = 16384;
// The control byte, the sizes and the properties byte of an LZMA chunk.
constexpr size_t kMaxChunkHeader = 6;

// One chunk's header: the control byte, then the sizes and the properties byte it calls for.
struct ChunkHeader
{
    uint8_t control = 0;
    size_t length = 0;   // bytes of the header, the control byte included
    size_t unpacked = 0; // what the chunk declares it decodes to
    size_t packed = 0;   // bytes of data after the header (a stored chunk's own bytes)
};

// The header at head, of which available bytes can be read: LZMA2_OK (the end marker is a header of one byte
// that declares nothing), LZMA2_ERROR_INPUT_EOF when it is cut short, LZMA2_ERROR_DATA for a control byte that
// starts no chunk.
int ReadChunkHeader(const uint8_t *head, size_t available, ChunkHeader *header)
{
    if (available == 0)
        return LZMA2_ERROR_INPUT_EOF;
    header->control = head[0];
    if (header->control == 0x00) {
        header->length = 1;
        header->unpacked = header->packed = 0;
        return LZMA2_OK;
    }
    if (header->control == 0x01 || header->control == 0x02) {
        // Stored chunk: 16-bit big-endian size - 1, then the bytes.
        header->length = 3;
        if (available < header->length)
            return LZMA2_ERROR_INPUT_EOF;
        header->unpacked = header->packed = ((size_t(head[1]) << 8) | head[2]) + 1;
        return LZMA2_OK;
    }
    if (header->control < 0x80)
        return LZMA2_ERROR_DATA;
    // LZMA chunk: 21-bit unpacked size - 1 (5 bits in the control byte), 16-bit packed size - 1, and a properties
    // byte when the control byte resets the state with new properties.
    header->length = header->control >= 0xC0 ? 6 : 5;
    if (available < header->length)
        return LZMA2_ERROR_INPUT_EOF;
    header->unpacked = ((size_t(header->control & 0x1F) << 16) | (size_t(head[1]) << 8) | head[2]) + 1;
    header->packed = ((size_t(head[3]) << 8) | head[4]) + 1;
    return LZMA2_OK;
}

} // namespace

int Lzma2ResultOf(lzma_ret ret)
{
    switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
        return LZMA2_OK;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return LZMA2_ERROR_MEM;
    case LZMA_OPTIONS_ERROR:
        return LZMA2_ERROR_UNSUPPORTED;
    case LZMA_PROG_ERROR:
        return LZMA2_ERROR_PARAM;
    default:
        return LZMA2_ERROR_DATA;
    }
}

int SetUpLzma2Decoding(uint8_t property, uint64_t room, lzma_filter filters[2])
{
    if (property > kMaxProperty)
        return LZMA2_ERROR_UNSUPPORTED;
    filters[0] = {LZMA_FILTER_LZMA2, nullptr};
    filters[1] = {LZMA_VLI_UNKNOWN, nullptr};
    const lzma_ret ret = lzma_properties_decode(&filters[0], nullptr, &property, 1);
    if (ret != LZMA_OK)
        return Lzma2ResultOf(ret);
    auto *options = static_cast<lzma_options_lzma *>(filters[0].options);
    // Matches cannot reach before the start of the output, so a dictionary larger than the output is never used;
    // capping it keeps a 4 GiB property from costing 4 GiB.
    if (options->dict_size > room)
        options->dict_size = room < kMinDictionary ? kMinDictionary : static_cast<uint32_t>(room);
    return LZMA2_OK;
}

int ScanLzma2Stream(uint64_t length, const Lzma2HeaderReader &readHeader, uint64_t *unpackedSize, uint64_t *packedSize)
{
    uint64_t unpacked = 0;
    uint64_t pos = 0;
    for (;;) {
        if (pos >= length)
            return LZMA2_ERROR_INPUT_EOF;
        uint8_t head[kMaxChunkHeader];
        const size_t got =
            readHeader(pos, head, length - pos < kMaxChunkHeader ? size_t(length - pos) : kMaxChunkHeader);
        ChunkHeader header;
        if (const int result = ReadChunkHeader(head, got, &header); result != LZMA2_OK)
            return result;
        if (header.control == 0x00) {
            *unpackedSize = unpacked;
            *packedSize = pos + 1;
            return LZMA2_OK;
        }
        // An LZMA chunk's declared size counts only as far as its packed bytes can reach.
        const uint64_t possible = uint64_t(header.packed) * kMaxBytesPerPackedByte;
        unpacked += header.control < 0x80 || header.unpacked < possible ? header.unpacked : possible;
        if (length - pos - header.length < header.packed)
            return LZMA2_ERROR_INPUT_EOF;
        pos += header.length + header.packed;
    }
}

int ScanLzma2Chunks(const uint8_t *src, size_t srcLen, uint64_t *unpackedSize, size_t *packedSize)
{
    const auto copy = [src](uint64_t pos, uint8_t *head, size_t n) {
        std::memcpy(head, src + pos, n);
        return n;
    };
    uint64_t packed = 0;
    const int result = ScanLzma2Stream(srcLen, copy, unpackedSize, &packed);
    if (result == LZMA2_OK)
        *packedSize = static_cast<size_t>(packed);
    return result;
}

int DecodeLzma2(uint8_t *dest, size_t *destLen, const uint8_t *src, size_t *srcLen, uint8_t property, bool zeroed)
{
    const size_t room = *destLen;
    const size_t available = *srcLen;
    *destLen = 0;
    *srcLen = 0;
    if (property > kMaxProperty)
        return LZMA2_ERROR_UNSUPPORTED;
    const uint32_t dictionary = property == kMaxProperty ? 0xFFFFFFFFu : (2u | (property & 1u)) << (property / 2 + 11);
    // The decoder's tables take some 60 KB: not on a pool thread's stack.
    std::unique_ptr<LzmaDecoder> decoder(new (std::nothrow) LzmaDecoder(dest, room, zeroed));
    if (!decoder)
        return LZMA2_ERROR_MEM;
    // The first chunk must start a dictionary, and one that starts a dictionary must be followed by an LZMA chunk
    // that sets the properties, as the encoder writes them.
    bool needDictionary = true;
    bool needProperties = true;
    size_t pos = 0;
    for (;;) {
        ChunkHeader header;
        // A header cut short is as corrupt as a wrong one: the stream must end with its end marker.
        if (ReadChunkHeader(src + pos, available - pos, &header) != LZMA2_OK)
            return LZMA2_ERROR_DATA;
        const uint8_t control = header.control;
        if (control == 0x00) {
            *destLen = decoder->Position();
            *srcLen = pos + 1;
            return LZMA2_OK;
        }
        if (control == 0x01 || control >= 0xE0) {
            decoder->ResetDictionary(dictionary);
            needDictionary = false;
            needProperties = true;
        } else if (needDictionary) {
            return LZMA2_ERROR_DATA;
        }
        const uint8_t *data = src + pos + header.length;
        if (header.packed > available - pos - header.length)
            return LZMA2_ERROR_DATA;
        if (control >= 0x80) {
            const uint32_t reset = (control >> 5) & 3; // 0 none, 1 state, 2 state and properties, 3 also dictionary
            if (reset >= 2) {
                if (!decoder->SetProperties(src[pos + kMaxChunkHeader - 1]))
                    return LZMA2_ERROR_DATA;
                needProperties = false;
            } else if (needProperties) {
                return LZMA2_ERROR_DATA;
            }
            if (reset >= 1)
                decoder->ResetState();
            if (!decoder->DecodeChunk(data, header.packed, header.unpacked))
                return LZMA2_ERROR_DATA;
        } else if (!decoder->CopyStored(data, header.packed)) {
            return LZMA2_ERROR_DATA;
        }
        pos += header.length + header.packed;
    }
}

int DecodeLzma2Prefix(uint8_t *dest, size_t *destLen, const uint8_t *src, size_t srcLen, uint8_t property)
{
    const size_t room = *destLen;
    *destLen = 0;
    if (room == 0 || !dest || !src)
        return LZMA2_ERROR_DATA;
    lzma_filter filters[2];
    const int setUp = SetUpLzma2Decoding(property, room, filters);
    if (setUp != LZMA2_OK)
        return setUp;
    lzma_stream stream = LZMA_STREAM_INIT;
    const lzma_ret started = lzma_raw_decoder(&stream, filters);
    std::free(filters[0].options);
    if (started != LZMA_OK) {
        lzma_end(&stream);
        return Lzma2ResultOf(started);
    }
    stream.next_in = src;
    stream.avail_in = srcLen;
    stream.next_out = dest;
    stream.avail_out = room;
    // Each call makes progress or reports that it cannot; the output room ends it at the latest.
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK && stream.avail_out > 0 && stream.avail_in > 0) {
        const size_t before = stream.avail_in + stream.avail_out;
        ret = lzma_code(&stream, LZMA_RUN);
        if (stream.avail_in + stream.avail_out == before)
            break;
    }
    *destLen = room - stream.avail_out;
    lzma_end(&stream);
    return *destLen > 0 ? LZMA2_OK : LZMA2_ERROR_DATA;
}

bool Lzma2Encoder::SetLevel(uint32_t level)
{
    lzma_options_lzma options;
    if (level > 9 || lzma_lzma_preset(&options, level))
        return false;
    lzma_filter filter = {LZMA_FILTER_LZMA2, &options};
    uint8_t property = 0;
    if (lzma_properties_encode(&filter, &property) != LZMA_OK)
        return false;
    m_level = level;
    m_property = property;
    return true;
}

int Lzma2Encoder::Encode(const uint8_t *data, size_t n, const Writer &write) const
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, m_level))
        return LZMA2_ERROR_PARAM;
    if (options.dict_size > n)
        options.dict_size = n < kMinDictionary ? kMinDictionary : static_cast<uint32_t>(n);
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_raw_encoder(&stream, filters);
    if (ret != LZMA_OK)
        return Lzma2ResultOf(ret);
    uint8_t chunk[kEncodeChunk];
    const uint8_t empty = 0;
    stream.next_in = n ? data : &empty;
    stream.avail_in = n;
    int result = LZMA2_OK;
    for (;;) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        ret = lzma_code(&stream, LZMA_FINISH);
        const size_t produced = sizeof chunk - stream.avail_out;
        if ((ret == LZMA_OK || ret == LZMA_STREAM_END) && produced > 0 && write(chunk, produced) != produced) {
            result = LZMA2_ERROR_WRITE;
            break;
        }
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK) {
            result = Lzma2ResultOf(ret);
            break;
        }
    }
    lzma_end(&stream);
    return result;
}

} // namespace corvapatch
