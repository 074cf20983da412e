#include "singleinstancechecker.h"

#include "fileentry.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kWaitMs = 1000;
const char kServerNamePrefix[] = "CV5ClientUpdate";
const char kHomeGuardDir[] = "/.cv5_update_guard";
// sockaddr_un holds at most 107 bytes of path.
const int kMaxSocketPathBytes = 100;

// Where this user's socket lives: the session's runtime directory, else a directory of the user's own under the
// home directory (created when missing), else the temporary directory, but only when that is itself this user's
// private directory. A shared temporary directory never holds it: another user could take the name there first
// and so turn the guard off. Empty when none of them can be used.
QString privateSocketDirectory()
{
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (QDir::isAbsolutePath(runtime) && isPrivateDirectory(runtime))
        return runtime;
    const QString home = QDir::homePath();
    if (QDir::isAbsolutePath(home) && home != "/") {
        const QString dir = home + kHomeGuardDir;
        if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST)
            qDebug() << "Single-instance directory not created" << dir;
        if (isPrivateDirectory(dir))
            return dir;
        qDebug() << "Single-instance directory not private" << dir;
    }
    const QString temp = QDir::tempPath();
    if (isPrivateDirectory(temp))
        return temp;
    qDebug() << "No private directory for the single-instance socket, guard off";
    return QString();
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    listen();
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_socket)
        m_socket->close();
}

QString SingleInstanceChecker::serverName()
{
    return serverNameFor(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::serverNameFor(const QString &programPath, const QString &homePath)
{
    QString s = programPath.toLower() + homePath;
    s.remove('/');
    s.remove(':');
    const QByteArray bytes = s.toUtf8();
    const quint16 checksum = qChecksum(bytes.constData(), uint(bytes.size()), Qt::ChecksumIso3309);
    return QLatin1String(kServerNamePrefix) + QString::number(checksum, 16);
}

QString SingleInstanceChecker::socketPath()
{
    const QString dir = privateSocketDirectory();
    if (dir.isEmpty())
        return QString();
    const QString path = dir + "/" + serverName();
    if (QFile::encodeName(path).size() > kMaxSocketPathBytes) {
        qDebug() << "Single-instance socket path too long, guard off" << path;
        return QString();
    }
    return path;
}

bool SingleInstanceChecker::sendToRunningInstance(const QString &message)
{
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(kWaitMs);
}

bool SingleInstanceChecker::isListening() const
{
    return m_server->isListening();
}

void SingleInstanceChecker::listen()
{
    const QString path = socketPath();
    if (path.isEmpty() || m_server->listen(path))
        return;
    if (m_server->serverError() != QAbstractSocket::AddressInUseError)
        return;
    // The name is taken. In this private directory only an updater of this user can hold it: a live one
    // answers, while a socket file left by one that crashed refuses the connection and goes.
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(kWaitMs))
        return;
    qDebug() << "Removing stale single-instance socket" << path;
    QLocalServer::removeServer(path);
    m_server->listen(path);
}

void SingleInstanceChecker::onNewConnection()
{
    delete m_socket;
    m_socket = m_server->nextPendingConnection();
    if (m_socket)
        connect(m_socket, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_socket)
        return;
    const QString text = QString::fromUtf8(m_socket->readAll());
    emit otherInstanceActivate(text);
    // deleteLater: the socket is still inside its own readyRead().
    m_socket->deleteLater();
    m_socket = nullptr;
}
