#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps a second updater of the same installation and user from running beside the first. The window's
// checker listens on a local socket named after the program's path and the user's home directory; a starting
// updater that reaches it sends "#" and ends, and the running one raises its window.
//
// The socket lives in a directory of this user's own that no one else may enter: $XDG_RUNTIME_DIR, else
// "~/.cv5_update_guard", else the temporary directory when that is private to this user. So another local user
// can neither connect to it nor take its name first. Without such a directory the guard is off rather than
// stopping the update. A socket file left by a crashed updater, which no one answers, is replaced. The guard
// only spares the user a second window: that two runs never change one installation at once is the
// installation lock's work (see main).
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Listens at once; a failed listen is not reported (this updater then has no server).
    explicit SingleInstanceChecker(QObject *parent);
    ~SingleInstanceChecker() override;

    // "CV5ClientUpdate" + the checksum of the program's path and the home directory, in lower-case hex.
    static QString serverName();
    // The same for a given program path and home directory: the path lower-cased, the home directory as it
    // is, every "/" and ":" removed, then the 16-bit CRC of ISO 3309 over the UTF-8 bytes.
    static QString serverNameFor(const QString &programPath, const QString &homePath);
    // Where the socket lives: serverName() inside this user's private directory (see above), which is created
    // under the home directory when needed. Empty when no such directory can be used.
    static QString socketPath();

    // Hands message to a running updater: true only when it connected within 1000 ms and the bytes were
    // written within 1000 ms.
    static bool sendToRunningInstance(const QString &message);

    bool isListening() const;

signals:
    // The text another updater sent, decoded as UTF-8.
    void otherInstanceActivate(const QString &text);

public slots:
    void onNewConnection();
    void onReadyRead();

private:
    void listen();

    QLocalServer *m_server;
    QLocalSocket *m_socket = nullptr;
};
