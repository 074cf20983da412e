#include "directorylock.h"

#include "filedescriptor.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

struct HeldLock
{
    int fd = -1;
    int users = 0;
};

// The locks this process holds, by directory identity. flock() would refuse a second descriptor of the same
// process on the same directory, so every holder shares the first one.
QMutex heldMutex;
QHash<quint64, HeldLock> &heldLocks()
{
    static QHash<quint64, HeldLock> locks;
    return locks;
}

quint64 keyOf(const struct stat &st)
{
    // A key that is never 0 for a real directory.
    return (quint64(st.st_dev) << 40) ^ quint64(st.st_ino) ^ (quint64(1) << 63);
}

int openDirectory(const QString &dir)
{
    return ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

DirectoryLock::~DirectoryLock()
{
    release();
}

bool DirectoryLock::tryLock(const QString &dir, int waitMs)
{
    release();
    m_busy = false;
    FileDescriptor fd(openDirectory(dir));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0)
        return false;
    const quint64 key = keyOf(st);
    {
        QMutexLocker locker(&heldMutex);
        auto it = heldLocks().find(key);
        if (it != heldLocks().end()) {
            ++it->users;
            m_key = key;
            m_path = dir;
            return true;
        }
    }
    for (int waited = 0;; waited += 20) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            break;
        m_busy = errno == EWOULDBLOCK;
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitMs)
            return false;
        QThread::msleep(20);
    }
    QMutexLocker locker(&heldMutex);
    HeldLock &held = heldLocks()[key];
    if (held.users == 0)
        held.fd = fd.release();
    ++held.users;
    m_key = key;
    m_path = dir;
    return true;
}

void DirectoryLock::release()
{
    if (m_key == 0)
        return;
    QMutexLocker locker(&heldMutex);
    auto it = heldLocks().find(m_key);
    if (it != heldLocks().end() && --it->users <= 0) {
        FileDescriptor closing(it->fd); // closing the descriptor drops the lock
        heldLocks().erase(it);
    }
    m_key = 0;
    m_path.clear();
}

bool DirectoryLock::heldElsewhere(const QString &dir)
{
    FileDescriptor fd(openDirectory(dir));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0)
        return false;
    {
        QMutexLocker locker(&heldMutex);
        if (heldLocks().contains(keyOf(st)))
            return false;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        ::flock(fd.get(), LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}
