#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

// Qt's handler is a plain function, so it finds the capture through these.
QMutex captureMutex;
LogCapture *currentCapture = nullptr;

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&captureMutex);
    currentCapture = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&captureMutex);
    qInstallMessageHandler(m_previous);
    currentCapture = nullptr;
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&captureMutex);
    return m_lines;
}

QList<LogCapture::Message> LogCapture::messages() const
{
    QMutexLocker lock(&captureMutex);
    return m_messages;
}

bool LogCapture::contains(const QString &fragment) const
{
    const QStringList all = lines();
    for (const QString &line : all) {
        if (line.contains(fragment))
            return true;
    }
    return false;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    QMutexLocker lock(&captureMutex);
    if (currentCapture) {
        currentCapture->m_lines << text;
        currentCapture->m_messages.append({type, text});
    }
}
