#include "filelogger.h"

#include "globals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>

#include <cstdlib>

bool loggingEnabled = false;

namespace {
const char kMarkerName[] = "cv5_update_log";
const char kLogDirName[] = "corvalink_update_log";

const char *levelField(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "\t|\tDebug\t|\t";
    case QtWarningMsg:
        return "\t|\tWarning\t|\t";
    case QtCriticalMsg:
        return "\t|\tCritical\t|\t";
    case QtFatalMsg:
        return "\t|\tFatal\t|\t";
    case QtInfoMsg:
        return "\t|\tInfo\t|\t";
    }
    return nullptr;
}
} // namespace

FileLogger *FileLogger::instance()
{
    // Deliberately leaked: threads may still log while static destructors run at exit.
    static FileLogger *logger = [] {
        auto *created = new FileLogger;
        created->open();
        return created;
    }();
    return logger;
}

FileLogger::FileLogger()
{
    loggingEnabled = QFile::exists(QDir::tempPath() + "/" + kMarkerName);
}

FileLogger::~FileLogger()
{
    close();
    delete m_file;
}

void FileLogger::open()
{
    if (!loggingEnabled)
        return;

    QString stamp = QDateTime::currentDateTime().toString(Qt::ISODate);
    stamp.replace(':', '_');
    stamp.replace('T', "__");
    const QString name = "update__" + stamp + ".log";
    const QString dir =
        QDir::toNativeSeparators(QDir::tempPath() + QDir::separator() + kLogDirName + QDir::separator());
    if (!QDir(dir).exists())
        QDir().mkdir(dir);

    QMutexLocker lock(&m_mutex);
    m_file = new QFile(dir + name);
    // A stream on a file that is not open would warn on every write, and that warning would come
    // straight back into the handler; so the stream only gets a device that is open.
    if (m_file->open(QIODevice::WriteOnly | QIODevice::Text))
        m_stream.setDevice(m_file);
}

void FileLogger::write(QtMsgType type, const QString &message)
{
    const char *level = levelField(type);
    QMutexLocker lock(&m_mutex);
    if (!m_stream.device())
        return;
    if (level) {
        // The stream encodes with the locale's codec, so the message lands in the local 8-bit encoding.
        m_stream << QDateTime::currentDateTime().toString(logTimestampFormat) << level << message << '\n';
    }
    m_stream.flush();
}

void FileLogger::close()
{
    QMutexLocker lock(&m_mutex);
    if (!m_file)
        return;
    if (m_stream.device()) {
        m_stream.flush();
        m_stream.setDevice(nullptr);
    }
    m_file->close();
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (!loggingEnabled)
        return;
    FileLogger::instance()->write(type, message);
    if (type == QtFatalMsg)
        std::abort();
}
