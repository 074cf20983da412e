#pragma once

#include <QByteArray>

// Small answers that stand for very large ones, as a hostile server or mirror would send them. Both are
// built by streaming, so the test process never holds the large form.
namespace hostilebodies {

// A gzip stream (RFC 1952) that decodes to `decodedBytes` zero bytes.
QByteArray gzipOfZeros(qint64 decodedBytes);

// A complete, valid LZMA container file (plain directive, CRC of the content included) whose content is
// `decodedBytes` zero bytes. decodedBytes must fit the block's 32-bit size field.
QByteArray lzmaContainerOfZeros(quint32 decodedBytes);

} // namespace hostilebodies
