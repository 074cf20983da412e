#include "singleinstancechecker.h"

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
const char kSocketDirPrefix[] = "/cv5_update_guard_";

// This user's directory for the socket, created when missing. Usable only when it is a real directory (not a
// link) owned by this user that no one else may enter; otherwise empty. Nobody but its owner can rename or
// remove it, so the check holds afterwards.
QString privateSocketDirectory()
{
    const uid_t uid = geteuid();
    const QString dir = QDir::tempPath() + kSocketDirPrefix + QString::number(uid);
    const QByteArray path = QFile::encodeName(dir);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        qDebug() << "Single-instance directory not created" << dir;
        return QString();
    }
    struct stat st
    {
    };
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid ||
        (st.st_mode & 0777) != 0700) {
        qDebug() << "Single-instance directory not private, guard off" << dir;
        return QString();
    }
    return dir;
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
    return dir.isEmpty() ? QString() : dir + "/" + serverName();
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
