#pragma once

#include "composedtaskspecification.h"
#include "updatedata.h"

#include <QList>

class Configuration;
class QNetworkAccessManager;

// The download step: creates the directories the listed files land in, below the temporary directory, then
// downloads and checks every file of the list, several at once: "streams" of them, but never more than the
// network access manager serves at once to one host (6). Further requests would wait inside the manager,
// receive nothing and be failed by the stall watchdog.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    static constexpr int maxParallelDownloads = 6;

    // downloads: the update-data record's list, read only, not owned; it must outlive the task.
    DownloadFileListTaskSpecification(QList<DownloadEntry> *downloads, QNetworkAccessManager *manager,
                                      Configuration *config, QObject *parent, qreal weight);

    void execute() override;
    void reset() override;
    // As the composed sum, but the total is the planned size of the whole list from the start.
    void getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active) override;

private:
    bool createTargetDirs();

    QList<DownloadEntry> *m_Downloads;
    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
    quint64 m_TotalBytes = 0;
};
