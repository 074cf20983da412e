#include "filelogger.h"

#include "globals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Other local users can write into the temporary directory, and may have put something under the log
// directory's name first: a directory of theirs, or one full of links to the user's files. The directory is
// used only when it is a real one, this user's own and writable by nobody else; the file is created new,
// never through a link. Returns an open descriptor, or -1 when nothing may be logged.
int createLogFile(const QByteArray &dir, const QByteArray &name)
{
    if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    struct stat info;
    if (::fstat(dirFd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(dirFd);
        return -1;
    }
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dirFd, name.constData(), flags, 0600);
    // A run started in the same second left this name; the directory is private, so the file is this
    // user's: it is replaced, as a later run's log always replaced an earlier one of the same name.
    if (fd < 0 && errno == EEXIST && ::unlinkat(dirFd, name.constData(), 0) == 0)
        fd = ::openat(dirFd, name.constData(), flags, 0600);
    ::close(dirFd);
    return fd;
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
    const QString dir = QDir::tempPath() + "/" + kLogDirName;
    const int fd = createLogFile(QFile::encodeName(dir), QFile::encodeName(name));

    QMutexLocker lock(&m_mutex);
    m_file = new QFile;
    // A stream on a file that is not open would warn on every write, and that warning would come
    // straight back into the handler; so the stream only gets a device that is open.
    if (fd >= 0 && m_file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle))
        m_stream.setDevice(m_file);
    else if (fd >= 0)
        ::close(fd);
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
