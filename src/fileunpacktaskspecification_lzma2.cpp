#include "fileunpacktaskspecification_lzma2.h"

#include "lzmafile.h"

#include <QDebug>
#include <QFile>

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList *rollback, const QString &source,
                                                                     const QString &target, QObject *parent,
                                                                     qreal weight)
    : SlowFileOpSpecification(tr("Could not unpack '%1' to '%2'").arg(source).arg(target), rollback, source,
                              target, parent, weight)
{
}

ASyncFunc *FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(source(), target(), maxOutputSize(), m_plainOnly);
}

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString &source, const QString &target, qint64 maxOutputSize,
                                           bool plainOnly)
    : SlowFileOpFunc(source, target)
    , m_maxOutputSize(maxOutputSize)
    , m_plainOnly(plainOnly)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(source(), target(), m_maxOutputSize, m_plainOnly);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString &source, const QString &target, qint64 maxOutputSize,
                                      bool plainOnly)
{
    // The decoder itself writes beside the target under a hidden name and renames over it only once the
    // CRC matched, so the bytes reach the target's directory once and a failure leaves the target as it was.
    const size_t limit = maxOutputSize >= 0 ? size_t(maxOutputSize) : SIZE_MAX;
    const bool ok = corvapatch::DecompressLzmaFile(
        QFile::encodeName(source).constData(), QFile::encodeName(target).constData(), limit,
        plainOnly ? corvapatch::LZMA_FORMS_PLAIN_ONLY : corvapatch::LZMA_FORMS_ALL);
    qDebug() << "unpackFile" << source << target << (ok ? "true" : "false");
    return ok;
}
