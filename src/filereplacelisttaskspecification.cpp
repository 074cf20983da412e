#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "fileinstall.h"
#include "filereplacetaskspecification.h"
#include "installjournal.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <algorithm>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<FileReplaceEntry> *replacements,
                                                                   Configuration *config, QObject *parent, qreal weight)
    : ComposedTaskSpecification(2, weight, parent)
    , m_replacements(replacements)
    , m_config(config)
{
}

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

void FileReplaceListTaskSpecification::execute()
{
    emit message(tr("Starting file updates"));
    // A path through a link inside the installation would write wherever the link points: refused before
    // anything changes, as the deletion step refuses it.
    for (const FileReplaceEntry &entry : qAsConst(*m_replacements)) {
        if (FileInstall::leadsThroughLink(m_config->m_installDir, makeEntryPath(entry))) {
            FileReplaceTaskSpecification refused(entry, nullptr, m_config, nullptr, 0.0);
            qDebug() << "Refusing to write through a link" << refused.destinationPath();
            emit message(refused.failureText());
            setState(TASK_RUNNING);
            setCanceled();
            return;
        }
    }
    const int dirTasks = createDirTasks();
    createReplaceTasks(dirTasks > 0);
    setState(TASK_RUNNING);
    startTasks();
}

int FileReplaceListTaskSpecification::createDirTasks()
{
    const QList<FileReplaceEntry> entries = *m_replacements;
    const QDir installDir(m_config->m_installDir);
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceEntry &entry : entries) {
        const QString dir = QFileInfo(installDir, makeEntryPath(entry)).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    // Plain ascending order puts every directory before its subdirectories.
    std::sort(missing.begin(), missing.end());
    const int count = missing.size();
    for (const QString &dir : qAsConst(missing)) {
        // Journalled ahead, so that a killed run's directories are found too; an undo leaves non-empty ones.
        InstallJournal::record(m_config->m_tempDir, RollbackData(DIR_CREATE, dir));
        addTask(new DirCreateTaskSpecification(dir, &m_rollbackList, this, 0.1 / count));
    }
    return count;
}

void FileReplaceListTaskSpecification::createReplaceTasks(bool haveDirTasks)
{
    const QList<FileReplaceEntry> entries = *m_replacements;
    const qreal share = haveDirTasks ? 0.9 : 1.0;
    const int count = entries.size();
    for (const FileReplaceEntry &entry : entries)
        addTask(new FileReplaceTaskSpecification(entry, &m_rollbackList, m_config, this, share / count));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (computeState() != TASK_FINISHED) {
        qDebug() << "rolling back file updates";
        emit message(tr("rolling back file updates"));
        m_rollbackList.rollbackAll(this);
        InstallJournal::rollBack(m_config->m_tempDir, m_config->m_installDir);
    } else if (m_transaction) {
        // The deletion step commits, or undoes, both steps together.
        m_transaction->addList(m_rollbackList);
        m_rollbackList.clearRecords();
    } else if (!InstallJournal::commit(m_config->m_tempDir, m_config->m_installDir)) {
        failCommit();
        return;
    } else {
        m_rollbackList.clearRecords();
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::failCommit()
{
    // No old file was removed: everything can still go back.
    qDebug() << "Could not commit the file updates, rolling back";
    emit message(tr("Could not commit the file updates"));
    emit message(tr("rolling back file updates"));
    m_rollbackList.rollbackAll(this);
    InstallJournal::rollBack(m_config->m_tempDir, m_config->m_installDir);
    setError();
}

void FileReplaceListTaskSpecification::reset()
{
    clearTasks();
    m_rollbackList.rollbackAll(this);
    ComposedTaskSpecification::reset();
}
