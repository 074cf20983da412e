#include "filecopytaskspecification.h"

#include <QDebug>
#include <QFile>

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollback, const QString &source,
                                                     const QString &target, QObject *parent, qreal weight)
    : SlowFileOpSpecification(tr("Could not copy '%1' to '%2'").arg(source, target), rollback, source,
                              target, parent, weight)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(source(), target());
}

FileCopyFunc::FileCopyFunc(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << source() << target();
    // QFile::copy writes into a temporary file and renames it at the end, so a failed copy leaves no
    // partial target.
    return QFile::copy(source(), target());
}
