#include "fileinstall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kKeptNameLength = 60;

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// renameat2() through the system call: not every C library declares it.
bool renameWithFlags(const QString &source, const QString &target, unsigned flags)
{
#ifdef SYS_renameat2
    return syscall(SYS_renameat2, AT_FDCWD, encoded(source).constData(), AT_FDCWD, encoded(target).constData(),
                   flags) == 0;
#else
    Q_UNUSED(source)
    Q_UNUSED(target)
    Q_UNUSED(flags)
    errno = ENOSYS;
    return false;
#endif
}

constexpr unsigned kRenameNoReplace = 1; // RENAME_NOREPLACE
constexpr unsigned kRenameExchange = 2; // RENAME_EXCHANGE

} // namespace

namespace FileInstall {

QString temporaryPathBeside(const QString &target, const QString &marker)
{
    const QFileInfo info(target);
    QString kept = info.fileName().left(kKeptNameLength);
    // Never half of a surrogate pair: the name must stay valid text.
    if (!kept.isEmpty() && QChar(kept.back()).isHighSurrogate())
        kept.chop(1);
    const QString stem = info.path() + "/." + kept + marker;
    for (;;) {
        const QString candidate = stem + QString::number(QRandomGenerator::global()->generate64(), 36);
        if (!entryExists(candidate))
            return candidate;
    }
}

bool exchange(const QString &a, const QString &b)
{
    return renameWithFlags(a, b, kRenameExchange);
}

bool renameOver(const QString &source, const QString &target)
{
    return std::rename(encoded(source).constData(), encoded(target).constData()) == 0;
}

bool renameNoReplace(const QString &source, const QString &target)
{
    if (renameWithFlags(source, target, kRenameNoReplace))
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // Without the flag: a hard link fails on an existing target, then the source name goes. Directories
    // cannot be linked; for them the check and the rename are two steps.
    struct stat st;
    if (lstat(encoded(source).constData(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        if (link(encoded(source).constData(), encoded(target).constData()) != 0)
            return false;
        return unlink(encoded(source).constData()) == 0;
    }
    if (entryExists(target)) {
        errno = EEXIST;
        return false;
    }
    return renameOver(source, target);
}

quint64 inodeOf(const QString &path)
{
    struct stat st;
    return lstat(encoded(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

bool entryExists(const QString &path)
{
    struct stat st;
    return lstat(encoded(path).constData(), &st) == 0;
}

bool leadsThroughLink(const QString &base, const QString &relative)
{
    if (QDir::isAbsolutePath(relative))
        return false;
    const QStringList parts = QDir::cleanPath(relative).split('/', Qt::SkipEmptyParts);
    QString walked = base;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        walked += "/" + parts[i];
        if (QFileInfo(walked).isSymLink())
            return true;
    }
    return false;
}

bool removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        // removeRecursively() removes links inside as files and never follows them.
        QDir(path).removeRecursively();
    } else {
        QFile::remove(path);
    }
    return !entryExists(path);
}

} // namespace FileInstall
