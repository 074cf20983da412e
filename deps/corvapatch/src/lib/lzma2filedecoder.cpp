#include "lzma2filedecoder.h"

#include "lzma2coder.h"
#include "lzma2decoding.h"

#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace corvapatch {

namespace {

constexpr size_t kInputPiece = 1 << 20;
constexpr size_t kOutputPiece = 1 << 20;

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
    const auto read = [fd, offset](uint64_t pos, uint8_t *head, size_t n) {
        const ssize_t got = ReadAt(fd, head, n, offset + pos);
        return got > 0 ? static_cast<size_t>(got) : 0;
    };
    return ScanLzma2Stream(uint64_t(st.st_size) - offset, read, unpackedSize, packedSize);
}

int DecodeLzma2File(int fd, uint64_t offset, uint64_t packedSize, uint8_t property, uint64_t room,
                    const Lzma2Writer &write, uint64_t *produced)
{
    *produced = 0;
    lzma_filter filters[2];
    const int setUp = SetUpLzma2Decoding(property, room, filters);
    if (setUp != LZMA2_OK)
        return setUp;
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    std::free(filters[0].options);
    if (ret != LZMA_OK)
        return Lzma2ResultOf(ret);
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
            return ret == LZMA_BUF_ERROR ? LZMA2_ERROR_DATA : Lzma2ResultOf(ret);
    }
}

} // namespace corvapatch
