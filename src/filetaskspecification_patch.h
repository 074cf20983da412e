#pragma once

#include "slowfileopspecification.h"

#include <QByteArray>

// Makes a new file from an old file and an ensemble patch on the thread pool. The engine writes the new
// file only when the patch applied and its result matched the patch's own checksum; its status is only
// logged, the task's result is a yes or no.
class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileTaskSpecification_patch(RollbackDataList *rollback, const QString &oldFile, const QString &patchFile,
                                const QString &newFile, QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};

class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileFuncPatch(const QString &oldFile, const QString &patchFile, const QString &newFile, qint64 maxOutputSize = -1);

    bool run() override;

    static bool patchFile(const QString &oldFile, const QString &patchFile, const QString &newFile,
                          qint64 maxOutputSize = -1);
    // The engine's call on byte-string paths; true only for its success status. A result above maxOutputSize
    // (when not -1) fails before it is produced.
    static bool ApplyEnsemblePatch(const QByteArray &oldFile, const QByteArray &patchFile, const QByteArray &newFile,
                                   qint64 maxOutputSize = -1);

private:
    qint64 m_maxOutputSize;
};
