#include "slowfileopspecification.h"

#include "fileentry.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>

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
    const QFileInfo info(target);
    // The name is cut so that the suffix cannot push a long target name past the file system's limit.
    const QString stem = info.path() + "/." + info.fileName().left(60) + ".part-";
    for (;;) {
        const QString candidate = stem + QString::number(QRandomGenerator::global()->generate64(), 36);
        if (!entryExists(QFileInfo(candidate)))
            return candidate;
    }
}

bool SlowFileOpFunc::moveIntoPlace(const QString &temporary, const QString &target)
{
    const QFileInfo earlier(target);
    // Writing in place kept the earlier file's mode; the new file keeps it too.
    if (earlier.exists() && !earlier.isSymLink())
        QFile::setPermissions(temporary, earlier.permissions());
    // rename() replaces an existing target atomically; QFile::rename() refuses to.
    return std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) == 0;
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
