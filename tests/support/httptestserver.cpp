#include "httptestserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {

const int kMaxHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

HttpTestServer::Fault HttpTestServer::Fault::withStatus(int status, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    Fault f;
    f.status = status;
    f.headers = headers;
    return f;
}

HttpTestServer::Fault HttpTestServer::Fault::withBody(const QByteArray &body)
{
    Fault f;
    f.body = body;
    return f;
}

HttpTestServer::Fault HttpTestServer::Fault::stalled(qint64 afterBytes)
{
    Fault f;
    f.stallAfter = afterBytes;
    return f;
}

HttpTestServer::Fault HttpTestServer::Fault::closed(qint64 afterBytes)
{
    Fault f;
    f.closeAfter = afterBytes;
    return f;
}

HttpTestServer::Fault HttpTestServer::Fault::trickled(int bytes, int intervalMs)
{
    Fault f;
    f.trickleBytes = bytes;
    f.trickleIntervalMs = intervalMs;
    return f;
}

HttpTestServer::Fault HttpTestServer::Fault::unbounded(qint64 bytes)
{
    Fault f;
    f.unboundedBytes = bytes;
    return f;
}

QByteArray HttpTestServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    m_server.close();
    // The sockets are children of m_server; cut them off from this object before anything of it is gone.
    const QList<QTcpSocket *> sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        if (m_connections[socket].answer && m_connections[socket].answer->timer)
            m_connections[socket].answer->timer->stop();
        socket->abort();
        delete socket;
    }
    m_connections.clear();
}

bool HttpTestServer::start()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 HttpTestServer::port() const
{
    return m_server.serverPort();
}

QString HttpTestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

QString HttpTestServer::url(const QString &path) const
{
    return baseUrl() + path;
}

void HttpTestServer::setContent(const QString &path, const QByteArray &body)
{
    m_content.insert(path, body);
}

void HttpTestServer::serveDirectory(const QString &root)
{
    m_root = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
}

void HttpTestServer::addFault(const QString &path, const Fault &fault, int count)
{
    if (count != 0)
        m_faults[path].append(qMakePair(fault, count));
}

void HttpTestServer::setDefaultFault(const Fault &fault)
{
    m_defaultFault = fault;
}

void HttpTestServer::clearFaults()
{
    m_faults.clear();
    m_defaultFault.reset();
}

void HttpTestServer::setProxyMode(bool on)
{
    m_proxyMode = on;
}

int HttpTestServer::requestCount(const QString &path) const
{
    int n = 0;
    for (const Request &r : m_requests) {
        if (r.path == path)
            ++n;
    }
    return n;
}

QString HttpTestServer::log() const
{
    QString text;
    for (const Request &r : m_requests)
        text += QStringLiteral("%1 %2 -> %3\n")
                    .arg(QString::fromLatin1(r.method), QString::fromLatin1(r.target))
                    .arg(r.status);
    return text;
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connectionCount;
        m_connections.insert(socket, Connection());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
    }
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->input += socket->readAll();
    if (!it->answer)
        handleNextRequest(socket);
}

void HttpTestServer::onDisconnected(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    endAnswer(*it);
    m_connections.erase(it);
    socket->deleteLater();
}

void HttpTestServer::endAnswer(Connection &connection)
{
    if (!connection.answer)
        return;
    if (connection.answer->timer) {
        connection.answer->timer->stop();
        connection.answer->timer->deleteLater();
    }
    connection.answer.reset();
    --m_inFlight;
}

void HttpTestServer::handleNextRequest(QTcpSocket *socket)
{
    Connection &connection = m_connections[socket];
    const int headerEnd = connection.input.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (connection.input.size() > kMaxHeaderBytes)
            socket->abort(); // onDisconnected may not come for an aborted socket
        return;
    }

    const QList<QByteArray> lines = connection.input.left(headerEnd).split('\n');
    Request request;
    const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
    bool bad = words.size() != 3 || !words[2].startsWith("HTTP/1.");
    if (!bad) {
        request.method = words[0];
        request.target = words[1];
    }
    qint64 requestBodyLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0) {
            bad = true;
            continue;
        }
        request.headers.append(qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
    }
    bool lengthOk = true;
    const QByteArray lengthText = request.header("Content-Length");
    if (!lengthText.isEmpty())
        requestBodyLength = lengthText.toLongLong(&lengthOk);
    if (!lengthOk || requestBodyLength < 0 || requestBodyLength > kMaxHeaderBytes)
        bad = true;
    if (!bad && connection.input.size() - (headerEnd + 4) < requestBodyLength)
        return; // wait for the request body
    connection.input.remove(0, headerEnd + 4 + (bad ? 0 : int(requestBodyLength)));

    const bool absolute = request.target.toLower().startsWith("http://");
    if (absolute)
        request.path = QUrl(QString::fromLatin1(request.target)).path(QUrl::FullyDecoded);
    else
        request.path = QUrl::fromPercentEncoding(request.target.split('?').value(0));
    if (request.path.isEmpty())
        request.path = QStringLiteral("/");

    const bool closeAtEnd =
        bad || words.value(2) == "HTTP/1.0" || request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
    m_requests.append(request);
    const int index = m_requests.size() - 1;
    emit requestReceived(request.path);
    if (!m_connections.contains(socket))
        return; // a receiver stopped the server's connection

    const Fault plain;
    if (bad || absolute != m_proxyMode) {
        respond(socket, index, 400, "bad request\n", false, plain, true);
        return;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        respond(socket, index, 405, "method not allowed\n", false, plain, closeAtEnd);
        return;
    }

    const Fault fault = takeFault(request.path);
    std::optional<QByteArray> body = fault.body;
    int status = fault.status;
    if (!body && fault.unboundedBytes > 0)
        body = QByteArray(); // generated while it is sent
    if (!body) {
        if (status == 200)
            body = contentFor(request.path);
        else
            body = QByteArray("status ") + QByteArray::number(status) + "\n";
    }
    if (!body) {
        respond(socket, index, 404, "not found\n", request.method == "HEAD", plain, closeAtEnd);
        return;
    }
    respond(socket, index, status, *body, request.method == "HEAD", fault, closeAtEnd);
}

