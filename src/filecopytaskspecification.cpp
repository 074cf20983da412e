#include "filecopytaskspecification.h"

#include "fastfilecopy.h"

#include <QDebug>

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
    // The target must not exist yet; a failed copy removes what it wrote. The source is a checked download
    // that nothing changes any more, so on the same file system the target becomes a second name of it.
    return FastFileCopy::linkOrCopyFile(source(), target());
}
