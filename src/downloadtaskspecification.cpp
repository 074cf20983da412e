#include "downloadtaskspecification.h"

#include "fileinstall.h"
#include "globals.h"
#include "sizelimits.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

const int kMaxAttempts = 5;
const int kMaxIdlePolls = 15; // the pull after this many without data fails the attempt

} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &path, int version,
                                                     const QString &targetFileName, qint64 expectedSize,
                                                     QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_Manager(manager)
    , m_Path(path)
    , m_Version(version)
    , m_TargetName(targetFileName)
    , m_Total(expectedSize)
    , m_ExpectedSize(expectedSize)
{
    connect(&m_DigestWatcher, &QFutureWatcher<filedigest::StreamResult>::finished, this,
            &DownloadTaskSpecification::onDigestReady);
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        m_Reply->deleteLater();
    }
    // A partial file must not outlive its task.
    m_Hash.discard();
}

void DownloadTaskSpecification::setExpectedSha512(const QString &hex)
{
    m_ExpectedSha512 = hex.trimmed().toLower();
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_Path;
    emit message(tr("Downloading %1").arg(m_Path));
    setState(TASK_RUNNING);
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    // A fresh hidden name beside the target for every attempt: it can clash with no listed file (as
    // target + ".part" could) and fits the file system's limit for any target name.
    m_File.setFileName(FileInstall::temporaryPathBeside(m_TargetName));
    // The pool thread creates the file while the request goes out. A missing directory fails at once, before
    // any request; any other reason shows when the first piece arrives or the body ends.
    if (!QFileInfo(QFileInfo(m_File.fileName()).path()).isDir()) {
        m_Hash.reset();
        cannotCreate();
        return;
    }
    m_Hash.start(m_File.fileName(), !m_ExpectedSha512.isEmpty());

    const QUrl url(updateBaseUrl + QString::number(m_Version) + "/" + m_Path, QUrl::TolerantMode);
    qDebug() << "Requesting download of" << url;
    // No redirect is followed, so a redirect fails like any other status. Asking for the identity encoding
    // also keeps Qt from decoding a compressed answer on its own, which would make its size unbounded.
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    m_Reply = m_Manager->get(request);
    if (!m_Reply) {
        m_Hash.discard();
        emit error(tr("Download failed to initialize"));
        setCanceled();
        return;
    }
    if (!m_Reply->isRunning()) {
        fail(m_Reply->errorString());
        return;
    }
    m_Reply->setReadBufferSize(sizelimits::kDownloadReadBufferSize);
    connect(m_Reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.isNull())
        return;
    const int code = status.toInt();
    if (code != 200) {
        fail(tr("%1 returned %2").arg(m_Path).arg(code));
        return;
    }
    const QByteArray encoding = m_Reply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0) {
        qDebug() << "Refused content encoding" << encoding << "of" << m_Path;
        fail(tr("%1 was sent with content encoding %2").arg(m_Path, QString::fromLatin1(encoding)));
        return;
    }
    const qint64 limit = sizeLimit();
    bool known = false;
    const qint64 announced = m_Reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && limit >= 0 && announced > limit) {
        qDebug() << "Announced size" << announced << "above" << limit << "for" << m_Path;
        fail(tr("%1 is larger than %2 bytes").arg(m_Path).arg(limit));
    }
}

bool DownloadTaskSpecification::onReadyRead()
{
    if (!m_Reply)
        return true;
    const qint64 limit = sizeLimit();
    while (m_Reply) {
        m_IdlePolls = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        // A pool thread writes and hashes each piece while the next arrives. Taking what Qt holds as a
        // QByteArray, rather than copying it into a buffer of ours, lets Qt hand over the block it received
        // from the socket when that block is all it holds, as it usually is: no copy, and no fresh
        // memory (a new buffer this large is new pages from the kernel, each faulted in and zeroed).
        const QByteArray piece = m_Reply->read(qMin(available, kChunkSize));
        const qint64 read = piece.size();
        if (read == 0) {
            // Nothing could be taken although bytes were announced: an error of the reply fails the attempt;
            // without one the rest comes with the next readyRead or the end of the body.
            if (m_Reply->error() == QNetworkReply::NoError)
                return true;
            fail(m_Reply->errorString());
            return false;
        }
        if (limit >= 0 && read > limit - m_Received) {
            qDebug() << "More than" << limit << "bytes for" << m_Path;
            fail(tr("%1 is larger than %2 bytes").arg(m_Path).arg(limit));
            return false;
        }
        // A failure shows as soon as the pool thread met it; the rest of this body is not written.
        if (partialFileFailed(m_Hash.createError(), m_Hash.writeError()))
            return false;
        m_Hash.addData(piece);
        m_Received += read;
        if (m_Total >= 1)
            setProgress(double(m_Received) / double(m_Total));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    if (bytesTotal >= 1 && m_Total == -1)
        m_Total = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        fail(m_Reply->errorString());
        return;
    }
    if (!onReadyRead())
        return;
    releaseReply();
    // The last pieces are written and hashed on the pool, so the GUI thread goes on with the other downloads
    // meanwhile.
    m_DigestPending = true;
    m_DigestWatcher.setFuture(m_Hash.finishLater());
}

