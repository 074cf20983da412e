#pragma once

#include "filedigest.h"
#include "taskspecification.h"

#include <QFile>
#include <QFutureWatcher>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One HTTP GET of one file of the update server's tree into one local file: updateBaseUrl + version + "/" +
// path. The body is taken from the reply in chunks of up to kChunkSize, which a pool thread writes to disk and
// hashes as they arrive (so that the GUI thread only receives, and several downloads hash at once); any status
// other than 200 (redirects included) fails the attempt, and a failed attempt is retried from byte 0, five
// attempts in all. The engine's once-a-second pull of the download counters doubles as the stall watchdog.
//
// Qt holds at most a bounded part of the body (so a sender faster than the disk is slowed by TCP flow control),
// an attempt that receives more than the expected size fails, and an answer in any content encoding but
// identity is refused: nothing is decoded on the way, so what is checked is what was sent.
//
// The body is written to a hidden name beside the target, new for each attempt, and renamed over the target
// in one step only once it is complete (and, when an expected SHA-512 is set, matches it), so a partial or
// wrong file never lies under the final name.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // The most bytes taken from the reply per read.
    static constexpr qint64 kChunkSize = 1024 * 1024;

    // manager: shared, not owned. expectedSize: -1 when unknown; then the server's size is reported once known.
    DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &path, int version,
                              const QString &targetFileName, qint64 expectedSize, QObject *parent, qreal weight);
    ~DownloadTaskSpecification() override;

    // A body whose SHA-512 (hex, any case) differs fails its attempt like a transfer error. Empty: no check.
    void setExpectedSha512(const QString &hex);
    // The most bytes an attempt may receive when no expected size is given (-1: no cap). With an expected
    // size, that size is the cap.
    void setMaxSize(qint64 bytes) { m_MaxSize = bytes; }

    void execute() override;
    void reset() override;
    void getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    QString targetFileName() const { return m_TargetName; }
    // Where the body of the current attempt is written while it arrives.
    QString partialFileName() const { return m_File.fileName(); }

protected:
    // The successful end of an attempt: the file is complete under its final name.
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    bool onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply *reply);
    // A complete body is written and its digest computed on a pool thread; the attempt ends here.
    void onDigestReady();

private:
    void startDownload();
    void fail(const QString &reason);
    void cleanup();
    void releaseReply();
    void cannotCreate();
    // Fails the attempt, or for a file that cannot be created the whole task, when either is set (errno).
    bool partialFileFailed(int createError, int writeError);
    bool commitFile();
    void finishAttempt();
    qint64 sizeLimit() const { return m_ExpectedSize >= 0 ? m_ExpectedSize : m_MaxSize; }

    QNetworkAccessManager *m_Manager;
    // A guarded pointer: the manager deletes its replies when it goes, which may come before this task.
    QPointer<QNetworkReply> m_Reply;
    int m_IdlePolls = 0;
    QString m_Path;
    int m_Version;
    QString m_TargetName;
    QFile m_File; // names the partial file, which m_Hash creates and writes on a pool thread
    int m_Attempts = 0;
    qint64 m_LastPolled = 0;
    qint64 m_Total;
    qint64 m_ExpectedSize;
    qint64 m_Received = 0;
    qint64 m_MaxSize = -1;
    QString m_ExpectedSha512;
    filedigest::PipelinedHasher m_Hash {filedigest::Algorithm::Sha512};
    QFutureWatcher<filedigest::StreamResult> m_DigestWatcher;
    bool m_DigestPending = false; // the complete body of this attempt is being written and hashed
};
