#include "slowfileopspecification.h"

#include "fileinstall.h"

#include <QFile>
#include <QFileInfo>

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &target)
    : m_source(source)
    , m_target(target)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &patch, const QString &target)
    : m_source(source)
    , m_patch(patch)
    , m_target(target)
{
}

QString SlowFileOpFunc::temporaryPathBeside(const QString &target)
{
    return FileInstall::temporaryPathBeside(target);
}

bool SlowFileOpFunc::moveIntoPlace(const QString &temporary, const QString &target)
{
    const QFileInfo earlier(target);
    // Writing in place kept the earlier file's mode; the new file keeps it too.
    if (earlier.exists() && !earlier.isSymLink())
        QFile::setPermissions(temporary, earlier.permissions());
    // rename() replaces an existing target atomically; QFile::rename() refuses to.
    return FileInstall::renameOver(temporary, target);
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString &errorText, RollbackDataList *rollback,
                                                 const QString &source, const QString &target, QObject *parent,
                                                 qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_rollback(rollback)
    , m_source(source)
    , m_target(target)
    , m_errorText(errorText)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString &errorText, RollbackDataList *rollback,
                                                 const QString &source, const QString &patch, const QString &target,
                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_rollback(rollback)
    , m_source(source)
    , m_patch(patch)
    , m_target(target)
    , m_errorText(errorText)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (state() != TASK_RUNNING)
        return;
    if (ok && m_rollback)
        m_rollback->addRecord(RollbackData(FILE_CREATE, m_target));
    if (!ok)
        emit message(m_errorText);
    ASyncTaskSpecification::runDone(ok);
}
