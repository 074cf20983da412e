#include "httpdownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request)
    : QThread(nullptr)
    , m_request(request)
{
    if (m_request.transferTimeout() == 0)
        m_request.setTransferTimeout(defaultTransferTimeoutMs);
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
    manager.get(m_request);
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
