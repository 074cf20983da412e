#include "hostilebodies.h"

#include "lzmafile.h"
#include "sinkstream.h"

#include <lzma.h>
#include <zlib.h>

#include <vector>

namespace hostilebodies {

namespace {
const size_t kPiece = 1024 * 1024;
} // namespace

QByteArray gzipOfZeros(qint64 decodedBytes)
{
    z_stream stream {};
    // 15 + 16: a gzip wrapper around the deflate stream.
    if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    const std::vector<Bytef> zeros(kPiece, 0);
    std::vector<Bytef> out(kPiece);
    QByteArray result;
    qint64 left = decodedBytes;
    int status = Z_OK;
    do {
        const size_t n = left < qint64(kPiece) ? size_t(left) : kPiece;
        stream.next_in = const_cast<Bytef *>(zeros.data());
        stream.avail_in = uInt(n);
        left -= qint64(n);
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = out.data();
            stream.avail_out = uInt(out.size());
            status = deflate(&stream, flush);
            result.append(reinterpret_cast<const char *>(out.data()), int(out.size() - stream.avail_out));
        } while (stream.avail_out == 0);
    } while (left > 0);
    deflateEnd(&stream);
    return status == Z_STREAM_END ? result : QByteArray();
}

QByteArray lzmaContainerOfZeros(quint32 decodedBytes)
{
    // The container's CRC field holds the complement of the standard CRC-32 of the content.
    uLong crc = crc32(0L, Z_NULL, 0);
    const std::vector<Bytef> zeros(kPiece, 0);
    for (quint32 left = decodedBytes; left > 0;) {
        const quint32 n = left < kPiece ? left : quint32(kPiece);
        crc = crc32(crc, zeros.data(), n);
        left -= n;
    }

    // A 1 MiB dictionary: 2 << 19, LZMA2's dictionary property 16.
    const uint8_t kProperty = 16;
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 0))
        return QByteArray();
    options.dict_size = 1u << 20;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK)
        return QByteArray();

    corvapatch::SinkStream head;
    if (!head.WriteVarint32(corvapatch::kLzmaFileMagic) || !head.WriteVarint32(~quint32(crc)) ||
        !head.WriteVarint32(corvapatch::DIRECTIVE_PLAIN) || !head.Write(&kProperty, 1) ||
        !head.WriteVarint32(decodedBytes)) {
        lzma_end(&stream);
        return QByteArray();
    }
    QByteArray result(reinterpret_cast<const char *>(head.Buffer()), int(head.Length()));

    std::vector<uint8_t> out(kPiece);
    quint32 left = decodedBytes;
    lzma_ret status = LZMA_OK;
    do {
        if (stream.avail_in == 0 && left > 0) {
            const quint32 n = left < kPiece ? left : quint32(kPiece);
            stream.next_in = zeros.data();
            stream.avail_in = n;
            left -= n;
        }
        stream.next_out = out.data();
        stream.avail_out = out.size();
        status = lzma_code(&stream, left == 0 && stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
        result.append(reinterpret_cast<const char *>(out.data()), int(out.size() - stream.avail_out));
    } while (status == LZMA_OK);
    lzma_end(&stream);
    return status == LZMA_STREAM_END ? result : QByteArray();
}

} // namespace hostilebodies
