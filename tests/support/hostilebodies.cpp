#include "hostilebodies.h"

#include "lzma2blockwriter.h"
#include "lzmafile.h"
#include "sinkstream.h"

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

    corvapatch::SinkStream head;
    if (!head.WriteVarint32(corvapatch::kLzmaFileMagic) || !head.WriteVarint32(~quint32(crc)) ||
        !head.WriteVarint32(corvapatch::DIRECTIVE_PLAIN))
        return QByteArray();
    const patchwriter::Bytes block = patchwriter::ZerosLzma2Block(decodedBytes);
    if (block.empty())
        return QByteArray();
    QByteArray result(reinterpret_cast<const char *>(head.Buffer()), int(head.Length()));
    result.append(reinterpret_cast<const char *>(block.data()), int(block.size()));
    return result;
}

} // namespace hostilebodies
