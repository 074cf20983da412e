#include "filerenametaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &source, const QString &target,
                                                         RollbackDataList *rollback, QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(target, rollback, parent, weight)
    , m_source(source)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString &target = path();
    const QString targetDir = QFileInfo(target).path();
    const bool madeDir = !QFileInfo::exists(targetDir) && QDir().mkdir(targetDir);
    if (QFile::rename(m_source, target)) {
        if (madeDir)
            addRollback(RollbackData(DIR_CREATE, targetDir));
        addRollback(RollbackData(FILE_RENAME, m_source, target));
        return true;
    }
    // A failed operation leaves nothing behind.
    if (madeDir)
        QDir().rmdir(targetDir);
    emit message(tr("Could not rename '%1' to '%2'").arg(m_source, target));
    return false;
}
