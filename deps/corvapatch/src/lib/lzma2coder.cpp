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
        if (got == 0)
            return LZMA2_ERROR_INPUT_EOF;
        const uint8_t control = head[0];
        if (control == 0x00) {
            *unpackedSize = unpacked;
            *packedSize = pos + 1;
            return LZMA2_OK;
        }
        uint64_t header = 0;
        uint64_t data = 0;
        if (control == 0x01 || control == 0x02) {
            // Uncompressed chunk: 16-bit big-endian size - 1, then the bytes.
            header = 3;
            if (got < header)
                return LZMA2_ERROR_INPUT_EOF;
            data = ((uint64_t(head[1]) << 8) | head[2]) + 1;
            unpacked += data;
        } else if (control >= 0x80) {
            // LZMA chunk: 21-bit unpacked size - 1 (5 bits in the control byte), 16-bit packed size - 1, and a
            // properties byte when the control byte resets the state with new properties.
            header = control >= 0xC0 ? 6 : 5;
            if (got < header)
                return LZMA2_ERROR_INPUT_EOF;
            const uint64_t declared = ((uint64_t(control & 0x1F) << 16) | (uint64_t(head[1]) << 8) | head[2]) + 1;
            data = ((uint64_t(head[3]) << 8) | head[4]) + 1;
            const uint64_t possible = data * kMaxBytesPerPackedByte;
            unpacked += declared < possible ? declared : possible;
        } else {
            return LZMA2_ERROR_DATA;
        }
        if (length - pos - header < data)
            return LZMA2_ERROR_INPUT_EOF;
        pos += header + data;
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
        if (pos >= available)
            return LZMA2_ERROR_DATA;
        const uint8_t control = src[pos++];
        if (control == 0x00) {
            *destLen = decoder->Position();
            *srcLen = pos;
            return LZMA2_OK;
        }
        if (control == 0x01 || control >= 0xE0) {
            decoder->ResetDictionary(dictionary);
            needDictionary = false;
            needProperties = true;
        } else if (needDictionary) {
            return LZMA2_ERROR_DATA;
        }
        if (control >= 0x80) {
            if (available - pos < 4)
                return LZMA2_ERROR_DATA;
            const size_t unpacked = ((size_t(control & 0x1F) << 16) | (size_t(src[pos]) << 8) | src[pos + 1]) + 1;
            const size_t packed = ((size_t(src[pos + 2]) << 8) | src[pos + 3]) + 1;
            pos += 4;
            const uint32_t reset = (control >> 5) & 3; // 0 none, 1 state, 2 state and properties, 3 also dictionary
            if (reset >= 2) {
                if (pos >= available || !decoder->SetProperties(src[pos]))
                    return LZMA2_ERROR_DATA;
                ++pos;
                needProperties = false;
            } else if (needProperties) {
                return LZMA2_ERROR_DATA;
            }
            if (reset >= 1)
                decoder->ResetState();
            if (packed > available - pos || !decoder->DecodeChunk(src + pos, packed, unpacked))
                return LZMA2_ERROR_DATA;
            pos += packed;
        } else if (control <= 0x02) {
            if (available - pos < 2)
                return LZMA2_ERROR_DATA;
            const size_t stored = ((size_t(src[pos]) << 8) | src[pos + 1]) + 1;
            pos += 2;
            if (stored > available - pos || !decoder->CopyStored(src + pos, stored))
                return LZMA2_ERROR_DATA;
            pos += stored;
        } else {
            return LZMA2_ERROR_DATA;
        }
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
