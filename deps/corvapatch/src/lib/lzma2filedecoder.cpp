#include "lzma2filedecoder.h"

#include "lzma2coder.h"

#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace corvapatch {

namespace {

constexpr uint8_t kMaxProperty = 40;
constexpr uint32_t kMinDictionary = 4096; // the smallest dictionary liblzma accepts
constexpr size_t kInputPiece = 1 << 20;
constexpr size_t kOutputPiece = 1 << 20;
constexpr size_t kMaxChunkHeader = 6;
// As in ScanLzma2Chunks: what one packed byte of an LZMA chunk can decode to at most.
constexpr uint64_t kMaxBytesPerPackedByte = 16384;

int ResultOf(lzma_ret ret)
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

// Up to n bytes at offset; fewer only at the end of the file. -1 on a read error.
ssize_t ReadAt(int fd, uint8_t *buffer, size_t n, uint64_t offset)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(fd, buffer + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

struct LzmaStreamEnd
{
    void operator()(lzma_stream *stream) const { lzma_end(stream); }
};

} // namespace

int ScanLzma2ChunksInFile(int fd, uint64_t offset, uint64_t *unpackedSize, uint64_t *packedSize)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || uint64_t(st.st_size) < offset)
        return LZMA2_ERROR_INPUT_EOF;
    const uint64_t srcLen = uint64_t(st.st_size) - offset;
    uint64_t unpacked = 0;
    uint64_t pos = 0;
    for (;;) {
        if (pos >= srcLen)
            return LZMA2_ERROR_INPUT_EOF;
        uint8_t head[kMaxChunkHeader];
        const ssize_t got = ReadAt(fd, head, srcLen - pos < kMaxChunkHeader ? size_t(srcLen - pos) : kMaxChunkHeader,
                                   offset + pos);
        if (got <= 0)
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
            header = 3;
            if (uint64_t(got) < header)
                return LZMA2_ERROR_INPUT_EOF;
            data = ((uint64_t(head[1]) << 8) | head[2]) + 1;
            unpacked += data;
        } else if (control >= 0x80) {
            header = control >= 0xC0 ? 6 : 5;
            if (uint64_t(got) < header)
                return LZMA2_ERROR_INPUT_EOF;
            const uint64_t declared = ((uint64_t(control & 0x1F) << 16) | (uint64_t(head[1]) << 8) | head[2]) + 1;
            data = ((uint64_t(head[3]) << 8) | head[4]) + 1;
            const uint64_t possible = data * kMaxBytesPerPackedByte;
            unpacked += declared < possible ? declared : possible;
        } else {
            return LZMA2_ERROR_DATA;
        }
        if (srcLen - pos - header < data)
            return LZMA2_ERROR_INPUT_EOF;
        pos += header + data;
    }
}

int DecodeLzma2File(int fd, uint64_t offset, uint64_t packedSize, uint8_t property, uint64_t room,
                    const Lzma2Writer &write, uint64_t *produced)
{
    *produced = 0;
    if (property > kMaxProperty)
        return LZMA2_ERROR_UNSUPPORTED;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_ret ret = lzma_properties_decode(&filters[0], nullptr, &property, 1);
    if (ret != LZMA_OK)
        return ResultOf(ret);
    auto *options = static_cast<lzma_options_lzma *>(filters[0].options);
    // Matches cannot reach before the start of the output, so a dictionary larger than the output is never used.
    if (options->dict_size > room)
        options->dict_size = room < kMinDictionary ? kMinDictionary : static_cast<uint32_t>(room);
    lzma_stream stream = LZMA_STREAM_INIT;
    ret = lzma_raw_decoder(&stream, filters);
    std::free(options);
    if (ret != LZMA_OK)
        return ResultOf(ret);
    const std::unique_ptr<lzma_stream, LzmaStreamEnd> owner(&stream);

    const std::unique_ptr<uint8_t[]> input(new uint8_t[kInputPiece]);
    const std::unique_ptr<uint8_t[]> output(new uint8_t[kOutputPiece]);
    uint64_t readAt = offset;
    uint64_t left = packedSize;
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            const ssize_t got = ReadAt(fd, input.get(), left < kInputPiece ? size_t(left) : kInputPiece, readAt);
            if (got <= 0)
                return LZMA2_ERROR_INPUT_EOF; // the file shrank since it was scanned, or cannot be read
            readAt += uint64_t(got);
            left -= uint64_t(got);
            stream.next_in = input.get();
            stream.avail_in = size_t(got);
        }
        stream.next_out = output.get();
        stream.avail_out = kOutputPiece;
        ret = lzma_code(&stream, left == 0 ? LZMA_FINISH : LZMA_RUN);
        const size_t n = kOutputPiece - stream.avail_out;
        if (n > 0) {
            // Output beyond the room is never handed on: like the one-shot decoder running out of room.
            if (n > room - *produced)
                return LZMA2_ERROR_DATA;
            if (!write(output.get(), n))
                return LZMA2_ERROR_WRITE;
            *produced += n;
        }
        if (ret == LZMA_STREAM_END)
            return LZMA2_OK;
        if (ret != LZMA_OK)
            return ret == LZMA_BUF_ERROR ? LZMA2_ERROR_DATA : ResultOf(ret);
    }
}

} // namespace corvapatch
