#pragma once

#include <QString>

// An exclusive lock on a directory, held from a successful tryLock() until the object goes (or the process
// ends, also by kill -9: the kernel drops the lock with the descriptor). The lock is flock() on the directory
// itself, so nothing is written into it. Locks of one process on one directory are shared: a second lock of
// the same process succeeds at once and only the last release unlocks, so the run's parts (start-up, engine)
// can each hold what they need. Other processes are shut out. The descriptor is closed on exec: processes the
// updater starts do not inherit the lock.
class DirectoryLock
{
public:
    DirectoryLock() = default;
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

    // Locks dir, a real directory (a symbolic link is refused), retrying every 20 ms for up to waitMs while
    // another process holds it. Releases a lock this object held before. False when dir cannot be opened or
    // the lock was not had in time.
    bool tryLock(const QString &dir, int waitMs = 0);
    void release();
    bool isLocked() const { return m_key != 0; }
    // After a failed tryLock(): whether another process held the lock (rather than dir not being there).
    bool wasBusy() const { return m_busy; }
    QString path() const { return m_path; }

    // Whether another process holds dir's lock now (false when this process holds it, or dir cannot be opened).
    static bool heldElsewhere(const QString &dir);

private:
    QString m_path;
    quint64 m_key = 0; // device and inode of the locked directory; 0 when nothing is held
    bool m_busy = false;
};
