#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const char kNginx[] = "/usr/sbin/nginx";

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::start(const QString &root)
{
    if (!QFile::exists(kNginx)) {
        m_error = QStringLiteral("%1 not found (Debian package nginx-light)").arg(kNginx);
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no directory for the server's configuration");
        return false;
    }
    // Another process may take the port between the probe and nginx's bind: then try another one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 port = freePort();
        if (port != 0 && startOnPort(root, port))
            return true;
    }
    return false;
}

bool NginxServer::startOnPort(const QString &root, quint16 port)
{
    const QString d = m_dir.path();
    const QByteArray config = QStringLiteral("daemon off;\n"
                                             "master_process off;\n"
                                             "worker_processes 1;\n"
                                             "pid \"%1/nginx.pid\";\n"
                                             "error_log \"%1/error.log\" info;\n"
                                             "events { worker_connections 64; }\n"
                                             "http {\n"
                                             "    access_log \"%1/access.log\";\n"
                                             "    client_body_temp_path \"%1/body\";\n"
                                             "    proxy_temp_path \"%1/proxy\";\n"
                                             "    fastcgi_temp_path \"%1/fastcgi\";\n"
                                             "    uwsgi_temp_path \"%1/uwsgi\";\n"
                                             "    scgi_temp_path \"%1/scgi\";\n"
                                             "    default_type application/octet-stream;\n"
                                             "    server {\n"
                                             "        listen 127.0.0.1:%2;\n"
                                             "        root \"%3\";\n"
                                             "    }\n"
                                             "}\n")
                                  .arg(d)
                                  .arg(port)
                                  .arg(root)
                                  .toUtf8();
    QFile file(d + "/nginx.conf");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config) != config.size()) {
        m_error = QStringLiteral("cannot write %1").arg(file.fileName());
        return false;
    }
    file.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // -e: the start-up messages go to our log too, not to the system's.
    m_process.start(kNginx, {"-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"});
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("nginx did not start: %1").arg(m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            break;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(1000)) {
            m_port = port;
            return true;
        }
        // A refused connection returns at once; wait for nginx itself rather than spin.
        m_process.waitForFinished(100);
    }
    QFile log(d + "/error.log");
    m_error = QStringLiteral("nginx did not come up on port %1: %2")
                  .arg(port)
                  .arg(QString::fromUtf8(m_process.readAll() + (log.open(QIODevice::ReadOnly) ? log.readAll() : "")));
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate(); // SIGTERM: nginx's fast shutdown
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    m_port = 0;
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
}

QString NginxServer::accessLog() const
{
    QFile file(m_dir.path() + "/access.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
