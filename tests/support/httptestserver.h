#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>

#include <optional>

class QTcpSocket;
class QTimer;

// An HTTP/1.1 server for tests, inside the test process: it listens on 127.0.0.1 on a free port and runs on
// the thread that created it, so a test only has to keep the event loop turning (QSignalSpy::wait, QTRY_*).
//
// Content comes from scripted bodies (setContent) or from a directory (serveDirectory); scripted bodies win.
// Each path can be given faults, queued in order and used up one request at a time, so "500, then the
// file" is addFault(path, Fault::withStatus(500)) followed by the content. Connections stay open between requests
// (keep-alive) as a real server's would.
//
// In proxy mode the server stands in for an HTTP proxy: it answers only absolute-URI requests
// ("GET http://host:port/path HTTP/1.1") and serves them by their path from its own content. Outside proxy
// mode an absolute-URI request gets 400, so a test notices traffic that went through a proxy by mistake.
class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    // How one answer misbehaves. A default-constructed fault is a plain 200 with the path's content.
    struct Fault
    {
        int status = 200;
        std::optional<QByteArray> body; // sent instead of the path's content (wrong content, error page)
        QList<QPair<QByteArray, QByteArray>> headers; // extra response headers, for example "Location"
        qint64 stallAfter = -1; // send this many body bytes, then nothing more; the connection stays open
        qint64 closeAfter = -1; // send this many body bytes, then close; Content-Length still announces all
        int trickleBytes = 0; // when > 0: send the body in pieces of this size...
        int trickleIntervalMs = 0; // ...one piece per interval

        static Fault withStatus(int status, const QList<QPair<QByteArray, QByteArray>> &headers = {});
        static Fault withBody(const QByteArray &body); // 200 with other content
        static Fault stalled(qint64 afterBytes);
        static Fault closed(qint64 afterBytes);
        static Fault trickled(int bytes, int intervalMs);
    };

    // One request as it arrived, with the status it was answered with (0 while unanswered).
    struct Request
    {
        QByteArray method;
        QByteArray target; // as sent: "/7/a.dat", or "http://127.0.0.1:1234/7/a.dat" through a proxy
        QString path; // percent-decoded path without the query: "/7/a.dat"
        QList<QPair<QByteArray, QByteArray>> headers;
        int status = 0;
        QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    };

    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    bool start(); // listens on 127.0.0.1, port chosen by the system
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>/"
    QString url(const QString &path) const; // baseUrl() + path, path given without its leading "/"

    // Content. Paths are absolute URL paths ("/7/a.dat").
    void setContent(const QString &path, const QByteArray &body);
    void serveDirectory(const QString &root); // files below root, by path; ".." never leaves it

    // Faults. addFault queues a fault for the next `count` requests of a path (count -1: every request from
    // now on). setDefaultFault applies to every request that has no queued fault of its own.
    void addFault(const QString &path, const Fault &fault, int count = 1);
    void setDefaultFault(const Fault &fault);
    void clearFaults();

    void setProxyMode(bool on);

    // The log.
    QList<Request> requests() const { return m_requests; }
    int requestCount(const QString &path) const;
    QString log() const; // one line per request: "GET /7/a.dat -> 200"
    int answersInFlight() const { return m_inFlight; }
    int maxAnswersInFlight() const { return m_maxInFlight; } // most answers under way at once
    int connectionCount() const { return m_connectionCount; } // connections accepted so far

signals:
    void requestReceived(const QString &path); // emitted when a request's header is complete
    void answerFinished(const QString &path); // all of an answer's bytes were handed to the socket

private:
    struct Answer
    {
        int requestIndex = -1;
        QByteArray body; // the bytes still to send
        qint64 limit = -1; // how many body bytes may be sent in all (-1: all)
        qint64 sent = 0;
        bool closeAtLimit = false;
        bool closeAtEnd = false;
        int trickleBytes = 0;
        QTimer *timer = nullptr;
    };
    struct Connection
    {
        QByteArray input;
        std::optional<Answer> answer; // the answer under way; further requests wait in `input`
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void onDisconnected(QTcpSocket *socket);
    void handleNextRequest(QTcpSocket *socket);
    void sendPiece(QTcpSocket *socket);
    void finishAnswer(QTcpSocket *socket, bool close);
    void endAnswer(Connection &connection);
    Fault takeFault(const QString &path);
    std::optional<QByteArray> contentFor(const QString &path) const;
    void respond(QTcpSocket *socket, int requestIndex, int status, const QByteArray &body, bool headOnly,
                 const Fault &fault, bool closeAtEnd);

    QTcpServer m_server;
    QHash<QString, QByteArray> m_content;
    QString m_root;
    QHash<QString, QList<QPair<Fault, int>>> m_faults;
    std::optional<Fault> m_defaultFault;
    bool m_proxyMode = false;
    QHash<QTcpSocket *, Connection> m_connections;
    QList<Request> m_requests;
    int m_inFlight = 0;
    int m_maxInFlight = 0;
    int m_connectionCount = 0;
};
