#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "fileentry.h"

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
        addTask(new FileDeleteListEntryTaskSpecification(m_config->m_installDir, entry.path, entry.recursive, this,
                                                         1.0 / count));
    }
    setState(TASK_RUNNING);
    startTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearTasks();
    ComposedTaskSpecification::reset();
}

FileDeleteListEntryTaskSpecification::FileDeleteListEntryTaskSpecification(const QString &installDir,
                                                                           const QString &relativePath, bool recursive,
                                                                           QObject *parent, qreal weight)
    : FileDeleteTaskSpecification(QFileInfo(QDir(installDir), relativePath).filePath(), recursive, parent, weight)
    , m_installDir(installDir)
    , m_relativePath(relativePath)
    , m_existedAtStart(entryExists(QFileInfo(path())))
{
}

bool FileDeleteListEntryTaskSpecification::doOp()
{
    if (!QDir::isAbsolutePath(m_relativePath)) {
        const QStringList parts = QDir::cleanPath(m_relativePath).split('/', Qt::SkipEmptyParts);
        QString walked = m_installDir;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            walked += "/" + parts[i];
            if (QFileInfo(walked).isSymLink()) {
                qDebug() << "Refusing to delete through a link" << path() << walked;
                emit message(tr("Could not delete '%1'").arg(path()));
                return false;
            }
        }
    }
    if (m_existedAtStart && !entryExists(QFileInfo(path()))) {
        qDebug() << "Already deleted" << path();
        return true;
    }
    return FileDeleteTaskSpecification::doOp();
}
