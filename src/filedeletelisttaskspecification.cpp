#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "fileentry.h"
#include "fileinstall.h"
#include "installjournal.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteEntry> *deletions, Configuration *config,
                                                                 QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_deletions(deletions)
    , m_config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(tr("Starting deleting files"));
    buildTasks();
}

void FileDeleteListTaskSpecification::buildTasks()
{
    const QList<DeleteEntry> entries = *m_deletions;
    const int count = entries.size();
    for (const DeleteEntry &entry : entries) {
        addTask(new FileDeleteListEntryTaskSpecification(m_config->m_installDir, entry.path, entry.recursive,
                                                         m_config->m_tempDir, &m_rollbackList, this, 1.0 / count));
    }
    setState(TASK_RUNNING);
    startTasks();
}

void FileDeleteListTaskSpecification::subtasksDone()
{
    const bool succeeded = computeState() == TASK_FINISHED;
    // Both steps succeeded: from here on there is no way back, and the old files go. A commit that cannot be
    // made durable removes nothing, and everything goes back.
    const bool committed = succeeded && InstallJournal::commit(m_config->m_tempDir, m_config->m_installDir);
    if (committed) {
        m_rollbackList.clearRecords();
        if (m_transaction)
            m_transaction->clearRecords();
    } else {
        if (succeeded) {
            qDebug() << "Could not commit the file updates";
            emit message(tr("Could not commit the file updates"));
        }
        qDebug() << "rolling back file updates";
        emit message(QStringLiteral("rolling back file updates"));
        m_rollbackList.rollbackAll(this);
        if (m_transaction)
            m_transaction->rollbackAll(this);
        InstallJournal::rollBack(m_config->m_tempDir, m_config->m_installDir);
    }
    if (succeeded && !committed) {
        setError();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileDeleteListTaskSpecification::reset()
{
    clearTasks();
    m_rollbackList.rollbackAll(this);
    ComposedTaskSpecification::reset();
}

FileDeleteListEntryTaskSpecification::FileDeleteListEntryTaskSpecification(
    const QString &installDir, const QString &relativePath, bool recursive, const QString &journalDir,
    RollbackDataList *records, QObject *parent, qreal weight)
    : FileDeleteTaskSpecification(QFileInfo(QDir(installDir), relativePath).filePath(), recursive, parent, weight)
    , m_installDir(installDir)
    , m_relativePath(relativePath)
    , m_journalDir(journalDir)
    , m_records(records)
    , m_existedAtStart(entryExists(QFileInfo(path())))
{
}

bool FileDeleteListEntryTaskSpecification::doOp()
{
    if (FileInstall::leadsThroughLink(m_installDir, m_relativePath)) {
        qDebug() << "Refusing to delete through a link" << path();
        return refuse();
    }
    if (m_existedAtStart && !entryExists(QFileInfo(path()))) {
        qDebug() << "Already deleted" << path();
        return true;
    }
    // Without the clean-up a trailing "/" would make a link to a directory look like the directory.
    const QString cleaned = QDir::cleanPath(path());
    const QFileInfo info(cleaned);
    if (!entryExists(info))
        return refuse();
    const bool isDir = info.isDir() && !info.isSymLink();
    if (isDir && !recursive() &&
        !QDir(cleaned).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        return refuse();

    // Staged: moved to a hidden name beside itself, and removed only when the whole update commits. An
    // empty directory takes along the parents it would leave empty, up to the installation directory (not
    // included), so they are staged as one tree.
    const QString staged = isDir && !recursive() ? outermostEmptied(cleaned) : cleaned;
    const QString aside = FileInstall::temporaryPathBeside(staged, QStringLiteral(".old-"));
    const RollbackData record = RollbackData::movedAside(staged, aside);
    if (!InstallJournal::record(m_journalDir, record) || !FileInstall::renameNoReplace(staged, aside))
        return refuse();
    if (m_records)
        m_records->addRecord(record);
    if (isDir && recursive()) {
        qDebug() << "Recursively deleted directory" << path() << "true";
        emit message(QStringLiteral("Recursively deleted directory '%1'").arg(path()));
    } else if (isDir) {
        qDebug() << "Deleted directory" << path() << "true";
        emit message(QStringLiteral("Deleted directory '%1'").arg(path()));
    } else {
        qDebug() << "Deleted file" << path() << "true";
        emit message(QStringLiteral("Deleted file '%1'").arg(path()));
    }
    return true;
}

QString FileDeleteListEntryTaskSpecification::outermostEmptied(const QString &dir) const
{
    const QString top = QDir::cleanPath(m_installDir);
    QStringList staged; // what earlier deletions of the list moved aside does not count
    if (m_records) {
        for (const RollbackData &record : qAsConst(*m_records))
            staged << record.first;
    }
    QString current = dir;
    for (;;) {
        const QString parent = QFileInfo(current).path();
        if (parent == top || !parent.startsWith(top + "/") || QFileInfo(parent).isSymLink())
            return current;
        const QFileInfoList entries =
            QDir(parent).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries) {
            const QString path = entry.filePath();
            if (path != current && !staged.contains(path))
                return current;
        }
        current = parent;
    }
}

bool FileDeleteListEntryTaskSpecification::refuse()
{
    qDebug() << "Could not delete" << path();
    emit message(tr("Could not delete '%1'").arg(path()));
    return false;
}
