#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

int parallelDownloads(const Configuration *config)
{
    // Below 1 means the default, as in "update.ini".
    const int streams = config->m_streams >= 1 ? config->m_streams : 6;
    return qMin(streams, DownloadFileListTaskSpecification::maxParallelDownloads);
}

} // namespace

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<DownloadEntry> *downloads,
                                                                     QNetworkAccessManager *manager,
                                                                     Configuration *config, QObject *parent,
                                                                     qreal weight)
    : ComposedTaskSpecification(parallelDownloads(config), weight, parent)
    , m_Downloads(downloads)
    , m_Manager(manager)
    , m_Config(config)
{
}

void DownloadFileListTaskSpecification::execute()
{
    if (m_Downloads->isEmpty()) {
        emit message(tr("No downloads needed"));
        setFinished();
        return;
    }
    if (!createTargetDirs())
        return;

    emit message(tr("Downloading files"));
    const int n = m_Downloads->size();
    for (const DownloadEntry &entry : qAsConst(*m_Downloads)) {
        addTask(new DownloadFileTaskSpecification(entry, m_Manager, m_Config, this, 1.0 / n));
        m_TotalBytes += entry.size;
    }
    setState(TASK_RUNNING);
    startTasks();
}

bool DownloadFileListTaskSpecification::createTargetDirs()
{
    QSet<QString> made {QStringLiteral(".")};
    const QDir temp(m_Config->m_tempDir);
    for (const DownloadEntry &entry : qAsConst(*m_Downloads)) {
        const QString dir = QFileInfo(entry.name).path();
        if (made.contains(dir))
            continue;
        if (!temp.mkpath(dir)) {
            emit message(tr("Could not create dir %1").arg(temp.canonicalPath() + "/" + dir));
            setCanceled();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll,
                                                            bool &active)
{
    ComposedTaskSpecification::getDownloadProgress(received, total, sinceLastPoll, active);
    total = m_TotalBytes;
}

void DownloadFileListTaskSpecification::reset()
{
    clearTasks();
    m_TotalBytes = 0;
    // The composed reset, with no sub-tasks left, also clears its end-of-run flags, so execute() can run again.
    ComposedTaskSpecification::reset();
}
