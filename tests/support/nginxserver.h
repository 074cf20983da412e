#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// nginx serving a directory on 127.0.0.1, on a free port, as the current user, with a configuration of its
// own (nothing of the system's nginx set-up is read or written). Stopped on destruction.
class NginxServer
{
public:
    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Starts serving root and waits until the port answers. False, with the reason in errorText(), when
    // nginx is missing or does not come up.
    bool start(const QString &root);
    void stop();

    quint16 port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:<port>/"
    QString errorText() const { return m_error; }
    // The access log: one line per request.
    QString accessLog() const;

private:
    bool startOnPort(const QString &root, quint16 port);

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
