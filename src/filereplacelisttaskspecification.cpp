#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"

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
    for (const QString &dir : qAsConst(missing))
        addTask(new DirCreateTaskSpecification(dir, &m_rollbackList, this, 0.1 / count));
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
    } else {
        removeReplacedFiles();
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::removeReplacedFiles()
{
    // The only renames of the step are the moves aside, from the installed name to the aside name.
    for (const RollbackData &record : qAsConst(m_rollbackList)) {
        if (record.op == FILE_RENAME)
            qDebug() << "Remove replaced file" << record.first << (QFile::remove(record.first) ? "true" : "false");
    }
    // Without the files aside the records could no longer give back what was there: an undo would only
    // remove the new files.
    m_rollbackList.clearRecords();
}

void FileReplaceListTaskSpecification::reset()
{
    clearTasks();
    m_rollbackList.rollbackAll(this);
    ComposedTaskSpecification::reset();
}