HttpTestServer::Fault HttpTestServer::takeFault(const QString &path)
{
    auto it = m_faults.find(path);
    if (it != m_faults.end() && !it->isEmpty()) {
        QPair<Fault, int> &first = it->first();
        const Fault fault = first.first;
        if (first.second > 0 && --first.second == 0)
            it->removeFirst();
        return fault;
    }
    return m_defaultFault.value_or(Fault());
}

std::optional<QByteArray> HttpTestServer::contentFor(const QString &path) const
{
    const auto it = m_content.constFind(path);
    if (it != m_content.constEnd())
        return *it;
    if (m_root.isEmpty())
        return std::nullopt;
    const QString file = QDir::cleanPath(m_root + "/" + path);
    if (!file.startsWith(m_root + "/") || !QFileInfo(file).isFile())
        return std::nullopt;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return f.readAll();
}

void HttpTestServer::respond(QTcpSocket *socket, int requestIndex, int status, const QByteArray &body, bool headOnly,
                             const Fault &fault, bool closeAtEnd)
{
    m_requests[requestIndex].status = status;
    const bool unbounded = fault.unboundedBytes > 0 && !headOnly;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reasonPhrase(status) + "\r\n";
    if (!unbounded)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    // Without a length the body ends where the connection does.
    head += closeAtEnd || unbounded ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    for (const auto &h : fault.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "\r\n";
    socket->write(head);

    Answer answer;
    answer.requestIndex = requestIndex;
    answer.body = headOnly ? QByteArray() : body;
    if (fault.stallAfter >= 0) {
        answer.limit = fault.stallAfter;
    } else if (fault.closeAfter >= 0) {
        answer.limit = fault.closeAfter;
        answer.closeAtLimit = true;
    }
    if (answer.limit > answer.body.size())
        answer.limit = -1;
    answer.closeAtEnd = closeAtEnd;
    answer.trickleBytes = fault.trickleBytes;
    if (fault.trickleBytes > 0) {
        answer.timer = new QTimer(this);
        answer.timer->setInterval(fault.trickleIntervalMs);
        connect(answer.timer, &QTimer::timeout, this, [this, socket] { sendPiece(socket); });
    }
    if (unbounded) {
        answer.body.clear();
        answer.generated = fault.unboundedBytes;
        answer.closeAtEnd = true;
    }
    m_connections[socket].answer = answer;
    ++m_inFlight;
    m_maxInFlight = qMax(m_maxInFlight, m_inFlight);
    if (unbounded) {
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { sendGenerated(socket); });
        sendGenerated(socket);
        return;
    }
    sendPiece(socket);
}

void HttpTestServer::sendPiece(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || !it->answer)
        return;
    Answer &answer = *it->answer;
    const qint64 allowed = answer.limit >= 0 ? answer.limit : answer.body.size();
    qint64 n = allowed - answer.sent;
    if (answer.trickleBytes > 0)
        n = qMin<qint64>(n, answer.trickleBytes);
    if (n > 0) {
        socket->write(answer.body.constData() + answer.sent, n);
        answer.sent += n;
        m_bodyBytesSent += n;
    }
    if (answer.sent < allowed) {
        if (answer.timer && !answer.timer->isActive())
            answer.timer->start();
        return;
    }
    if (answer.timer)
        answer.timer->stop();
    if (answer.limit >= 0 && !answer.closeAtLimit)
        return; // stalled: the answer stays under way until the client gives up
    finishAnswer(socket, answer.closeAtLimit || answer.closeAtEnd);
}

void HttpTestServer::sendGenerated(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || !it->answer || it->answer->generated <= 0)
        return;
    // Keeps a little queued, so the socket's own buffer never holds much of an endless body.
    const qint64 kPiece = 64 * 1024;
    const QByteArray piece(int(kPiece), 'x');
    Answer &answer = *it->answer;
    while (answer.generated > 0 && socket->bytesToWrite() < 2 * kPiece) {
        const qint64 n = qMin(kPiece, answer.generated);
        socket->write(piece.constData(), n);
        answer.generated -= n;
        answer.sent += n;
        m_bodyBytesSent += n;
    }
    if (answer.generated == 0)
        finishAnswer(socket, true); // later bytesWritten signals find no answer and do nothing
}

void HttpTestServer::finishAnswer(QTcpSocket *socket, bool close)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    const QString path = m_requests.value(it->answer ? it->answer->requestIndex : -1).path;
    endAnswer(*it);
    emit answerFinished(path);
    if (close) {
        socket->disconnectFromHost(); // sends what is buffered first
        return;
    }
    if (m_connections.contains(socket) && !m_connections[socket].input.isEmpty())
        handleNextRequest(socket);
}