void DownloadTaskSpecification::onDigestReady()
{
    // A cancel, a reset or a new attempt since then has dropped this body.
    if (!m_DigestPending)
        return;
    m_DigestPending = false;
    const filedigest::StreamResult result = m_DigestWatcher.result();
    if (partialFileFailed(result.createError, result.writeError))
        return;
    if (!m_ExpectedSha512.isEmpty() && result.hexDigest != m_ExpectedSha512) {
        qDebug() << "SHA-512 mismatch for" << m_TargetName;
        fail(tr("Signature check failed for %1").arg(m_TargetName));
        return;
    }
    finishAttempt();
}

void DownloadTaskSpecification::cannotCreate()
{
    emit error(tr("Unable to create file %1 for saving").arg(m_TargetName));
    setCanceled();
}

bool DownloadTaskSpecification::partialFileFailed(int createError, int writeError)
{
    if (createError != 0) {
        qDebug() << "Could not create" << m_File.fileName() << qt_error_string(createError);
        cleanup();
        cannotCreate();
        return true;
    }
    if (writeError != 0) {
        fail(qt_error_string(writeError));
        return true;
    }
    return false;
}

void DownloadTaskSpecification::releaseReply()
{
    disconnect(m_Reply, nullptr, this, nullptr);
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
}

void DownloadTaskSpecification::finishAttempt()
{
    if (!commitFile())
        return;
    downloadFinished();
}

bool DownloadTaskSpecification::commitFile()
{
    const QString partial = m_File.fileName();
    // The stream is done with the file, which goes on under the target's name.
    m_Hash.reset();
    // One step: the target holds its earlier file or the complete new one, never nothing.
    if (FileInstall::renameOver(partial, m_TargetName))
        return true;
    QFile::remove(partial);
    fail(tr("Unable to rename %1 to %2").arg(partial, m_TargetName));
    return false;
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_Path << m_TargetName << QFile::exists(m_TargetName);
    emit message(tr("Downloading %1 finished").arg(m_Path));
    setFinished();
}

void DownloadTaskSpecification::fail(const QString &reason)
{
    qDebug() << "Download attempt failed:" << reason;
    cleanup();
    emit message(reason);
    if (m_Attempts++ < kMaxAttempts - 1) {
        startDownload();
        return;
    }
    emit message(tr("Unable to download %1").arg(m_Path));
    setCanceled();
}

void DownloadTaskSpecification::cleanup()
{
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        // Deleting an unfinished reply drops its connection. Not abort(): this may run inside one of the
        // reply's own signals, where abort() would report a second error.
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    m_IdlePolls = 0;
    m_DigestPending = false;
    // Waits for the piece the pool thread may be writing, then removes the partial file.
    m_Hash.discard();
    m_LastPolled = 0;
    m_Total = m_ExpectedSize;
    m_Received = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll,
                                                    bool &active)
{
    received = quint64(m_Received);
    total = m_Total >= 0 ? quint64(m_Total) : 0;
    sinceLastPoll = quint64(m_Received - m_LastPolled);
    m_LastPolled = m_Received;
    if (state() != TASK_RUNNING || !m_Reply)
        return;
    if (m_IdlePolls++ < kMaxIdlePolls)
        active = true;
    else
        fail(tr("file %1 timed out").arg(m_Path));
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state() == TASK_RUNNING) {
        cleanup();
        setError();
    }
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other)
    if (m_Reply || m_DigestPending) {
        emit message(tr("Abort downloading %1").arg(m_Path));
        cleanup();
    }
    setCanceled();
}

void DownloadTaskSpecification::reset()
{
    cleanup();
    m_Attempts = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply *reply)
{
    Q_UNUSED(reply)
    disconnect(m_Manager, nullptr, this, nullptr);
    if (!m_Reply)
        startDownload();
}
