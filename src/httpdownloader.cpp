#include "httpdownloader.h"

#include "sizelimits.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request)
    : QThread(nullptr)
    , m_request(request)
{
    if (m_request.transferTimeout() == 0)
        m_request.setTransferTimeout(defaultTransferTimeoutMs);
    // Qt would otherwise ask for gzip and decode it on its own, and a small answer could become a huge one.
    m_request.setRawHeader("Accept-Encoding", "identity");
    // Deleted only once the thread has finished: a QThread destroyed while its thread still runs aborts the
    // process. finished() comes from the worker thread, so this is queued to the object's own thread.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    // finished() is emitted just before the thread really ends; wait for the rest of it.
    wait();
}

void HTTPDownloader::run()
{
    QNetworkAccessManager manager; // created here, so it belongs to this thread
    // This object lives on the creating thread, so the slot is queued there.
    connect(&manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished);
    QNetworkReply *reply = manager.get(m_request);
    // The whole body is held in memory: an answer that is, or announces itself as, larger than the cap, or
    // that is encoded after all, is cut off and reported like any other failure (an empty body). These run
    // on this thread, as the data arrives, before Qt has buffered more than one piece beyond the cap.
    const auto limitExceeded = [reply] {
        const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed();
        if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0)
            return true;
        bool known = false;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        return (known && announced > sizelimits::kMaxVersionAnswerSize) ||
            reply->bytesAvailable() > sizelimits::kMaxVersionAnswerSize;
    };
    const auto check = [reply, limitExceeded] {
        if (reply->isRunning() && limitExceeded())
            reply->abort();
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, check);
    connect(reply, &QNetworkReply::readyRead, reply, check);
    exec();
    // The manager, and with it the reply, goes when this returns; deletion follows finished().
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    const QByteArray data = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
