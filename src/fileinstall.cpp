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
#include <sys/xattr.h>
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

// Where the kernel keeps a file's POSIX ACLs: read and written as opaque bytes, never interpreted here.
const char kAccessAcl[] = "system.posix_acl_access";
const char kDefaultAcl[] = "system.posix_acl_default";

// Sets the extended attribute name of path to value of from's attribute source; nothing when from has none.
void copyAttribute(const QString &from, const char *source, const QString &to, const char *name)
{
    const QByteArray fromName = encoded(from);
    const ssize_t size = ::getxattr(fromName.constData(), source, nullptr, 0);
    if (size <= 0)
        return;
    QByteArray value(int(size), '\0');
    const ssize_t got = ::getxattr(fromName.constData(), source, value.data(), size_t(value.size()));
    if (got > 0)
        ::setxattr(encoded(to).constData(), name, value.constData(), size_t(got), 0);
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

void takeOwnershipOf(const QString &installed, const QString &newFile)
{
    struct stat old;
    if (::lstat(encoded(installed).constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    const QByteArray name = encoded(newFile);
    // Owner and group where allowed (root, or a group of this user's), else the group alone.
    if (::lchown(name.constData(), old.st_uid, old.st_gid) != 0)
        ::lchown(name.constData(), uid_t(-1), old.st_gid);
    copyAttribute(installed, kAccessAcl, newFile, kAccessAcl);
}

void takeDirectoryDefaults(const QString &newFile)
{
    const QString dir = QFileInfo(newFile).path();
    struct stat st;
    if (::stat(encoded(dir).constData(), &st) != 0)
        return;
    if (st.st_mode & S_ISGID)
        ::lchown(encoded(newFile).constData(), uid_t(-1), st.st_gid);
    copyAttribute(dir, kDefaultAcl, newFile, kAccessAcl);
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
