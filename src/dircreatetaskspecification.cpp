#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent,
                                                       qreal weight)
    : FastFileOpTaskSpecification(path, rollback, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    // Cleaned, so that "a/b/" names b inside a and not an empty name inside a/b.
    return createDir(QDir::cleanPath(path()));
}

bool DirCreateTaskSpecification::createDir(const QString &dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(tr("Could not create dir '%1' because it already exists and is not a dir").arg(dir));
        return false;
    }
    const QDir parentDir = info.dir();
    if (parentDir.path() == QLatin1String(".") || QDir(dir).isRoot()) {
        emit message(tr("Could not create dir %1").arg(path()));
        return false;
    }
    if (!parentDir.exists() && !createDir(parentDir.path()))
        return false;
    if (!parentDir.mkdir(info.fileName())) {
        emit message(tr("unable to create dir %1").arg(dir));
        return false;
    }
    addRollback(RollbackData(DIR_CREATE, dir));
    return true;
}
