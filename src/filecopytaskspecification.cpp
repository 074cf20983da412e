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
    // Written straight into the target, which must not exist yet; a failed copy removes what it wrote.
    return FastFileCopy::copyFile(source(), target());
}
