#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

// Fetches one small HTTP resource into memory on a thread of its own and hands the body over in one signal.
// The thread owns the network access manager (no proxy) and the reply; the object itself belongs to the
// thread that created it, so download_available is emitted there.
//
// Usage: new HTTPDownloader(request), connect download_available, start(). The object deletes itself once its
// thread has finished; the caller must not delete it and must not use it after download_available.
class HTTPDownloader : public QThread
{
    Q_OBJECT
public:
    // Applied when the request carries no transfer time-out of its own, so that a server that accepts the
    // connection and then stays silent cannot hold the caller for ever.
    static constexpr int defaultTransferTimeoutMs = 30000;

    explicit HTTPDownloader(const QNetworkRequest &request);
    ~HTTPDownloader() override;

    // The request as it will be sent, time-out included.
    const QNetworkRequest &request() const { return m_request; }

signals:
    // Exactly once: the body, or an empty array when the reply reported an error (including time-outs and
    // HTTP error statuses).
    void download_available(const QByteArray &data);

public slots:
    virtual void on_downloadFinished(QNetworkReply *reply);

protected:
    void run() override;

private:
    QNetworkRequest m_request;
};
