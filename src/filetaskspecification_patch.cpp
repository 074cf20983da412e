#include "filetaskspecification_patch.h"

#include "ensemblepatch.h"
#include "status.h"

#include <QDebug>

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList *rollback, const QString &oldFile,
                                                         const QString &patchFile, const QString &newFile,
                                                         QObject *parent, qreal weight)
    : SlowFileOpSpecification(tr("Could not patch '%1' to '%2'").arg(oldFile).arg(newFile), rollback, oldFile,
                              patchFile, newFile, parent, weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << oldFile << "patchFile:" << patchFile << "dstFile:" << newFile;
}

ASyncFunc *FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(source(), patch(), target(), maxOutputSize());
}

FileFuncPatch::FileFuncPatch(const QString &oldFile, const QString &patchFile, const QString &newFile,
                             qint64 maxOutputSize)
    : SlowFileOpFunc(oldFile, patchFile, newFile)
    , m_maxOutputSize(maxOutputSize)
{
}

bool FileFuncPatch::run()
{
    return patchFile(source(), patch(), target(), m_maxOutputSize);
}

bool FileFuncPatch::patchFile(const QString &oldFile, const QString &patchFile, const QString &newFile,
                              qint64 maxOutputSize)
{
    const bool result = ApplyEnsemblePatch(oldFile.toUtf8(), patchFile.toUtf8(), newFile.toUtf8(), maxOutputSize);
    qDebug() << "Patch result" << (result ? "true" : "false");
    return result;
}

bool FileFuncPatch::ApplyEnsemblePatch(const QByteArray &oldFile, const QByteArray &patchFile,
                                       const QByteArray &newFile, qint64 maxOutputSize)
{
    const size_t limit = maxOutputSize >= 0 ? size_t(maxOutputSize) : SIZE_MAX;
    const int status =
        corvapatch::ApplyEnsemblePatchFiles(oldFile.constData(), patchFile.constData(), newFile.constData(), limit);
    qDebug() << "ApplyEnsemblePatch status =" << status << oldFile << patchFile << newFile;
    switch (status) {
    case corvapatch::Status::OK:
        return true;
    case corvapatch::Status::BAD_MAGIC:
        qDebug() << "Not a corvapatch patch";
        break;
    case corvapatch::Status::BAD_VERSION:
        qDebug() << "Wrong version patch";
        break;
    case corvapatch::Status::BAD_HEADER:
        qDebug() << "Corrupt patch";
        break;
    case corvapatch::Status::STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        break;
    case corvapatch::Status::DISASSEMBLY_FAILED:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        break;
    default:
        break;
    }
    return false;
}
